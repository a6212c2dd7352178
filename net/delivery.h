// Turning socket notifications into script callbacks: the line reader and the
// read, close and accept handlers. Handlers run on the NetworkThread only.
#pragma once

#include <cstddef>

#include "../include/connection.h"

namespace cvn {

// Longest text one callback receives; longer lines arrive in pieces of this size.
constexpr std::size_t kMaxLineText = 999;

// Line assembly over bytes as they come: consumes bytes up to and including the
// first CR or LF that ends a non-empty line (or until the line has kMaxLineText
// characters), and reports whether a line is complete. Pure.
std::size_t line_take(int& length, char* buffer, const char* data, std::size_t n, bool* complete);

// Reads from the record's socket until a line is complete: 1 with the line in
// `out` (kMaxLineText + 1 bytes), 0 at end of stream, -1 when nothing more waits,
// the receive fails, or the socket is no longer the record's. Adds the bytes it
// consumed to *consumed when given.
int line_reader(ConnectionRecord& rec, char* out, std::size_t* consumed = nullptr);

void on_read(plat::Socket s);
void on_close(plat::Socket s);
void on_accept(plat::Socket s);
// The connection of socket s with this serial ended while the plug-in closed it:
// its callback hears "Connection Closed." as from a close notification.
void on_ended(plat::Socket s, std::uint64_t serial);

}  // namespace cvn
