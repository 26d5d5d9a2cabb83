// The Matrix page (template 134): for each output A..H which input feeds it
// and whether its audio return channel (ARC) is on, with the buttons that
// change both. A view of the routing operations: it shows only what the
// switch has reported (a click puts its check mark back at once, and only an
// operation's report changes what the page shows). Beside the template, a
// column of routing presets: saved from what the switch reported, recalled
// command by command. In take mode a click on an input preselects it for its
// output and sends nothing; "Take" sends every preselected route as a recall
// does, and "Clear" drops them. A "Lock" toggle per output locks it: alone,
// the lock is this panel's own and refuses its own clicks on the output;
// through a hub the lock is the hub's, shared with every front end, and only
// others' locks refuse this panel's clicks.
#pragma once

#include <QString>

#include <array>
#include <functional>

#include "pages/pagewindow.h"
#include "ops/labelstore.h"
#include "ops/presets.h"
#include "pages/presenter.h"
#include "protocol/commands.h"

class QAbstractButton;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace talvane {

class CImageButton;

namespace matrix {

constexpr int kOutputs = kPortCount;  // A..H, 1..8 on the wire
constexpr int kInputs = kPortCount;

// Control ids, per output A..H at [o - 1] (and per input at [o - 1][i - 1]).
namespace ctl {
constexpr int Input[kOutputs][kInputs] = {
    {1101, 1102, 1103, 1104, 1105, 1106, 1131, 1132},  // A
    {1121, 1122, 1109, 1110, 1133, 1142, 1143, 1144},  // B
    {1126, 1128, 1113, 1117, 1145, 1146, 1147, 1148},  // C
    {1127, 1129, 1115, 1130, 1149, 1150, 1151, 1152},  // D
    {1157, 1158, 1159, 1160, 1161, 1162, 1163, 1164},  // E
    {1165, 1166, 1167, 1168, 1169, 1170, 1171, 1172},  // F
    {1173, 1174, 1175, 1176, 1177, 1178, 1179, 1180},  // G
    {1181, 1182, 1183, 1184, 1185, 1186, 1187, 1188},  // H
};
constexpr int Previous[kOutputs] = {1116, 1119, 1134, 1135, 1189, 1190, 1191, 1192};
constexpr int Next[kOutputs] = {1118, 1123, 1136, 1137, 1193, 1194, 1195, 1196};
constexpr int ArcOn[kOutputs] = {1107, 1111, 1138, 1139, 1197, 1198, 1199, 1200};
constexpr int ArcOff[kOutputs] = {1108, 1112, 1140, 1141, 1201, 1202, 1203, 1204};
constexpr int Picture[kOutputs] = {1114, 1120, 1124, 1125, 1153, 1154, 1155, 1156};
// The presets column beside the template.
constexpr int PresetList = 1301;
constexpr int PresetName = 1302;
constexpr int SavePreset = 1303;
constexpr int RecallPreset = 1304;
constexpr int DeletePreset = 1305;
// Take mode, under the presets.
constexpr int Take = 1306;
constexpr int ClearTake = 1307;
// Each output's lock toggle, in the step buttons' row.
constexpr int Lock[kOutputs] = {1311, 1312, 1313, 1314, 1315, 1316, 1317, 1318};
}  // namespace ctl

// Texts of the presets column.
namespace presetText {
inline const char* const Presets = "Presets";
inline const char* const PresetName = "Preset name";
inline const char* const SavePreset = "Save preset";
inline const char* const Recall = "Recall";
inline const char* const DeletePreset = "Delete preset";
inline const char* const ActiveSuffix = ", active";
inline const char* const RecallStopped = "Recall stopped at output %1: %2";  // the output letter, why
inline const char* const RoutingNotKnown = "The routing of every output is not known yet: nothing was saved.";
inline const char* const BadPresetName = "A preset name is 1 to 32 characters of plain text.";
inline const char* const TooManyPresets = "This switch has %1 presets, the most that are kept: delete one first.";
inline const char* const PresetsNotSaved = "The presets could not be saved: %1";
inline const char* const PresetsDamaged = "The presets file is damaged: %1. It is left as it is, and no preset is saved.";
}  // namespace presetText

// Texts of take mode.
namespace takeText {
inline const char* const Take = "Take";
inline const char* const Clear = "Clear";
inline const char* const TakeName = "Take preselected routes";
inline const char* const ClearName = "Clear preselected routes";
inline const char* const Preselected = "preselected";  // in an input button's accessible description
inline const char* const TakeStopped = "Take stopped at output %1: %2";  // the output letter, why
inline const char* const RouteRefused = "the switch refused the route";
}  // namespace takeText

// Texts of the locks.
namespace lockText {
inline const char* const Lock = "Lock";
inline const char* const LockName = "Lock output %1";     // the output letter
inline const char* const Locked = " (locked)";              // after an output's caption
inline const char* const LockedBy = "Output %1 is locked by %2";  // the output letter, the holder
inline const char* const ThisPanel = "this panel";
inline const char* const LockedHere = "Output %1 is locked in this panel: unlock it first";
inline const char* const RecallSkipped = "The recall left locked outputs as they were: %1";
}  // namespace lockText

}  // namespace matrix

class CMatrixDlg : public PageWindow {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;
    // The presets column stands right of the template, within the main window.
    static constexpr int kPresetColumnWidth = 52;

