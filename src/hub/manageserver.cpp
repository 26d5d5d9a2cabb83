#include "manageserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

#include "hub/controlserver.h"
#include "hub/limits.h"
#include "link/hubchannel.h"

namespace talvane {
namespace hub {

namespace ch = hubchannel;

struct ManageServer::Client {
    int id = 0;
    QLocalSocket* socket = nullptr;
    QString peer;  // "pid 1234", for messages
    qint64 pid = 0;
    Who who{Who::Kind::CommandLine, QString(), QStringLiteral("the command line")};
    QByteArray buffer;
    bool watching = false;
    bool dropped = false;
};

namespace {

// The process at the other end of a local socket, when the system says.
bool peerOf(qintptr fd, uid_t* uid, pid_t* pid)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred)
        return false;
    *uid = cred.uid;
    *pid = cred.pid;
    return true;
}

QString letter(int output) { return QString(QLatin1Char(outputLetter(output))); }

// An output as the channel writes it ("B"); 0 when it is not one.
int outputOf(const QJsonValue& v)
{
    const QString s = v.toString().toUpper();
    return s.size() == 1 && s[0] >= u'A' && s[0] < QChar(u'A' + kPortCount) ? s[0].unicode() - u'A' + 1 : 0;
}

QJsonObject answer(bool ok, const QString& why = QString())
{
    QJsonObject o{{ch::key::Ok, ok}};
    if (!ok)
        o.insert(ch::key::Error, why);
    return o;
}

QJsonValue holderOf(const std::optional<Who>& who) { return who ? QJsonValue(who->name) : QJsonValue(); }

}  // namespace

ManageServer::ManageServer(Hub& hub, ControlServer* control, QObject* parent)
    : QObject(parent)
    , hub_(hub)
    , control_(control)
{
    listener_.setSocketOptions(QLocalServer::UserAccessOption);
    listener_.setMaxPendingConnections(limits::MaxManageClients);
    connect(&listener_, &QLocalServer::newConnection, this, &ManageServer::onNewConnection);
    // Every change the hub sees, for those who watch.
    connect(&hub_, &Hub::lockChanged, this, [this](int output) {
        broadcast({{ch::key::Event, ch::event::Lock}, {ch::key::Output, letter(output)}, {ch::key::Holder, holderOf(hub_.lockOf(output))}});
    });
    connect(&hub_, &Hub::lockedRouteChanged, this, [this](int output, int input, const Who& holder, bool restoring) {
        broadcast({{ch::key::Event, ch::event::FrontPanel},
                   {ch::key::Output, letter(output)},
                   {ch::key::Input, input},
                   {ch::key::Holder, holder.name},
                   {ch::key::Restoring, restoring}});
    });
    connect(&hub_.state(), &SwitchState::changed, this, [this](SwitchState::Aspect aspect, int port) {
        const SwitchSnapshot& now = hub_.state().now();
        const auto flag = [](const std::optional<bool>& v) { return v ? QJsonValue(*v) : QJsonValue(); };
        QJsonObject e;
        switch (aspect) {
        case SwitchState::Aspect::Route:
            e = {{ch::key::Event, ch::event::Route}, {ch::key::Output, letter(port)}, {ch::key::Input, now.routes[std::size_t(port - 1)]}};
            break;
        case SwitchState::Aspect::Arc:
            e = {{ch::key::Event, ch::event::Arc}, {ch::key::Output, letter(port)}, {ch::key::On, flag(now.arc[std::size_t(port - 1)])}};
            break;
        case SwitchState::Aspect::Power:
            e = {{ch::key::Event, ch::event::Power}, {ch::key::On, flag(now.power)}};
            break;
        case SwitchState::Aspect::Beeper:
            e = {{ch::key::Event, ch::event::Beeper}, {ch::key::On, flag(now.beeper)}};
            break;
        default:
            return;  // what is plugged in, EDID codes, the device: talvane-ctl status shows them
        }
        broadcast(e);
    });
}

ManageServer::~ManageServer()
{
    for (auto& entry : clients_) {
        entry.second->socket->disconnect(this);
        entry.second->socket->abort();
        delete entry.second->socket;
    }
    listener_.close();
}

bool ManageServer::listen(const QString& path)
{
    // A socket file left by an earlier process of this number.
    QLocalServer::removeServer(path);
    return listener_.listen(path);
}

int ManageServer::clientCount() const
{
    return int(std::count_if(clients_.begin(), clients_.end(), [](const auto& e) { return !e.second->dropped; }));
}

