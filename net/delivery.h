// Turning socket notifications into script callbacks: the line reader and the
// read, close and accept handlers. Handlers run on the NetworkThread only.
#pragma once

#include <cstddef>

#include "../include/connection.h"

namespace cvn {

// Longest text one callback receives; longer lines arrive in pieces of this size.
constexpr std::size_t kMaxLineText = 999;

// Line assembly over bytes as they come: consumes bytes up to and including the
// first CR or LF that ends a non-empty line and the CRs and LFs right after it
// (or until the line has kMaxLineText characters), and reports whether a line is
// complete. `hint`, when given, carries the terminator the stream used last from
// one call to the next; it changes only how fast the line end is found. Pure.
std::size_t line_take(int& length, char* buffer, const char* data, std::size_t n, bool* complete,
                      char* hint = nullptr);

// The read handler takes the lines it delivers off the socket in batches. A
// graceful close of socket s is about to discard what waits on it: when that
// happens inside a callback of s, the lines given to callbacks so far (this one's
// included) are taken off first, so that only bytes no callback saw are discarded
// and counted. Any thread; it acts only on the NetworkThread inside such a callback.
void reader_settle(plat::Socket s);
// Called when a graceful close or a closing of a connection's socket is done, so
// a reader that looked at a socket before makes sure the socket still holds what
// it saw. Any thread.
void reader_note_discard();

void on_read(plat::Socket s);
void on_close(plat::Socket s);
void on_accept(plat::Socket s);
// The connection of socket s with this serial ended while the plug-in closed it:
// its callback hears "Connection Closed." as from a close notification.
void on_ended(plat::Socket s, std::uint64_t serial);

}  // namespace cvn
