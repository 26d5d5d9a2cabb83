#include "mainlayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/backuppanel.h"
#include "app/controlids.h"

namespace talvane {
namespace mainlayout {

namespace {
// Heights of one line of each kind of control.
constexpr int kLabelHeight = 8;
constexpr int kBoxHeight = 10;     // radio buttons and check boxes
constexpr int kListHeight = 13;
constexpr int kButtonHeight = 14;
// A group's first row sits below its title; a label beside a list or button
// sits lower, on the line of its text.
constexpr int kGroupFirstRow = 12;
constexpr int kGroupListRow = kGroupFirstRow - 1;  // a list, and the buttons beside it
constexpr int kSecondRowPitch = 18;
constexpr int kLabelDrop = 3;
constexpr int kLabelGap = 2;       // between a label and the control it names
constexpr int kGroupGap = 4;       // between groups one above the other
constexpr int kIndent = 7;         // from a group's edge to its controls

// The left column: three groups across it, then two rows of two half-width ones.
constexpr int kLeftX = 7;
constexpr int kLeftWidth = 186;
constexpr int kLeftInner = kLeftX + kIndent;
constexpr int kLeftInnerRight = kLeftX + kLeftWidth - kIndent;
constexpr int kHalfWidth = 90;
constexpr int kRightHalfX = 103;

constexpr int kModeY = 34;
constexpr int kModeHeight = 28;
constexpr int kModeRow = kModeY + kGroupFirstRow;
constexpr int kTcpModeX = 104;
constexpr int kModeBoxWidth = 80;

constexpr int kComY = kModeY + kModeHeight + kGroupGap;
constexpr int kComHeight = 30;
constexpr int kComRow = kComY + kGroupListRow;
constexpr int kPortListX = 36;
constexpr int kPortListWidth = 86;
constexpr int kConnectWidth = 56;

constexpr int kTcpY = kComY + kComHeight + kGroupGap;
constexpr int kTcpHeight = 48;
constexpr int kTcpRow = kTcpY + kGroupListRow;
constexpr int kTcpSecondRow = kTcpRow + kSecondRowPitch;
constexpr int kDeviceListX = 58;
constexpr int kDeviceListWidth = 78;
constexpr int kTcpConnectWidth = 46;
constexpr int kSmallButtonWidth = 38;
constexpr int kConfigX = kDeviceListX + kSmallButtonWidth + kGroupGap;

constexpr int kPowerY = kTcpY + kTcpHeight + kGroupGap;
constexpr int kPowerHeight = 28;
constexpr int kResetY = kPowerY + kPowerHeight + kGroupGap;
constexpr int kResetHeight = 30;
constexpr int kHalfControlWidth = 70;
constexpr int kBottomMargin = 6;  // below a column's last group, and inside the device information
constexpr int kReconnectY = kResetY + kResetHeight + kBottomMargin;

// The right column: the device information, an input and an output status a row.
constexpr int kInfoX = 203;
constexpr int kInfoWidth = 189;
constexpr int kInfoHeight = 180;
constexpr int kStatusPitch = 16;
constexpr int kStatusFirstY = kModeY + kStatusPitch;
constexpr int kStatusWidth = 86;
constexpr int kStatusHeight = 9;
constexpr int kOutputStatusX = 300;
constexpr int kInfoButtonsY = kModeY + kInfoHeight - kBottomMargin - kButtonHeight;
// Under the device information: the configuration backup.
constexpr int kBackupY = kModeY + kInfoHeight + kGroupGap;
constexpr int kBackupButtonWidth = 56;
constexpr int kRestoreX = kInfoX + kIndent + kBackupButtonWidth + kGroupGap;
constexpr int kInfoButtonWidth = 50;
constexpr int kStatusButtonX = 250;
constexpr int kClearStatusX = 306;

// Beyond the right edge of the template (399 units wide).
constexpr int kHiddenX = 410;
constexpr int kLogWidth = 200;
constexpr int kLogHeight = 80;
constexpr int kLogLabelWidth = 40;
constexpr int kLogBelowLabel = kLabelHeight + kLabelGap;
constexpr int kReceiveLabelY = kModeY;
constexpr int kSendLabelY = kReceiveLabelY + kLogBelowLabel + kLogHeight + kGroupGap;
constexpr int kClearLogsY = kSendLabelY + kLogBelowLabel + kLogHeight + kGroupGap;
constexpr int kExtResetY = kClearLogsY + kButtonHeight + kGroupGap;
constexpr int kExtResetWidth = 100;
}  // namespace

std::vector<Placement> generalControls()
{
    std::vector<Placement> out = {
        {ctl::ModeGroup, Kind::Group, "Control Mode Select", {kLeftX, kModeY, kLeftWidth, kModeHeight}},
        {ctl::ComMode, Kind::Radio, caption::ComMode, {kLeftInner, kModeRow, kModeBoxWidth, kBoxHeight}},
        {ctl::TcpMode, Kind::Radio, caption::TcpMode, {kTcpModeX, kModeRow, kModeBoxWidth, kBoxHeight}},

        {ctl::ComGroup, Kind::Group, "COM", {kLeftX, kComY, kLeftWidth, kComHeight}},
        {ctl::PortLabel, Kind::Label, "Port", {kLeftInner, kComRow + kLabelDrop, kPortListX - kLeftInner - kLabelGap, kLabelHeight}},
        {ctl::PortList, Kind::List, "", {kPortListX, kComRow, kPortListWidth, kListHeight}},
        {ctl::Connect, Kind::Button, caption::Connect,
         {kLeftInnerRight - kConnectWidth, kComRow, kConnectWidth, kButtonHeight}},

        {ctl::TcpGroup, Kind::Group, caption::TcpMode, {kLeftX, kTcpY, kLeftWidth, kTcpHeight}},
        {ctl::SwitcherIpLabel, Kind::Label, "Switcher IP",
         {kLeftInner, kTcpRow + kLabelDrop, kDeviceListX - kLeftInner - kLabelGap, kLabelHeight}},
        {ctl::DeviceList, Kind::List, "", {kDeviceListX, kTcpRow, kDeviceListWidth, kListHeight}},
        {ctl::TcpConnect, Kind::Button, caption::Connect,
         {kLeftInnerRight - kTcpConnectWidth, kTcpRow, kTcpConnectWidth, kButtonHeight}},
        {ctl::Search, Kind::Button, caption::Search, {kDeviceListX, kTcpSecondRow, kSmallButtonWidth, kButtonHeight}},
        {ctl::Config, Kind::Button, caption::Config, {kConfigX, kTcpSecondRow, kSmallButtonWidth, kButtonHeight}},

        {ctl::PowerGroup, Kind::Group, "Power On/Off", {kLeftX, kPowerY, kHalfWidth, kPowerHeight}},
        {ctl::PowerOn, Kind::CheckBox, "Power On", {kLeftInner, kPowerY + kGroupFirstRow, kHalfControlWidth, kBoxHeight}},
        {ctl::BeepGroup, Kind::Group, "Disable/Enable Beep", {kRightHalfX, kPowerY, kHalfWidth, kPowerHeight}},
        {ctl::EnableBeep, Kind::CheckBox, "Enable Beep",
         {kRightHalfX + kIndent, kPowerY + kGroupFirstRow, kHalfControlWidth, kBoxHeight}},
        {ctl::FactoryResetGroup, Kind::Group, "Reset to the factory settings", {kLeftX, kResetY, kHalfWidth, kResetHeight}},
        {ctl::FactoryReset, Kind::Button, "Factory Reset",
         {kLeftInner, kResetY + kGroupFirstRow, kHalfControlWidth, kButtonHeight}},
        {ctl::RebootGroup, Kind::Group, "Reboot the matrix", {kRightHalfX, kResetY, kHalfWidth, kResetHeight}},
        {ctl::Reboot, Kind::Button, "Reboot", {kRightHalfX + kIndent, kResetY + kGroupFirstRow, kHalfControlWidth, kButtonHeight}},
        // For both links: a lost one is opened again when it comes back.
        {ctl::Reconnect, Kind::CheckBox, caption::Reconnect, {kLeftInner, kReconnectY, kModeBoxWidth, kBoxHeight}},

        {ctl::DeviceInfoGroup, Kind::Group, "Device Information", {kInfoX, kModeY, kInfoWidth, kInfoHeight}},
    };
    for (int i = 0; i < ctl::StatusLabelCount / 2; ++i) {
        const int y = kStatusFirstY + kStatusPitch * i;
        out.push_back({ctl::StatusInput1 + i, Kind::Label, "", {kInfoX + kIndent, y, kStatusWidth, kStatusHeight}});
        out.push_back({ctl::StatusOutputA + i, Kind::Label, "", {kOutputStatusX, y, kStatusWidth, kStatusHeight}});
    }
    const std::vector<Placement> rest = {
        {ctl::Status, Kind::Button, "Status", {kStatusButtonX, kInfoButtonsY, kInfoButtonWidth, kButtonHeight}},
        {ctl::ClearStatus, Kind::Button, "Clear", {kClearStatusX, kInfoButtonsY, kInfoButtonWidth, kButtonHeight}},
        {ctl::BackupGroup, Kind::Group, backupText::Group, {kInfoX, kBackupY, kInfoWidth, kResetHeight}},
        {ctl::Backup, Kind::Button, backupText::Backup,
         {kInfoX + kIndent, kBackupY + kGroupFirstRow, kBackupButtonWidth, kButtonHeight}},
        {ctl::Restore, Kind::Button, backupText::Restore, {kRestoreX, kBackupY + kGroupFirstRow, kBackupButtonWidth, kButtonHeight}},

        {ctl::ReceiveLabel, Kind::Label, "Receive", {kHiddenX, kReceiveLabelY, kLogLabelWidth, kLabelHeight}, true},
        {ctl::ReceiveLog, Kind::Log, "", {kHiddenX, kReceiveLabelY + kLogBelowLabel, kLogWidth, kLogHeight}, true},
        {ctl::SendLabel, Kind::Label, "Send", {kHiddenX, kSendLabelY, kLogLabelWidth, kLabelHeight}, true},
        {ctl::SendLog, Kind::Log, "", {kHiddenX, kSendLabelY + kLogBelowLabel, kLogWidth, kLogHeight}, true},
        {ctl::ClearLogs, Kind::Button, "Clear", {kHiddenX, kClearLogsY, kInfoButtonWidth, kButtonHeight}, true},
        {ctl::ExtResetGroup, Kind::Group, "", {kHiddenX, kExtResetY, kExtResetWidth, kResetHeight}, true},
        {ctl::ExtFactoryReset, Kind::Button, "Factory Reset",
         {kHiddenX + kIndent, kExtResetY + kGroupFirstRow, kHalfControlWidth, kButtonHeight}, true},
    };
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

QWidget* makeControl(const Placement& p, QWidget* parent)
{
    const QString text = QString::fromUtf8(p.text);
    switch (p.kind) {
    case Kind::Group:
        return new QGroupBox(text, parent);
    case Kind::Label:
        return new QLabel(text, parent);
    case Kind::Button:
        return new QPushButton(text, parent);
    case Kind::Radio:
        return new QRadioButton(text, parent);
    case Kind::CheckBox:
        return new QCheckBox(text, parent);
    case Kind::List:
        return new QComboBox(parent);
    case Kind::Log:
        break;
    }
    auto* log = new QPlainTextEdit(parent);
    log->setReadOnly(true);
    return log;
}

}  // namespace mainlayout
}  // namespace talvane
