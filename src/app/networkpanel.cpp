#include "networkpanel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTime>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "dialogs/configipdlg.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "pages/requestengine.h"
#include "link/datagramsocket.h"
#include "link/tcplink.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

constexpr int kMacRole = Qt::UserRole;  // device-list entry: its MAC text

const int kTcpControls[] = {ctl::TcpConnect, ctl::TcpGroup, ctl::SwitcherIpLabel, ctl::Search, ctl::Config,
                            ctl::DeviceList};
const int kComControls[] = {ctl::ComGroup, ctl::PortLabel, ctl::Connect, ctl::PortList};

const std::uint8_t* bytesOf(const QByteArray& a) { return reinterpret_cast<const std::uint8_t*>(a.constData()); }

// The address text as the parser takes it; anything beyond ASCII makes it invalid.
std::optional<Ipv4Octets> addressIn(const QString& text)
{
    std::string ascii;
    for (QChar c : text.trimmed()) {
        if (c.unicode() > 0x7F)
            return std::nullopt;
        ascii += char(c.unicode());
    }
    return parseIpv4(ascii);
}

QString now() { return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")); }

}  // namespace

NetworkPanel::NetworkPanel(CTalvaneDlg& window, RequestEngine& engine, GeneralPage& general, TcpLink& tcp,
                           DatagramSocket& udp, Popups& popups)
    : window_(window)
    , engine_(engine)
    , general_(general)
    , tcp_(tcp)
    , udp_(udp)
    , popups_(popups)
{
    // An operator may type the address of a switch that no broadcast reaches.
    QComboBox* list = deviceList();
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->lineEdit()->setAccessibleName(list->accessibleName());

    // The mode changes as soon as a radio button is chosen (a click or an
    // accessibility action both toggle it).
    auto onMode = [this](int id, LinkMode mode) {
        connect(window_.controlAs<QRadioButton>(id), &QRadioButton::toggled, this, [this, mode](bool on) {
            if (on)
                applyLinkMode(mode);
        });
    };
    onMode(ctl::ComMode, LinkMode::Com);
    onMode(ctl::TcpMode, LinkMode::Tcp);
    connect(window_.controlAs<QPushButton>(ctl::TcpConnect), &QPushButton::clicked, this, &NetworkPanel::tcpConnectClicked);
    connect(window_.controlAs<QPushButton>(ctl::Search), &QPushButton::clicked, this, &NetworkPanel::searchClicked);
    connect(window_.controlAs<QPushButton>(ctl::Config), &QPushButton::clicked, this, &NetworkPanel::configClicked);
    connect(list, qOverload<int>(&QComboBox::activated), this, &NetworkPanel::deviceChosen);
    connect(&tcp_, &Link::opened, this, &NetworkPanel::onTcpOpened);
    connect(&tcp_, &Link::lost, this, &NetworkPanel::onTcpLost);
    connect(&udp_, &DatagramSocket::datagramReceived, this, &NetworkPanel::onDatagram);
}

NetworkPanel::~NetworkPanel() { delete dialog_; }

QComboBox* NetworkPanel::deviceList() const { return window_.controlAs<QComboBox>(ctl::DeviceList); }

QString NetworkPanel::macOf(int index) const { return deviceList()->itemData(index, kMacRole).toString(); }

void NetworkPanel::setTcpCaption(bool connected)
{
    window_.controlAs<QPushButton>(ctl::TcpConnect)
        ->setText(QString::fromLatin1(connected ? caption::Disconnect : caption::Connect));
}

// --- link mode ----------------------------------------------------------------

void NetworkPanel::setLinkMode(LinkMode mode)
{
    auto* radio = window_.controlAs<QRadioButton>(mode == LinkMode::Com ? ctl::ComMode : ctl::TcpMode);
    {
        const QSignalBlocker block(radio);
        radio->setChecked(true);
    }
    applyLinkMode(mode);
}

void NetworkPanel::applyLinkMode(LinkMode mode)
{
    engine_.setLinkMode(mode);
    const bool tcp = mode == LinkMode::Tcp;
    if (tcp)
        general_.closeSerialLink();
    else
        dropTcp();
    for (int id : kTcpControls)
        window_.control(id)->setEnabled(tcp);
    for (int id : kComControls)
        window_.control(id)->setEnabled(!tcp);
}

// --- control connection ---------------------------------------------------------

void NetworkPanel::dropTcp()
{
    const bool wasConnected = engine_.tcpConnected();
    const bool wasConnecting = tcp_.connecting();
    engine_.setTcpConnected(false);
    tcp_.closeLink();
    setTcpCaption(false);
    if (wasConnected || wasConnecting)
        window_.setLinkStatus(QString::fromUtf8(caption::NotConnected));
    if (wasConnected)
        general_.markLinkValuesStale();
}

