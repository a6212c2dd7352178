// Socket operations on IPv4 TCP: resolving a host text, opening a client
// connection, opening a listening socket, accepting a pending connection.
// Any thread (the calling script's); they print their failures through script_print.
#pragma once

#include <cstdint>

#include "../platform/platform.h"
#include "module_state.h"

namespace cvn {

constexpr long kClientEvents = plat::kFdRead | plat::kFdClose;                     // 33
constexpr long kListenEvents = plat::kFdRead | plat::kFdAccept | plat::kFdClose;  // 41

// IPv4 address in network order, or 0xFFFFFFFF.
std::uint32_t resolve(const char* host);

// Connects and registers the socket under `callback` with `host` as host text.
// 0, -1 (lookup failed) or -2 (connect failed); *out is written from the connect on.
int open_client(const char* host, std::int32_t port, const char* callback, plat::Socket* out);

// Creates, registers, binds and listens. 0, -2 (no socket), -3 (bind failed: the
// socket is still handed back) or -4 (notifications could not be requested).
int open_listener(std::int32_t port, const char* callback, plat::Socket* out);

// Accepts one waiting connection: the new socket, or kInvalidSocket. At the
// descriptor limit (10024) the script is told once through its print, until a
// connection is accepted on that listener again.
plat::Socket accept_pending(plat::Socket listener, std::uint32_t* addr_net, std::uint16_t* port_net);

// Asks for read and close notifications on the notification window.
int request_client_events(plat::Socket s);
// The same again after a script function used the socket (Send and Accept, as
// Windows wants, re-request them); a failure is printed as "WSAAsyncSelect
// failed: ..." through the script's print. 0 or non-zero, as request_client_events.
int rerequest_client_events(plat::Socket s);

// send_text with the trace on: sends, then shows what went out.
int send_traced(plat::Socket s, const char* host, const char* data, int len);

// Sends `len` bytes in one send: the count sent, or -1. While the traffic trace is
// on it shows them; `host` is the connection's host text, or nullptr to look it up
// (a caller that holds a record's keep-alive lock passes it: the look-up takes the
// registry lock). Inline, so a send with the trace off pays only the test.
inline int send_text(plat::Socket s, const char* host, const char* data, int len) {
  if (tracing()) return send_traced(s, host, data, len);
  return plat::send_bytes(s, data, len);
}

}  // namespace cvn
