// The hub's management channel: a Unix-domain socket in the hub's registry
// directory (its path in the hub's entry), open to the hub's own user only.
// talvane-ctl and the panel take and release output locks there, list them
// and follow every change the hub sees.
//
// One JSON object per line each way. A request names its operation ("op");
// the hub answers each request with one line holding "ok" (and "error" when
// not), in the order asked. Lines holding "event" are changes, sent once the
// client asked to "watch".
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>

class QLocalSocket;

namespace talvane {
namespace hubchannel {

// The longest line either side takes; a longer one ends the connection.
constexpr int MaxLineBytes = 4096;

// Operations and their keys.
namespace op {
inline const QString Hello = QStringLiteral("hello");    // as, control {address, port} -> holder (its name)
inline const QString Lock = QStringLiteral("lock");      // output
inline const QString Unlock = QStringLiteral("unlock");  // output, force
inline const QString Locks = QStringLiteral("locks");    // -> locks [{output, holder, mine}]
inline const QString Watch = QStringLiteral("watch");    // -> events from now on
}  // namespace op
namespace key {
inline const QString Op = QStringLiteral("op");
inline const QString Ok = QStringLiteral("ok");
inline const QString Error = QStringLiteral("error");
inline const QString As = QStringLiteral("as");
inline const QString Control = QStringLiteral("control");
inline const QString Address = QStringLiteral("address");
inline const QString Port = QStringLiteral("port");
inline const QString Output = QStringLiteral("output");
inline const QString Input = QStringLiteral("input");
inline const QString Force = QStringLiteral("force");
inline const QString Locks = QStringLiteral("locks");
inline const QString Holder = QStringLiteral("holder");
inline const QString Mine = QStringLiteral("mine");
inline const QString Event = QStringLiteral("event");
inline const QString On = QStringLiteral("on");
inline const QString Restoring = QStringLiteral("restoring");
}  // namespace key
// Who a client says it is (hello's "as").
namespace as {
inline const QString CommandLine = QStringLiteral("commandline");
inline const QString Panel = QStringLiteral("panel");
}  // namespace as
// The events ("event").
namespace event {
inline const QString Lock = QStringLiteral("lock");            // output, holder (null: released)
inline const QString Route = QStringLiteral("route");          // output, input
inline const QString Arc = QStringLiteral("arc");              // output, on
inline const QString Power = QStringLiteral("power");          // on
inline const QString Beeper = QStringLiteral("beeper");        // on
inline const QString FrontPanel = QStringLiteral("frontPanel");  // output, input, holder, restoring
}  // namespace event

// One line as sent: the object, compact, and a line feed.
QByteArray line(const QJsonObject& message);
// An event for people: "Input 3 -> output B", "Output B locked by ...".
QString text(const QJsonObject& event);
// A route changed at the switch's front panel on a locked output ("B").
QString frontPanelText(const QString& output, const QString& holder, int input, bool restoring);

// A client of the channel.
class Client : public QObject {
    Q_OBJECT
public:
    explicit Client(QObject* parent = nullptr);
    ~Client() override;

    // Starts connecting to the hub's socket at `path`; connected() or lost() follows.
    void connectTo(const QString& path);
    bool isConnected() const;
    // Sends `request`; `answered` runs with the hub's answer (an object
    // without "ok" when the channel went first).
    void request(QJsonObject request, std::function<void(const QJsonObject&)> answered);

signals:
    void connected();
    void changeSeen(const QJsonObject& event);
    // The channel could not be opened, or it closed; `why` for people.
    void lost(const QString& why);

private:
    void readLines();
    void fail(const QString& why);

    QPointer<QLocalSocket> socket_;
    QByteArray buffer_;
    std::deque<std::function<void(const QJsonObject&)>> waiting_;
    bool ended_ = false;
};

}  // namespace hubchannel
}  // namespace talvane
