// Resolve, connect, listen: the socket work behind Open and Listen. A new socket's
// record is added before its notifications are requested, so the first line a
// peer sends always finds the record.
#include "socket_ops.h"

#include <cstdio>
#include <cstring>

#include "messages.h"
#include "module_state.h"
#include "network_thread.h"
#include "registry.h"

namespace cvn {
namespace {

void print_socket_error(const char* prefix) { script_print("%s", socket_error_text(prefix, 0)); }

void trace_event(plat::Socket s, const char* host, const char* what) {
  trace_traffic(s, host, "--", what, std::strlen(what));
}

plat::Socket connect_to(std::uint32_t addr, std::uint16_t port_net, const char* callback,
                        const char* host) {
  plat::Socket s = plat::tcp_socket();
  if (s == plat::kInvalidSocket) return s;
  if (plat::connect_ipv4(s, addr, port_net) != 0) {
    print_socket_error("Connect failed.");
    plat::close_socket(s);
    return plat::kInvalidSocket;
  }
  registry_add(s, callback, host);
  if (request_client_events(s) != 0) {
    print_socket_error("WSAAsyncSelect failed.");
    registry_discard(s);
    plat::close_socket(s);
    return plat::kInvalidSocket;
  }
  return s;
}

}  // namespace

std::uint32_t resolve(const char* host) {
  std::uint32_t addr = plat::parse_ipv4(host);
  if (addr != 0xFFFFFFFFu) return addr;
  return plat::lookup_ipv4(host);
}

int request_client_events(plat::Socket s) {
  return plat::async_select(s, network_window(), plat::kMsgSocket, kClientEvents);
}

int rerequest_client_events(plat::Socket s) {
  int r = request_client_events(s);
  if (r != 0) print_socket_error("WSAAsyncSelect failed: ");
  return r;
}

int open_client(const char* host, std::int32_t port, const char* callback, plat::Socket* out) {
  std::uint32_t addr = resolve(host);
  if (addr == 0xFFFFFFFFu) {
    print_socket_error("Lookup failed: ");
    return -1;
  }
  *out = connect_to(addr, plat::port_to_net(static_cast<std::uint16_t>(port)), callback, host);
  if (*out == plat::kInvalidSocket) {
    print_socket_error("Connect to server failed: ");
    return -2;
  }
  if (tracing()) {
    char what[40];
    std::snprintf(what, sizeof what, "connected to port %u", static_cast<unsigned>(port & 0xFFFF));
    trace_event(*out, host, what);
  }
  return 0;
}

int send_traced(plat::Socket s, const char* host, const char* data, int len) {
  int sent = plat::send_bytes(s, data, len);
  int error = sent < 0 ? plat::last_error() : 0;
  char note[64];
  if (sent < 0)
    std::snprintf(note, sizeof note, "not sent: error %d", error);
  else if (sent < len)
    std::snprintf(note, sizeof note, "%d of %d bytes sent", sent, len);
  trace_traffic(s, host, "->", data, static_cast<std::size_t>(len), sent < len ? note : nullptr);
  if (sent < 0) plat::set_last_error(error);  // as the failed send left it
  return sent;
}

plat::Socket accept_pending(plat::Socket listener, std::uint32_t* addr_net, std::uint16_t* port_net) {
  plat::Socket s = plat::accept_socket(listener, addr_net, port_net);
  bool at_limit = s == plat::kInvalidSocket && plat::last_error() == plat::kErrTooManySockets;
  if (s == plat::kInvalidSocket && !at_limit) return s;
  // A burst of connections at the limit fails one Accept each; one line says why.
  RecordRef rec = registry_find(listener);
  if (!at_limit) {
    if (rec) rec->accept_limit_reported = false;
  } else if (!rec || !rec->accept_limit_reported.exchange(true)) {
    script_print("%s", socket_error_text("Accept failed.", plat::kErrTooManySockets));
  }
  return s;
}

int open_listener(std::int32_t port, const char* callback, plat::Socket* out) {
  plat::Socket s = plat::tcp_socket();
  *out = s;
  if (s == plat::kInvalidSocket) return -2;
  registry_add(s, callback, "");
  if (plat::bind_any(s, plat::port_to_net(static_cast<std::uint16_t>(port))) != 0) return -3;
  // A backlog of 1 makes the kernel drop the SYNs of clients that connect
  // together; the longest queue lets every one wait for its Accept.
  plat::listen_socket(s, plat::kBacklogMax);
  if (plat::async_select(s, network_window(), plat::kMsgSocket, kListenEvents) != 0) return -4;
  return 0;
}

}  // namespace cvn
