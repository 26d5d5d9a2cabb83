// The switch's datagram ports: the device search (answered with a SearchReply)
// and the network settings (applied and confirmed). Both answers go out as
// broadcasts to the port they came in on. The sockets share their ports with
// a panel on the same host.
//
// In local mode (the default) only requests from this host are answered, and
// the answers go to the loopback broadcast address so nothing leaves the
// machine; in network mode every request is answered with a real broadcast.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

namespace talvane {
namespace sim {

class SwitchDevice;
class Trace;

extern const char kLoopbackBroadcast[];  // "127.255.255.255"

class UdpEndpoint : public QObject {
    Q_OBJECT
public:
    UdpEndpoint(SwitchDevice& device, Trace* trace, QObject* parent = nullptr);

    bool open(quint16 searchPort, quint16 configPort, bool network, QString* error = nullptr);
    quint16 searchPort() const { return search_.localPort(); }
    quint16 configPort() const { return config_.localPort(); }
    QHostAddress answerAddress() const { return answerTo_; }

private:
    enum Port { SearchPort, ConfigPort, PortCount };
    void onReadyRead(Port which);

    SwitchDevice& device_;
    Trace* trace_;
    QUdpSocket search_;
    QUdpSocket config_;
    bool network_ = false;
    QHostAddress answerTo_;
    QByteArray lastSent_[PortCount];
};

}  // namespace sim
}  // namespace talvane
