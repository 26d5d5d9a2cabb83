// Control ids of the main window (template 102).
#pragma once

namespace talvane {
namespace ctl {
// Header
constexpr int Close = 1002;
constexpr int Minimize = 1005;
constexpr int TabGeneral = 1008;
constexpr int TabEdid = 1011;
constexpr int TabMatrix = 1012;
constexpr int TabUpgrade = 1013;
// Links
constexpr int ModeGroup = 1015;
constexpr int ComMode = 1016;
constexpr int TcpMode = 1017;
constexpr int ComGroup = 1018;
constexpr int PortLabel = 1019;
constexpr int PortList = 1020;
constexpr int Connect = 1021;
constexpr int DeviceInfoGroup = 1022;
constexpr int Status = 1024;
constexpr int ClearStatus = 1025;
constexpr int StatusInput1 = 1026;   // 1026..1033 inputs 1..8
constexpr int StatusOutputA = 1034;  // 1034..1041 outputs A..H
constexpr int ReceiveLog = 1042;
constexpr int SendLog = 1043;
constexpr int ReceiveLabel = 1044;
constexpr int TcpConnect = 1045;
constexpr int Search = 1046;
constexpr int Config = 1047;
constexpr int SendLabel = 1048;
constexpr int SwitcherIpLabel = 1059;
constexpr int DeviceList = 1060;
constexpr int TcpGroup = 1063;
// Switch functions
constexpr int ExtFactoryReset = 1095;
constexpr int EnableBeep = 1096;
constexpr int ExtResetGroup = 1097;
constexpr int BeepGroup = 1098;
constexpr int PowerGroup = 1099;
constexpr int PowerOn = 1100;
constexpr int ClearLogs = 1123;
constexpr int FactoryResetGroup = 1124;
constexpr int FactoryReset = 1125;
constexpr int RebootGroup = 1127;
constexpr int Reboot = 1128;
// The panel's own
constexpr int Reconnect = 1130;
constexpr int BackupGroup = 1131;
constexpr int Backup = 1132;
constexpr int Restore = 1133;

// Beside the tabs, on every page
constexpr int FollowChanges = 1310;
constexpr int Names = 1311;
constexpr int TakeMode = 1312;  // the Matrix page's take mode

constexpr int StatusLabelCount = 16;
}  // namespace ctl

// Captions and texts of the main window.
namespace caption {
// The window's caption and the About box's text, each followed by the
// program's version (project(VERSION) in CMakeLists.txt).
inline const char* const Window = "8x8 Talvane Controller Ver";
inline const char* const Connect = "Connect";
inline const char* const Disconnect = "Disconnect";
inline const char* const ComMode = "COM Control Mode";
inline const char* const TcpMode = "TCP Control Mode";
inline const char* const Search = "Search";
inline const char* const Config = "Config...";
inline const char* const AboutMenuItem = "关于 Talvane(&A)...";
inline const char* const AboutTitle = "关于 Talvane";
inline const char* const AboutText = "Talvane，%1 版";
// The link status line along the bottom of the window.
inline const char* const NotConnected = "Not connected";
inline const char* const ConnectedTo = "Connected: %1";          // the port or address, and what it is
inline const char* const LinkLostAt = "Link lost: %1 at %2";     // the port or address, the time
inline const char* const ConnectingTo = "Connecting: %1";        // the address, while a TCP connection is attempted
inline const char* const CannotConnect = "Cannot connect: %1 (%2)";  // the address, why
// The port or connection is open, but nothing has answered on it yet.
inline const char* const PortOpenNoAnswer = "Port open: %1, no answer yet";
// A lost link came back by itself and the switch answered: what, and when.
inline const char* const ReconnectedAt = "Reconnected: %1 at %2";
inline const char* const Reconnect = "Reconnect";
inline const char* const LinkStatusName = "Link status";
inline const char* const NoAnswerFrom = "No answer from %1 at %2";  // the port or address, the time
inline const char* const FollowChanges = "Follow changes";
inline const char* const TakeMode = "Take mode";
inline const char* const Names = "Names...";
inline const char* const NamesNeedSwitch = "Names are kept per switch: connect to one first.";
inline const char* const LabelsDamaged = "The names file is damaged: %1. It is left as it is, and no name is saved.";
inline const char* const LabelsNotSaved = "The names could not be saved: %1";
// Read with a value shown before the link closed, until a reply refreshes it.
inline const char* const NotLive = "Last known value, the link is closed";
}  // namespace caption
}  // namespace talvane
