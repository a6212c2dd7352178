// The script functions of cvn_old. Each reads its arguments, calls plain C++ in
// net/ and script/, and pushes a fixed number of results. None raises a script
// error except CloseListen for a first argument that is not a number.
#include "library.h"

#include <cstdio>
#include <cstring>

#include "../net/graceful_close.h"
#include "../net/keepalive.h"
#include "../net/line_reader.h"
#include "../net/messages.h"
#include "../net/module_state.h"
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "../net/socket_ops.h"
#include "args.h"
#include "ccf_send.h"
#include "md5.h"

namespace cvn {
namespace {

constexpr const char* kLibraryName = "cvn_old";
constexpr std::size_t kMaxNetbiosName = 15;

plat::Socket arg_socket(lua_State* L, int n, int i) { return arg_u32(L, n, i); }

void push_socket(lua_State* L, plat::Socket s) { lua::push_number(L, static_cast<lua::Number>(s)); }

// Open's and Listen's results: the socket, or nil when there is none, and the status.
int push_opened(lua_State* L, plat::Socket s, int status) {
  if (s != plat::kInvalidSocket)
    push_socket(L, s);
  else
    lua::push_nil(L);
  lua::push_number(L, status);
  return 2;
}

// Open(host, port, callback) -> socket or nil, status
int l_open(lua_State* L) {
  const char* host = arg_text(L, 3, 1);
  std::int32_t port = arg_i32(L, 3, 2);
  const char* callback = arg_text(L, 3, 3);
  plat::Socket s = plat::kInvalidSocket;
  int status = open_client(host, port, callback, &s);
  return push_opened(L, s, status);
}

// Close(socket) -> 0
int l_close(lua_State* L) {
  close_connection(arg_socket(L, 1, 1));
  lua::push_number(L, 0);
  return 1;
}

// GlobalCache_SendCCF(socket, ccf, module, connector, repeat) -> status
int l_send_ccf(lua_State* L) {
  plat::Socket s = arg_socket(L, 5, 1);
  const char* ccf = arg_text(L, 5, 2);
  int status = send_ccf_command(s, ccf, arg_i32(L, 5, 3), arg_i32(L, 5, 4), arg_i32(L, 5, 5));
  lua::push_number(L, status);
  return 1;
}

// Send(socket, text) -> bytes sent or -1
int l_send(lua_State* L) {
  plat::Socket s = arg_socket(L, 2, 1);
  const char* text = arg_text(L, 2, 2);
  int sent = send_text(s, nullptr, text, static_cast<int>(std::strlen(text)));
  rerequest_client_events(s);
  lua::push_number(L, sent);
  return 1;
}

// KeepAlive(socket, interval_ms, text, limit) -> 0 or -1
int l_keepalive(lua_State* L) {
  plat::Socket s = arg_socket(L, 4, 1);
  std::int32_t interval = arg_i32(L, 4, 2);
  const char* text = arg_text(L, 4, 3);
  std::int32_t limit = arg_i32(L, 4, 4);
  lua::push_number(L, keepalive_set(s, interval, text, limit));
  return 1;
}

// Accept(listener, callback) -> socket, peer address, peer port, 0
//                             or 0, "", 0, -1
int l_accept(lua_State* L) {
  plat::Socket listener = arg_socket(L, 2, 1);
  const char* callback = arg_text(L, 2, 2);
  std::uint32_t addr = 0;
  std::uint16_t port = 0;
  plat::Socket s = accept_pending(listener, &addr, &port);
  if (s == plat::kInvalidSocket) {
    lua::push_number(L, 0);
    lua::push_text(L, "");
    lua::push_number(L, 0);
    lua::push_number(L, -1);
    return 4;
  }
  char dotted[16];
  plat::format_ipv4(addr, dotted);
  registry_add(s, callback, dotted);
  if (tracing()) {
    char what[48];
    std::snprintf(what, sizeof what, "accepted from port %u", static_cast<unsigned>(plat::port_from_net(port)));
    trace_traffic(s, dotted, "--", what, std::strlen(what));
  }
  rerequest_client_events(s);
  push_socket(L, s);
  lua::push_text(L, dotted);
  lua::push_number(L, plat::port_from_net(port));
  lua::push_number(L, 0);
  return 4;
}

// Listen(port, callback) -> socket or nil, status
int l_listen(lua_State* L) {
  std::int32_t port = arg_i32(L, 2, 1);
  const char* callback = arg_text(L, 2, 2);
  plat::Socket s = plat::kInvalidSocket;
  int status = open_listener(port, callback, &s);
  return push_opened(L, s, status);  // after a failed bind the socket is handed back
}

// CloseListen(socket): closes at once, without the graceful close.
int l_close_listen(lua_State* L) {
  lua::Number n = lua::check_number(L, 1);  // raises before anything else happens
  plat::close_socket(number_low32(n));
  readers_recheck_sockets();
  return 0;
}

// Nslookup(host) -> dotted address, 0 or nil, -1
int l_nslookup(lua_State* L) {
  std::uint32_t addr = resolve(arg_text(L, 1, 1));
  if (addr == 0xFFFFFFFFu) {
    lua::push_nil(L);
    lua::push_number(L, -1);
    return 2;
  }
  char dotted[16];
  plat::format_ipv4(addr, dotted);
  lua::push_text(L, dotted);
  lua::push_number(L, 0);
  return 2;
}

// Nslookupmac(name) -> "xx:xx:xx:xx:xx:xx", 0 or nil, -1. Names longer than 15
// characters do not fit a NetBIOS name and are refused rather than cut, which
// could ask another machine.
int l_nslookupmac(lua_State* L) {
  const char* name = arg_text(L, 1, 1);
  std::size_t len = std::strlen(name);
  unsigned char status[600] = {};
  int rc = 1;
  if (len <= kMaxNetbiosName) {
    unsigned char call_name[16];
    std::memset(call_name, ' ', kMaxNetbiosName);
    std::memcpy(call_name, name, len);
    call_name[15] = 0;
    plat::netbios_reset();
    rc = plat::netbios_adapter_status(call_name, status, sizeof status);
  }
  if (rc != 0) {
    lua::push_nil(L);
    lua::push_number(L, -1);
    return 2;
  }
  char text[200];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", status[0], status[1],
                status[2], status[3], status[4], status[5]);
  lua::push_text(L, text);
  lua::push_number(L, 0);
  return 2;
}

// MD5(text) -> 32 lower-case hex digits
int l_md5(lua_State* L) {
  const char* text = arg_text(L, 1, 1);
  char hex[64];
  md5_hex(text, std::strlen(text), hex);
  lua::push_text(L, hex);
  return 1;
}

const lua::Reg kFunctions[] = {
    {"Open", l_open},
    {"Close", l_close},
    {"GlobalCache_SendCCF", l_send_ccf},
    {"Send", l_send},
    {"KeepAlive", l_keepalive},
    {"Accept", l_accept},
    {"Listen", l_listen},
    {"CloseListen", l_close_listen},
    {"Nslookup", l_nslookup},
    {"Nslookupmac", l_nslookupmac},
    {"MD5", l_md5},
    {nullptr, nullptr},
};

int do_register(lua_State* L) {
  lua::open_lib(L, kLibraryName, kFunctions, 0);
  lua::pop(L, 1);
  return 0;
}

int do_remove(lua_State* L) {
  lua::push_nil(L);
  lua::raw_set_global(L, kLibraryName);
  return 0;
}

// Registration runs protected: a script that left a non-table under the name must
// not raise through the host's entry point.
void run_protected(lua_State* L, lua::Function fn, const char* what) {
  if (L == nullptr) return;
  int top = lua::top(L);
  if (lua::cpcall(L, fn, nullptr) != 0) {
    char line[300];
    const char* err = lua::to_text(L, -1);
    std::snprintf(line, sizeof line, "%s: %s", what, err ? err : "(null)");
    plat::debug_output(line);
  }
  lua::set_top(L, top);
}

}  // namespace

void library_register(lua_State* L) { run_protected(L, do_register, "cvn_old not registered"); }

void library_remove(lua_State* L) { run_protected(L, do_remove, "cvn_old not removed"); }

}  // namespace cvn
