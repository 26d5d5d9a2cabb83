#include "network.h"

#include "link/datagramsocket.h"
#include "ops/limits.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

const std::uint8_t* bytesOf(const QByteArray& a) { return reinterpret_cast<const std::uint8_t*>(a.constData()); }
QByteArray toQt(const std::vector<std::uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

// Opens the discovery socket and sends the search request; false when the
// port cannot be had.
bool broadcastSearch(DatagramSocket& socket, const NetEndpoints& e)
{
    if (!socket.open(e.searchPort))
        return false;
    // Without a route for the broadcast nothing goes out, and nothing answers.
    socket.sendTo(QByteArray(1, char(kSearchRequestByte)), e.broadcast, e.searchPort);
    return true;
}

}  // namespace

DeviceSearch::DeviceSearch(DatagramSocket& socket, NetEndpoints endpoints, int durationMs, QObject* parent)
    : Operation(parent)
    , socket_(socket)
    , endpoints_(endpoints)
    , durationMs_(durationMs)
{
}

void DeviceSearch::begin()
{
    // The socket cannot be had: no search, and nothing will answer.
    if (!broadcastSearch(socket_, endpoints_)) {
        finish(Outcome::Refused);
        return;
    }
    connection_ = connect(&socket_, &DatagramSocket::datagramReceived, this, &DeviceSearch::onDatagram);
    if (durationMs_ > 0)
        duration_.start(durationMs_, [this] { finish(Outcome::Done); });
}

void DeviceSearch::onDatagram(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    emit datagram(data);
    const std::optional<SearchReply> reply = SearchReply::decode(bytesOf(data), std::size_t(data.size()));
    if (reply && reply->marked)
        emit found(*reply);
}

void DeviceSearch::ended()
{
    disconnect(connection_);
    duration_.stop();
}

NetworkSettings::NetworkSettings(DatagramSocket& socket, NetEndpoints endpoints, const NetDevice& target,
                                 const NetSettings& settings, QObject* parent)
    : Operation(parent)
    , socket_(socket)
    , endpoints_(endpoints)
    , packet_(netConfigFor(target, settings))
{
}

void NetworkSettings::begin()
{
    watchdog_.start(limits::NetworkSettingsMs, [this] { finish(Outcome::TimedOut); });
    // Without the configuration socket nothing is sent; the watchdog then
    // reports the failure.
    if (!socket_.open(endpoints_.configPort))
        return;
    connection_ = connect(&socket_, &DatagramSocket::datagramReceived, this, &NetworkSettings::onDatagram);
    socket_.sendTo(toQt(packet_.encode()), endpoints_.broadcast, endpoints_.configPort);
}

bool NetworkSettings::isConfigured(const SearchReply& reply) const
{
    return reply.mac == packet_.newMac && (!packet_.staticIp || reply.ip == packet_.ip);
}

void NetworkSettings::onDatagram(const QByteArray& data)
{
    if (!confirmed_) {
        if (!isNetConfigConfirmation(bytesOf(data), std::size_t(data.size())))
            return;
        // The switch took the settings: find it again, which tells whether they hold.
        confirmed_ = true;
        disconnect(connection_);
        if (!broadcastSearch(socket_, endpoints_))
            return;  // the watchdog reports it
        connection_ = connect(&socket_, &DatagramSocket::datagramReceived, this, &NetworkSettings::onDatagram);
        emit searching();
        return;
    }
    if (data.isEmpty())
        return;
    emit datagram(data);
    const std::optional<SearchReply> reply = SearchReply::decode(bytesOf(data), std::size_t(data.size()));
    if (!reply || !reply->marked)
        return;
    emit found(*reply);
    if (isConfigured(*reply))
        finish(Outcome::Done);
}

void NetworkSettings::ended()
{
    disconnect(connection_);
    watchdog_.stop();
}

}  // namespace talvane
