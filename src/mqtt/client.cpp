#include "client.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "mqtt/limits.h"

namespace talvane {
namespace mqtt {

namespace {

constexpr int kQos = 1;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString errorText(int rc)
{
    return QString::fromUtf8(mosquitto_strerror(rc));
}

}  // namespace

bool parseBrokerAddress(const QString& text, BrokerOptions& options)
{
    QString host = text.trimmed();
    QString port;
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0)
            return false;
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return false;
        port = rest.mid(1);
        if (!rest.isEmpty() && port.isEmpty())
            return false;
        host = host.mid(1, close - 1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return false;
    } else if (host.count(u':') == 1) {
        port = host.section(u':', 1);
        host = host.section(u':', 0, 0);
        if (port.isEmpty())
            return false;
    } else if (host.count(u':') > 1) {
        // An IPv6 address alone.
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return false;
    }
    if (host.isEmpty())
        return false;
    for (QChar c : host)
        if (!(c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u':'))
            return false;
    int number = 0;
    if (!port.isEmpty()) {
        bool ok = false;
        number = port.toInt(&ok);
        if (!ok || number < 1 || number > 65535 || !port.front().isDigit())
            return false;
    }
    options.host = host;
    options.port = number;
    return true;
}

Client::Client(BrokerOptions options, Clock* clock, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
    , protocol_(options_.protocol == BrokerOptions::Protocol::Auto ? BrokerOptions::Protocol::V5 : options_.protocol)
    , clock_(clock ? clock : &appClock())
    , retry_(clock_)
    , connectLimit_(clock_)
{
    initLibrary();
}

Client::~Client() { stop(); }

QString Client::brokerName() const
{
    const int port = options_.port ? options_.port : options_.caFile.isEmpty() ? limits::DefaultPort : limits::DefaultTlsPort;
    const QString host = options_.host.contains(u':') ? u'[' + options_.host + u']' : options_.host;
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

void Client::start()
{
    if (running_)
        return;
    running_ = true;
    retryMs_ = limits::RetryFirstMs;
    attemptCount_ = 0;
    attempt();
}

void Client::stop()
{
    running_ = false;
    retry_.stop();
    connectLimit_.stop();
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    if (keepaliveTimer_) {
        clock_->stopTimer(keepaliveTimer_);
        keepaliveTimer_ = 0;
    }
    if (mosq_) {
        if (connected_) {
            // What is queued goes out before the goodbye; the socket does
            // not block, so a full one ends this at once.
            for (int i = 0; i < 16 && mosquitto_want_write(mosq_); ++i)
                if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS)
                    break;
            mosquitto_disconnect(mosq_);
        }
        destroyHandle();
    }
    connected_ = false;
    attempting_ = false;
}

bool Client::makeHandle()
{
    destroyHandle();
    const QByteArray id = options_.clientId.toUtf8();
    ++handle_;
    mosq_ = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!mosq_)
        return false;
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         protocol_ == BrokerOptions::Protocol::V311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(mosq_, &Client::onConnect);
    mosquitto_disconnect_callback_set(mosq_, &Client::onDisconnect);
    mosquitto_message_callback_set(mosq_, &Client::onMessage);
    if (!options_.user.isEmpty())
        mosquitto_username_pw_set(mosq_, options_.user.toUtf8().constData(),
                                  options_.password.isEmpty() ? nullptr : options_.password.toUtf8().constData());
    if (!options_.willTopic.isEmpty())
        mosquitto_will_set(mosq_, options_.willTopic.toUtf8().constData(), int(options_.willPayload.size()),
                           options_.willPayload.constData(), kQos, true);
    if (!options_.caFile.isEmpty()) {
        const int rc = mosquitto_tls_set(mosq_, options_.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr,
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return false;
    }
    return true;
}

void Client::destroyHandle()
{
    if (!mosq_)
        return;
    dropSocket();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    ++handle_;
}

void Client::attempt()
{
    if (!running_)
        return;
    ++attemptCount_;
    attempting_ = true;
    connectLimit_.start(limits::ConnectLimitMs, [this] { failAttempt(QStringLiteral("no answer from the broker")); });
    // The name is looked up without blocking the event loop; with TLS the
    // library gets the name itself, to check the certificate against it.
    QHostAddress literal;
    if (literal.setAddress(options_.host)) {
        connectTo(options_.host);
        return;
    }
    lookupId_ = QHostInfo::lookupHost(options_.host, this, [this](const QHostInfo& info) { resolved(info); });
}

void Client::resolved(const QHostInfo& info)
{
    lookupId_ = -1;
    if (!attempting_)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failAttempt(QStringLiteral("cannot find %1: %2").arg(options_.host, info.errorString()));
        return;
    }
    connectTo(options_.caFile.isEmpty() ? info.addresses().constFirst().toString() : options_.host);
}

void Client::connectTo(const QString& address)
{
    if (!makeHandle()) {
        failAttempt(options_.caFile.isEmpty() ? QStringLiteral("the MQTT library cannot start")
                                              : QStringLiteral("cannot use the CA file %1").arg(options_.caFile));
        return;
    }
    const int port = options_.port ? options_.port : options_.caFile.isEmpty() ? limits::DefaultPort : limits::DefaultTlsPort;
    const int rc = mosquitto_connect_async(mosq_, address.toUtf8().constData(), port, limits::KeepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        failAttempt(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno)) : errorText(rc));
        return;
    }
    watchSocket();
}

