// The network side of the General page: the link mode radio buttons, the TCP
// control connection (Connect/Disconnect), the device search with its device
// list, and the network settings ("Config..."). Its controls sit on the main
// window; the main window owns the sockets, whose signals come here.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include "dialogs/configipdlg.h"
#include "pages/ids.h"
#include "protocol/netpackets.h"

class QComboBox;

namespace talvane {

class CTalvaneDlg;
class DatagramSocket;
class GeneralPage;
class Popups;
class RequestEngine;
class TcpLink;

// Where the search, the settings and the connection go. The panel uses the
// limited broadcast; code below it and tests on loopback pass their own.
struct NetEndpoints {
    QHostAddress broadcast{QHostAddress::Broadcast};
    quint16 tcpPort = kControlTcpPort;
    quint16 searchPort = kSearchUdpPort;
    quint16 configPort = kConfigUdpPort;
};

class NetworkPanel : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDevices = 256;  // entries of the device list

    NetworkPanel(CTalvaneDlg& window, RequestEngine& engine, GeneralPage& general, TcpLink& tcp,
                 DatagramSocket& udp, Popups& popups);
    ~NetworkPanel() override;

    void setEndpoints(const NetEndpoints& e) { endpoints_ = e; }
    const NetEndpoints& endpoints() const { return endpoints_; }

    // Checks the mode's radio button and applies the mode: COM closes the TCP
    // connection, TCP stops the serial port; each enables its own group.
    void setLinkMode(LinkMode mode);
    void applyLinkMode(LinkMode mode);

    // Button actions, as a click or an accessibility action runs them.
    void tcpConnectClicked();
    void searchClicked();
    void configClicked();
    // The operator chose device-list entry `index`.
    void deviceChosen(int index);

    // What the control connection and the UDP socket report.
    void onTcpOpened(bool ok, const QString& why);
    void onTcpLost(const QString& why);
    void onDatagram(const QByteArray& data);

    const NetDevice& currentDevice() const { return current_; }
    NetSettings& settings() { return settings_; }
    // The MAC text that belongs to device-list entry `index`.
    QString macOf(int index) const;
    // The dialog, once "Config..." has opened it.
    CConfigIPDlg* configDialog() const { return dialog_; }

private:
    QComboBox* deviceList() const;
    void setTcpCaption(bool connected);
    // Closes the control connection (or the attempt); the status line and the
    // stale marking follow when one was up or under way.
    void dropTcp();
    void addDevice(const QString& address, const QString& mac);
    void onSearchReply(const QByteArray& data);
    void onConfigReply(const QByteArray& data);

    CTalvaneDlg& window_;
    RequestEngine& engine_;
    GeneralPage& general_;
    TcpLink& tcp_;
    DatagramSocket& udp_;
    Popups& popups_;
    NetEndpoints endpoints_;
    NetDevice current_;
    NetSettings settings_;
    QString peer_;  // the address connected or being connected to
    // What the UDP socket was last opened for: its datagrams are search
    // answers or the switch's confirmation of settings.
    enum class UdpUse { None, Search, Config } udpUse_ = UdpUse::None;
    QPointer<CConfigIPDlg> dialog_;
};

}  // namespace talvane
