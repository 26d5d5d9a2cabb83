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
    hub::Who who;  // its locks are the hub's, its connection's own
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

Server::Server(hub::Hub& hub, DeviceIdentity identity, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , runner_(hub.runner())
    , labels_(hub.labels())
    , switchKey_(hub.switchKey())
    , identity_(std::move(identity))
{
    connect(&listener_, &QTcpServer::newConnection, this, &Server::onNewConnection);
    // Routes confirmed for anyone (a client here, a program on the hub's
    // control port, a preset) reach every client at once; changes the hub
    // reads (the front panel) as soon as it reads them.
    connect(&hub_.state(), &SwitchState::routeConfirmed, this, &Server::routeConfirmed);
    connect(&hub_.state(), &SwitchState::changed, this, [this](SwitchState::Aspect aspect, int port) {
        if (aspect == SwitchState::Aspect::Route)
            routeChanged(port);
    });
    connect(&hub_, &hub::Hub::routingKnown, this, &Server::routingKnownNow);
    // Locks taken or released by anyone (a client here, talvane-ctl, the panel).
    connect(&hub_, &hub::Hub::lockChanged, this, &Server::lockChanged);
    // Names saved anywhere (another program, another front end of the hub).
    connect(&hub_, &hub::Hub::labelsChanged, this, &Server::refreshNames);
}

Server::~Server()
{
    if (routing_) {
        routing_->disconnect(this);
        delete routing_.data();
    }
    runner_.disconnect(this);
    hold_.end();
    hub_.disconnect(this);
    for (auto& entry : clients_) {
        hub_.unlockAll(entry.second->who);
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
    routingKnownNow();
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
        QString refusal;
        if (!hub::isAllowed(allowed_, socket->peerAddress()))
            refusal = QStringLiteral("its address is not allowed (--allow)");
        else if (clientCount() >= limits::MaxClients)
            refusal = QStringLiteral("too many clients");
        if (!refusal.isEmpty()) {
            emit clientRefused(peer, refusal);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        const int id = nextClientId_++;
        client->id = id;
        client->socket = socket;
        client->peer = peer;
        client->who = {hub::Who::Kind::Videohub, QString::number(id), QStringLiteral("Videohub client %1").arg(peer)};
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
    prelude += print(locksBlock(locksFor(c)));
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
            send(c, print(locksBlock(locksFor(c), outputs)));
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
    std::vector<hub::Who> gone;
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!it->second->dropped) {
            ++it;
            continue;
        }
        gone.push_back(it->second->who);
        it->second->socket->deleteLater();
        it = clients_.erase(it);
    }
    emit clientCountChanged(clientCount());
    // Every client sees their locks go, in one block.
    const Lines released = gatherLocks([&] {
        for (const hub::Who& who : gone)
            hub_.unlockAll(who);
    });
    if (!released.empty())
        broadcastLocks(released);
}

Server::Lines Server::gatherLocks(const std::function<void()>& change)
{
    changingLocks_ = true;
    locksChanged_.clear();
    change();
    changingLocks_ = false;
    std::sort(locksChanged_.begin(), locksChanged_.end());
    return std::move(locksChanged_);
}

void Server::lockChanged(int output)
{
    if (changingLocks_)
        addOnce(locksChanged_, output - 1);
    else
        broadcastLocks({output - 1});
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
        hub_.labelsSaved();
        return;
    }
    if (h == header::OutputLocks) {
        bool changed = false;
        const Lines lines = gatherLocks([&] { changed = changeLocks(c, block); });
        send(c, changed ? ack() : nak());
        if (!lines.empty())
            broadcastLocks(lines);
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
        answer = locksBlock(locksFor(c));
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
        if (!hub_.mayChange(c.who, r->output + 1))
            return false;
        routes.push_back(*r);
    }
    // One route per output waits: a later request for it replaces the input.
    for (const RouteLine& r : routes) {
        const auto same = std::find_if(pending_.begin(), pending_.end(),
                                       [&](const Pending& p) { return p.route.output == r.output; });
        if (same != pending_.end())
            *same = {r, c.who};
        else
            pending_.push_back({r, c.who});
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
        // Only a force opens another's lock (a client's here, or another front end's).
        if (l->request != LockRequest::Force && !hub_.mayChange(c.who, l->output + 1))
            return false;
        lines.push_back(*l);
    }
    for (const LockLine& l : lines) {
        if (l.request == LockRequest::Take)
            hub_.lock(c.who, l.output + 1);
        else
            hub_.unlock(c.who, l.output + 1, l.request == LockRequest::Force);
    }
    return true;
}

