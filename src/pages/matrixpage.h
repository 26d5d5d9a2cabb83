// The Matrix page (template 134): for each output A..H which input feeds it
// and whether its audio return channel (ARC) is on, with the buttons that
// change both. It shows only what the switch has reported: a click puts its
// check mark back at once, and only a reply changes what the page shows.
#pragma once

#include <QString>

#include <array>
#include <functional>

#include "core/timerhost.h"
#include "engine/requestengine.h"
#include "pages/pagewindow.h"
#include "protocol/commands.h"

class QAbstractButton;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
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
}  // namespace ctl

// The page's own timers. An operator command arms the first timer of a pair
// (even id): it resends once and arms its odd partner, which times out.
namespace timer {
constexpr int RouteChain = 1000;     // one step of the route query chain, no resend
constexpr int RouteFirst = 6000;     // 6000..6159: route commands, 20 ids per output
constexpr int RouteLast = 6159;
constexpr int RoutePerOutput = 20;
constexpr int PreviousOffset = 16;   // within an output's 20 ids
constexpr int NextOffset = 18;
constexpr int ArcFirst = 7000;       // 7000..7031: ARC commands, 4 ids per output
constexpr int ArcLast = 7031;
constexpr int ArcPerOutput = 4;
constexpr int ArcOffOffset = 2;
constexpr int ArcQueryFirst = 7032;  // 7032..7039: the ARC query chain, output 1..8
constexpr int ArcQueryLast = 7039;

constexpr int route(int output, int input) { return RouteFirst + RoutePerOutput * (output - 1) + 2 * (input - 1); }
constexpr int previous(int output) { return RouteFirst + RoutePerOutput * (output - 1) + PreviousOffset; }
constexpr int next(int output) { return RouteFirst + RoutePerOutput * (output - 1) + NextOffset; }
constexpr int arc(int output, bool on) { return ArcFirst + ArcPerOutput * (output - 1) + (on ? 0 : ArcOffOffset); }
constexpr int arcQuery(int output) { return ArcQueryFirst + output - 1; }
}  // namespace timer

// Timeouts (ms).
namespace timeout {
constexpr int Command = 3000;  // an operator command, and its resend
constexpr int Chain = 7000;    // one query of a chain
}  // namespace timeout

}  // namespace matrix

class CMatrixDlg : public PageWindow, public ReplyHandler {
    Q_OBJECT
public:
    static constexpr int kTemplateWidth = 343;
    static constexpr int kTemplateHeight = 274;

    CMatrixDlg(RequestEngine& engine, QWidget* parent);
    ~CMatrixDlg() override;

    void handleReply(const CommandFrame& frame) override;

    // The input last seen routed to `output` (1..8); a step button that was
    // never acknowledged may have left 0 or 9.
    int currentInput(int output) const { return current_[std::size_t(output - 1)]; }
    TimerHost& timers() { return timers_; }
    // The group box of an output (it has no id of its own).
    QGroupBox* outputGroup(int output) const { return groups_[std::size_t(output - 1)]; }

    // Operator actions, as a click (or an accessibility action) runs them.
    void inputClicked(int output, int input);
    void previousClicked(int output);
    void nextClicked(int output);
    void arcClicked(int output, bool on);

    static QString outputCaption(int output);  // "OUTPUT A"
    static QString pictureName(int input);     // "Input 4"

private:
    void createOutput(int output);
    // A push-like or check box whose mark only a reply may change.
    void actOnToggle(QAbstractButton* button, std::function<void()> action);
    void setChecked(int id, bool on);
    void startCommand(const CommandFrame& command, int timerId);
    void onTimer(int id);

    void showRouting(int input, int output);
    void showPicture(int input, int output);
    void showArc(int output, bool on);

    void arcAcknowledged(int output, bool on);
    void arcAnswered(int output, std::uint8_t state);
    void routeAcknowledged();
    void routeAnswered(int answeredOutput, int input);

    TimerHost timers_{[this](int id) { onTimer(id); }};
    std::array<int, matrix::kOutputs> current_;
    // Previous-input buttons of A..H, then next-input buttons of A..H.
    std::array<CImageButton*, 2 * matrix::kOutputs> stepButtons_{};
    std::array<QGroupBox*, matrix::kOutputs> groups_{};
};

}  // namespace talvane
