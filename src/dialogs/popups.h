// The program's two popups, the confirmation box and the busy popup, with their
// process-wide texts and shown flags. Every page and the request engine use
// them through this one object.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

namespace talvane {

class CMessageDlg;
class CStatusDlg;

// Operator texts shown in the popups; defined once here.
namespace text {
inline const QString TimeOut = QStringLiteral("Time out!");
inline const QString OpenComFailed = QStringLiteral("Open COM failed!");
inline const QString ConnectFailed = QStringLiteral("Connect to Matrix failed!");
inline const QString PowerOff = QStringLiteral("Power off!");
inline const QString AskFactoryReset = QStringLiteral("Do you want to reset to factory settings?");
inline const QString AskPowerOff = QStringLiteral("Are you sure you want to power off?");
inline const QString BadEdidFile = QStringLiteral("Bad EDID file!");
inline const QString NoFirmwareFile = QStringLiteral("No file(.bin)!");
inline const QString FileTooLarge = QStringLiteral("File too large!");
inline const QString EmptyFile = QStringLiteral("Empty file!");
// A chosen file refused before it was read.
inline const QString FileNotFound = QStringLiteral("File not found!");
inline const QString NotRegularFile = QStringLiteral("Not a regular file!");
inline const QString CannotReadFile = QStringLiteral("Can't read the file!");
inline const QString FileChanged = QStringLiteral("File changed while opening!");
inline const QString AskStopUpgrade = QStringLiteral("An upgrade is running. Stop it and close?");
// The device list holds no valid address when TCP Connect is pressed.
inline const QString BadIpAddress = QStringLiteral("Bad IP address!");
// Busy texts
inline const QString Setting = QStringLiteral("Setting");
inline const QString GettingStatus = QStringLiteral("Getting status");
inline const QString Rebooting = QStringLiteral("Rebooting");
inline const QString Initializing = QStringLiteral("Initializing");
inline const QString Configuring = QStringLiteral("Configuring");
// Results (busy popup; "Set successfully!" also in the confirmation box)
inline const QString SetSuccessfully = QStringLiteral("Set successfully!");
inline const QString RebootSuccessfully = QStringLiteral("Reboot successfully!");
inline const QString InitializingSuccessfully = QStringLiteral("Initializing successfully!");
inline const QString ConfigureSuccessfully = QStringLiteral("Configure successfully!");
inline const QString NoValidData = QStringLiteral("Can't find the valid data!");

// Whether `shown` reports a failure (the popups then show a warning picture,
// not the information picture or the success tick). A text may carry more
// after its first line ("Bad EDID file!" and why).
bool isFailure(const QString& shown);
}  // namespace text

class Popups {
public:
    enum Result { Ok = 1, Cancel = 2 };

    static Popups& instance();

    // Window that owns the boxes while they are shown (the main window).
    void setOwner(QWidget* owner) { owner_ = owner; }
    QWidget* owner() const { return owner_; }

    // --- Confirmation box --------------------------------------------------
    // Show message: sets the text; opens the box modally unless one is already
    // open (then the open box shows the new text). Returns when it is closed,
    // or at once when a box was already open.
    void showMessage(const QString& text);
    // Modal show for callers that need the answer: sets the text and the shown
    // flag and opens the box (question mode adds Cancel and "No longer
    // remind"). Returns Ok or Cancel. When a box is already open it opens no
    // second one and returns Cancel.
    int ask(const QString& text, bool question);
    const QString& messageText() const { return messageText_; }
    bool messageShown() const { return messageShown_; }
    bool questionMode() const { return question_; }
    bool noLongerRemind() const { return noLongerRemind_; }
    void setNoLongerRemind(bool on) { noLongerRemind_ = on; }
    CMessageDlg* openMessageBox() const;

    // --- Busy popup --------------------------------------------------------
    // Show busy: sets the busy text; opens the popup modally unless it is
    // already open. Returns when the popup has been closed (at once if it was
    // already open).
    void showBusy(const QString& text);
    // Sets the busy text without opening anything.
    void setBusyText(const QString& text);
    // Stops the dots and shows the busy text with the check mark. Acts only on
    // an open popup.
    void busyResult();
    // Clears the shown flag and ends the popup as if OK. Safe when none is open.
    void closeBusy();
    const QString& busyText() const { return busyText_; }
    bool busyShown() const { return busyShown_; }
    CStatusDlg* openBusyPopup() const;

    // Called by the boxes themselves.
    void messageBoxEnded();  // clears the confirmation-box-shown flag
    void busyPopupEnded();   // clears the busy-popup-shown flag

private:
    Popups() = default;
    int runMessageBox();

    QPointer<QWidget> owner_;
    QString messageText_;
    bool messageShown_ = false;
    bool question_ = false;
    bool noLongerRemind_ = false;
    QString busyText_ = text::Setting;
    bool busyShown_ = false;
    QPointer<CMessageDlg> messageBox_;
    QPointer<CStatusDlg> busyPopup_;
};

}  // namespace talvane
