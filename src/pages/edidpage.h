// The EDID page (template 140): which EDID each input presents to its source.
// A preset, the EDID of the display on an output, or an EDID file goes to one
// input or to all; the Input EDID List reads back, input by input, which EDID
// each one now uses (also on every entry of the page).
#pragma once

#include <QString>

#include <functional>

#include "core/timerhost.h"
#include "pages/requestengine.h"
#include "pages/pagewindow.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace talvane {

class Popups;

namespace edid {
namespace ctl {
constexpr int ManualGroup = 1079;
constexpr int PresetLabel = 1080;
constexpr int PresetList = 1081;
constexpr int PresetTo = 1082;
constexpr int PresetTarget = 1083;
constexpr int PresetSet = 1084;
constexpr int CopyLabel = 1085;
constexpr int CopySource = 1086;
constexpr int CopyTo = 1087;
constexpr int CopyTarget = 1088;
constexpr int CopySet = 1089;
constexpr int FileTo = 1090;
constexpr int FileTarget = 1091;
constexpr int FileSet = 1092;
constexpr int FileLabel = 1103;
constexpr int FileChoose = 1104;
constexpr int FilePath = 1042;
constexpr int Status = 1113;
// Not in the template: what the accepted file describes, under its path.
constexpr int FileSummary = 1200;
// The Input EDID List, IN1..IN8 at [input - 1]: the "INn:" captions and the
// lines that show each input's EDID.
constexpr int LineCaption[8] = {1105, 1106, 1107, 1108, 1114, 1116, 1117, 1118};
constexpr int Line[8] = {1109, 1110, 1111, 1112, 1115, 1119, 1120, 1121};
}  // namespace ctl

namespace timer {
constexpr int Setting = 1000;      // a Set exchange, from its first command to its result
constexpr int CloseResult = 1004;  // the result stays in the busy popup this long
constexpr int SendBlock = 2510;    // the switch accepted the block header: send the EDID block
// Status query of input n: first timer StatusQuery + 2 (n - 1), its partner the next id.
constexpr int StatusQuery = 2511;
constexpr int StatusLast = 2526;
constexpr int statusQuery(int input) { return StatusQuery + 2 * (input - 1); }
}  // namespace timer

namespace timeout {
constexpr int Setting = 7000;
constexpr int CloseResult = 900;
constexpr int SendBlock = 100;
constexpr int Status = 3000;
}  // namespace timeout

// Index of "All Input", the last entry of each target list.
constexpr int kAllInputsIndex = 8;
}  // namespace edid

class CEDIDDlg : public PageWindow, public ReplyHandler {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    // Returns the chosen file's path, or an empty string when cancelled.
    using FileChooser = std::function<QString()>;

    CEDIDDlg(RequestEngine& engine, Presenter& presenter, QWidget* parent);
    ~CEDIDDlg() override;

    void handleReply(const CommandFrame& frame) override;

    // Replaces the open-file dialog (tests choose files without a dialog).
    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    TimerHost& timers() { return timers_; }

    // Button actions, as a click or an accessibility Press runs them.
    void presetSetClicked();
    void copySetClicked();
    void chooseFileClicked();
    void uploadSetClicked();
    void statusClicked();

    // The name an EDID code stands for in the Input EDID List; empty for a
    // code that names nothing.
    static QString edidName(int code);
    static QString presetName(int index);  // 0..14

private:
    RequestEngine& engine_;
    void onTimer(int id);
    QComboBox* list(int id) const;
    // Target of a target list: input 1..8, or 0 for "All Input".
    int targetOf(int listId) const;
    CommandFrame presetCommand() const;
    // The common start of the three Set buttons: send, arm the setting timer,
    // then wait in the busy popup.
    void startSetting(const CommandFrame& command);
    void sendCommand(const CommandFrame& command);
    void sendStatusQuery(int input);
    void statusAnswered(int input, int code);
    void setLine(int input, const QString& text);
    void showResult(const QString& text);
    // Loads the file at `path` into the EDID buffer if it is a valid EDID file.
    void loadFile(const QString& path);
    void setFileSummary(const QString& summary);

    Popups& popups_;
    TimerHost timers_{[this](int id) { onTimer(id); }};
    FileChooser chooseFile_;
};

}  // namespace talvane
