// The bounds and time limits of the hub's own control port, in one place.
#pragma once

namespace talvane {
namespace hub {
namespace limits {

// Programs connected to the control port at once; more are closed as they come.
constexpr int MaxClients = 16;
// What one client may have waiting for the line (its command outstanding
// not counted). A client with this many waiting is not read from until the
// line has taken one: the rest stays in its connection.
constexpr int MaxQueuedPerClient = 8;
// Bytes taken from one client per turn of the event loop, so that a busy
// client does not hold up the others, and what its socket buffers ahead.
constexpr int ReadPieceBytes = 4096;
constexpr int ReadBufferBytes = 16 * 1024;
// Replies a client has not read yet; a client past it is dropped.
constexpr int MaxUnreadBytes = 64 * 1024;
// Bytes a client may send since its last frame of the command index that
// made no such frame (garbage, frames with wrong checksums, commands the
// switch does not know); a client past it is dropped.
constexpr int MaxGarbageBytes = 64 * 1024;
// A procedure of several frames (an EDID upload, a firmware upgrade through
// the reboot) keeps the line for its client until it ends, or until the
// client has had nothing outstanding and sent nothing for this long: longer
// than any wait between the frames of a procedure (the reboot polls come
// every 6 s).
constexpr int ProcedureIdleMs = 8000;

}  // namespace limits
}  // namespace hub
}  // namespace talvane
