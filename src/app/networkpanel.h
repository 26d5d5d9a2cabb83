// The network side of the General page: the link mode radio buttons, the TCP
// control connection (Connect/Disconnect), the device search with its device
// list, and the network settings ("Config..."). Its controls sit on the main
// window; the main window owns the sockets, whose signals come here.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/oneshot.h"
#include "dialogs/configipdlg.h"
#include "ops/network.h"
#include "pages/ids.h"
#include "protocol/netpackets.h"

class QComboBox;

namespace talvane {

class CTalvaneDlg;
class DatagramSocket;
class Popups;
class Presenter;
class Connection;

// How long "Configure successfully!" waits after the switch was found again,
// and how long it then stays (ms).
constexpr int kConfiguredResultMs = 900;
constexpr int kConfiguredCloseMs = 900;

class NetworkPanel : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDevices = 256;  // entries of the device list

    NetworkPanel(CTalvaneDlg& window, Presenter& presenter, DatagramSocket& udp);
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
    // What the connection reports: the Connect button follows.
    void followConnection();
    void addDevice(const QString& address, const QString& mac);
    // A switch answered a search: listed, and the list's first entry is the current device.
    void found(const SearchReply& reply);
    void echo(const QByteArray& datagram);
    // The search or the settings under way stop.
    void stopNetworkOperation();

    CTalvaneDlg& window_;
    Presenter& presenter_;
    Connection& connection_;
    DatagramSocket& udp_;
    Popups& popups_;
    NetEndpoints endpoints_;
    NetDevice current_;
    NetSettings settings_;
    // The search or the network settings under way (one at a time: they
    // share the UDP socket).
    QPointer<Operation> network_;
    OneShot resultTimer_;
    QPointer<CConfigIPDlg> dialog_;
};

}  // namespace talvane
