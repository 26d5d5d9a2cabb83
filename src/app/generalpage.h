// The General page: the serial connection with its live port list, the port
// status, the switch's power, beeper, reset and reboot, and its configuration
// backup. Its controls sit on the main window; this object holds their
// actions and shows what the operations they start report.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "app/backuppanel.h"
#include "core/oneshot.h"
#include "link/portwatcher.h"
#include "link/serialportlist.h"
#include "ops/labelstore.h"
#include "pages/presenter.h"
#include "protocol/commands.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace talvane {

class CTalvaneDlg;
class Popups;

// Port number from the text after "(COM" (or after "COM" in a list entry): one
// to three characters, each digit at its place value and anything else as 0;
// any other length gives 0; the result modulo 256.
int parsePortNumber(const QString& digits);
// The port number written between the first "(COM" and the following ")" of
// a friendly name, or -1 when the name holds no "(COM".
int portNumberInFriendlyName(const QString& friendlyName);

// How long each result on the General page waits before it shows in the
// busy popup, and how long it then stays (ms).
namespace general {
constexpr int FactoryResetResultMs = 2500;
constexpr int FactoryResetCloseMs = 500;
constexpr int RebootResultMs = 5000;
constexpr int RebootCloseMs = 1000;
constexpr int PowerOnResultMs = 3000;
constexpr int PowerOnCloseMs = 1000;
constexpr int ExtResetResultMs = 6000;
constexpr int ExtResetCloseMs = 900;
}  // namespace general

class GeneralPage : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxPorts = 255;
    // Fills the ports and, in `hint`, why ports may be missing (the list's tooltip).
    using Enumerator = std::function<bool(std::vector<SerialPortRecord>&, QString& error, QString& hint)>;
    using PlainEnumerator = std::function<bool(std::vector<SerialPortRecord>&, QString& error)>;

    GeneralPage(CTalvaneDlg& window, Presenter& presenter);

    // The General page was entered and the switch held for it: reads its power.
    void enter(Hold hold);
    // A read of the sources and displays in the background (following the
    // switch): it shows what it reads and holds nothing.
    Operation* followRead();

    // The serial port list (combo 1020): at start-up and whenever the port
    // watcher reports a change, which it does only while the list is enabled.
    void refreshPortList();
    PortWatcher& portWatcher() { return portWatcher_; }
    // "Backup..." and "Restore...".
    BackupPanel& backupPanel() { return backup_; }
    void setEnumerator(Enumerator e) { enumerate_ = std::move(e); }
    // An enumerator that gives no hint.
    void setEnumerator(PlainEnumerator e)
    {
        enumerate_ = [e = std::move(e)](std::vector<SerialPortRecord>& out, QString& error, QString&) { return e(out, error); };
    }
    // Button actions, as a click or an accessibility action runs them.
    void connectClicked();
    void statusClicked();
    void clearStatus();
    // The check boxes' actions; `checked` is the state the click asked for
    // (the mark itself changes only with a reply).
    void beepToggled(bool checked);
    void factoryResetClicked();
    void rebootClicked();
    void powerToggled(bool checked);
    void clearLogsClicked();
    void extendedFactoryResetClicked();

    // A value shown before the link was closed or lost is stale until a reply
    // refreshes it: drawn greyed, still enabled.
    bool isStale(int id) const;

    // The names of the switch's ports, added to the status lines.
    void setPortLabels(const PortLabels& labels);
    static QString inputStatusText(int input, bool connected);
    static QString outputStatusText(int output, bool connected);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* statusLabel(int id) const;
    // `name`: the port's name, shown on a second, smaller line.
    void setStatusText(int id, const QString& text, const QString& name = QString());
    QCheckBox* checkBox(int id) const;
    void setChecked(int id, bool on);     // without signals
    void showChecked(int id, bool on);    // as a reply reports it
    void setStale(int id, bool stale);
    void showStatus(bool input, int port, bool connected);
    void showPower(bool on);
    // Marks every value the switch reported as stale (the link went away).
    void markLinkValuesStale();
    // What the connection reports: the port list and the Connect button follow.
    void followConnection();
    // The switch reported power off: the box says so.
    void poweredOff();
    void readBeep(std::function<void()> then = {});
    // Shows `text` as the busy popup's result once `waitMs` have passed and
    // closes the popup `closeMs` later, then runs `then`. `hold` ends with
    // the result, or (`releaseAtResult` false) once the popup has closed.
    void showResultLater(Hold hold, int waitMs, const QString& text, int closeMs, bool releaseAtResult,
                         std::function<void()> then = {});
    void closePortList(bool open);
    // The entry a fresh list starts on: the port last connected, else the
    // first registered or USB port, else the first.
    int preferredIndex() const;
    CTalvaneDlg& window_;
    Presenter& presenter_;
    Connection& connection_;
    Popups& popups_;
    OneShot resultTimer_;
    Enumerator enumerate_;
    PortWatcher portWatcher_;
    std::vector<std::uint8_t> previousPorts_;  // as last shown, ascending
    std::map<int, QString> lastPorts_;
    PortLabels labels_;
    std::map<int, bool> shownStatus_;  // by label id: the state each status line shows
    std::map<int, int> plainHeights_;  // by label id: its height without a name
    std::vector<SerialPortRecord> records_;    // the ports found at the last refresh
    BackupPanel backup_;
};

}  // namespace talvane
