// The main window: borderless, a blue header band with the caption, Close and
// Minimize buttons and four tabs (General, EDID, Matrix, Upgrade). The General
// page's controls live on it; the other pages are child windows created on
// first use. It owns the links (the serial port, the TCP control connection
// and the UDP socket of the search and settings), the session on the link of
// the mode the operator chose, and the runner of the operations.
#pragma once

#include <QPointer>

#include <functional>
#include <memory>

#include "app/logview.h"
#include "app/panelsettings.h"
#include "controls/dialogbase.h"
#include "engine/session.h"
#include "ops/connection.h"
#include "ops/follow.h"
#include "ops/labelstore.h"
#include "ops/runner.h"
#include "pages/ids.h"
#include "pages/presenter.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QMenu;
class QPlainTextEdit;
class QStatusBar;

namespace talvane {

class CImageButton;
class CEDIDDlg;
class CMatrixDlg;
class CFWDlg;
class CSerialPort;
class DatagramSocket;
class GeneralPage;
class NetworkPanel;
class PanelLocks;
class TcpLink;

class CTalvaneDlg : public TemplateDialog {
    Q_OBJECT
public:
    // Template 102: 399 x 320 dialog units.
    static constexpr int kTemplateWidth = 399;
    static constexpr int kTemplateHeight = 320;
    static constexpr int kHeaderHeight = 56;       // the header band ends here
    static constexpr int kCaptionRight = 290;      // caption text rectangle (1,1)-(290,30)
    static constexpr int kCaptionBottom = 30;
    static const QColor kBlue;                     // RGB(30, 144, 225)

    // `settingsPath`: where the panel's own settings are kept (tests pass one
    // in a temporary directory).
    explicit CTalvaneDlg(QWidget* parent = nullptr, const QString& settingsPath = PanelSettings::defaultPath());
    ~CTalvaneDlg() override;

    Connection& connection() { return *connection_; }
    Session& session() { return connection_->session(); }
    Runner& runner() { return connection_->runner(); }
    Presenter& presenter() { return *presenter_; }
    LogView& logView() { return logs_; }
    PanelSettings& settings() { return settings_; }
    CSerialPort& serialPort() { return connection_->serialPort(); }
    TcpLink& tcpLink() { return connection_->tcpLink(); }
    DatagramSocket& datagramSocket() { return *udp_; }
    GeneralPage& generalPage() { return *general_; }
    NetworkPanel& networkPanel() { return *network_; }
    Page currentPage() const { return page_; }
    // Following the switch: the check box beside the tabs turns it on and off.
    Follower& follower() { return connection_->follower(); }
    // The presets file of the Matrix page; set before the page is first entered.
    void setPresetsPath(const QString& path) { presetsPath_ = path; }
    // The names file shared with talvane-ctl (tests pass one of their own).
    void setLabelsPath(const QString& path);
    QString labelsPath() const { return labels_->path(); }
    QString presetsPath() const { return presetsPath_; }
    // "Names...": the names of the switch's ports, edited in a dialog.
    void namesClicked();
    // Shows the names of the switch connected on every page.
    void applyLabels();
    // The switch connected, as the labels and presets files name it:
    // "port:COM129" or "host:192.168.1.50".
    QString switchKey() const;
    // The port or address of the link chosen ("COM129", "192.168.1.50").
    QString linkName() const;
    // No operation holds the switch: a command may start, a tab be changed.
    bool ready() const { return !presenter_->busy(); }

    // The link mode (the radio buttons) and the link of each mode: the
    // serial port and the TCP control connection, unless a test put a link
    // of its own in their place. The session works on the current mode's.
    LinkMode linkMode() const { return linkMode_; }
    void setLinkMode(LinkMode mode);
    Link* link(LinkMode mode) const { return connection_->link(kindOf(mode)); }
    static Connection::LinkKind kindOf(LinkMode mode)
    {
        return mode == LinkMode::Com ? Connection::LinkKind::Serial : Connection::LinkKind::Tcp;
    }
    void setLink(LinkMode mode, Link* link);
    bool linkOpen() const;

    // A tab click at a point in client coordinates, as the left button does.
    void pressAt(const QPoint& clientPos);
    // The next (`step` 1) or previous (-1) tab, as a click on it; the last
    // wraps to the first.
    void stepPage(int step);
    // Page window, or nullptr before its first entry.
    QWidget* pageWindow(Page page) const;
    QLabel* tabLabel(Page page) const;
    // The right-click menu of the header band (the About entry).
    QMenu* createSystemMenu(QWidget* parent);
    void showAbout();
    // The link status line along the bottom ("Not connected", "Connected: ...",
    // "Link lost: ... at ...").
    void setLinkStatus(const QString& text);
    QString linkStatus() const;
    // A link was opened to `where`: the status line says that nothing has
    // answered yet, and shows what `answered` gives once something does.
    void linkOpened(const QString& where, std::function<QString()> answered);
    // The time of day as the status line shows it.
    static QString timeOfDay();
    // Reads again what the page shown displays, as entering it does (the
    // General page's values come with the greeting).
    void refreshPage();
    // The Close button and a close from the window manager: while a firmware
    // transfer runs the operator is asked first; true when the program may end
    // (a running transfer has then been stopped).
    bool mayClose();
    void requestClose();

signals:
    // The window asked the windowing system to move it with the pointer.
    void systemMoveRequested();

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createHeader();
    void createGeneralControls();
    void layoutHeader();
    void updateTabColours();
    void enterPage(Page page);
    void showPageWindows();
    QWidget* ensurePageWindow(Page page);
    void createFollowBox();
    // The status line and the page follow what the connection reports.
    void followConnection();
    // The background read of the page shown, or nullptr.
    Operation* followRead();

    std::unique_ptr<Connection> connection_;
    std::unique_ptr<Presenter> presenter_;
    LogView logs_;
    PanelSettings settings_;
    LinkMode linkMode_ = LinkMode::Com;
    Page page_ = Page::General;
    std::unique_ptr<DatagramSocket> udp_;
    std::unique_ptr<GeneralPage> general_;
    std::unique_ptr<NetworkPanel> network_;
    CImageButton* closeButton_ = nullptr;
    CImageButton* minimizeButton_ = nullptr;
    QFont captionFont_;
    QString captionText_;
    QList<QWidget*> generalControls_;
    QStatusBar* linkStatus_ = nullptr;
    std::function<QString()> onFirstAnswer_;
    QPointer<CEDIDDlg> edidPage_;
    QPointer<CMatrixDlg> matrixPage_;
    QPointer<CFWDlg> upgradePage_;
    QCheckBox* followBox_ = nullptr;
    QCheckBox* takeBox_ = nullptr;
    QPushButton* namesButton_ = nullptr;
    QString presetsPath_;
    // While following finds the switch silent: the status line before, and the one shown.
    QString statusBeforeSilence_;
    QString silenceStatus_;
    std::unique_ptr<LabelStore> labels_;
    bool labelsDamageReported_ = false;
    // The hub's locks while the switch is reached through one.
    std::unique_ptr<PanelLocks> locks_;
};

}  // namespace talvane
