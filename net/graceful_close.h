// The graceful close that retires a connection's socket, and the texts it tells
// the debugger channel and standard error, as scripts' authors know them.
#pragma once

#include "../platform/platform.h"

namespace cvn {

// Debugger channel: a record's socket is to be retired, but its number no longer
// names the socket the record was added with (it is left alone).
constexpr const char* kSaySocketGone = "a failed";
// Debugger channel: the sending direction could not be shut.
constexpr const char* kSayShutdownFailed = "a failed";
// Debugger channel: the peer has not closed its side; the socket stays half-closed.
constexpr const char* kSayPeerStillOpen = "a2 failed";
// Debugger channel: closing the socket failed after the peer had closed.
constexpr const char* kSayCloseFailed = "a3 fauled";
// Standard error, once per close, after an empty line: bytes that no callback saw
// were discarded.
constexpr const char* kSayUnexpectedBytes = "FYI, received %lld unexpected bytes during shutdown.\n";

// Retires a socket: shut the sending direction, discard what had arrived when it
// began (never waiting, never reading on after a peer that keeps sending), close
// it once the peer has closed its side. True when the socket was closed.
bool graceful_close(plat::Socket s);
// Graceful close for Close and the keep-alive limit. When it closes the socket
// outright (the peer had closed), no close notification can follow any more, so
// the connection's end is reported through the network thread instead.
int close_connection(plat::Socket s);

}  // namespace cvn