void Client::watchSocket()
{
    const int fd = mosquitto_socket(mosq_);
    if (fd != socket_) {
        dropSocket();
        socket_ = fd;
        if (fd < 0)
            return;
        readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        writeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        connect(readNotifier_.get(), &QSocketNotifier::activated, this,
                [this] { callLibrary([](mosquitto* m) { return mosquitto_loop_read(m, 1); }); });
        connect(writeNotifier_.get(), &QSocketNotifier::activated, this,
                [this] { callLibrary([](mosquitto* m) { return mosquitto_loop_write(m, 1); }); });
    }
    if (writeNotifier_)
        writeNotifier_->setEnabled(mosquitto_want_write(mosq_));
}

void Client::dropSocket()
{
    readNotifier_.reset();
    writeNotifier_.reset();
    socket_ = -1;
}

void Client::callLibrary(const std::function<int(mosquitto*)>& call)
{
    if (!mosq_)
        return;
    inLibrary_ = true;
    const int rc = call(mosq_);
    inLibrary_ = false;
    afterCall(rc);
}

void Client::afterCall(int rc)
{
    if (!mosq_)
        return;
    // The library closes its socket when the connection ends: the
    // notifiers go before anything else can get the same descriptor.
    if (mosquitto_socket(mosq_) < 0 || (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)) {
        dropSocket();
        // After what the library reported before it (the broker's refusal
        // of the hub comes just before it closes the connection).
        const int why = rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc;
        QMetaObject::invokeMethod(
            this, [this, why, gen = handle_] { if (gen == handle_) disconnectedBy(why); }, Qt::QueuedConnection);
        return;
    }
    watchSocket();
}

// The library calls these from inside its own calls: what they report is
// handled once that call has returned, and only while the handle that
// reported it is still the current one.
void Client::onConnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<Client*>(self);
    QMetaObject::invokeMethod(
        c, [c, rc, gen = c->handle_] { if (gen == c->handle_) c->connackArrived(rc); }, Qt::QueuedConnection);
}

void Client::onDisconnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<Client*>(self);
    QMetaObject::invokeMethod(
        c, [c, rc, gen = c->handle_] { if (gen == c->handle_) c->disconnectedBy(rc == 0 ? MOSQ_ERR_CONN_LOST : rc); },
        Qt::QueuedConnection);
}

void Client::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<Client*>(self);
    const QString topic = QString::fromUtf8(m->topic);
    const QByteArray payload(static_cast<const char*>(m->payload), m->payloadlen);
    const bool retained = m->retain;
    QMetaObject::invokeMethod(
        c, [c, topic, payload, retained, gen = c->handle_] { if (gen == c->handle_) emit c->message(topic, payload, retained); },
        Qt::QueuedConnection);
}

void Client::connackArrived(int rc)
{
    if (!attempting_ || !mosq_)
        return;
    if (rc != 0) {
        // A broker that speaks only 3.1.1 refuses 5: straight on with 3.1.1.
        const bool protocolRefused = rc == CONNACK_REFUSED_PROTOCOL_VERSION || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
        if (protocolRefused && options_.protocol == BrokerOptions::Protocol::Auto
            && protocol_ == BrokerOptions::Protocol::V5) {
            protocol_ = BrokerOptions::Protocol::V311;
            attempting_ = false;
            connectLimit_.stop();
            attempt();
            return;
        }
        failAttempt(QString::fromUtf8(protocol_ == BrokerOptions::Protocol::V5 ? mosquitto_reason_string(rc)
                                                                                : mosquitto_connack_string(rc)));
        return;
    }
    attempting_ = false;
    connected_ = true;
    connectLimit_.stop();
    retryMs_ = limits::RetryFirstMs;
    if (!keepaliveTimer_)
        keepaliveTimer_ = clock_->startTimer(limits::KeepaliveCheckMs, [this] { callLibrary(&mosquitto_loop_misc); });
    for (const QString& filter : filters_)
        mosquitto_subscribe(mosq_, nullptr, filter.toUtf8().constData(), kQos);
    watchSocket();
    emit connected();
}

void Client::disconnectedBy(int rc)
{
    if (!running_ || (!connected_ && !attempting_))
        return;
    const QString why = errorText(rc);
    if (keepaliveTimer_) {
        clock_->stopTimer(keepaliveTimer_);
        keepaliveTimer_ = 0;
    }
    if (connected_) {
        connected_ = false;
        destroyHandle();
        emit lost(why);
        retryLater();
        return;
    }
    failAttempt(why);
}

void Client::failAttempt(const QString& why)
{
    if (!attempting_)
        return;
    attempting_ = false;
    connectLimit_.stop();
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    destroyHandle();
    emit attemptFailed(why);
    retryLater();
}

void Client::retryLater()
{
    if (!running_)
        return;
    const int wait = retryMs_;
    retryMs_ = std::min(retryMs_ * 2, limits::RetryLastMs);
    retry_.start(wait, [this] { attempt(); });
}

bool Client::publish(const QString& topic, const QByteArray& payload, bool retain)
{
    if (!connected_ || !mosq_)
        return false;
    const int rc = mosquitto_publish(mosq_, nullptr, topic.toUtf8().constData(), int(payload.size()), payload.constData(),
                                     kQos, retain);
    if (!inLibrary_)
        afterCall(MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

void Client::subscribe(const QString& filter)
{
    if (filters_.contains(filter))
        return;
    filters_ << filter;
    if (connected_ && mosq_) {
        mosquitto_subscribe(mosq_, nullptr, filter.toUtf8().constData(), kQos);
        afterCall(MOSQ_ERR_SUCCESS);
    }
}

}  // namespace mqtt
}  // namespace talvane
