// The connection to the switch, as every front end drives it: which link the
// session works on (a serial port or a TCP connection), opening it, the
// greeting once it is open, its loss and the reconnect, the hold on the
// switch, and the idle read that follows changes made elsewhere. The panel,
// talvane-ctl and the hub all use it, so these rules are written once. No
// widgets: views follow its signals and compose their own texts.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "core/oneshot.h"
#include "engine/session.h"
#include "link/hubregistry.h"
#include "link/serialportlist.h"
#include "ops/follow.h"
#include "ops/runner.h"

namespace talvane {

class CSerialPort;
class PortWatcher;
class TcpLink;

// Where a switch is reached, as the labels store and people name it.
struct SwitchAddress {
    enum class Kind { None, Serial, Host };
    Kind kind = Kind::None;
    int comNumber = 0;     // Serial: as the port list numbers it
    QString devicePath;    // Serial: the device (known once it is open)
    QString description;   // Serial: the port list's description, if any
    QString host;          // Host: the IPv4 address
    quint16 port = 0;      // Host: the TCP port
    bool portInName = false;  // Host: the port is part of its name (not the switch's own)
    // The switch's own identity where a search told it ("mac:02-54-..."),
    // which names it in the labels store in place of the way it is reached.
    QString macKey;
    // Where the hub that holds the switch listens ("127.0.0.1:8000"), when
    // it is reached through one; it is named as above all the same.
    QString hub;

    static SwitchAddress serial(int comNumber, const QString& description = QString());
    // `portInName`: the port is not the switch's own, and names it too.
    static SwitchAddress tcp(const QString& host, quint16 port, bool portInName = false);

    bool isSerial() const { return kind == Kind::Serial; }
    bool isHost() const { return kind == Kind::Host; }
    // "port:COM129", "host:192.168.1.50" ("host:192.168.1.50:8001" with
    // the port in its name), or the MAC key.
    QString key() const;
    // "COM129", "192.168.1.50" or "192.168.1.50:8001".
    QString shortName() const;
    // "COM129 (USB serial, /dev/ttyUSB0)", or the short name for a host;
    // "COM129 (through the hub at 127.0.0.1:8000)" through a hub.
    QString longName() const;
    // "through the hub at 127.0.0.1:8000"
    static QString throughHub(const QString& hubControl);
};

class Connection : public QObject {
    Q_OBJECT
public:
    enum class LinkKind { Serial, Tcp };
    // ThroughHub: a hub holds the port; the connection to it is under way,
    // and opened() or openFailed() follows.
    enum class OpenResult { Opened, ThroughHub, NoSuchPort, InUse, Failed };

    // Time runs on `clock` (nullptr: the application's clock).
    explicit Connection(Clock* clock = nullptr, QObject* parent = nullptr);
    ~Connection() override;

    Session& session() { return *session_; }
    Runner& runner() { return *runner_; }
    Follower& follower() { return *follower_; }
    Clock& clock() const { return session_->clock(); }

    // The connection's own serial port and TCP link.
    CSerialPort& serialPort() { return *serial_; }
    TcpLink& tcpLink() { return *tcp_; }
    // The link of each kind: its own, unless another was put in its place
    // (a test's; nullptr gives its own back). The serial kind's is the
    // connection to the hub while the port is reached through one.
    Link* link(LinkKind kind) const;
    void setLink(LinkKind kind, Link* link);

    // Which link the session works on (the panel's mode). Choosing one
    // closes the other kind's link and stops reconnecting it.
    LinkKind kind() const { return kind_; }
    void setKind(LinkKind kind);

    // Opens serial port `address.comNumber` (as the port list numbers it):
    // the session works on it at once. A port another program holds is not
    // opened (InUse). Emits opened() when it is open; `why` says why not.
    // A port a hub holds is reached through the hub's control port
    // (ThroughHub): the address stays the port's, and the rules of loss and
    // reconnect stay a serial port's.
    OpenResult openSerial(SwitchAddress address, QString* why = nullptr);
    // Connects to a switch's TCP control port, or to the control port of the
    // hub connected to it; opened() or openFailed() follows. `limitMs` > 0:
    // an attempt that has not ended by then fails.
    void connectHost(SwitchAddress address, int limitMs = 0);
    // The live hub (another process) that holds the switch at `address`, if any.
    static std::optional<HubEntry> hubServing(const SwitchAddress& address);
    // The hub the link of the current kind goes through, if it does.
    const std::optional<HubEntry>& throughHub() const { return kind_ == LinkKind::Serial ? serialHub_ : hostHub_; }
    // The link to that hub's control port (nullptr when not through a hub).
    const TcpLink* hubLink() const;
    // Closes the link of the current kind (or `kind`) from this side, or the
    // attempt under way (closed()); a reconnect under way stops.
    void close() { close(kind_); }
    void close(LinkKind kind);

