// A connection to an MQTT broker (3.1.1 or 5, plain or TLS) on the event
// loop, through libmosquitto: its socket is watched by socket notifiers and
// its keepalive runs on a timer, so there is no helper thread and nothing
// wakes while nothing happens. A broker that cannot be reached or goes away
// is tried again with a growing pause (limits.h); the subscriptions are
// made again on every connection.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "core/oneshot.h"

class QHostInfo;
class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

namespace talvane {
namespace mqtt {

struct BrokerOptions {
    enum class Protocol {
        Auto,  // 5, and 3.1.1 when the broker does not take 5
        V311,
        V5,
    };
    QString host = QStringLiteral("127.0.0.1");
    int port = 0;  // 0: the default port (with TLS, its own)
    QString user;  // empty: none
    QString password;
    QString caFile;  // TLS when set: the broker's certificate is checked against it
    Protocol protocol = Protocol::Auto;
    QString clientId;  // empty: the library's own
    // Published by the broker (retained) when the connection ends without
    // a goodbye; empty topic: none.
    QString willTopic;
    QByteArray willPayload;
};

// "HOST", "HOST:PORT" or "[IPv6]:PORT" into `options` (the port 0 when not
// given); false when it is none of them.
bool parseBrokerAddress(const QString& text, BrokerOptions& options);

class Client : public QObject {
    Q_OBJECT
public:
    // Time runs on `clock` (nullptr: the application's clock).
    explicit Client(BrokerOptions options, Clock* clock = nullptr, QObject* parent = nullptr);
    // Says goodbye to the broker when connected (no last will then).
    ~Client() override;

    const BrokerOptions& options() const { return options_; }
    // "127.0.0.1:1883"
    QString brokerName() const;
    // The protocol of the current or last connection.
    BrokerOptions::Protocol protocol() const { return protocol_; }

    // Connects, and keeps connecting again until stop().
    void start();
    // Says goodbye (what was published before goes out first) and stops.
    void stop();
    bool isConnected() const { return connected_; }
    // An attempt is under way (a name lookup, or a connection not answered yet).
    bool attempting() const { return attempting_; }
    // Attempts made since start(), for the tests of the retries.
    int attempts() const { return attemptCount_; }

    // Publishes at QoS 1; false (nothing sent) while not connected.
    bool publish(const QString& topic, const QByteArray& payload, bool retain);
    // Kept, and made on every connection.
    void subscribe(const QString& filter);

signals:
    void connected();
    // A connection that was up ended (`why` for people).
    void lost(const QString& why);
    // An attempt failed: the broker was not reached, or refused the hub.
    void attemptFailed(const QString& why);
    void message(const QString& topic, const QByteArray& payload, bool retained);

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);

    bool makeHandle();
    void destroyHandle();
    void attempt();
    void resolved(const QHostInfo& info);
    void connectTo(const QString& address);
    void connackArrived(int rc);
    void disconnectedBy(int rc);
    void failAttempt(const QString& why);
    void retryLater();
    // Drops the socket notifiers (the library closes its socket itself).
    void dropSocket();
    // Watches the library's socket, writes when it has something to write.
    void watchSocket();
    // Reads, writes or looks after the keepalive (`call`) in the library.
    void callLibrary(const std::function<int(mosquitto*)>& call);
    // After any call into the library: the socket it has now, what it
    // wants to write, and a loss it found.
    void afterCall(int rc);

    BrokerOptions options_;
    BrokerOptions::Protocol protocol_;
    Clock* clock_;
    mosquitto* mosq_ = nullptr;
    quint64 handle_ = 0;  // which handle mosq_ is: one more for each made
    QStringList filters_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    int socket_ = -1;
    int keepaliveTimer_ = 0;
    OneShot retry_;
    OneShot connectLimit_;
    int retryMs_ = 0;
    int lookupId_ = -1;
    int attemptCount_ = 0;
    bool running_ = false;
    bool attempting_ = false;
    bool connected_ = false;
    bool inLibrary_ = false;
};

}  // namespace mqtt
}  // namespace talvane
