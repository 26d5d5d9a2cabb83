#include "simulator.h"

#include <QNetworkInterface>

#include "sim/ptyendpoint.h"
#include "sim/tcpendpoint.h"
#include "sim/udpendpoint.h"

namespace talvane {
namespace sim {

namespace {
Ipv4Octets octetsOf(quint32 v4)
{
    return {static_cast<std::uint8_t>(v4 >> 24), static_cast<std::uint8_t>(v4 >> 16),
            static_cast<std::uint8_t>(v4 >> 8), static_cast<std::uint8_t>(v4)};
}
}  // namespace

Ipv4Octets autoAddressFor(bool network)
{
    const Ipv4Octets loopback{127, 0, 0, 1};
    if (!network)
        return loopback;
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        bool isV4 = false;
        const quint32 v4 = a.toIPv4Address(&isV4);
        if (isV4 && !a.isLoopback())
            return octetsOf(v4);
    }
    return loopback;
}

Simulator::Simulator(SimOptions options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
{
    device_.setAutoAddress(autoAddressFor(options_.network));
}

Simulator::~Simulator() = default;

bool Simulator::start(QString* error)
{
    if (!options_.tracePath.isEmpty() && !trace_.open(options_.tracePath, error))
        return false;
    Trace* trace = options_.tracePath.isEmpty() ? nullptr : &trace_;
    if (options_.tcp) {
        tcp_ = std::make_unique<TcpEndpoint>(device_, trace);
        const QHostAddress address(options_.network ? QHostAddress::AnyIPv4 : QHostAddress::LocalHost);
        if (!tcp_->listen(address, options_.tcpPort, error)) {
            if (error)
                *error = QStringLiteral("TCP %1: %2 (--tcp-port 0 picks a free port)").arg(options_.tcpPort).arg(*error);
            return false;
        }
    }
    if (options_.udp) {
        udp_ = std::make_unique<UdpEndpoint>(device_, trace);
        if (!udp_->open(options_.searchPort, options_.configPort, options_.network, error))
            return false;
    }
    if (options_.serial) {
        pty_ = std::make_unique<PtyEndpoint>(device_, trace, options_.registryDirectory);
        connect(pty_.get(), &PtyEndpoint::reopened, this, &Simulator::serialReopened);
        if (!pty_->open(error))
            return false;
    }
    return true;
}

QString Simulator::serialLine() const
{
    if (!pty_ || !pty_->isOpen())
        return {};
    const QString com = pty_->comNumber() > 0 ? QStringLiteral("COM%1").arg(pty_->comNumber())
                                               : QStringLiteral("COM?");
    return QStringLiteral("serial: %1 %2").arg(com, pty_->devicePath());
}

QStringList Simulator::endpointLines() const
{
    QStringList lines;
    if (tcp_)
        lines << QStringLiteral("tcp: %1:%2").arg(tcp_->address().toString()).arg(tcp_->port());
    if (pty_)
        lines << serialLine();
    if (udp_) {
        const QString to = udp_->answerAddress().toString();
        lines << QStringLiteral("search: udp %1, answers to %2").arg(udp_->searchPort()).arg(to);
        lines << QStringLiteral("config: udp %1, answers to %2").arg(udp_->configPort()).arg(to);
    }
    return lines;
}

quint16 Simulator::tcpPort() const { return tcp_ ? tcp_->port() : 0; }
quint16 Simulator::searchPort() const { return udp_ ? udp_->searchPort() : 0; }
quint16 Simulator::configPort() const { return udp_ ? udp_->configPort() : 0; }
QString Simulator::serialPath() const { return pty_ ? pty_->devicePath() : QString(); }
int Simulator::serialCom() const { return pty_ ? pty_->comNumber() : -1; }
int Simulator::tcpConnectionCount() const { return tcp_ ? tcp_->connectionCount() : 0; }

void Simulator::closeTcpConnections()
{
    if (tcp_)
        tcp_->closeConnections();
}

bool Simulator::hangUpSerial(QString* error)
{
    if (!pty_) {
        if (error)
            *error = QStringLiteral("no serial line");
        return false;
    }
    return pty_->hangUp(error);
}

}  // namespace sim
}  // namespace talvane
