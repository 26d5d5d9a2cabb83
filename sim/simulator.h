// The whole simulated switch: one device reachable over TCP, the serial line
// (a pseudo-terminal) and the search and settings datagrams.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

#include "protocol/netpackets.h"
#include "sim/switchdevice.h"
#include "sim/trace.h"

namespace talvane {
namespace sim {

class PtyEndpoint;
class TcpEndpoint;
class UdpEndpoint;

struct SimOptions {
    quint16 tcpPort = kControlTcpPort;        // 0: any free port
    quint16 searchPort = kSearchUdpPort;
    quint16 configPort = kConfigUdpPort;
    bool network = false;  // listen on every address and answer with real broadcasts
    bool tcp = true;
    bool serial = true;
    bool udp = true;
    QString tracePath;
    QString registryDirectory;  // empty: the registry's default directory
};

class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(SimOptions options = {}, QObject* parent = nullptr);
    ~Simulator() override;

    bool start(QString* error = nullptr);
    // One line per endpoint, as printed at start.
    QStringList endpointLines() const;
    QString serialLine() const;  // "serial: COMn <device path>"

    SwitchDevice& device() { return device_; }
    const SimOptions& options() const { return options_; }
    quint16 tcpPort() const;
    quint16 searchPort() const;
    quint16 configPort() const;
    QString serialPath() const;
    int serialCom() const;
    int tcpConnectionCount() const;

    void closeTcpConnections();
    bool hangUpSerial(QString* error = nullptr);

signals:
    void serialReopened();

private:
    SimOptions options_;
    Trace trace_;
    SwitchDevice device_;
    std::unique_ptr<TcpEndpoint> tcp_;
    std::unique_ptr<PtyEndpoint> pty_;
    std::unique_ptr<UdpEndpoint> udp_;
};

// The address an automatic configuration would give the switch: loopback in
// local mode, else this host's first IPv4 address outside loopback.
Ipv4Octets autoAddressFor(bool network);

}  // namespace sim
}  // namespace talvane
