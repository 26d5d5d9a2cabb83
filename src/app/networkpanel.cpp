#include "networkpanel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QCheckBox>
#include <QSignalBlocker>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "dialogs/configipdlg.h"
#include "dialogs/modal.h"
#include "dialogs/popups.h"
#include "pages/presenter.h"
#include "link/datagramsocket.h"
#include "link/tcplink.h"
#include "ops/limits.h"
#include "protocol/commands.h"

namespace talvane {

namespace {

constexpr int kMacRole = Qt::UserRole;  // device-list entry: its MAC text

const int kTcpControls[] = {ctl::TcpConnect, ctl::TcpGroup, ctl::SwitcherIpLabel, ctl::Search, ctl::Config,
                            ctl::DeviceList};
const int kComControls[] = {ctl::ComGroup, ctl::PortLabel, ctl::Connect, ctl::PortList};

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

}  // namespace

NetworkPanel::NetworkPanel(CTalvaneDlg& window, Presenter& presenter, DatagramSocket& udp)
    : window_(window)
    , presenter_(presenter)
    , connection_(presenter.connection())
    , udp_(udp)
    , popups_(presenter.popups())
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
    followConnection();
}

void NetworkPanel::followConnection()
{
    using Kind = Connection::LinkKind;
    connect(&connection_, &Connection::opened, this, [this] {
        if (connection_.kind() == Kind::Tcp)
            setTcpCaption(true);
    });
    // The switch closed the connection: the button must not claim it is still up.
    connect(&connection_, &Connection::lost, this, [this] {
        if (connection_.kind() == Kind::Tcp)
            setTcpCaption(false);
    });
    connect(&connection_, &Connection::closed, this, [this](Kind kind) {
        if (kind == Kind::Tcp)
            setTcpCaption(false);
    });
}

NetworkPanel::~NetworkPanel()
{
    delete network_.data();
    delete dialog_;
}

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
    // The other mode's link closes.
    window_.setLinkMode(mode);
    const bool tcp = mode == LinkMode::Tcp;
    for (int id : kTcpControls)
        window_.control(id)->setEnabled(tcp);
    for (int id : kComControls)
        window_.control(id)->setEnabled(!tcp);
}

// --- control connection ---------------------------------------------------------

void NetworkPanel::dropTcp()
{
    connection_.close(Connection::LinkKind::Tcp);
}

void NetworkPanel::tcpConnectClicked()
{
    // The operator takes over from a reconnect under way.
    connection_.stopReconnecting();
    if (connection_.tcpLink().isOpen()) {
        connection_.close(Connection::LinkKind::Tcp);
        return;
    }
    connection_.tcpLink().closeLink();
    const std::optional<Ipv4Octets> address = addressIn(deviceList()->currentText());
    if (!address) {
        window_.setLinkStatus(QString::fromUtf8(caption::NotConnected));
        popups_.showMessage(text::BadIpAddress);
        return;
    }
    const QString peer = QString::fromStdString(ipToText(*address));
    window_.setLinkStatus(QString::fromUtf8(caption::ConnectingTo).arg(peer));
    connection_.connectHost(SwitchAddress::tcp(peer, endpoints_.tcpPort));
}

// --- device search ----------------------------------------------------------------

void NetworkPanel::stopNetworkOperation()
{
    if (network_)
        network_->cancel();
    resultTimer_.stop();
}

void NetworkPanel::searchClicked()
{
    stopNetworkOperation();
    deviceList()->clear();  // the entries and the MAC of each
    dropTcp();
    auto* search = new DeviceSearch(udp_, endpoints_, 0, this);
    connect(search, &DeviceSearch::datagram, this, &NetworkPanel::echo);
    connect(search, &DeviceSearch::found, this, &NetworkPanel::found);
    connect(search, &Operation::finished, search, &QObject::deleteLater);
    network_ = search;
    search->start();  // the port cannot be had: no search, no message
}

void NetworkPanel::echo(const QByteArray& datagram)
{
    window_.logView().datagramReceived(reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                                       std::size_t(datagram.size()));
}

void NetworkPanel::found(const SearchReply& reply)
{
    const NetDevice device = NetDevice::fromReply(reply);
    addDevice(QString::fromStdString(device.addressText()), QString::fromStdString(device.macText()));
    // The current device is the one the list shows, so "Config..." works on
    // the switch the operator sees.
    deviceList()->setCurrentIndex(0);
    deviceChosen(0);
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
    // The switch the dialog shows is the switch it configures, whatever
    // answers while it is open.
    const NetDevice target = current_;
    if (!dialog_)
        dialog_ = new CConfigIPDlg(&window_, settings_);
    dialog_->load(target);
    if (runModal(*dialog_) != Popups::Ok)
        return;
    stopNetworkOperation();
    auto* configure = new NetworkSettings(udp_, endpoints_, target, settings_, this);
    // The switch confirmed: its answers to the search that follows are
    // listed afresh, as a search lists them.
    connect(configure, &NetworkSettings::searching, this, [this] {
        deviceList()->clear();
        dropTcp();
    });
    connect(configure, &NetworkSettings::datagram, this, &NetworkPanel::echo);
    connect(configure, &NetworkSettings::found, this, &NetworkPanel::found);
    connect(configure, &Operation::finished, this, [this, configure](Outcome outcome) {
        configure->deleteLater();
        if (outcome == Outcome::Done) {
            resultTimer_.start(kConfiguredResultMs, [this] {
                popups_.setBusyText(text::ConfigureSuccessfully);
                popups_.busyResult();
                resultTimer_.start(kConfiguredCloseMs, [this] { popups_.closeBusy(); });
            });
        } else if (outcome == Outcome::TimedOut) {
            popups_.closeBusy();
            popups_.showMessage(text::TimeOut);
        }
    });
    network_ = configure;
    configure->start();
    popups_.showBusy(text::Configuring);
}

}  // namespace talvane
