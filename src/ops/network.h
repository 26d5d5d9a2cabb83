// The switches on the local network: the search that finds them, and the
// network settings sent to one of them. Both go over UDP broadcasts, not
// over the link to a switch.
#pragma once

#include <QByteArray>
#include <QHostAddress>

#include "core/oneshot.h"
#include "ops/operation.h"
#include "protocol/netpackets.h"

namespace talvane {

class DatagramSocket;

// Where the search, the settings and the control connection go. The panel
// uses the limited broadcast; tests on loopback pass their own.
struct NetEndpoints {
    QHostAddress broadcast{QHostAddress::Broadcast};
    quint16 tcpPort = kControlTcpPort;
    quint16 searchPort = kSearchUdpPort;
    quint16 configPort = kConfigUdpPort;
};

// Broadcasts the search request and reports every switch that answers,
// until cancelled or, with a duration, until that has passed (Done).
class DeviceSearch : public Operation {
    Q_OBJECT
public:
    DeviceSearch(DatagramSocket& socket, NetEndpoints endpoints, int durationMs = 0, QObject* parent = nullptr);

signals:
    // Every datagram that came, as it came.
    void datagram(const QByteArray& data);
    // A switch's answer (its marks in place).
    void found(const talvane::SearchReply& reply);

protected:
    void begin() override;
    void ended() override;

private:
    void onDatagram(const QByteArray& data);

    DatagramSocket& socket_;
    NetEndpoints endpoints_;
    int durationMs_;
    OneShot duration_;
    QMetaObject::Connection connection_;
};

// Sends network settings to the switch `target` names (by its MAC), waits
// for its confirmation, then searches until the configured switch answers:
// with its new MAC, and with static addressing its new address. Done then;
// TimedOut when that has not happened within the limit. Only a confirmation
// while the settings wait for one counts; answers of other switches are
// reported but do not end the wait.
class NetworkSettings : public Operation {
    Q_OBJECT
public:
    NetworkSettings(DatagramSocket& socket, NetEndpoints endpoints, const NetDevice& target,
                    const NetSettings& settings, QObject* parent = nullptr);

    const NetConfigPacket& packet() const { return packet_; }

signals:
    void searching();  // the switch confirmed: the search begins
    void datagram(const QByteArray& data);  // a datagram of that search
    void found(const talvane::SearchReply& reply);

protected:
    void begin() override;
    void ended() override;

private:
    void onDatagram(const QByteArray& data);
    bool isConfigured(const SearchReply& reply) const;

    DatagramSocket& socket_;
    NetEndpoints endpoints_;
    NetConfigPacket packet_;
    bool confirmed_ = false;
    OneShot watchdog_;
    QMetaObject::Connection connection_;
};

}  // namespace talvane

Q_DECLARE_METATYPE(talvane::SearchReply)
