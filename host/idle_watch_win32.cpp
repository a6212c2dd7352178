// The idle watch on Windows (idle_watch.h). tavrel.exe stands in for the
// plug-in's socket, listen, accept and closesocket (WSOCK32.DLL) and its
// GetMessageA (USER32.DLL) (win32_host.h): they keep the list of TCP sockets the
// plug-in made, with whether each listens or has a peer, and let the plug-in's
// network thread judge the rule each time it is about to wait for a message
// without a time limit, which its message loop does in GetMessageA.
//
// A socket has a peer from its successful connect or accept until it is closed:
// Winsock's close notification for a connection still comes after the peer has
// gone or reset it, and the plug-in closes the socket only then (or at once when
// the peer had closed first), so until closesocket an event may still come.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "idle_watch.h"
#include "win32_host.h"

namespace {

// The watch's own wake-up, posted to the network thread (no window): it judges
// again. The plug-in posts its messages to its window, never as this one.
constexpr UINT kWakeMessage = WM_APP + 0x3E8;

using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using ListenFn = int(WSAAPI*)(SOCKET, int);
using AcceptFn = SOCKET(WSAAPI*)(SOCKET, sockaddr*, int*);
using CloseFn = int(WSAAPI*)(SOCKET);
using GetMessageFn = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);

SocketFn g_socket = nullptr;
ListenFn g_listen = nullptr;
AcceptFn g_accept = nullptr;
CloseFn g_closesocket = nullptr;
GetMessageFn g_get_message = nullptr;

std::atomic<DWORD> g_thread{0};  // the network thread, once it has waited
// Bumped after anything that can make the rule hold: a socket closed, the arm.
std::atomic<unsigned> g_changes{0};
unsigned g_judged = 0;  // g_changes at the last judgment; network thread only

struct Tracked {
  SOCKET s;
  bool could_notify;  // listening, or with a peer
};

std::mutex g_mu;  // all below
void (*g_on_idle)() = nullptr;
bool g_armed = false;
unsigned g_epoch = 0;  // counts arms and disarms
std::vector<Tracked> g_sockets;

Tracked* find_locked(SOCKET s) {
  for (Tracked& t : g_sockets)
    if (t.s == s) return &t;
  return nullptr;
}

void note(SOCKET s, bool could_notify) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_sockets.push_back({s, could_notify});
}

void mark(SOCKET s) {
  std::lock_guard<std::mutex> lk(g_mu);
  if (Tracked* t = find_locked(s)) t->could_notify = true;
}

// Calls on_idle once, unless a disarm or a new arm came since the judgment began.
void fire(unsigned epoch) {
  void (*on_idle)() = nullptr;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_armed || g_epoch != epoch) return;
    for (const Tracked& t : g_sockets)
      if (t.could_notify) return;
    g_armed = false;
    on_idle = g_on_idle;
  }
  on_idle();
}

// The network thread is about to wait without a time limit. When something
// changed since the last judgment and nothing is queued for it, the rule is
// judged; with messages queued, it is judged at the next wait.
void judge(HWND w, UINT lo, UINT hi) {
  unsigned changes = g_changes.load();
  if (changes == g_judged) return;
  unsigned epoch;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_armed) return;
    epoch = g_epoch;
  }
  MSG queued;
  if (PeekMessageA(&queued, w, lo, hi, PM_NOREMOVE)) return;
  g_judged = changes;
  fire(epoch);
}

SOCKET WSAAPI host_socket(int af, int type, int protocol) {
  SOCKET s = g_socket(af, type, protocol);
  if (s != INVALID_SOCKET && af == AF_INET && type == SOCK_STREAM) note(s, false);
  return s;
}

int WSAAPI host_listen(SOCKET s, int backlog) {
  int rc = g_listen(s, backlog);
  if (rc == 0) mark(s);
  return rc;
}

// A connection accepted on a tracked listener is tracked, with its peer.
SOCKET WSAAPI host_accept(SOCKET listener, sockaddr* addr, int* len) {
  SOCKET s = g_accept(listener, addr, len);
  if (s == INVALID_SOCKET) return s;
  int err = WSAGetLastError();
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (find_locked(listener) != nullptr) g_sockets.push_back({s, true});
  }
  WSASetLastError(err);
  return s;
}

// Forgotten before the close, so a socket that gets the number meanwhile is not
// forgotten instead; the change is told after it, so a judgment that sees the
// change no longer finds the socket.
int WSAAPI host_closesocket(SOCKET s) {
  bool was_tracked = false;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    for (std::size_t i = 0; i < g_sockets.size(); ++i) {
      if (g_sockets[i].s != s) continue;
      g_sockets[i] = g_sockets.back();
      g_sockets.pop_back();
      was_tracked = true;
      break;
    }
  }
  int rc = g_closesocket(s);
  int err = WSAGetLastError();
  if (was_tracked) g_changes.fetch_add(1);
  WSASetLastError(err);
  return rc;
}

BOOL WINAPI host_get_message(LPMSG m, HWND w, UINT lo, UINT hi) {
  g_thread = GetCurrentThreadId();
  for (;;) {
    judge(w, lo, hi);
    BOOL r = g_get_message(m, w, lo, hi);
    if (r > 0 && m->hwnd == nullptr && m->message == kWakeMessage) continue;  // the watch's own
    return r;
  }
}

template <typename Fn>
bool stand_in(const char* dll, const char* name, Fn& original, Fn fn) {
  original = reinterpret_cast<Fn>(replace_plugin_import(dll, name, reinterpret_cast<void*>(fn)));
  return original != nullptr;
}

}  // namespace

void idle_watch_start(void (*on_idle)()) {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_on_idle = on_idle;
  }
  // All or nothing: a plug-in that does not import one of them is never judged idle.
  bool all = stand_in("WSOCK32.DLL", "socket", g_socket, host_socket) &&
             stand_in("WSOCK32.DLL", "listen", g_listen, host_listen) &&
             stand_in("WSOCK32.DLL", "accept", g_accept, host_accept) &&
             stand_in("WSOCK32.DLL", "closesocket", g_closesocket, host_closesocket);
  if (all) stand_in("USER32.dll", "GetMessageA", g_get_message, host_get_message);
}

void idle_watch_arm() {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_armed = true;
    ++g_epoch;
  }
  g_changes.fetch_add(1);
  DWORD t = g_thread.load();
  if (t != 0) PostThreadMessageA(t, kWakeMessage, 0, 0);
}

void idle_watch_disarm() {
  std::lock_guard<std::mutex> lk(g_mu);
  g_armed = false;
  ++g_epoch;
}

void idle_watch_connected(std::uintptr_t s) { mark(static_cast<SOCKET>(s)); }
