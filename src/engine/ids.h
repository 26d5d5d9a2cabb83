// Numbers the request engine and the main window share: page numbers, link
// modes, send-message action codes and the main window's timer ids.
#pragma once

#include <cstdint>

namespace talvane {

enum class Page : std::uint8_t { General = 1, Edid = 2, Matrix = 4, Upgrade = 5 };
enum class LinkMode : std::uint8_t { Com = 2, Tcp = 3 };

// Action codes of the send message (wParam of msg::Send).
namespace action {
constexpr int SendEdidPage = 2;    // CommandBuffer, posted by the EDID page
constexpr int SendRawEdid = 3;     // the 256-byte raw EDID block, no checksum
constexpr int SendMatrix = 4;      // CommandBuffer, posted by the routing page
constexpr int SendUpgrade = 5;     // CommandBuffer, posted by the upgrade page
constexpr int SendDataFrame = 6;   // the 1029-byte DataFrame
constexpr int StopPageEntryTimer = 1000;
}  // namespace action

// Timers of the main window.
namespace mtimer {
constexpr int PageEntry = 1000;         // EDID / Matrix page entry query
constexpr int SearchSuccess = 1004;     // a valid search answer
constexpr int SearchClose = 1005;
constexpr int ExtResetClose = 1006;
constexpr int ExtResetResult = 1007;    // end of the extended factory reset
constexpr int ConfigWatchdog = 1008;
constexpr int StatusInputFirst = 2000;  // 2000..2015: input queries (pairs)
constexpr int StatusInputLast = 2015;
constexpr int StatusOutputFirst = 2100; // 2100..2115: output queries (pairs)
constexpr int StatusOutputLast = 2115;
// First timer of each status query's pair, by port 1..8 at [port - 1]. The
// outputs' pairs run in steps of two, except that output G takes 2114 and
// output H 2112.
constexpr int StatusInput[8] = {2000, 2002, 2004, 2006, 2008, 2010, 2012, 2014};
constexpr int StatusOutput[8] = {2100, 2102, 2104, 2106, 2108, 2110, 2114, 2112};
// The ARC query chain that the General page carries on waits on the same
// pairs as the status queries of outputs E, F, G and H: the query for
// output k + 1 arms ArcQuery[k]; the answer for output k stops ArcQuery[k - 1].
constexpr int ArcQuery[4] = {2108, 2110, 2114, 2112};
constexpr int ExtResetFirst = 5000;     // 5000..5025: extended factory reset (pairs)
constexpr int ExtResetLast = 5025;
constexpr int ExtResetEdid = 5000;      // the group 0x03 step
// The route to output k waits on ExtResetRoute[k - 1].
constexpr int ExtResetRoute[8] = {5002, 5006, 5010, 5014, 5018, 5020, 5022, 5024};
// ARC off for output k waits on ExtResetArcOff[k - 1].
constexpr int ExtResetArcOff[4] = {5004, 5008, 5012, 5016};
constexpr int FactoryReset = 7043;
constexpr int FactoryResetTimeout = 7044;
constexpr int FactoryResetResult = 7045;
constexpr int FactoryResetClose = 7046;
constexpr int Reboot = 7047;
constexpr int RebootTimeout = 7048;
constexpr int RebootResult = 7049;
constexpr int RebootClose = 7050;
constexpr int PowerOn = 7052;
constexpr int PowerOnTimeout = 7053;
constexpr int PowerOnResult = 7054;
constexpr int PowerOnClose = 7055;
}  // namespace mtimer

// Timeouts (ms) of the main window's timer table.
namespace mtime {
constexpr int PageEntry = 7000;
constexpr int Retry = 3000;             // the second timer of a pair
constexpr int PowerOnRetry = 2000;      // 7053 after the power-on resend
constexpr int SearchSuccess = 900;
constexpr int SearchClose = 900;
constexpr int ExtResetClose = 900;
constexpr int ExtResetResult = 6000;
constexpr int ConfigWatchdog = 15000;
constexpr int FactoryReset = 5000;
constexpr int FactoryResetResult = 2500;
constexpr int FactoryResetClose = 500;
constexpr int Reboot = 3000;
constexpr int RebootResult = 5000;
constexpr int RebootClose = 1000;
constexpr int PowerOn = 3000;
constexpr int PowerOnResult = 3000;
constexpr int PowerOnClose = 1000;
constexpr int Command = 3000;           // status chain and extended factory reset steps
}  // namespace mtime

}  // namespace talvane
