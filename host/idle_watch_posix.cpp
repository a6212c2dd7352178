// The idle watch on Linux. tavrel exports its own socket, accept, accept4, close
// and epoll_wait, which stand before the C library's for the plug-in it loads,
// as its connect does: they keep the list of TCP sockets the process made, and
// let the plug-in's network thread judge the rule each time it is about to wait
// without a time limit (its event loop does so only with nothing queued).
#include "idle_watch.h"

#include <dlfcn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace {

// The watch's own wake-up among the events of the plug-in's epoll set; the
// plug-in's tokens are small numbers and socket serials shifted by 24 bits.
constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};

std::atomic<bool> g_watching{false};
std::atomic<int> g_wake{-1};  // eventfd: the network thread judges again
std::atomic<int> g_ep{-1};    // the plug-in's epoll set, which g_wake was added to
// Bumped after anything that can make the rule hold: a socket closed, the arm.
std::atomic<unsigned> g_changes{0};
unsigned g_judged = 0;  // g_changes at the last judgment; network thread only

std::mutex g_mu;  // all below
void (*g_on_idle)() = nullptr;
bool g_armed = false;
unsigned g_epoch = 0;         // counts arms and disarms
std::vector<int> g_sockets;   // TCP sockets socket() and accept() made, not yet closed

template <typename Fn>
Fn next_fn(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool tracked(int fd) {
  for (int s : g_sockets)
    if (s == fd) return true;
  return false;
}

void note(int fd) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_sockets.push_back(fd);
}

// A socket that can still bring an event: one listening, or one with a peer
// (half-closed ones included: the peer's close is still to come). Not the
// descriptor the plug-in keeps in reserve, nor one that failed to bind.
bool could_notify(int fd) {
  int listening = 0;
  socklen_t n = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &n) == 0 && listening != 0) return true;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

bool any_socket_could_notify() {
  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    fds = g_sockets;
  }
  for (int fd : fds)
    if (could_notify(fd)) return true;
  return false;
}

// Calls on_idle once, unless a disarm or a new arm came since the judgment began.
void fire(unsigned epoch) {
  void (*on_idle)() = nullptr;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_armed || g_epoch != epoch) return;
    g_armed = false;
    on_idle = g_on_idle;
  }
  on_idle();
}

// Takes the watch's own wake-up out of what a wait on the plug-in's set returned.
int drop_wake(int ep, epoll_event* evs, int n) {
  if (n <= 0 || ep != g_ep.load()) return n;
  int kept = 0;
  bool woken = false;
  for (int i = 0; i < n; ++i) {
    if (evs[i].data.u64 == kWakeToken)
      woken = true;
    else
      evs[kept++] = evs[i];
  }
  if (woken) {
    std::uint64_t count;
    ssize_t r = read(g_wake.load(), &count, sizeof count);
    (void)r;
  }
  return kept;
}

using EpollWait = int (*)(int, epoll_event*, int, int);

// The network thread is about to wait without a time limit: its queue is empty.
// When something changed since the last judgment, it first looks without
// waiting; events found are handed back as the wait's (the judgment comes at the
// next wait). Nothing ready and no socket that could notify: the rule holds.
int judge(EpollWait next, int ep, epoll_event* evs, int max) {
  if (g_ep.load() < 0) {
    int expected = -1;
    if (g_ep.compare_exchange_strong(expected, ep)) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kWakeToken;
      epoll_ctl(ep, EPOLL_CTL_ADD, g_wake.load(), &ev);
    }
  }
  unsigned changes = g_changes.load();
  if (ep != g_ep.load() || changes == g_judged) return 0;
  unsigned epoch;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_armed) return 0;
    epoch = g_epoch;
  }
  int n = drop_wake(ep, evs, next(ep, evs, max, 0));
  if (n != 0) return n;
  g_judged = changes;
  if (!any_socket_could_notify()) fire(epoch);
  return 0;
}

// A connection accepted on a tracked listener is tracked.
int noted_accept(int listener, int fd) {
  if (fd < 0 || !g_watching.load()) return fd;
  std::lock_guard<std::mutex> lk(g_mu);
  if (tracked(listener)) g_sockets.push_back(fd);
  return fd;
}

}  // namespace

void idle_watch_start(void (*on_idle)()) {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_on_idle = on_idle;
  }
  g_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  g_watching = g_wake.load() >= 0;
}

void idle_watch_arm() {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_armed = true;
    ++g_epoch;
  }
  g_changes.fetch_add(1);
  std::uint64_t one = 1;
  if (g_watching.load()) {
    ssize_t r = write(g_wake.load(), &one, sizeof one);
    (void)r;
  }
}

void idle_watch_disarm() {
  std::lock_guard<std::mutex> lk(g_mu);
  g_armed = false;
  ++g_epoch;
}

extern "C" int socket(int domain, int type, int protocol) noexcept {
  static const auto next = next_fn<int (*)(int, int, int)>("socket");
  int fd = next(domain, type, protocol);
  if (fd >= 0 && domain == AF_INET && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_STREAM && g_watching.load())
    note(fd);
  return fd;
}

extern "C" int accept(int fd, sockaddr* addr, socklen_t* len) {
  static const auto next = next_fn<int (*)(int, sockaddr*, socklen_t*)>("accept");
  return noted_accept(fd, next(fd, addr, len));
}

extern "C" int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
  static const auto next = next_fn<int (*)(int, sockaddr*, socklen_t*, int)>("accept4");
  return noted_accept(fd, next(fd, addr, len, flags));
}

// Forgotten before the close, so a socket that gets the number meanwhile is not
// forgotten instead; the change is told after it, so a judgment that sees the
// change no longer finds the socket.
extern "C" int close(int fd) {
  static const auto next = next_fn<int (*)(int)>("close");
  bool was_socket = false;
  if (g_watching.load()) {
    std::lock_guard<std::mutex> lk(g_mu);
    for (std::size_t i = 0; i < g_sockets.size(); ++i) {
      if (g_sockets[i] != fd) continue;
      g_sockets[i] = g_sockets.back();
      g_sockets.pop_back();
      was_socket = true;
      break;
    }
  }
  int rc = next(fd);
  if (was_socket) g_changes.fetch_add(1);
  return rc;
}

extern "C" int epoll_wait(int ep, epoll_event* evs, int max, int timeout) {
  static const auto next = next_fn<EpollWait>("epoll_wait");
  if (!g_watching.load()) return next(ep, evs, max, timeout);
  for (;;) {
    if (timeout < 0) {
      int n = judge(next, ep, evs, max);
      if (n != 0) return n;
    }
    int n = drop_wake(ep, evs, next(ep, evs, max, timeout));
    if (n != 0 || timeout >= 0) return n;
    // Only the watch's own wake-up (an arm): judge again.
  }
}
