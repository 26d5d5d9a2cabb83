#include "hubchannel.h"

#include <QJsonDocument>
#include <QLocalSocket>

namespace talvane {
namespace hubchannel {

QByteArray line(const QJsonObject& message) { return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n'; }

QString frontPanelText(const QString& output, const QString& holder, int input, bool restoring)
{
    return QStringLiteral("Output %1, locked by %2, was switched to input %3 at the switch%4")
        .arg(output, holder)
        .arg(input)
        .arg(restoring ? QStringLiteral("; the hub puts its route back") : QString());
}

QString text(const QJsonObject& e)
{
    const QString kind = e.value(key::Event).toString();
    const QString output = e.value(key::Output).toString();
    const auto onOff = [&e] {
        const QJsonValue on = e.value(key::On);
        return on.isBool() ? (on.toBool() ? QStringLiteral("on") : QStringLiteral("off")) : QStringLiteral("unknown");
    };
    if (kind == event::Lock) {
        const QJsonValue holder = e.value(key::Holder);
        return holder.isString() ? QStringLiteral("Output %1 locked by %2").arg(output, holder.toString())
                                 : QStringLiteral("Output %1 unlocked").arg(output);
    }
    if (kind == event::Route) {
        const int input = e.value(key::Input).toInt();
        return input > 0 ? QStringLiteral("Input %1 -> output %2").arg(input).arg(output)
                         : QStringLiteral("Output %1: route unknown").arg(output);
    }
    if (kind == event::Arc)
        return QStringLiteral("ARC of output %1: %2").arg(output, onOff());
    if (kind == event::Power)
        return QStringLiteral("Power: %1").arg(onOff());
    if (kind == event::Beeper)
        return QStringLiteral("Beeper: %1").arg(onOff());
    if (kind == event::FrontPanel)
        return frontPanelText(output, e.value(key::Holder).toString(), e.value(key::Input).toInt(), e.value(key::Restoring).toBool());
    return QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact));
}

Client::Client(QObject* parent)
    : QObject(parent)
{
}

Client::~Client()
{
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        delete socket_.data();
    }
}

void Client::connectTo(const QString& path)
{
    ended_ = false;
    socket_ = new QLocalSocket(this);
    connect(socket_, &QLocalSocket::connected, this, &Client::connected);
    connect(socket_, &QLocalSocket::readyRead, this, &Client::readLines);
    connect(socket_, &QLocalSocket::errorOccurred, this, [this] { fail(socket_->errorString()); });
    connect(socket_, &QLocalSocket::disconnected, this, [this] { fail(QStringLiteral("the hub closed the channel")); });
    socket_->connectToServer(path);
}

bool Client::isConnected() const { return socket_ && socket_->state() == QLocalSocket::ConnectedState; }

void Client::request(QJsonObject request, std::function<void(const QJsonObject&)> answered)
{
    if (!isConnected()) {
        if (answered)
            answered(QJsonObject{});
        return;
    }
    waiting_.push_back(std::move(answered));
    socket_->write(line(request));
    socket_->flush();
}

void Client::readLines()
{
    if (!socket_)
        return;
    buffer_ += socket_->readAll();
    qsizetype end = 0;
    while (!ended_ && (end = buffer_.indexOf('\n')) >= 0) {
        const QJsonObject message = QJsonDocument::fromJson(buffer_.left(end)).object();
        buffer_.remove(0, end + 1);
        if (message.contains(key::Event)) {
            emit changeSeen(message);
        } else if (!waiting_.empty()) {
            auto answered = std::move(waiting_.front());
            waiting_.pop_front();
            if (answered)
                answered(message);
        }
    }
    if (!ended_ && buffer_.size() > MaxLineBytes)
        fail(QStringLiteral("the hub sent a line too long"));
}

void Client::fail(const QString& why)
{
    if (ended_)
        return;
    ended_ = true;
    // Whoever waits hears that no answer comes.
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& answered : waiting)
        if (answered)
            answered(QJsonObject{});
    emit lost(why);
}

}  // namespace hubchannel
}  // namespace talvane
