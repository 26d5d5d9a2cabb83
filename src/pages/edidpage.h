// The EDID page (template 140): which EDID each input presents to its source.
// A preset, the EDID of the display on an output, or an EDID file goes to one
// input or to all; the Input EDID List reads back, input by input, which EDID
// each one now uses (also on every entry of the page). A view of the EDID
// operations.
#pragma once

#include <QString>

#include <array>
#include <functional>

#include "core/oneshot.h"
#include "ops/edid.h"
#include "pages/pagewindow.h"
#include "pages/presenter.h"

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

// How long a setting's result stays in the busy popup (ms).
constexpr int kResultShownMs = 900;

// Index of "All Input", the last entry of each target list.
constexpr int kAllInputsIndex = 8;
}  // namespace edid

class CEDIDDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;
    // Byte 0 stays 0 and the file follows; the first 256 bytes go out.
    static constexpr int kEdidBufferSize = 257;

    // Returns the chosen file's path, or an empty string when cancelled.
    using FileChooser = std::function<QString()>;

    CEDIDDlg(Presenter& presenter, QWidget* parent);

    // The page was entered and the switch held for it: reads every input's EDID.
    void enter(Hold hold);
    // A read of every input's EDID code in the background (following the
    // switch): it shows what it reads and holds nothing.
    Operation* followRead();

    // Replaces the open-file dialog (tests choose files without a dialog).
    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    // The accepted file, as an upload sends it.
    const std::array<std::uint8_t, kEdidBufferSize>& edidBuffer() const { return edidBuffer_; }

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
    QComboBox* list(int id) const;
    // Target of a target list: input 1..8, or 0 for "All Input".
    int targetOf(int listId) const;
    // The common end of the three Set buttons: the setting runs while the
    // busy popup waits for its result.
    void startSetting(Hold hold, EdidSet* op);
    void readStatus(Hold hold, Purpose purpose);
    void showEdid(int input, int code);
    void setLine(int input, const QString& text);
    void showResult(const QString& text);
    // Loads the file at `path` into the EDID buffer if it is a valid EDID file.
    void loadFile(const QString& path);
    void setFileSummary(const QString& summary);
    void showRejection(const QString& path, const QString& why);

    Popups& popups_;
    FileChooser chooseFile_;
    std::array<std::uint8_t, kEdidBufferSize> edidBuffer_{};
    QString loadedSummary_;  // of the file in the path box
    OneShot closeResult_;
};

}  // namespace talvane
