// The network side of the panel as switches and strangers on the network
// treat it: each input is a script of searches, datagrams of any bytes,
// switch answers, confirmations of settings, choices in the device list,
// "Config..." (its dialog accepted as it opened) and time passing.
// Rules held: only a switch's marked answer adds an entry, and the list
// stays within its limit; the settings go to the switch the dialog showed;
// "Configure successfully!" only once that switch confirmed and then
// answered the search with its new MAC (and, with static addressing, its
// new address).
#include <QComboBox>
#include <QSet>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/controlids.h"
#include "app/networkpanel.h"
#include "fuzzinput.h"
#include "fuzzpanel.h"
#include "link/datagramsocket.h"
#include "protocol/netpackets.h"

namespace {

using namespace talvane;

// A second socket on the settings port, as a switch would listen: the
// loopback broadcast reaches it before sendTo returns.
int settingsListener = -1;

int listenOn(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// The settings packets sent since the last call.
std::vector<NetConfigPacket> settingsSent()
{
    std::vector<NetConfigPacket> out;
    std::uint8_t buffer[2048];
    for (ssize_t n; (n = ::recv(settingsListener, buffer, sizeof buffer, 0)) > 0;)
        if (auto packet = NetConfigPacket::decode(buffer, std::size_t(n)))
            out.push_back(*packet);
    return out;
}

QByteArray toQt(const std::vector<std::uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

struct Script {
    fuzz::Panel& p;
    NetworkPanel& net;
    QComboBox* list;
    QSet<QString> answered;  // addresses of marked answers so far
    bool configuring = false;
    NetConfigPacket packet;  // what the settings under way apply
    bool confirmed = false;
    bool configuredFound = false;

    explicit Script(fuzz::Panel& panel)
        : p(panel)
        , net(panel.window->networkPanel())
        , list(panel.window->controlAs<QComboBox>(ctl::DeviceList))
    {
    }

    void datagram(const QByteArray& d)
    {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(d.constData());
        const std::optional<SearchReply> r = SearchReply::decode(bytes, std::size_t(d.size()));
        if (r && r->marked) {
            answered << QString::fromStdString(NetDevice::fromReply(*r).addressText());
            if (configuring && confirmed && r->mac == packet.newMac && (!packet.staticIp || r->ip == packet.ip))
                configuredFound = true;
        }
        if (configuring && isNetConfigConfirmation(bytes, std::size_t(d.size())))
            confirmed = true;
        emit p.window->datagramSocket().datagramReceived(d);
        QCoreApplication::sendPostedEvents();
    }

    void config()
    {
        settingsSent();
        const NetDevice shown = net.currentDevice();
        net.configClicked();
        QCoreApplication::sendPostedEvents();
        configuring = true;
        confirmed = configuredFound = false;
        packet = netConfigFor(shown, net.settings());
        // What went out goes to the switch the dialog showed.
        for (const NetConfigPacket& sent : settingsSent())
            fuzz::check(sent.target == packet.target && sent.newMac == packet.newMac);
    }

    void checkRules()
    {
        fuzz::check(list->count() <= NetworkPanel::kMaxDevices);
        for (int i = 0; i < list->count(); ++i)
            fuzz::check(answered.contains(list->itemText(i)));
        if (Popups::instance().busyText() == text::ConfigureSuccessfully)
            fuzz::check(configuring && configuredFound);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::Panel& p = fuzz::panel(LinkMode::Tcp);
    // The search and the settings go to the loopback broadcast, on ports
    // no other program uses (each bound once to find a free one).
    NetEndpoints e = p.window->networkPanel().endpoints();
    e.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
    e.tcpPort = 1;
    QUdpSocket a, b;
    a.bind(QHostAddress::AnyIPv4, 0);
    b.bind(QHostAddress::AnyIPv4, 0);
    e.searchPort = a.localPort();
    e.configPort = b.localPort();
    b.close();
    settingsListener = listenOn(e.configPort);
    p.window->networkPanel().setEndpoints(e);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Panel& p = fuzz::panel(LinkMode::Tcp);
    Script s(p);
    Popups::instance().setBusyText(text::Setting);  // no success of an earlier input
    fuzz::Input in(data, size);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.byte() % 7) {
        case 0:
            p.window->networkPanel().searchClicked();
            s.answered.clear();
            break;
        case 1: {  // a datagram of any bytes
            std::size_t taken = 0;
            const std::uint8_t* bytes = in.slice(in.byte(), taken);
            s.datagram(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(taken)));
            break;
        }
        case 2: {  // a switch's answer, marked or not
            SearchReply r;
            for (std::uint8_t& b : r.mac)
                b = in.byte();
            for (std::uint8_t& b : r.ip)
                b = in.byte();
            std::vector<std::uint8_t> d = r.encode();
            if (in.byte() & 1)
                d[SearchReply::kMark2At] = 0;
            s.datagram(toQt(d));
            break;
        }
        case 3: {  // a confirmation, of the settings under way or of others
            NetConfigPacket c = s.packet;
            if (in.byte() & 1)
                for (std::uint8_t& b : c.target)
                    b = in.byte();
            s.datagram(toQt(c.encodeConfirmation()));
            break;
        }
        case 4:
            s.config();
            break;
        case 5:
            if (s.list->count() > 0)
                p.window->networkPanel().deviceChosen(in.byte() % s.list->count());
            break;
        case 6:
            p.clock.advance(qint64(in.byte()) * 100);
            QCoreApplication::sendPostedEvents();
            break;
        }
        s.checkRules();
    }
    p.clock.advance(fuzz::kDrainMs);
    Popups::instance().closeBusy();
    p.window->networkPanel().searchClicked();  // the next input starts with an empty list
    QCoreApplication::sendPostedEvents();
    p.deleteLater();
    return 0;
}
