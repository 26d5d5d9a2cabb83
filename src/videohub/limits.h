// Every bound and time limit of the Videohub server, in one place.
#pragma once

#include <QtGlobal>

namespace talvane {
namespace videohub {
namespace limits {

// Clients connected at once; more are closed as they come.
constexpr int MaxClients = 16;
// A line longer than this, or a block of more lines, is not kept: the
// block is answered NAK once it ends.
constexpr int MaxLineBytes = 512;
constexpr int MaxBlockLines = 64;
// What one client gets done in one turn of the event loop, so that a busy
// client does not hold up the others: blocks handled, and bytes taken in
// pieces of ReadPieceBytes. The rest waits for the next turn.
constexpr int MaxBlocksPerTurn = 32;
constexpr int ReadChunkBytes = 16 * 1024;
constexpr int ReadPieceBytes = 512;
// What the socket buffers from a client before it is read.
constexpr qint64 ReadBufferBytes = 64 * 1024;
// Output a client has not read yet; a client past it is dropped.
constexpr qint64 MaxUnreadBytes = 256 * 1024;

}  // namespace limits
}  // namespace videohub
}  // namespace talvane
