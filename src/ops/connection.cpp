#include "connection.h"

#include <QHostAddress>

#include <algorithm>

#include "link/portlocks.h"
#include "link/portwatcher.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/status.h"

namespace talvane {

// --- SwitchAddress -------------------------------------------------------------

SwitchAddress SwitchAddress::serial(int comNumber, const QString& description)
{
    SwitchAddress a;
    a.kind = Kind::Serial;
    a.comNumber = comNumber;
    a.description = description;
    return a;
}

SwitchAddress SwitchAddress::tcp(const QString& host, quint16 port, bool portInName)
{
    SwitchAddress a;
    a.kind = Kind::Host;
    a.host = host;
    a.port = port;
    a.portInName = portInName;
    return a;
}

QString SwitchAddress::key() const
{
    if (!macKey.isEmpty())
        return macKey;
    switch (kind) {
    case Kind::Serial:
        return LabelStore::keyForPort(comNumber);
    case Kind::Host:
        return LabelStore::keyForHost(shortName());
    case Kind::None:
        break;
    }
    return QString();
}

QString SwitchAddress::shortName() const
{
    switch (kind) {
    case Kind::Serial:
        return QStringLiteral("COM%1").arg(comNumber);
    case Kind::Host:
        return portInName ? QStringLiteral("%1:%2").arg(host).arg(port) : host;
    case Kind::None:
        break;
    }
    return QString();
}

QString SwitchAddress::throughHub(const QString& hubControl)
{
    return QStringLiteral("through the hub at %1").arg(hubControl);
}

QString SwitchAddress::longName() const
{
    if (!hub.isEmpty())
        return QStringLiteral("%1 (%2)").arg(shortName(), throughHub(hub));
    if (kind != Kind::Serial)
        return shortName();
    const QString what = description.isEmpty() ? devicePath
                         : devicePath.isEmpty() ? description
                                                : description + QStringLiteral(", ") + devicePath;
    return what.isEmpty() ? shortName() : QStringLiteral("%1 (%2)").arg(shortName(), what);
}

// --- Connection ----------------------------------------------------------------

Connection::Connection(Clock* clock, QObject* parent)
    : QObject(parent)
    , session_(std::make_unique<Session>(clock))
    , runner_(std::make_unique<Runner>(*session_))
    , follower_(std::make_unique<Follower>(*runner_))
    , serial_(std::make_unique<CSerialPort>())
    , tcp_(std::make_unique<TcpLink>())
    , hubLink_(std::make_unique<TcpLink>())
    , retry_(clock)
    , connectLimit_(clock)
    , hubLimit_(clock)
{
    serialLink_ = serial_.get();
    tcpLink_ = tcp_.get();
    connect(tcp_.get(), &Link::opened, this, [this](bool ok, const QString& why) { onOpened(tcp_.get(), ok, why); });
    connect(hubLink_.get(), &Link::opened, this, [this](bool ok, const QString& why) { hubAttemptEnded(ok, why); });
    watch(serial_.get());
    watch(tcp_.get());
    watch(hubLink_.get());
    session_->setLink(link(kind_));
    connect(session_.get(), &Session::exchangeAnswered, this, [this] {
        if (answered_)
            return;
        answered_ = true;
        emit answeredFirst(reconnecting_);
    });
}

Connection::~Connection()
{
    // Nothing is reported any more: the front end is going.
    follower_->setEnabled(false);
    session_->shutDown();
    watcher_.reset();
    serial_.reset();  // closes the port
    tcp_.reset();
    hubLink_.reset();
}

void Connection::watch(Link* l)
{
    connect(l, &Link::lost, this, [this, l](const QString& why) { onLost(l, why); });
}

Link* Connection::link(LinkKind kind) const
{
    if (kind == LinkKind::Serial)
        return serialHub_ ? hubLink_.get() : serialLink_;
    return tcpLink_;
}

void Connection::setLink(LinkKind kind, Link* l)
{
    Link*& slot = kind == LinkKind::Serial ? serialLink_ : tcpLink_;
    Link* own = kind == LinkKind::Serial ? static_cast<Link*>(serial_.get()) : static_cast<Link*>(tcp_.get());
    if (slot != own)
        disconnect(slot, &Link::lost, this, nullptr);
    slot = l ? l : own;
    if (slot != own)
        watch(slot);
    if (kind == kind_)
        session_->setLink(link(kind));
}

void Connection::setKind(LinkKind kind)
{
    kind_ = kind;
    session_->setLink(link(kind));
    // The other kind's link closes; a loss of it waits for nothing any more.
    close(kind == LinkKind::Serial ? LinkKind::Tcp : LinkKind::Serial);
}

bool Connection::isOpen() const
{
    const Link* l = link(kind_);
    return l && l->isOpen();
}

const TcpLink* Connection::hubLink() const
{
    if (kind_ == LinkKind::Serial)
        return serialHub_ ? hubLink_.get() : nullptr;
    return hostHub_ ? tcp_.get() : nullptr;
}

bool Connection::connecting() const { return tcp_->connecting() || hubLink_->connecting(); }

std::optional<HubEntry> Connection::hubServing(const SwitchAddress& address)
{
    if (address.isSerial()) {
        const QString path = address.devicePath.isEmpty() ? serialDevicePathOf(address.comNumber) : address.devicePath;
        return path.isEmpty() ? std::nullopt : HubRegistry().servingDevice(path);
    }
    if (address.isHost())
        return HubRegistry().servingHost(QStringLiteral("%1:%2").arg(address.host).arg(address.port));
    return std::nullopt;
}

Connection::OpenResult Connection::openSerial(SwitchAddress address, QString* why)
{
    stopReconnecting();
    const bool again = reconnecting_;
    reconnecting_ = false;
    const QString path = serialDevicePathOf(address.comNumber);
    if (path.isEmpty()) {
        if (why)
            *why = QStringLiteral("no such port");
        return OpenResult::NoSuchPort;
    }
    address.kind = SwitchAddress::Kind::Serial;
    address.devicePath = path;
    if (const auto hub = hubServing(address))
        return openThroughHub(address, *hub, again);
    leaveHub();
    address.hub.clear();  // reached through one before, and now the port is free
    // A port another program holds is left alone, even when it would open.
    qint64 provider = 0;
    serialDevicePathOf(address.comNumber, &provider);
    if (portInUse(path, PortLockPaths::system(), provider)) {
        if (why)
            *why = QStringLiteral("in use");
        return OpenResult::InUse;
    }
    QString failure;
    const auto conn = connect(serial_.get(), &Link::opened, this, [&failure](bool ok, const QString& text) {
        if (!ok)
            failure = text;
    });
    const bool ok = serial_->Open(address.comNumber, serial::kBaudRate, serial::kParity, serial::kDataBits,
                                  serial::kStopBits);
    disconnect(conn);
    if (!ok) {
        if (why)
            *why = failure;
        return portInUse(path, PortLockPaths::system(), provider) ? OpenResult::InUse : OpenResult::Failed;
    }
    address.devicePath = serial_->devicePath();
    rememberPort(address);
    reconnecting_ = again;
    becameOpen(again);
    return OpenResult::Opened;
}

void Connection::rememberPort(const SwitchAddress& address)
{
    serialAddress_ = address;
    connectedPort_ = SerialPortRecord();
    connectedPort_.comNumber = address.comNumber;
    for (const SerialPortRecord& r : listed_)
        if (r.comNumber == address.comNumber)
            connectedPort_ = r;
}

Connection::OpenResult Connection::openThroughHub(SwitchAddress address, const HubEntry& hub, bool again)
{
    serial_->closeLink();
    hubLink_->closeLink();
    serialHub_ = hub;
    address.hub = hub.control();
    rememberPort(address);
    if (kind_ == LinkKind::Serial)
        session_->setLink(hubLink_.get());
    reconnecting_ = again;
    answered_ = false;
    hubLimit_.start(limits::TcpConnectMs, [this] {
        if (!hubLink_->connecting())
            return;
        hubLink_->closeLink();
        hubAttemptEnded(false, QStringLiteral("the hub did not answer within %1 s").arg(limits::TcpConnectMs / 1000));
    });
    hubLink_->connectTo(hub.controlAddress, hub.controlPort);
    return OpenResult::ThroughHub;
}

void Connection::hubAttemptEnded(bool ok, const QString& why)
{
    hubLimit_.stop();
    if (ok) {
        becameOpen(reconnecting_);
        return;
    }
    leaveHub();
    if (reconnecting_) {
        // The hub went meanwhile: the next change of the ports tries again.
        reconnecting_ = false;
        pending_ = true;
        if (watcher_ && watchPorts_)
            watcher_->setActive(true);
        return;
    }
    emit openFailed(QStringLiteral("the hub at %1: %2").arg(serialAddress_.hub, why));
}

void Connection::leaveHub()
{
    if (!serialHub_)
        return;
    hubLimit_.stop();
    hubLink_->closeLink();
    serialHub_.reset();
    if (kind_ == LinkKind::Serial)
        session_->setLink(serialLink_);
}

void Connection::connectHost(SwitchAddress address, int limitMs)
{
    const bool again = reconnecting_;
    if (!again)
        stopReconnecting();
    tcp_->closeLink();
    address.kind = SwitchAddress::Kind::Host;
    hostAddress_ = address;
    answered_ = false;
    if (limitMs > 0) {
        connectLimit_.start(limitMs, [this, limitMs] {
            if (!tcp_->connecting())
                return;
            tcp_->closeLink();
            emit openFailed(QStringLiteral("no answer within %1 s").arg(limitMs / 1000));
        });
    }
    connectTcp();
}

void Connection::connectTcp()
{
    // A hub that holds the switch is asked each time: it may have started
    // or ended since the last try.
    hostHub_ = hubServing(hostAddress_);
    hostAddress_.hub = hostHub_ ? hostHub_->control() : QString();
    if (hostHub_)
        tcp_->connectTo(hostHub_->controlAddress, hostHub_->controlPort);
    else
        tcp_->connectTo(QHostAddress(hostAddress_.host), hostAddress_.port);
}

void Connection::onOpened(Link* l, bool ok, const QString& why)
{
    if (l != tcp_.get())
        return;
    connectLimit_.stop();
    if (!ok) {
        if (pending_)
            return;  // the next try follows; the loss was reported already
        reconnecting_ = false;
        emit openFailed(why);
        return;
    }
    const bool again = pending_;
    stopReconnecting();
    reconnecting_ = again;
    becameOpen(again);
}

void Connection::becameOpen(bool reconnected)
{
    answered_ = false;
    emit opened(reconnected);
    if (greeting_)
        greet(reconnected);
}

void Connection::close(LinkKind kind)
{
    stopReconnecting();
    reconnecting_ = false;
    bool wasOpen = false;
    bool wasConnecting = false;
    if (kind == LinkKind::Serial) {
        Link* l = link(kind);
        wasOpen = l->isOpen();
        wasConnecting = serialHub_ && hubLink_->connecting();
        l->closeLink();
        if (l != serial_.get())
            serial_->closeLink();
        leaveHub();
    } else {
        wasOpen = tcp_->isOpen();
        wasConnecting = tcp_->connecting();
        connectLimit_.stop();
        tcp_->closeLink();
    }
    if (wasOpen || wasConnecting)
        emit closed(kind, wasOpen);
}

void Connection::onLost(Link* l, const QString& why)
{
    // Only the link of the kind chosen counts (its own or the one put in its
    // place): the other one is closed.
    const bool serialKind = kind_ == LinkKind::Serial;
    Link* own = serialKind ? static_cast<Link*>(serial_.get()) : static_cast<Link*>(tcp_.get());
    if (l != link(kind_) && l != own)
        return;
    reconnecting_ = false;
    answered_ = false;
    emit lost(why);
    if (!reconnect_)
        return;
    if (serialKind) {
        pending_ = serialAddress_.isSerial();
        if (pending_ && watchPorts_)
            listPortsLater();
    } else if (hostAddress_.isHost()) {
        pending_ = true;
        retryTcpLater();
    }
}

void Connection::setReconnect(bool on)
{
    reconnect_ = on;
    if (!on)
        stopReconnecting();
}

void Connection::stopReconnecting()
{
    pending_ = false;
    retry_.stop();
    if (watcher_)
        watcher_->setActive(false);
}

void Connection::retryTcpLater()
{
    // Each try replaces the one before: a switch that was off answers the
    // next SYN at once, not the kernel's next resend seconds later.
    retry_.start(limits::ReconnectRetryMs, [this] {
        if (!pending_ || kind_ != LinkKind::Tcp)
            return;
        reconnecting_ = true;
        connectTcp();
        retryTcpLater();
    });
}

bool Connection::sameDevice(const SerialPortRecord& lost, const SerialPortRecord& found)
{
    if (lost.usb != found.usb)
        return false;
    if (!lost.usb || lost.usbIdentity.isEmpty())
        return found.comNumber == lost.comNumber;
    if (lost.usbIdentity != found.usbIdentity)
        return false;
    // Without a serial number two adapters of one make look alike: the same
    // one is the one that comes back where it was.
    return !lost.usbIdentity.endsWith(QLatin1Char(':')) || found.comNumber == lost.comNumber;
}

void Connection::portsListed(const std::vector<SerialPortRecord>& records)
{
    listed_ = records;
    tryReconnectSerial(records);
}

void Connection::tryReconnectSerial(const std::vector<SerialPortRecord>& records)
{
    if (!pending_ || !reconnect_ || kind_ != LinkKind::Serial || link(kind_)->isOpen())
        return;
    // Only ports in the list: one that another program holds is not listed.
    const auto back = std::find_if(records.begin(), records.end(),
                                   [&](const SerialPortRecord& r) { return sameDevice(connectedPort_, r); });
    if (back == records.end())
        return;
    SwitchAddress again = serialAddress_;
    again.comNumber = back->comNumber;
    again.description = back->portDescription;
    // A device that is still going away fails to open: the next change tries again.
    reconnecting_ = true;
    const bool wasPending = pending_;
    const OpenResult result = openSerial(again);
    if (result != OpenResult::Opened && result != OpenResult::ThroughHub) {
        reconnecting_ = false;
        pending_ = wasPending;
        if (watcher_ && watchPorts_)
            watcher_->setActive(true);
    }
}

void Connection::listPortsLater()
{
    if (!watcher_) {
        watcher_ = std::make_unique<PortWatcher>(PortWatcher::systemDirectories(), &clock());
        connect(watcher_.get(), &PortWatcher::changed, this, [this] {
            std::vector<SerialPortRecord> found;
            QString error, hint;
            if (!enumerateSerialPorts(found, error, hint))
                return;
            watcher_->setNodes(presentSerialDevices());
            tryReconnectSerial(found);
        });
    }
    // Becoming active counts as a change: the ports are listed at once.
    watcher_->setActive(true);
}

// --- the greeting ------------------------------------------------------------

void Connection::greet(bool reconnected)
{
    auto* read = new PowerStateRead(*session_, Purpose::Background);
    connect(read, &PowerStateRead::powerReported, this, [this, reconnected](bool on) {
        emit powerReported(on);
        if (!on)
            return;
        auto* beep = new BeepStateRead(*session_);
        connect(beep, &BeepStateRead::beepReported, this, [this, reconnected](bool enabled) {
            emit beeperReported(enabled);
            emit greeted(reconnected);
        });
        runner_->runBackground(beep);
    });
    runner_->runBackground(read);
}

}  // namespace talvane
