// The Upgrade page (template 144): firmware upload and device information.
//
// The page loads a firmware image and is the view of the upgrade that sends
// it to the switch, follows the switch through its reboot and reports every
// stage in its messages log and progress bar. It also shows the switch's
// kind, port counts, version and 32-character identification text, and
// writes that text.
#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <QPointer>

#include "core/oneshot.h"
#include "ops/device.h"
#include "ops/firmware.h"
#include "pages/pagewindow.h"
#include "pages/presenter.h"
#include "protocol/commands.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;

namespace talvane {

namespace upgrade {

// Controls of template 144.
namespace ctl {
constexpr int Path = 1042;           // read-only: full path of the loaded file
constexpr int Open = 1125;
constexpr int UnusedOpen = 1088;     // outside the visible area; does nothing
constexpr int Upgrade = 1090;
constexpr int IdentSet = 1091;       // hidden
constexpr int DeviceInfo = 1092;
constexpr int Log = 1093;            // the "Messages" log
constexpr int Progress = 1094;       // in bytes
constexpr int IdentText = 1095;
constexpr int IdentFirstHalf = 1127;   // hidden edits, 16 characters each
constexpr int IdentSecondHalf = 1128;
// Not in the template: block count and time left beside the progress bar.
constexpr int TransferDetail = 1200;
}  // namespace ctl

// While blocks stream, the progress bar and the block count repaint at most
// this often (ms): a repaint costs more than a block's round trip on a fast link.
constexpr int kViewRefreshMs = 100;

// The page's own texts: captions, names and the log's lines.
namespace caption {
inline const QString UpgradeGroup = QStringLiteral("Upgrade");
inline const QString OpenBinFile = QStringLiteral("Open BIN File");
inline const QString Open = QStringLiteral("Open");
inline const QString Upgrade = QStringLiteral("Upgrade");
inline const QString Messages = QStringLiteral("Messages");
inline const QString Set = QStringLiteral("Set");
inline const QString ProgressName = QStringLiteral("Upgrade progress");
inline const QString DeviceInfoName = QStringLiteral("Device information");
inline const QString IdentTextName = QStringLiteral("Identification text");
inline const QString IdentFirstHalfName = QStringLiteral("Identification text, first half");
inline const QString IdentSecondHalfName = QStringLiteral("Identification text, second half");
inline const QString TransferDetailName = QStringLiteral("Blocks and time left");
inline const QString FileFilter = QStringLiteral("Binary file(*.bin *.BIN)");
inline const QString FileSuffix = QStringLiteral("bin");
inline const QString BlockOf = QStringLiteral("Block %1 of %2");
inline const QString BlockOfTimeLeft = QStringLiteral("Block %1 of %2, about %3 s left");
inline const QString DeviceKindTalvane = QStringLiteral("Talvane");
inline const QString DeviceKindMarbeck = QStringLiteral("Marbeck");
inline const QString DeviceKindOther = QStringLiteral("Selwyth");
inline const QString DevicePrefix = QStringLiteral("Device: ");
inline const QString VersionPrefix = QStringLiteral("     Version:");
}  // namespace caption

namespace line {
inline const QString Upgrading = QStringLiteral("->Upgrading MCU...");
inline const QString Failed = QStringLiteral("->MCU upgrade failed");
inline const QString Rebooting = QStringLiteral("->System rebooting, please wait...");
inline const QString RebootOk = QStringLiteral("->System reboot ok ");
inline const QString Complete = QStringLiteral("->MCU upgrading complete ");
inline const QString Success = QStringLiteral("->Firmware upgrade successfully ");
}  // namespace line

constexpr std::size_t kImageBufferSize = kFirmwareImageMaxSize;
constexpr int kIdentHalfLength = 16;

using State = FirmwareUpgrade::Stage;

}  // namespace upgrade

class CFWDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 266;

    // Returns the chosen file's path, or an empty string when cancelled.
    using FileChooser = std::function<QString()>;

    CFWDlg(Presenter& presenter, QWidget* parent);

    // The page was entered and the switch held for it: the switch is given
    // back at once and its information is read in the background.
    void enter(Hold hold);

    // Button actions, as a click or an accessibility action runs them.
    void openClicked();
    void upgradeClicked();
    void setClicked();

    // Production asks with a file dialog; tests put their own chooser here.
    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }

    upgrade::State state() const { return upgrade_ ? upgrade_->stage() : upgrade::State::Idle; }
    // From the start command to the last block's acknowledgement: the switch
    // is somewhere in the middle of taking an image.
    bool transferRunning() const;
    // Abandons a running transfer: timers stopped, the failure logged, idle.
    void stopUpgrade();

    bool redText() const { return redText_; }
    std::size_t imageSize() const { return imageSize_; }
    const std::uint8_t* image() const { return image_.data(); }
    std::size_t offset() const { return upgrade_ ? upgrade_->offset() : 0; }

private:
    void createControls();
    QString chooseWithDialog();

    // The information and identification text, read in the background.
    void readDevice(DeviceRead::What what, std::optional<int> knownKind = std::nullopt);
    void showInfo(const DeviceInfo& info);
    void showIdent(const QByteArray& text);
    void upgradeEnded(Outcome outcome);
    void failUpgrade(bool red);

    // The view: log, red text, progress and the transfer detail.
    void appendLog(const QString& text);
    void clearLog();
    void setRedText(bool red);
    void setProgress(std::size_t position);
    // Progress and detail follow later, once the next block is on its way.
    // The progress bar or the block count changed: repainted at once, or,
    // while blocks stream, at the next repaint interval.
    void viewChanged();
    void scheduleViewRefresh();
    void refreshView();
    QString transferDetailText() const;
    void setLabel(int id, const QString& text, const QString& emptyName);

    FileChooser chooseFile_;

    std::vector<std::uint8_t> image_;  // kImageBufferSize bytes, 0xFF past the image
    std::size_t imageSize_ = 0;
    QPointer<FirmwareUpgrade> upgrade_;
    bool redText_ = false;
    std::size_t progress_ = 0;
    bool refreshPending_ = false;
    bool viewStale_ = false;  // a change waits for the next repaint while blocks stream
    OneShot viewRefresh_;
    qint64 transferStartMs_ = 0;       // when block 0 went out

    QLineEdit* path_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QLabel* detail_ = nullptr;
};

}  // namespace talvane