void ManageServer::onNewConnection()
{
    while (QLocalSocket* socket = listener_.nextPendingConnection()) {
        uid_t uid = 0;
        pid_t pid = 0;
        const bool known = peerOf(socket->socketDescriptor(), &uid, &pid);
        const QString peer = known ? QStringLiteral("pid %1").arg(pid) : QStringLiteral("a process the system does not name");
        QString refusal;
        if (!known || uid != ::geteuid())
            refusal = QStringLiteral("it is another user's (uid %1)").arg(known ? QString::number(uid) : QStringLiteral("unknown"));
        else if (clientCount() >= limits::MaxManageClients)
            refusal = QStringLiteral("too many clients");
        if (!refusal.isEmpty()) {
            emit clientRefused(peer, refusal);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        const int id = nextId_++;
        client->id = id;
        client->socket = socket;
        client->peer = peer;
        client->pid = pid;
        socket->setParent(nullptr);
        socket->setReadBufferSize(ch::MaxLineBytes);
        connect(socket, &QLocalSocket::readyRead, this, [this, id] { readFrom(id); });
        connect(socket, &QLocalSocket::disconnected, this, [this, id] {
            const auto it = clients_.find(id);
            if (it != clients_.end())
                drop(*it->second, QString());
        });
        clients_.emplace(id, std::move(client));
    }
}

void ManageServer::readFrom(int id)
{
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second->dropped)
        return;
    Client& c = *it->second;
    // Its whole line and no more is held for it.
    c.buffer += c.socket->read(ch::MaxLineBytes + 1 - c.buffer.size());
    qsizetype end = 0;
    while (!c.dropped && (end = c.buffer.indexOf('\n')) >= 0) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(c.buffer.left(end), &error);
        c.buffer.remove(0, end + 1);
        send(c, doc.isObject() ? handle(c, doc.object()) : answer(false, QStringLiteral("not a JSON object")));
    }
    if (!c.dropped && c.buffer.size() > ch::MaxLineBytes)
        drop(c, QStringLiteral("it sent a line longer than %1 bytes").arg(ch::MaxLineBytes));
    if (!c.dropped && c.socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this, id] { readFrom(id); }, Qt::QueuedConnection);
}

QJsonObject ManageServer::handle(Client& c, const QJsonObject& request)
{
    const QString op = request.value(ch::key::Op).toString();
    if (op == ch::op::Hello) {
        const QString as = request.value(ch::key::As).toString();
        if (as == ch::as::Panel)
            c.who = {Who::Kind::Panel, QString::number(c.pid), QStringLiteral("the panel (pid %1)").arg(c.pid)};
        else if (as == ch::as::CommandLine)
            c.who = {Who::Kind::CommandLine, QString(), QStringLiteral("the command line")};
        else
            return answer(false, QStringLiteral("\"as\" is \"%1\" or \"%2\"").arg(ch::as::CommandLine, ch::as::Panel));
        const QJsonObject at = request.value(ch::key::Control).toObject();
        if (!at.isEmpty()) {
            const QHostAddress address(at.value(ch::key::Address).toString());
            const int port = at.value(ch::key::Port).toInt();
            if (!control_ || !control_->claim(address, quint16(port), c.who))
                return answer(false, QStringLiteral("no connection to the control port from %1:%2").arg(address.toString()).arg(port));
        }
        QJsonObject o = answer(true);
        o.insert(ch::key::Holder, c.who.name);
        return o;
    }
    if (op == ch::op::Lock || op == ch::op::Unlock) {
        const int output = outputOf(request.value(ch::key::Output));
        if (output == 0)
            return answer(false, QStringLiteral("\"output\" is one of A-H"));
        QString why;
        const bool ok = op == ch::op::Lock ? hub_.lock(c.who, output, &why)
                                           : hub_.unlock(c.who, output, request.value(ch::key::Force).toBool(), &why);
        return answer(ok, why);
    }
    if (op == ch::op::Locks) {
        QJsonArray list;
        for (int o = 1; o <= kPortCount; ++o)
            if (const std::optional<Who> holder = hub_.lockOf(o))
                list.append(QJsonObject{{ch::key::Output, letter(o)}, {ch::key::Holder, holder->name}, {ch::key::Mine, *holder == c.who}});
        QJsonObject o = answer(true);
        o.insert(ch::key::Locks, list);
        return o;
    }
    if (op == ch::op::Watch) {
        c.watching = true;
        return answer(true);
    }
    return answer(false, QStringLiteral("unknown operation \"%1\"").arg(op));
}

void ManageServer::send(Client& c, const QJsonObject& message)
{
    if (c.dropped)
        return;
    c.socket->write(ch::line(message));
    if (c.socket->bytesToWrite() > limits::MaxManageUnreadBytes)
        drop(c, QStringLiteral("it does not read what it is sent"));
}

void ManageServer::broadcast(const QJsonObject& event)
{
    for (auto& entry : clients_)
        if (entry.second->watching)
            send(*entry.second, event);
}

// Closes the connection now; a panel's locks go with it once the handler
// that dropped it has returned (the command line's stay for its next run).
void ManageServer::drop(Client& c, const QString& why)
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
        QMetaObject::invokeMethod(this, &ManageServer::reap, Qt::QueuedConnection);
    }
}

void ManageServer::reap()
{
    reapPosted_ = false;
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!it->second->dropped) {
            ++it;
            continue;
        }
        const Who who = it->second->who;
        it->second->socket->deleteLater();
        it = clients_.erase(it);
        if (who.kind == Who::Kind::Panel)
            hub_.unlockAll(who);
    }
}

}  // namespace hub
}  // namespace talvane
