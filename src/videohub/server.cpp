#include "server.h"

#include <QTcpSocket>

#include <algorithm>

#include "ops/limits.h"
#include "ops/routing.h"
#include "videohub/limits.h"

namespace talvane {
namespace videohub {

struct Server::Client {
    int id = 0;
    QTcpSocket* socket = nullptr;
    QString peer;
    BlockReader reader;
    bool greeted = false;
    bool dropped = false;
    bool readPosted = false;
    bool closing = false;  // its end is closed: what it sent is still handled, nothing is sent
};

namespace {

void addOnce(std::vector<int>& list, int n)
{
    if (std::find(list.begin(), list.end(), n) == list.end())
        list.push_back(n);
}

}  // namespace

Server::Server(Runner& runner, LabelStore& labels, QString switchKey, DeviceIdentity identity, QObject* parent)
    : QObject(parent)
    , runner_(runner)
    , labels_(labels)
    , switchKey_(std::move(switchKey))
    , identity_(std::move(identity))
{
    connect(&listener_, &QTcpServer::newConnection, this, &Server::onNewConnection);
    // A route that waited for another holder of the switch goes out once it lets go.
    connect(&runner_, &Runner::busyChanged, this, [this](bool busy) {
        if (!busy)
            pump();
    });
}

Server::~Server()
{
    if (pollTimer_)
        runner_.session().clock().stopTimer(pollTimer_);
    if (read_) {
        read_->disconnect(this);
        read_->cancel();
    }
    if (routing_) {
        routing_->disconnect(this);
        delete routing_.data();
    }
    runner_.disconnect(this);
    hold_.end();
    for (auto& entry : clients_) {
        entry.second->socket->disconnect(this);
        entry.second->socket->abort();
        delete entry.second->socket;
    }
}

bool Server::listen(const QHostAddress& address, quint16 port)
{
    if (!listener_.listen(address, port))
        return false;
    names_ = labels_.labels(switchKey_);
    readRouting(false);
    if (!pollTimer_)
        pollTimer_ = runner_.session().clock().startTimer(limits::RoutingPollMs, [this] { poll(); });
    return true;
}

int Server::clientCount() const
{
    return int(std::count_if(clients_.begin(), clients_.end(), [](const auto& e) { return !e.second->dropped; }));
}

qint64 Server::heldBytes() const
{
    qint64 n = 0;
    for (const auto& entry : clients_) {
        const Client& c = *entry.second;
        n += c.reader.heldBytes();
        if (!c.dropped)
            n += c.socket->bytesAvailable() + c.socket->bytesToWrite();
    }
    return n;
}

// --- Clients ---------------------------------------------------------------

void Server::onNewConnection()
{
    while (QTcpSocket* socket = listener_.nextPendingConnection()) {
        const QString peer = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
        if (clientCount() >= limits::MaxClients) {
            emit clientRefused(peer, QStringLiteral("too many clients"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        const int id = nextClientId_++;
        client->id = id;
        client->socket = socket;
        client->peer = peer;
        socket->setParent(nullptr);
        socket->setReadBufferSize(limits::ReadBufferBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            const auto it = clients_.find(id);
            if (it == clients_.end())
                return;
            // A client that sends its requests and closes at once (a
            // script) still has them carried out, turn by turn as any other.
            Client& c = *it->second;
            c.closing = true;
            if (c.greeted && c.socket->bytesAvailable() > 0)
                readFrom(id);
            else
                drop(c, QString());
        });
        Client& c = *client;
        clients_.emplace(id, std::move(client));
        emit clientCountChanged(clientCount());
        if (routingKnown_)
            greet(c);
    }
}

void Server::greet(Client& c)
{
    c.greeted = true;
    QByteArray prelude = print(preambleBlock());
    prelude += print(deviceBlock(identity_));
    prelude += print(inputLabelsBlock(inputNames()));
    prelude += print(outputLabelsBlock(outputNames()));
    prelude += print(locksBlock(locksFor(c.id)));
    prelude += print(routingBlock(routes_));
    prelude += print(configurationBlock());
    prelude += print(endPreludeBlock());
    send(c, prelude);
    // What it sent before its prelude waits in its socket.
    if (!c.dropped && c.socket->bytesAvailable() > 0) {
        const int id = c.id;
        c.readPosted = true;
        QMetaObject::invokeMethod(this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
    }
}

void Server::readFrom(int id)
{
    const auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    c.readPosted = false;
    if (c.dropped || !c.greeted)
        return;
    consume(c);
    if (c.dropped)
        return;
    // The rest on a later turn, after the other clients had theirs.
    if (c.socket->bytesAvailable() > 0) {
        if (!c.readPosted) {
            c.readPosted = true;
            QMetaObject::invokeMethod(this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
        }
    } else if (c.closing) {
        drop(c, QString());
    }
}

void Server::consume(Client& c)
{
    int handled = 0;
    qint64 taken = 0;
    std::vector<BlockReader::Item> items;
    while (!c.dropped && handled < limits::MaxBlocksPerTurn && taken < limits::ReadChunkBytes) {
        const QByteArray piece = c.socket->read(limits::ReadPieceBytes);
        if (piece.isEmpty())
            break;
        taken += piece.size();
        items.clear();
        c.reader.feed(piece.constData(), piece.size(), items);
        for (const BlockReader::Item& item : items) {
            if (c.dropped)
                break;
            ++handled;
            if (item.malformed)
                send(c, nak());
            else
                handle(c, item.block);
        }
    }
}

void Server::send(Client& c, const QByteArray& bytes)
{
    if (c.dropped || c.closing)
        return;
    c.socket->write(bytes);
    if (c.socket->bytesToWrite() > limits::MaxUnreadBytes)
        drop(c, QStringLiteral("it does not read what it is sent"));
}

void Server::broadcast(const Block& block)
{
    const QByteArray bytes = print(block);
    for (auto& entry : clients_) {
        Client& c = *entry.second;
        if (c.greeted)
            send(c, bytes);
    }
}

void Server::broadcastLocks(const Lines& outputs)
{
    for (auto& entry : clients_) {
        Client& c = *entry.second;
        if (c.greeted)
            send(c, print(locksBlock(locksFor(c.id), outputs)));
    }
}

// Closes the connection now; the client is forgotten, and its locks
// released, once the handler that dropped it has returned.
void Server::drop(Client& c, const QString& why)
{
    if (c.dropped)
        return;
    c.dropped = true;
    c.socket->disconnect(this);
    c.socket->abort();
    if (!why.isEmpty())
        emit clientRefused(c.peer, why);
    if (!reapPosted_) {
        reapPosted_ = true;
        QMetaObject::invokeMethod(this, &Server::reap, Qt::QueuedConnection);
    }
}

void Server::reap()
{
    reapPosted_ = false;
    Lines released;
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!it->second->dropped) {
            ++it;
            continue;
        }
        for (int o = 0; o < kPorts; ++o) {
            if (lockOwner_[std::size_t(o)] == it->first) {
                lockOwner_[std::size_t(o)] = 0;
                addOnce(released, o);
            }
        }
        it->second->socket->deleteLater();
        it = clients_.erase(it);
    }
    std::sort(released.begin(), released.end());
    emit clientCountChanged(clientCount());
    if (!released.empty())
        broadcastLocks(released);
}

// --- Requests ----------------------------------------------------------------

void Server::handle(Client& c, const Block& block)
{
    const QByteArray& h = block.header;
    if (h == header::Ping) {
        send(c, block.lines.isEmpty() ? ack() : nak());
        return;
    }
    if (block.lines.isEmpty()) {
        answerQuery(c, block);
        return;
    }
    if (h == header::OutputRouting) {
        if (!changeRouting(c, block)) {
            send(c, nak());
            return;
        }
        send(c, ack());
        pump();
        return;
    }
    if (h == header::InputLabels || h == header::OutputLabels) {
        const bool outputs = h == header::OutputLabels;
        Lines changed;
        for (const QByteArray& line : block.lines)
            if (const auto l = parseLabelLine(line))
                addOnce(changed, l->index);
        if (!changeLabels(block, outputs)) {
            send(c, nak());
            return;
        }
        names_ = labels_.labels(switchKey_);
        send(c, ack());
        broadcast(outputs ? outputLabelsBlock(outputNames(), changed) : inputLabelsBlock(inputNames(), changed));
        return;
    }
    if (h == header::OutputLocks) {
        Lines changed;
        for (const QByteArray& line : block.lines)
            if (const auto l = parseLockLine(line))
                addOnce(changed, l->output);
        if (!changeLocks(c, block)) {
            send(c, nak());
            return;
        }
        send(c, ack());
        broadcastLocks(changed);
        return;
    }
    // The device, the preamble, the take mode and anything unknown are not
    // changed by clients.
    send(c, nak());
}

void Server::answerQuery(Client& c, const Block& block)
{
    const QByteArray& h = block.header;
    Block answer;
    if (h == header::Preamble)
        answer = preambleBlock();
    else if (h == header::Device)
        answer = deviceBlock(identity_);
    else if (h == header::InputLabels)
        answer = inputLabelsBlock(inputNames());
    else if (h == header::OutputLabels)
        answer = outputLabelsBlock(outputNames());
    else if (h == header::OutputLocks)
        answer = locksBlock(locksFor(c.id));
    else if (h == header::OutputRouting)
        answer = routingBlock(routes_);
    else if (h == header::Configuration)
        answer = configurationBlock();
    else {
        send(c, nak());
        return;
    }
    send(c, ack() + print(answer));
}

bool Server::changeRouting(Client& c, const Block& block)
{
    std::vector<RouteLine> routes;
    for (const QByteArray& line : block.lines) {
        const std::optional<RouteLine> r = parseRouteLine(line);
        if (!r)
            return false;
        const int owner = lockOwner_[std::size_t(r->output)];
        if (owner != 0 && owner != c.id)
            return false;
        routes.push_back(*r);
    }
    // One route per output waits: a later request for it replaces the input.
    for (const RouteLine& r : routes) {
        const auto same = std::find_if(pending_.begin(), pending_.end(),
                                       [&](const RouteLine& p) { return p.output == r.output; });
        if (same != pending_.end())
            same->input = r.input;
        else
            pending_.push_back(r);
    }
    return true;
}

bool Server::changeLabels(const Block& block, bool outputs)
{
    std::vector<LabelLine> lines;
    for (const QByteArray& line : block.lines) {
        std::optional<LabelLine> l = parseLabelLine(line);
        if (!l || !LabelStore::cleanName(l->text, nullptr))
            return false;
        lines.push_back(std::move(*l));
    }
    if (labels_.damaged())
        return false;
    const PortLabels before = labels_.labels(switchKey_);
    for (const LabelLine& l : lines) {
        const bool set = outputs ? labels_.setOutput(switchKey_, l.index + 1, l.text)
                                 : labels_.setInput(switchKey_, l.index + 1, l.text);
        if (!set) {
            labels_.setLabels(switchKey_, before);
            return false;
        }
    }
    if (!labels_.save()) {
        // Not kept: the names stay as every client has them.
        labels_.setLabels(switchKey_, before);
        return false;
    }
    return true;
}

bool Server::changeLocks(Client& c, const Block& block)
{
    std::vector<LockLine> lines;
    for (const QByteArray& line : block.lines) {
        const std::optional<LockLine> l = parseLockLine(line);
        if (!l)
            return false;
        const int owner = lockOwner_[std::size_t(l->output)];
        // Only a force takes or opens another client's lock.
        if (l->request != LockRequest::Force && owner != 0 && owner != c.id)
            return false;
        lines.push_back(*l);
    }
    for (const LockLine& l : lines)
        lockOwner_[std::size_t(l.output)] = l.request == LockRequest::Take ? c.id : 0;
    return true;
}

std::array<LockState, kPorts> Server::locksFor(int clientId) const
{
    std::array<LockState, kPorts> out{};
    for (std::size_t o = 0; o < out.size(); ++o) {
        const int owner = lockOwner_[o];
        out[o] = owner == 0 ? LockState::Unlocked : owner == clientId ? LockState::Owned : LockState::Locked;
    }
    return out;
}

std::array<QString, kPorts> Server::inputNames() const
{
    std::array<QString, kPorts> out;
    std::copy(names_.inputs.begin(), names_.inputs.end(), out.begin());
    return out;
}

std::array<QString, kPorts> Server::outputNames() const
{
    std::array<QString, kPorts> out;
    std::copy(names_.outputs.begin(), names_.outputs.end(), out.begin());
    return out;
}

// Names another program saved (the panel, talvane-ctl labels) reach the
// clients too. While the file is damaged they keep the names they have.
void Server::refreshNames()
{
    if (!labels_.load())
        return;
    const PortLabels now = labels_.labels(switchKey_);
    Lines inputs, outputs;
    for (int n = 0; n < kPorts; ++n) {
        const std::size_t i = std::size_t(n);
        if (now.inputs[i] != names_.inputs[i])
            inputs.push_back(n);
        if (now.outputs[i] != names_.outputs[i])
            outputs.push_back(n);
    }
    names_ = now;
    if (!inputs.empty())
        broadcast(inputLabelsBlock(inputNames(), inputs));
    if (!outputs.empty())
        broadcast(outputLabelsBlock(outputNames(), outputs));
}

// --- The switch -------------------------------------------------------------

// Sends the next route asked for, holding the switch until the last has
// ended; background reads stop while it is held.
void Server::pump()
{
    if (routing_ || pending_.empty())
        return;
    if (!hold_) {
        hold_ = runner_.hold();
        if (!hold_)
            return;  // busyChanged brings it back
    }
    const RouteLine r = pending_.front();
    pending_.erase(pending_.begin());
    auto* op = new RouteSet(runner_.session(), r.input + 1, r.output + 1, this);
    routing_ = op;
    connect(op, &Operation::finished, this, [this, op, r](Outcome outcome) {
        routing_ = nullptr;
        op->deleteLater();
        routeEnded(r.output, r.input, outcome == Outcome::Done);
    });
    op->start();
}

void Server::routeEnded(int output, int input, bool done)
{
    if (done) {
        routes_[std::size_t(output)] = input;
        broadcast(routingBlock(routes_, {output}));
    } else {
        routeFailed_ = true;
        emit routeFailed(output, input);
    }
    if (!pending_.empty()) {
        pump();
        return;
    }
    hold_.end();
    // The switch refused or did not answer: every client gets the routing
    // as the switch has it now (it may have taken the route after all).
    if (routeFailed_) {
        routeFailed_ = false;
        readRouting(true);
    }
}

void Server::poll()
{
    refreshNames();
    if (routing_ || hold_ || !pending_.empty() || read_ || runner_.busy() || !runner_.session().idle())
        return;
    readRouting(false);
}

void Server::readRouting(bool sendWhole)
{
    sendWholeRouting_ = sendWholeRouting_ || sendWhole;
    if (read_)
        return;
    auto* op = new MatrixRead(runner_.session(), talvane::Purpose::Background, MatrixRead::Part::RoutesOnly);
    readSeen_.fill(false);
    connect(op, &MatrixRead::routeReported, this, [this](int output, int input) {
        readRoutes_[std::size_t(output - 1)] = input - 1;
        readSeen_[std::size_t(output - 1)] = true;
    });
    connect(op, &Operation::finished, this, [this](Outcome outcome) {
        read_ = nullptr;
        routingReadEnded(outcome == Outcome::Done);
    });
    read_ = op;
    runner_.runBackground(op);
}

void Server::routingReadEnded(bool complete)
{
    const bool all = std::all_of(readSeen_.begin(), readSeen_.end(), [](bool b) { return b; });
    if (!routingKnown_) {
        // Clients see a routing only once every output has been read.
        if (all) {
            routes_ = readRoutes_;
            routingKnown_ = true;
            sendWholeRouting_ = false;
            for (auto& entry : clients_)
                if (!entry.second->dropped && !entry.second->greeted)
                    greet(*entry.second);
        }
        emit routingRead(complete && all);
        return;
    }
    Lines changed;
    for (int o = 0; o < kPorts; ++o) {
        const std::size_t i = std::size_t(o);
        if (readSeen_[i] && routes_[i] != readRoutes_[i]) {
            routes_[i] = readRoutes_[i];
            changed.push_back(o);
        }
    }
    if (sendWholeRouting_) {
        sendWholeRouting_ = false;
        broadcast(routingBlock(routes_));
    } else if (!changed.empty()) {
        broadcast(routingBlock(routes_, changed));
    }
    emit routingRead(complete && all);
}

}  // namespace videohub
}  // namespace talvane