    bool isOpen() const;
    bool connecting() const;
    // Something answered since the link was last opened.
    bool answered() const { return answered_; }
    // What the link of the current kind (or `kind`) is connected or being
    // connected to, or was connected to last.
    const SwitchAddress& address() const { return address(kind_); }
    const SwitchAddress& address(LinkKind kind) const { return kind == LinkKind::Serial ? serialAddress_ : hostAddress_; }

    // Reconnect: after a loss, the same switch is opened again without a
    // click: a serial port as soon as the port list shows the same device
    // free (see portsListed()), a TCP connection every ReconnectRetryMs.
    void setReconnect(bool on);
    bool reconnectEnabled() const { return reconnect_; }
    bool reconnectPending() const { return pending_; }
    void stopReconnecting();
    // The serial ports listed now: the panel's list calls this at every
    // refresh. With watchPorts on, the connection lists them itself while it
    // waits for a lost port (a front end without a list).
    void portsListed(const std::vector<SerialPortRecord>& records);
    void setWatchPorts(bool on) { watchPorts_ = on; }
    // Whether `found` is the device `lost` came back: a USB adapter by its
    // vendor, product and serial number (wherever it is now; one without a
    // serial number also at the same COM number), any other port by its COM
    // number.
    static bool sameDevice(const SerialPortRecord& lost, const SerialPortRecord& found);

    // The greeting after every opening: the switch's power is read, then
    // (when on) its beeper, in the background (the panel's; off by default).
    void setGreeting(bool on) { greeting_ = on; }
    // Greets the switch now, as after an opening.
    void greet() { greet(false); }

    // A hold on the switch for an operator's operation (empty while held).
    [[nodiscard]] Hold hold() { return runner_->hold(); }

signals:
    // The link is open; nothing has answered yet. `reconnected`: opened
    // again after a loss.
    void opened(bool reconnected);
    // A connection attempt failed (not reported while reconnecting).
    void openFailed(const QString& why);
    // The switch answered for the first time since the link opened.
    void answeredFirst(bool reconnected);
    // The link went away by itself (line hung up, device gone, peer closed).
    void lost(const QString& why);
    // This side closed the link of `kind` or the attempt; `wasOpen`: it was open.
    void closed(talvane::Connection::LinkKind kind, bool wasOpen);
    // What the greeting read.
    void powerReported(bool on);
    void beeperReported(bool on);
    // The greeting ended with both answers (the power was on).
    void greeted(bool reconnected);

private:
    void watch(Link* link);
    void onOpened(Link* link, bool ok, const QString& why);
    void onLost(Link* link, const QString& why);
    void becameOpen(bool reconnected);
    void greet(bool reconnected);
    void retryTcpLater();
    // Starts the TCP connection to hostAddress_, through its hub if one holds it.
    void connectTcp();
    void tryReconnectSerial(const std::vector<SerialPortRecord>& records);
    void listPortsLater();
    void rememberPort(const SwitchAddress& address);
    OpenResult openThroughHub(SwitchAddress address, const HubEntry& hub, bool again);
    void hubAttemptEnded(bool ok, const QString& why);
    // The serial kind's link is the port itself again, not the hub's.
    void leaveHub();

    std::unique_ptr<Session> session_;
    std::unique_ptr<Runner> runner_;
    std::unique_ptr<Follower> follower_;
    std::unique_ptr<CSerialPort> serial_;
    std::unique_ptr<TcpLink> tcp_;
    std::unique_ptr<TcpLink> hubLink_;  // to the hub that holds the serial port
    Link* serialLink_ = nullptr;
    Link* tcpLink_ = nullptr;
    LinkKind kind_ = LinkKind::Serial;
    SwitchAddress serialAddress_;
    SwitchAddress hostAddress_;
    std::optional<HubEntry> serialHub_;  // the serial port is reached through this hub
    std::optional<HubEntry> hostHub_;    // the switch on the network is reached through this hub
    SerialPortRecord connectedPort_;  // the serial port opened last, as listed
    std::vector<SerialPortRecord> listed_;
    bool answered_ = false;
    bool reconnect_ = false;
    bool pending_ = false;        // a lost link waits to be opened again
    bool reconnecting_ = false;   // the current opening is a reconnect
    bool greeting_ = false;
    bool watchPorts_ = false;
    OneShot retry_;
    OneShot connectLimit_;
    OneShot hubLimit_;
    std::unique_ptr<PortWatcher> watcher_;
};

}  // namespace talvane
