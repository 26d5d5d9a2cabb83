#include "udpendpoint.h"

#include <QNetworkDatagram>

#include "link/datagramsocket.h"
#include "sim/switchdevice.h"
#include "sim/trace.h"

namespace talvane {
namespace sim {

const char kLoopbackBroadcast[] = "127.255.255.255";

namespace {
const QAbstractSocket::BindMode kSharedBind = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;

const std::uint8_t* bytesOf(const QByteArray& a) { return reinterpret_cast<const std::uint8_t*>(a.constData()); }
}  // namespace

UdpEndpoint::UdpEndpoint(SwitchDevice& device, Trace* trace, QObject* parent)
    : QObject(parent)
    , device_(device)
    , trace_(trace)
{
    connect(&search_, &QUdpSocket::readyRead, this, [this] { onReadyRead(SearchPort); });
    connect(&config_, &QUdpSocket::readyRead, this, [this] { onReadyRead(ConfigPort); });
}

bool UdpEndpoint::open(quint16 searchPort, quint16 configPort, bool network, QString* error)
{
    network_ = network;
    answerTo_ = network ? QHostAddress(QHostAddress::Broadcast) : QHostAddress(QLatin1String(kLoopbackBroadcast));
    if (!search_.bind(QHostAddress::AnyIPv4, searchPort, kSharedBind)) {
        if (error)
            *error = QStringLiteral("UDP %1: %2").arg(searchPort).arg(search_.errorString());
        return false;
    }
    if (!config_.bind(QHostAddress::AnyIPv4, configPort, kSharedBind)) {
        if (error)
            *error = QStringLiteral("UDP %1: %2").arg(configPort).arg(config_.errorString());
        search_.close();
        return false;
    }
    return true;
}

void UdpEndpoint::onReadyRead(Port which)
{
    QUdpSocket& socket = which == SearchPort ? search_ : config_;
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = socket.receiveDatagram();
        const QByteArray data = d.data();
        const bool local = DatagramSocket::isLocalAddress(d.senderAddress());
        // Our own broadcast comes back to us: not a request.
        if (local && d.senderPort() == socket.localPort() && data == lastSent_[which])
            continue;
        if (data.isEmpty())
            continue;
        if (trace_)
            trace_->received(bytesOf(data), static_cast<std::size_t>(data.size()));
        if (!network_ && !local)
            continue;
        const std::size_t size = static_cast<std::size_t>(data.size());
        const std::optional<std::vector<std::uint8_t>> answer = which == SearchPort
                                                                    ? device_.answerSearch(bytesOf(data), size)
                                                                    : device_.answerNetConfig(bytesOf(data), size);
        if (!answer)
            continue;
        const QByteArray out(reinterpret_cast<const char*>(answer->data()), static_cast<qsizetype>(answer->size()));
        lastSent_[which] = out;
        if (trace_)
            trace_->sent(*answer);
        socket.writeDatagram(out, answerTo_, socket.localPort());
    }
}

}  // namespace sim
}  // namespace talvane