    // `presetsPath`: the presets file; `switchKey` names the switch connected
    // (as the labels file does).
    CMatrixDlg(Presenter& presenter, QWidget* parent, const QString& presetsPath = PresetStore::defaultPath(),
               std::function<QString()> switchKey = {});

    // The page was entered and the switch held for it: reads every output's
    // route and ARC state.
    void enter(Hold hold);

    // The input last seen routed to `output` (1..8); a step button that was
    // never acknowledged may have left 0 or 9.
    int currentInput(int output) const { return current_[std::size_t(output - 1)]; }
    // The group box of an output (it has no id of its own).
    QGroupBox* outputGroup(int output) const { return groups_[std::size_t(output - 1)]; }

    // Operator actions, as a click (or an accessibility action) runs them.
    void inputClicked(int output, int input);
    void previousClicked(int output);
    void nextClicked(int output);
    void arcClicked(int output, bool on);
    void savePresetClicked();
    void recallClicked();
    void deletePresetClicked();
    void takeClicked();
    void clearTakeClicked();
    void lockClicked(int output);

    // Locks. Alone the page keeps its own; through a hub `request` asks the
    // hub to lock or release an output (true: lock) and showLock() shows
    // what the hub holds. nullptr: alone again (the hub's locks leave the page).
    void setSharedLocks(std::function<void(int output, bool lock)> request);
    bool sharedLocks() const { return bool(lockRequest_); }
    // Output `output` is locked by `holder` (empty: unlocked); `mine`: by this panel.
    void showLock(int output, const QString& holder, bool mine);
    bool locked(int output) const { return !locks_[std::size_t(output - 1)].holder.isEmpty(); }

    // Take mode: a click on an input (or a step button) preselects a route
    // instead of sending it. Leaving take mode drops the preselections.
    void setTakeMode(bool on);
    bool takeMode() const { return takeMode_; }
    // The input preselected for `output` (1..8), or 0.
    int preselected(int output) const { return preselected_[std::size_t(output - 1)]; }

    // A read of the routing and ARC in the background (following the
    // switch): it shows what it reads and holds nothing.
    Operation* followRead();
    // What the switch last reported: inputs 0 and ARC empty where not yet known.
    const Routing& reported() const { return reported_; }
    // Reads the presets of the switch connected again.
    void reloadPresets();
    // Row of the preset that equals what the switch reports, or -1.
    int activePreset() const;

    static QString outputCaption(int output);  // "OUTPUT A"
    // The names of the switch's ports: an output's caption becomes "OUTPUT A ·
    // Projector", an input button's tooltip and description "IN3: Stage camera".
    void setPortLabels(const PortLabels& labels);
    static QString namedOutputCaption(int output, const QString& name);
    static QString namedInputText(int input, const QString& name);
    static QString pictureName(int input);     // "Input 4"

signals:
    // A line for the panel's status line (a click refused by a lock).
    void statusMessage(const QString& text);

private:
    void createOutput(int output);
    // A push-like or check box whose mark only a reply may change.
    void actOnToggle(QAbstractButton* button, std::function<void()> action);
    void setChecked(int id, bool on);
    void route(Hold hold, int input, int output);
    // Preselects `input` for `output` (0 drops the preselection).
    void preselect(int output, int input);
    // Whether a route of `output` may be preselected: not while a lock
    // refuses this panel's changes of it (mayChange).
    bool mayPreselect(int output);
    // Whether this panel may change `output` now; when not, `why` (or the
    // status line, when `why` is nullptr) says who holds it.
    bool mayChange(int output, QString* why = nullptr);
    void updateCaption(int output);
    // An input button's description: its name or its output, and whether it
    // is preselected.
    void describeInput(int output, int input);
    void updateTakeButtons();
    // Runs an operation the operator asked for; a time-out shows "Time out!".
    void runCommand(Hold hold, Operation* op);

    void showRoute(int output, int input);
    void showRouting(int input, int output);
    void showPicture(int input, int output);
    void showArc(int output, bool on);

    void createPresetColumn();
    void updateActive();
    void reportDamage();
    bool savePresets();
    QString presetKey() const;

    std::array<int, matrix::kOutputs> current_;
    // Previous-input buttons of A..H, then next-input buttons of A..H.
    std::array<CImageButton*, 2 * matrix::kOutputs> stepButtons_{};
    std::array<QGroupBox*, matrix::kOutputs> groups_{};

    Routing reported_;
    PresetStore presets_;
    QList<Preset> shownPresets_;  // as the list shows them
    std::function<QString()> switchKey_;
    bool damageReported_ = false;
    QListWidget* presetList_ = nullptr;
    QLineEdit* presetName_ = nullptr;
    PortLabels labels_;
    bool takeMode_ = false;
    std::array<int, matrix::kOutputs> preselected_{};  // 0: none
    QPushButton* takeButton_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    struct LockShown {
        QString holder;  // empty: unlocked
        bool mine = false;
    };
    std::array<LockShown, matrix::kOutputs> locks_{};
    std::function<void(int, bool)> lockRequest_;
};

}  // namespace talvane