std::array<LockState, kPorts> Server::locksFor(const Client& c) const
{
    std::array<LockState, kPorts> out{};
    for (std::size_t o = 0; o < out.size(); ++o) {
        const std::optional<hub::Who> holder = hub_.lockOf(int(o) + 1);
        out[o] = !holder ? LockState::Unlocked : *holder == c.who ? LockState::Owned : LockState::Locked;
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
// clients too, as the hub reads them again (it leaves a damaged file's
// names as they were).
void Server::refreshNames()
{
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
// ended: it waits its turn with the hub's other front ends.
void Server::pump()
{
    if (routing_ || pending_.empty() || waitingForLine_)
        return;
    if (!hold_) {
        waitingForLine_ = true;
        runner_.whenFree(this, [this](Hold hold) {
            waitingForLine_ = false;
            hold_ = std::move(hold);
            pump();
        });
        return;
    }
    const Pending next = pending_.front();
    pending_.erase(pending_.begin());
    const RouteLine r = next.route;
    // Locked by another since it was asked: not sent, and every client sees
    // the output's route as it stands.
    if (!hub_.mayChange(next.who, r.output + 1)) {
        broadcast(routingBlock(routes_, {r.output}));
        routeEnded(r.output, r.input, true);
        return;
    }
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
    // A confirmed route has reached every client already (routeConfirmed).
    if (!done) {
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
        wholePending_ = true;
        hub_.readRouting(this, [this](bool) { sendWholeRouting(); });
    }
}

void Server::routingKnownNow()
{
    if (routingKnown_ || !hub_.state().now().routingKnown())
        return;
    const SwitchSnapshot& now = hub_.state().now();
    for (int o = 0; o < kPorts; ++o)
        routes_[std::size_t(o)] = now.routes[std::size_t(o)] - 1;
    routingKnown_ = true;
    // Clients see a routing only once every output has been read.
    for (auto& entry : clients_)
        if (!entry.second->dropped && !entry.second->greeted)
            greet(*entry.second);
}

void Server::routeConfirmed(int output, int input)
{
    if (!routingKnown_)
        return;
    routes_[std::size_t(output - 1)] = input - 1;
    broadcast(routingBlock(routes_, {output - 1}));
}

void Server::routeChanged(int output)
{
    if (!routingKnown_) {
        routingKnownNow();
        return;
    }
    const int input = hub_.state().now().routes[std::size_t(output - 1)];
    // While the routing is read back after a failed route, the whole block follows.
    if (wholePending_ || input < 1 || routes_[std::size_t(output - 1)] == input - 1)
        return;
    routes_[std::size_t(output - 1)] = input - 1;
    broadcast(routingBlock(routes_, {output - 1}));
}

void Server::sendWholeRouting()
{
    wholePending_ = false;
    if (!routingKnown_)
        return;
    const SwitchSnapshot& now = hub_.state().now();
    for (int o = 0; o < kPorts; ++o)
        if (now.routes[std::size_t(o)] >= 1)
            routes_[std::size_t(o)] = now.routes[std::size_t(o)] - 1;
    broadcast(routingBlock(routes_));
}

}  // namespace videohub
}  // namespace talvane
