// Every bound and time limit of the web remote and its API, in one place.
#pragma once

#include <QtGlobal>

namespace talvane {
namespace http {
namespace limits {

// Connections at once, event streams included; more are closed as they come.
constexpr int MaxConnections = 32;
// Event streams at once (each holds a connection for as long as it is open).
constexpr int MaxEventStreams = 16;
// One request, its head and body: the largest the API takes (every label
// set at once) is a few KiB. Past it the request is answered 413 and its
// connection closed (what one read of the socket brings may come on top).
constexpr int MaxRequestBytes = 16 * 1024;
// Header lines of one request; more are answered 431.
constexpr int MaxHeaders = 32;
// Requests sent on one connection before the answers to the earlier ones
// (answers go out in the order asked); more close the connection.
constexpr int MaxPipelined = 4;
// Changes (routes, ARC, recalls) from HTTP clients waiting for the line at
// once; more are answered 409, the switch is busy.
constexpr int MaxWaitingChanges = 16;
// A request begun must have arrived whole within this (a slow client);
// a connection with nothing outstanding is closed after IdleMs.
constexpr int RequestMs = 10000;
constexpr int IdleMs = 60000;
// What an event stream's client has not read yet; a client past it is dropped.
constexpr qint64 MaxUnreadBytes = 256 * 1024;
// An event stream carries a comment this often while nothing happens, so a
// client (and anything between) sees it is alive; and it tells EventSource
// how soon to connect again after a loss.
constexpr int KeepAliveMs = 15000;
constexpr int RetryMs = 2000;
// The token file: at most this size; the token at least MinTokenLength
// printable characters.
constexpr int MaxTokenFileBytes = 1024;
constexpr int MinTokenLength = 16;
// How long the page's login lasts on a browser.
constexpr int SessionDays = 30;

}  // namespace limits
}  // namespace http
}  // namespace talvane
