#include "controlserver.h"

#include <QTcpSocket>

#include <algorithm>

#include "hub/limits.h"
#include "ops/connection.h"
#include "ops/limits.h"
#include "protocol/answers.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {
namespace hub {

std::optional<std::vector<Subnet>> parseSubnets(const QString& text)
{
    std::vector<Subnet> out;
    for (const QString& part : text.split(u',', Qt::SkipEmptyParts)) {
        const QString item = part.trimmed();
        Subnet subnet;
        if (item.contains(u'/')) {
            subnet = QHostAddress::parseSubnet(item);
        } else {
            QHostAddress host;
            if (host.setAddress(item))
                subnet = {host, host.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
            else
                subnet = {QHostAddress(), -1};
        }
        if (subnet.first.isNull() || subnet.second < 0)
            return std::nullopt;
        out.push_back(subnet);
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

// What a procedure of several frames is, for its client.
enum class Procedure { None, EdidUpload, Firmware };

namespace {

// How long the client that sent these bytes waits for their answer (an
// operator's command's wait for anything no front end of ours sends).
ForwardedWait waitOf(const std::vector<std::uint8_t>& bytes, const std::optional<CommandFrame>& header)
{
    using talvane::limits::Command;
    return forwardedWait(bytes.data(), bytes.size(), header ? &*header : nullptr)
        .value_or(ForwardedWait{Command.firstMs, Command.retryMs, Command.firstMs + Command.retryMs});
}

// Whether `rule` is one of the frames that carry procedure `kind` on: what
// a client sends in between (another command, the start of another
// procedure) ends it first, and waits its turn like any other command.
bool continues(Procedure kind, const AnswerRule& rule)
{
    using Kind = AnswerRule::Kind;
    switch (kind) {
    case Procedure::EdidUpload:
        return rule.kind() == Kind::EdidUploadTarget || rule.kind() == Kind::EdidBlockHeader
               || rule.kind() == Kind::EdidBlock;
    case Procedure::Firmware:
        return rule.kind() == Kind::TransferRequest || rule.kind() == Kind::FirmwareBlock
               || rule.kind() == Kind::RebootPoll;
    case Procedure::None:
        break;
    }
    return false;
}

AnswerRule ruleOf(const std::vector<std::uint8_t>& bytes, const std::optional<CommandFrame>& header)
{
    return AnswerRule::of(bytes.data(), bytes.size(), header ? &*header : nullptr);
}

}  // namespace

struct ControlServer::Client {
    int id = 0;
    QTcpSocket* socket = nullptr;
    QString peer;
    Who who;  // a program that has not said who it is: its connection
    StreamParser parser;
    std::deque<Unit> queue;
    std::optional<CommandFrame> blockHeader;  // the last EDID block header it sent
    // Dropped with the client: its turn for the line goes with it.
    std::unique_ptr<QObject> turn = std::make_unique<QObject>();
    bool waitingForLine = false;
    Session::Id exchange = 0;  // its exchange on the line
    Unit inFlight;
    Hold line;       // held for the exchange on the line
    Hold procedure;  // held through a procedure of several frames
    Procedure kind = Procedure::None;
    OneShot procedureIdle;
    qint64 garbage = 0;
    bool readPosted = false;
    bool dropped = false;

    explicit Client(Clock* clock) : procedureIdle(clock) {}
    bool full() const { return int(queue.size()) >= limits::MaxQueuedPerClient; }
};

ControlServer::ControlServer(Connection& connection, QObject* parent)
    : QObject(parent)
    , connection_(connection)
{
    connect(&listener_, &QTcpServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer()
{
    for (auto& entry : clients_) {
        Client& c = *entry.second;
        if (c.exchange)
            connection_.session().cancel(c.exchange);
        c.socket->disconnect(this);
        c.socket->abort();
        delete c.socket;
    }
}

bool ControlServer::listen(const QHostAddress& address, quint16 port) { return listener_.listen(address, port); }

int ControlServer::clientCount() const
{
    return int(std::count_if(clients_.begin(), clients_.end(), [](const auto& e) { return !e.second->dropped; }));
}

qint64 ControlServer::heldBytes() const
{
    qint64 n = 0;
    for (const auto& entry : clients_) {
        const Client& c = *entry.second;
        n += qint64(c.parser.heldBytes());
        for (const Unit& u : c.queue)
            n += qint64(u.bytes.size());
        if (!c.dropped)
            n += c.socket->bytesAvailable() + c.socket->bytesToWrite();
    }
    return n;
}

bool isAllowed(const std::vector<Subnet>& allowed, const QHostAddress& peer)
{
    if (allowed.empty())
        return true;
    // An IPv4 client of a dual-stack listener arrives as ::ffff:a.b.c.d.
    bool v4 = false;
    const QHostAddress plain(peer.toIPv4Address(&v4));
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const Subnet& s) { return peer.isInSubnet(s) || (v4 && plain.isInSubnet(s)); });
}

// --- clients -------------------------------------------------------------------

void ControlServer::onNewConnection()
{
    while (QTcpSocket* socket = listener_.nextPendingConnection()) {
        const QString peer = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
        QString refusal;
        if (!isAllowed(allowed_, socket->peerAddress()))
            refusal = QStringLiteral("its address is not allowed (--allow)");
        else if (clientCount() >= limits::MaxClients)
            refusal = QStringLiteral("too many clients");
        if (!refusal.isEmpty()) {
            ++counters_.droppedClients;
            emit clientRefused(peer, refusal);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>(&connection_.clock());
        const int id = nextId_++;
        client->id = id;
        client->socket = socket;
        client->peer = peer;
        client->who = {Who::Kind::Control, peer, QStringLiteral("control client %1").arg(peer)};
        socket->setParent(nullptr);
        socket->setReadBufferSize(limits::ReadBufferBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            const auto it = clients_.find(id);
            if (it != clients_.end())
                drop(*it->second, QString());
        });
        clients_.emplace(id, std::move(client));
        emit clientCountChanged(clientCount());
    }
}

void ControlServer::readFrom(int id)
{
    const auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    c.readPosted = false;
    // A client with enough waiting is read again once the line has taken one.
    if (c.dropped || c.full())
        return;
    const QByteArray piece = c.socket->read(limits::ReadPieceBytes);
    if (!piece.isEmpty()) {
        c.garbage += piece.size();
        c.parser.feed(reinterpret_cast<const std::uint8_t*>(piece.constData()), std::size_t(piece.size()),
                      [this, &c](const StreamUnit& unit) { take(c, unit); });
        if (!c.dropped && c.garbage > limits::MaxGarbageBytes)
            drop(c, QStringLiteral("it sends what is not the switch's protocol"));
    }
    // The rest on a later turn, after the other clients had theirs.
    if (!c.dropped && !c.full() && c.socket->bytesAvailable() > 0 && !c.readPosted) {
        c.readPosted = true;
        QMetaObject::invokeMethod(this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
    }
}

void ControlServer::take(Client& c, const StreamUnit& unit)
{
    if (c.dropped)
        return;
    const auto refuse = [this] { ++counters_.refusedFrames; };
    Unit u{std::vector<std::uint8_t>(unit.data, unit.data + unit.size), std::nullopt, connection_.clock().nowMs()};
    switch (unit.kind) {
    case StreamUnit::Kind::Command: {
        const CommandFrame frame = CommandFrame::fromBytes(unit.data);
        const AnswerRule rule = AnswerRule::of(frame);
        if (!rule.known())
            return refuse();
        if (lockedAgainst(c, u.bytes)) {
            ++counters_.lockedFrames;
            c.garbage = 0;
            return;
        }
        // The EDID block's header and the block itself only within an upload.
        if (rule.kind() == AnswerRule::Kind::EdidBlockHeader) {
            if (c.kind != Procedure::EdidUpload)
                return refuse();
            c.blockHeader = frame;
        }
        break;
    }
    case StreamUnit::Kind::Data:
        if (c.kind != Procedure::Firmware)
            return refuse();
        break;
    case StreamUnit::Kind::EdidBlock:
        if (c.kind != Procedure::EdidUpload || !c.blockHeader)
            return refuse();
        u.blockHeader = c.blockHeader;
        c.blockHeader.reset();
        break;
    case StreamUnit::Kind::BadCommand:
    case StreamUnit::Kind::BadData:
        return refuse();
    }
    c.garbage = 0;
    enqueue(c, std::move(u));
}

void ControlServer::enqueue(Client& c, Unit unit)
{
    // The client's resend of the bytes on the line goes out as it sends it;
    // of bytes still waiting it is not queued twice.
    if (c.exchange && unit.bytes == c.inFlight.bytes) {
        if (connection_.session().repeat(c.exchange))
            ++counters_.resends;
        return;
    }
    if (std::any_of(c.queue.begin(), c.queue.end(), [&](const Unit& q) { return q.bytes == unit.bytes; })) {
        ++counters_.duplicates;
        return;
    }
    c.queue.push_back(std::move(unit));
    schedule(c);
}

void ControlServer::schedule(Client& c)
{
    if (c.dropped || c.exchange || c.waitingForLine || c.queue.empty())
        return;
    if (c.procedure) {
        const Unit& next = c.queue.front();
        if (continues(c.kind, ruleOf(next.bytes, next.blockHeader))) {
            c.procedureIdle.stop();
            send(c, Hold());
            return;
        }
        endProcedure(c);
    }
    // With the switch free and no one waiting, its turn is now.
    Runner& runner = connection_.runner();
    if (!runner.busy() && runner.waiting() == 0) {
        send(c, runner.hold());
        return;
    }
    c.waitingForLine = true;
    const int id = c.id;
    runner.whenFree(c.turn.get(), [this, id](Hold hold) { granted(id, std::move(hold)); });
}

void ControlServer::granted(int id, Hold hold)
{
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second->dropped)
        return;
    Client& c = *it->second;
    c.waitingForLine = false;
    send(c, std::move(hold));
}

void ControlServer::dropExpired(Client& c)
{
    const qint64 now = connection_.clock().nowMs();
    while (!c.queue.empty()) {
        const Unit& u = c.queue.front();
        if (now - u.arrivedMs < waitOf(u.bytes, u.blockHeader).totalMs)
            break;
        c.queue.pop_front();
        ++counters_.expired;
    }
}

bool ControlServer::claim(const QHostAddress& address, quint16 port, const Who& who)
{
    for (auto& entry : clients_) {
        Client& c = *entry.second;
        if (!c.dropped && c.socket->peerPort() == port
            && c.socket->peerAddress().isEqual(address, QHostAddress::TolerantConversion)) {
            c.who = who;
            return true;
        }
    }
    return false;
}

bool ControlServer::lockedAgainst(const Client& c, const std::vector<std::uint8_t>& bytes) const
{
    if (!locks_ || bytes.size() != kCommandFrameSize)
        return false;
    const CommandFrame frame = CommandFrame::fromBytes(bytes.data());
    const AnswerRule rule = AnswerRule::of(frame);
    int output = 0;
    if (rule.kind() == AnswerRule::Kind::RouteSet)
        output = decode::routeSetCommand(frame).output;
    else if (rule.kind() == AnswerRule::Kind::ArcSet)
        output = decode::arcOutput(frame);
    return output != 0 && !locks_->mayChange(c.who, output);
}

void ControlServer::send(Client& c, Hold hold)
{
    // Its client has given up on what waited too long: the switch would
    // carry it out after the client reported it failed.
    dropExpired(c);
    // A lock taken while it waited.
    while (!c.queue.empty() && lockedAgainst(c, c.queue.front().bytes)) {
        c.queue.pop_front();
        ++counters_.lockedFrames;
    }
    if (c.queue.empty())
        return;  // the hold, if any, ends here
    c.inFlight = std::move(c.queue.front());
    c.queue.pop_front();
    const std::vector<std::uint8_t>& bytes = c.inFlight.bytes;
    const CommandFrame* header = c.inFlight.blockHeader ? &*c.inFlight.blockHeader : nullptr;
    const AnswerRule rule = AnswerRule::of(bytes.data(), bytes.size(), header);
    if (c.kind == Procedure::None) {
        // A procedure keeps the line from its first frame to its end.
        if (rule.kind() == AnswerRule::Kind::EdidUploadRequest)
            c.kind = Procedure::EdidUpload;
        else if (rule.kind() == AnswerRule::Kind::UpgradeStart)
            c.kind = Procedure::Firmware;
        if (c.kind != Procedure::None)
            c.procedure = std::move(hold);
    }
    if (hold)
        c.line = std::move(hold);
    Request request;
    request.bytes = bytes;
    if (rule.expectsAnswer()) {
        const ForwardedWait w = waitOf(bytes, c.inFlight.blockHeader);
        request.answers = rule;
        // The hub never resends by itself: the client's own resend goes out
        // when it comes (Session::repeat), and waits as long as after a
        // resend. Where one may come, the hub waits for it a little longer
        // than its client does before it, within the client's whole wait.
        const int grace = w.retryMs > 0 ? limits::ResendGraceMs : 0;
        request.timing = Timing{w.firstMs + grace, (w.retryMs > 0 ? w.retryMs : w.firstMs) + grace, 0, w.totalMs};
    }
    ++counters_.forwarded;
    const int id = c.id;
    c.exchange = connection_.session().start(
        std::move(request), [this, id](const CommandFrame& reply) { exchangeEnded(id, &reply); },
        [this, id] { exchangeEnded(id, nullptr); });
}

void ControlServer::exchangeEnded(int id, const CommandFrame* answer)
{
    const auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    c.exchange = 0;
    const Unit done = std::move(c.inFlight);
    c.inFlight = Unit();
    const AnswerRule rule = ruleOf(done.bytes, done.blockHeader);
    if (answer) {
        ++counters_.answered;
        reply(c, *answer);
    } else if (rule.expectsAnswer()) {
        ++counters_.unanswered;
    }
    if (c.dropped)
        return;
    // Where a procedure ends: the EDID block answered or not, an upload the
    // switch will not take, an upgrade's reboot poll answered. Otherwise it
    // ends once its client has let it rest (see armProcedureIdle).
    bool ends = false;
    if (c.kind == Procedure::EdidUpload) {
        const bool accepted = answer && rule.kind() == AnswerRule::Kind::EdidUploadTarget
                              && decode::edidAnswer(*answer, rule.sent()) == decode::EdidAnswer::Accepted;
        const bool ready = answer && rule.kind() == AnswerRule::Kind::EdidUploadRequest;
        const bool header = rule.kind() == AnswerRule::Kind::EdidBlockHeader;
        ends = !accepted && !ready && !header;
    } else if (c.kind == Procedure::Firmware) {
        ends = answer && rule.kind() == AnswerRule::Kind::RebootPoll;
        // Refused at its start, or failed at a block: nothing more follows.
        if (answer && rule.kind() == AnswerRule::Kind::UpgradeStart && decode::ackStatus(*answer) != 0)
            ends = true;
        if (answer && rule.kind() == AnswerRule::Kind::FirmwareBlock && decode::blockAck(*answer).status == kBlockFailed)
            ends = true;
    }
    c.line.end();
    if (ends)
        endProcedure(c);
    else if (c.kind != Procedure::None && c.queue.empty())
        armProcedureIdle(c);
    schedule(c);
    // It may send again: what waits in its connection is read now.
    if (c.socket->bytesAvailable() > 0 && !c.readPosted) {
        c.readPosted = true;
        QMetaObject::invokeMethod(this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
    }
}

void ControlServer::armProcedureIdle(Client& c)
{
    const int id = c.id;
    c.procedureIdle.start(limits::ProcedureIdleMs, [this, id] {
        const auto it = clients_.find(id);
        if (it != clients_.end() && !it->second->exchange)
            endProcedure(*it->second);
    });
}

void ControlServer::endProcedure(Client& c)
{
    c.kind = Procedure::None;
    c.blockHeader.reset();
    c.procedureIdle.stop();
    c.procedure.end();
}

void ControlServer::reply(Client& c, const CommandFrame& frame)
{
    if (c.dropped)
        return;
    c.socket->write(reinterpret_cast<const char*>(frame.data()), qint64(frame.size()));
    // Out now, not at the socket's next turn of the event loop: the client's
    // next command waits for this answer.
    c.socket->flush();
    if (c.socket->bytesToWrite() > limits::MaxUnreadBytes)
        drop(c, QStringLiteral("it does not read what it is sent"));
}

// Closes the connection now; its exchange leaves the line at once, and the
// client is forgotten once the handler that dropped it has returned.
void ControlServer::drop(Client& c, const QString& why)
{
    if (c.dropped)
        return;
    c.dropped = true;
    c.socket->disconnect(this);
    c.socket->abort();
    if (c.exchange) {
        connection_.session().cancel(c.exchange);
        c.exchange = 0;
    }
    c.queue.clear();
    c.turn.reset();
    c.line.end();
    endProcedure(c);
    if (!why.isEmpty()) {
        ++counters_.droppedClients;
        emit clientRefused(c.peer, why);
    }
    if (!reapPosted_) {
        reapPosted_ = true;
        QMetaObject::invokeMethod(this, &ControlServer::reap, Qt::QueuedConnection);
    }
}

void ControlServer::reap()
{
    reapPosted_ = false;
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!it->second->dropped) {
            ++it;
            continue;
        }
        it->second->socket->deleteLater();
        it = clients_.erase(it);
    }
    emit clientCountChanged(clientCount());
}

}  // namespace hub
}  // namespace talvane
