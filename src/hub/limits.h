// The bounds and time limits of the hub's own control port and its
// management channel, in one place.
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
// the reboot) keeps the line for its client until it ends, until the client
// sends something that is not part of it, or until the client has had
// nothing outstanding and sent nothing for this long. Its client sends each
// frame as soon as the one before is answered (a resend of the frame on the
// line, such as the reboot poll's, comes while it is outstanding), so this
// only has to cover the way back and forth.
constexpr int ProcedureIdleMs = 500;
// A client resends the bytes on the line when its own wait ends, which is
// when the hub's wait for them would end too: the hub waits this much longer
// whenever a resend may follow, so that the resend arrives while the
// exchange is still on the line and goes out as a resend of it.
constexpr int ResendGraceMs = 250;

// The management channel (locks, changes): programs connected at once, and
// what one may leave unread before it is dropped (a watcher that does not
// read its events). Its longest line is hubchannel::MaxLineBytes.
constexpr int MaxManageClients = 16;
constexpr int MaxManageUnreadBytes = 64 * 1024;

}  // namespace limits
}  // namespace hub
}  // namespace talvane