void NetworkPanel::tcpConnectClicked()
{
    if (engine_.tcpConnected()) {
        dropTcp();
        return;
    }
    tcp_.closeLink();
    const std::optional<Ipv4Octets> address = addressIn(deviceList()->currentText());
    if (!address) {
        window_.setLinkStatus(QString::fromUtf8(caption::NotConnected));
        popups_.showMessage(text::BadIpAddress);
        return;
    }
    peer_ = QString::fromStdString(ipToText(*address));
    window_.setLinkStatus(QString::fromUtf8(caption::ConnectingTo).arg(peer_));
    tcp_.connectTo(QHostAddress(peer_), endpoints_.tcpPort);
}

void NetworkPanel::onTcpOpened(bool ok, const QString& why)
{
    if (!ok) {
        // The button keeps reading "Connect"; the status line says why.
        window_.setLinkStatus(QString::fromUtf8(caption::CannotConnect).arg(peer_, why));
        return;
    }
    engine_.setTcpConnected(true);
    setTcpCaption(true);
    window_.setLinkStatus(QString::fromUtf8(caption::ConnectedTo).arg(peer_));
    general_.greet();
}

void NetworkPanel::onTcpLost(const QString&)
{
    // The switch closed the connection: the button must not claim it is still up.
    engine_.setTcpConnected(false);
    setTcpCaption(false);
    window_.setLinkStatus(QString::fromUtf8(caption::LinkLostAt).arg(peer_, now()));
    general_.markLinkValuesStale();
}

// --- device search ----------------------------------------------------------------

void NetworkPanel::searchClicked()
{
    deviceList()->clear();  // the entries and the MAC of each
    dropTcp();
    udpUse_ = UdpUse::None;
    if (!udp_.open(endpoints_.searchPort))
        return;  // the port cannot be had: no search, no message
    udpUse_ = UdpUse::Search;
    // Without a route for the broadcast nothing goes out, and nothing answers.
    udp_.sendTo(QByteArray(1, char(kSearchRequestByte)), endpoints_.broadcast, endpoints_.searchPort);
}

void NetworkPanel::onDatagram(const QByteArray& data)
{
    if (udpUse_ == UdpUse::Search)
        onSearchReply(data);
    else if (udpUse_ == UdpUse::Config)
        onConfigReply(data);
}

void NetworkPanel::onSearchReply(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    window_.logView().datagramReceived(bytesOf(data), std::size_t(data.size()));
    const std::optional<SearchReply> reply = SearchReply::decode(bytesOf(data), std::size_t(data.size()));
    if (!reply)
        return;
    current_ = NetDevice::fromReply(*reply);
    if (!reply->marked)
        return;
    addDevice(QString::fromStdString(current_.addressText()), QString::fromStdString(current_.macText()));
    QComboBox* list = deviceList();
    list->setCurrentIndex(0);
    // The current device is the one the list shows, so "Config..." works on
    // the switch the operator sees.
    deviceChosen(0);
    engine_.timers().arm(mtimer::SearchSuccess, mtime::SearchSuccess);
}

void NetworkPanel::addDevice(const QString& address, const QString& mac)
{
    QComboBox* list = deviceList();
    int at = 0;
    while (at < list->count() && QString::compare(list->itemText(at), address) < 0)
        ++at;
    if (at < list->count() && list->itemText(at) == address) {
        list->setItemData(at, mac, kMacRole);  // the same switch answered again
        return;
    }
    if (list->count() >= kMaxDevices)
        return;
    list->insertItem(at, address, mac);
}

void NetworkPanel::deviceChosen(int index)
{
    QComboBox* list = deviceList();
    if (index < 0 || index >= list->count())
        return;
    current_ = NetDevice::fromEntry(list->itemText(index).toStdString(), macOf(index).toStdString());
}

// --- network settings -----------------------------------------------------------------

void NetworkPanel::configClicked()
{
    if (!dialog_)
        dialog_ = new CConfigIPDlg(&window_, settings_);
    dialog_->load(current_);
    if (runModal(*dialog_) != Popups::Ok)
        return;
    // A search answered just before must not report this configuration's
    // success, nor close its popup.
    engine_.timers().stop(mtimer::SearchSuccess);
    engine_.timers().stop(mtimer::SearchClose);
    const std::vector<std::uint8_t> packet = netConfigFor(current_, settings_).encode();
    // Without the configuration socket nothing is sent; the watchdog then
    // reports the failure.
    udpUse_ = UdpUse::None;
    if (udp_.open(endpoints_.configPort)) {
        udpUse_ = UdpUse::Config;
        udp_.sendTo(QByteArray(reinterpret_cast<const char*>(packet.data()), qsizetype(packet.size())),
                    endpoints_.broadcast, endpoints_.configPort);
    }
    engine_.timers().arm(mtimer::ConfigWatchdog, mtime::ConfigWatchdog);
    popups_.showBusy(text::Configuring);
}

void NetworkPanel::onConfigReply(const QByteArray& data)
{
    // The switch took the settings: find it again, which reports success.
    if (isNetConfigConfirmation(bytesOf(data), std::size_t(data.size())))
        searchClicked();
}

}  // namespace talvane
