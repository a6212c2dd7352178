// POSIX side of the platform seam: BSD sockets reporting Windows Sockets error
// numbers, and the notification window as an epoll loop with an eventfd for
// cross-thread wake-ups and one timerfd for all timers of a window.
#include "../platform.h"

#include "nbstat.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cvn::plat {
namespace {

// ---------------------------------------------------------------- errors

thread_local int t_last_error = 0;

struct ErrnoToWsa {
  int err;
  int wsa;
};

// errno values and the Windows Sockets numbers that report the same condition.
// EBADF maps to 10038 as well: a number that names no socket reads as a non-socket.
constexpr std::array<ErrnoToWsa, 44> kErrnoMap{{
    {EINTR, 10004},        {EBADF, 10038},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},
}};

int wsa_from_errno(int e) {
  if (e == EWOULDBLOCK) return kErrWouldBlock;
  for (const auto& m : kErrnoMap)
    if (m.err == e) return m.wsa;
  return kErrInvalid;
}

int fail(int wsa) {
  t_last_error = wsa;
  return -1;
}

int fail_errno() { return fail(wsa_from_errno(errno)); }

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---------------------------------------------------------------- state

struct Msg {
  unsigned msg;
  std::uintptr_t wparam;
  std::intptr_t lparam;
  std::uint64_t tag;  // socket serial or timer generation, to drop stale messages
};

struct TimerRec {
  unsigned interval_ms;
  std::int64_t due;
  std::uint64_t gen;
  bool pending;
};

struct EventWindow {
  Window handle = 0;
  WindowProc proc = nullptr;
  pthread_t owner{};
  int ep = -1, wake = -1, tfd = -1;
  std::mutex mu;  // queue, timers, flags
  std::deque<Msg> queue;
  std::map<std::uintptr_t, TimerRec> timers;
  std::set<std::pair<std::int64_t, std::uintptr_t>> due;
  std::uint64_t timer_gen = 0;
  bool destroyed = false;
  bool quit = false;
  int quit_code = 0;

  ~EventWindow() {
    for (int fd : {ep, wake, tfd})
      if (fd >= 0) ::close(fd);
  }
};

constexpr std::uint64_t kTokenWake = 0;
constexpr std::uint64_t kTokenTimer = 1;
constexpr int kFdBits = 24;
constexpr std::size_t kRecvChunk = 16384;

struct SockState {
  int fd = -1;
  std::uint64_t serial = 0;
  std::mutex mu;  // everything below
  bool closed = false;
  bool nonblocking = false;
  bool listening = false;
  std::shared_ptr<EventWindow> win;
  unsigned msg = 0;
  long mask = 0;
  // Windows posting rules: a read or accept notification is posted once, then
  // not again until a receive or accept re-enables it; close is posted once.
  bool read_armed = true, read_queued = false;
  bool accept_armed = true, accept_queued = false;
  bool starved = false;  // accept notifications wait for a descriptor to be freed
  bool close_posted = false, peer_eof = false;
  std::uint32_t interest = 0;
  bool registered = false;
  std::unique_ptr<char[]> buf;  // bytes received from the kernel, not yet consumed
  std::size_t pos = 0, len = 0;
};

std::mutex g_sock_mu;
std::unordered_map<int, std::shared_ptr<SockState>> g_socks;
std::uint64_t g_next_serial = 1;
std::atomic<int> g_library_starts{0};

// A descriptor held in reserve while the socket library is started. At the
// descriptor limit accept4 fails with EMFILE and leaves the connection queued, so
// the listener stays ready and its accept notification would come back at once,
// forever; closing the reserve frees one number to accept that connection and
// reset it.
std::mutex g_reserve_mu;
int g_reserve_fd = -1;
std::atomic<int> g_starved_listeners{0};

std::mutex g_win_mu;
std::unordered_map<Window, std::shared_ptr<EventWindow>> g_windows;
Window g_next_window = 1;
thread_local EventWindow* t_loop = nullptr;

std::atomic<DebugSink> g_debug_sink{nullptr};

std::shared_ptr<SockState> find_sock(Socket s) {
  if (s > static_cast<Socket>(INT_MAX)) return nullptr;
  std::lock_guard<std::mutex> lk(g_sock_mu);
  auto it = g_socks.find(static_cast<int>(s));
  return it == g_socks.end() ? nullptr : it->second;
}

std::shared_ptr<EventWindow> find_window(Window w) {
  std::lock_guard<std::mutex> lk(g_win_mu);
  auto it = g_windows.find(w);
  return it == g_windows.end() ? nullptr : it->second;
}

Socket adopt_fd(int fd) {
  auto st = std::make_shared<SockState>();
  st->fd = fd;
  std::lock_guard<std::mutex> lk(g_sock_mu);
  st->serial = g_next_serial++;
  g_socks[fd] = st;
  return static_cast<Socket>(fd);
}

void post(EventWindow& w, const Msg& m) {
  {
    std::lock_guard<std::mutex> lk(w.mu);
    if (w.destroyed) return;
    w.queue.push_back(m);
  }
  if (!pthread_equal(pthread_self(), w.owner)) {
    std::uint64_t one = 1;
    ssize_t r = ::write(w.wake, &one, sizeof one);
    (void)r;
  }
}

int bytes_waiting(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

void set_interest(SockState& st, std::uint32_t want) {
  if (!st.win) return;
  if (want == 0) {
    if (st.registered) ::epoll_ctl(st.win->ep, EPOLL_CTL_DEL, st.fd, nullptr);
    st.registered = false;
    st.interest = 0;
    return;
  }
  if (st.registered && want == st.interest) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = st.serial << kFdBits | static_cast<std::uint64_t>(st.fd);
  int op = st.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(st.win->ep, op, st.fd, &ev) == 0) {
    st.registered = true;
    st.interest = want;
  }
}

// Posts the notifications the socket's state calls for and keeps the epoll
// interest to exactly what could post one, so a level-triggered epoll never spins.
// `ev` is the epoll event set that woke us, or 0 after a receive or accept.
// Called with st.mu held.
void update(SockState& st, std::uint32_t ev) {
  if (st.closed) return;
  if (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) st.peer_eof = true;
  if (!st.win || st.mask == 0) {
    set_interest(st, 0);
    return;
  }
  auto notify = [&](long event) {
    post(*st.win, Msg{st.msg, static_cast<std::uintptr_t>(st.fd), event, st.serial});
  };
  if (st.listening) {
    if ((st.mask & kFdAccept) && st.accept_armed && !st.accept_queued && (ev & EPOLLIN)) {
      notify(kFdAccept);
      st.accept_armed = false;
      st.accept_queued = true;
    }
    bool want_accept = (st.mask & kFdAccept) && st.accept_armed && !st.accept_queued;
    set_interest(st, want_accept ? static_cast<std::uint32_t>(EPOLLIN) : 0u);
    return;
  }
  if ((st.mask & kFdRead) && st.read_armed && !st.read_queued) {
    bool data = st.len > st.pos;
    if (!data && (ev & EPOLLIN) && !st.peer_eof) data = true;
    if (!data && st.peer_eof) data = bytes_waiting(st.fd) > 0;
    if (data) {
      notify(kFdRead);
      st.read_armed = false;
      st.read_queued = true;
    }
  }
  if ((st.mask & kFdClose) && !st.close_posted && st.peer_eof) {
    notify(kFdClose);
    st.close_posted = true;
  }
  std::uint32_t want = 0;
  if ((st.mask & kFdRead) && st.read_armed && !st.read_queued && !st.peer_eof) want |= EPOLLIN;
  if ((st.mask & kFdClose) && !st.close_posted) want |= EPOLLRDHUP;
  set_interest(st, want);
}

void rearm_read(SockState& st) {
  st.read_armed = true;
  update(st, 0);
}

// Before a message is handed to the window procedure: drop it when its socket
// was closed (the handle may already name another socket) or its timer was
// killed or replaced, and clear the queued marks so the next one can be posted.
bool accept_message(EventWindow& w, const Msg& m) {
  if (m.msg == kMsgTimer) {
    std::lock_guard<std::mutex> lk(w.mu);
    auto it = w.timers.find(m.wparam);
    if (it == w.timers.end() || it->second.gen != m.tag) return false;
    it->second.pending = false;
    return true;
  }
  if (m.tag == 0) return true;
  auto st = find_sock(m.wparam);
  if (!st || st->serial != m.tag) return false;
  std::lock_guard<std::mutex> lk(st->mu);
  if (m.lparam == kFdRead) st->read_queued = false;
  if (m.lparam == kFdAccept) st->accept_queued = false;
  return true;
}

void rearm_timerfd(EventWindow& w) {
  itimerspec its{};
  if (!w.due.empty()) {
    std::int64_t at = w.due.begin()->first;
    if (at <= 0) at = 1;
    its.it_value.tv_sec = at / 1000000000;
    its.it_value.tv_nsec = at % 1000000000;
  }
  ::timerfd_settime(w.tfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void on_timers(EventWindow& w) {
  std::uint64_t expirations;
  ssize_t r = ::read(w.tfd, &expirations, sizeof expirations);
  (void)r;
  std::int64_t now = now_ns();
  std::lock_guard<std::mutex> lk(w.mu);
  while (!w.due.empty() && w.due.begin()->first <= now) {
    auto [when, id] = *w.due.begin();
    w.due.erase(w.due.begin());
    TimerRec& t = w.timers[id];
    if (!t.pending && !w.destroyed) {  // one tick waits at most; missed ones coalesce
      w.queue.push_back(Msg{kMsgTimer, id, 0, t.gen});
      t.pending = true;
    }
    std::int64_t step = static_cast<std::int64_t>(t.interval_ms) * 1000000;
    std::int64_t next = when + step;
    if (next <= now) next = now + step;
    t.due = next;
    w.due.emplace(next, id);
  }
  rearm_timerfd(w);
}

int reserve_fd_open() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

enum class Drop { kNothingPending, kDropped, kStuck };

// At the descriptor limit: accepts one pending connection of the listening
// descriptor on the reserve's number and resets it.
Drop drop_pending(int lfd) {
  pollfd p{lfd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return Drop::kNothingPending;  // also keeps a blocking listener from waiting
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_reserve_fd < 0 && g_library_starts.load() > 0) g_reserve_fd = reserve_fd_open();
  if (g_reserve_fd < 0) return Drop::kStuck;
  ::close(g_reserve_fd);
  int c;
  do {
    c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  int err = errno;
  if (c >= 0) {
    linger lg{1, 0};  // a reset tells the peer at once that no one will answer
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(c);
  }
  g_reserve_fd = reserve_fd_open();
  if (c >= 0) return Drop::kDropped;
  return err == EAGAIN || err == EWOULDBLOCK ? Drop::kNothingPending : Drop::kStuck;
}

// A descriptor was freed: listeners that could not even drop a connection may
// accept again.
void wake_starved_listeners() {
  if (g_starved_listeners.load() == 0) return;
  std::vector<std::shared_ptr<SockState>> all;
  {
    std::lock_guard<std::mutex> lk(g_sock_mu);
    for (auto& kv : g_socks) all.push_back(kv.second);
  }
  for (auto& st : all) {
    std::lock_guard<std::mutex> lk(st->mu);
    if (!st->starved) continue;
    st->starved = false;
    --g_starved_listeners;
    st->accept_armed = true;
    update(*st, 0);
  }
}

void on_socket_event(std::uint64_t token, std::uint32_t events) {
  auto st = find_sock(static_cast<Socket>(token & ((1u << kFdBits) - 1)));
  if (!st || st->serial != token >> kFdBits) return;
  std::lock_guard<std::mutex> lk(st->mu);
  update(*st, events);
}

std::uint32_t g_nb_redirect_addr = 0;
std::uint16_t g_nb_redirect_port = 0;

}  // namespace

// ---------------------------------------------------------------- errors

int last_error() { return t_last_error; }
void set_last_error(int code) { t_last_error = code; }

// ---------------------------------------------------------------- sockets

void socket_library_start() {
  ++g_library_starts;
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_reserve_fd < 0) g_reserve_fd = reserve_fd_open();
}

void socket_library_stop() {
  int n = g_library_starts.load();
  while (n > 0 && !g_library_starts.compare_exchange_weak(n, n - 1)) {
  }
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_library_starts.load() <= 0 && g_reserve_fd >= 0) {
    ::close(g_reserve_fd);
    g_reserve_fd = -1;
  }
}

Socket tcp_socket() {
  if (g_library_starts.load() <= 0) {
    fail(kErrNotInitialised);
    return kInvalidSocket;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fail_errno();
    return kInvalidSocket;
  }
  if (fd >= (1 << kFdBits)) {
    ::close(fd);
    fail(kErrTooManySockets);
    return kInvalidSocket;
  }
  return adopt_fd(fd);
}

int connect_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_net) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = port_net;
  if (::connect(st->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return fail_errno();
  // Interrupted by a signal: the connect goes on; wait for its outcome.
  pollfd p{st->fd, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  int err = 0;
  socklen_t n = sizeof err;
  ::getsockopt(st->fd, SOL_SOCKET, SO_ERROR, &err, &n);
  if (err == 0) return 0;
  return fail(wsa_from_errno(err));
}

int bind_any(Socket s, std::uint16_t port_net) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = port_net;
  if (::bind(st->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail_errno();
  return 0;
}

int listen_socket(Socket s, int backlog) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  // The kernel cuts the backlog to net.core.somaxconn as well.
  if (::listen(st->fd, backlog < 0 ? SOMAXCONN : backlog) != 0) return fail_errno();
  std::lock_guard<std::mutex> lk(st->mu);
  st->listening = true;
  update(*st, 0);
  return 0;
}

Socket accept_socket(Socket s, std::uint32_t* peer_addr_net, std::uint16_t* peer_port_net) {
  auto st = find_sock(s);
  if (!st) {
    fail(kErrNotSocket);
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  socklen_t n = sizeof sa;
  int fd;
  do {
    fd = ::accept4(st->fd, reinterpret_cast<sockaddr*>(&sa), &n, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  int err = errno;
  Drop drop = Drop::kNothingPending;
  if (fd < 0 && (err == EMFILE || err == ENFILE)) drop = drop_pending(st->fd);
  {
    std::lock_guard<std::mutex> lk(st->mu);
    if (drop == Drop::kStuck && !st->starved && !st->closed) {
      // No number even for the reserve: re-enabling now would notify again at
      // once; wait until a socket is closed.
      st->starved = true;
      ++g_starved_listeners;
    } else if (!st->starved) {
      st->accept_armed = true;
      update(*st, 0);
    }
  }
  if (fd < 0) {
    fail(wsa_from_errno(err));
    return kInvalidSocket;
  }
  if (peer_addr_net) *peer_addr_net = sa.sin_addr.s_addr;
  if (peer_port_net) *peer_port_net = sa.sin_port;
  return adopt_fd(fd);
}

int send_bytes(Socket s, const char* data, int len) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  if (len < 0) return fail(kErrInvalid);
  ssize_t r;
  do {
    r = ::send(st->fd, data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail_errno();
  return static_cast<int>(r);
}

int recv_scan(Socket s, std::uint64_t serial, RecvTake take, void* ctx) {
  auto st = find_sock(s);
  if (!st || (serial != 0 && st->serial != serial)) return fail(kErrNotSocket);
  std::lock_guard<std::mutex> lk(st->mu);
  for (;;) {
    if (st->closed) return fail(kErrNotSocket);
    if (st->len > st->pos) {
      std::size_t used = take(ctx, st->buf.get() + st->pos, st->len - st->pos);
      st->pos += used;
      if (st->pos >= st->len) {
        st->pos = st->len = 0;
        st->buf.reset();
      }
      rearm_read(*st);
      return static_cast<int>(used);
    }
    if (!st->buf) st->buf.reset(new char[kRecvChunk]);
    ssize_t r = ::recv(st->fd, st->buf.get(), kRecvChunk, MSG_DONTWAIT);
    if (r > 0) {
      st->pos = 0;
      st->len = static_cast<std::size_t>(r);
      continue;
    }
    int err = errno;
    if (r < 0 && err == EINTR) continue;
    // Never waits, even on a socket not yet made non-blocking: the line reader runs
    // on notifications and the graceful close drains only what has arrived.
    st->buf.reset();
    rearm_read(*st);
    if (r == 0) return 0;
    return fail(wsa_from_errno(err));
  }
}

int recv_bytes(Socket s, char* buf, int len) {
  if (len <= 0) return fail(kErrInvalid);
  struct Into {
    char* out;
    std::size_t cap;
  } into{buf, static_cast<std::size_t>(len)};
  return recv_scan(
      s, 0,
      [](void* ctx, const char* data, std::size_t n) {
        auto* in = static_cast<Into*>(ctx);
        std::size_t k = n < in->cap ? n : in->cap;
        std::memcpy(in->out, data, k);
        return k;
      },
      &into);
}

long recv_pending(Socket s) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  return static_cast<long>(st->len - st->pos) + bytes_waiting(st->fd);
}

int shutdown_send(Socket s) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  // Linux accepts SHUT_WR on a listening socket and does nothing; Windows refuses
  // it as not connected.
  {
    std::lock_guard<std::mutex> lk(st->mu);
    if (st->listening) return fail(10057);
  }
  if (::shutdown(st->fd, SHUT_WR) != 0) return fail_errno();
  return 0;
}

int close_socket(Socket s) {
  std::shared_ptr<SockState> st;
  {
    std::lock_guard<std::mutex> lk(g_sock_mu);
    auto it = s > static_cast<Socket>(INT_MAX) ? g_socks.end() : g_socks.find(static_cast<int>(s));
    if (it == g_socks.end()) return fail(kErrNotSocket);
    st = it->second;
    g_socks.erase(it);
    std::lock_guard<std::mutex> lk2(st->mu);
    // Closed while the table lock is held, so the number cannot be handed to a
    // new socket before this one is gone from the epoll set.
    set_interest(*st, 0);
    st->closed = true;
    st->win.reset();
    st->buf.reset();
    ::close(st->fd);
    if (st->starved) {
      st->starved = false;
      --g_starved_listeners;
    }
  }
  wake_starved_listeners();
  return 0;
}

bool is_socket(Socket s) { return find_sock(s) != nullptr; }

std::uint64_t socket_serial(Socket s) {
  auto st = find_sock(s);
  return st ? st->serial : 0;
}

std::size_t open_socket_count() {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  return g_socks.size();
}

// ---------------------------------------------------------------- names

std::uint32_t parse_ipv4(const char* text) {
  in_addr a{};
  if (text == nullptr || ::inet_aton(text, &a) == 0) return 0xFFFFFFFFu;
  return a.s_addr;
}

std::uint32_t lookup_ipv4(const char* name) {
  if (name == nullptr || *name == '\0') {
    fail(kErrHostNotFound);
    return 0xFFFFFFFFu;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    fail(rc == EAI_NODATA ? kErrNoData : kErrHostNotFound);
    return 0xFFFFFFFFu;
  }
  std::uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(res);
  if (addr == 0xFFFFFFFFu) fail(kErrHostNotFound);  // the all-ones address is the failure value
  return addr;
}

void format_ipv4(std::uint32_t addr_net, char out[16]) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr_net);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// ---------------------------------------------------------------- window

Window window_create(WindowProc proc) {
  auto w = std::make_shared<EventWindow>();
  w->proc = proc;
  w->owner = pthread_self();
  w->ep = ::epoll_create1(EPOLL_CLOEXEC);
  w->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  w->tfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (w->ep < 0 || w->wake < 0 || w->tfd < 0) return 0;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTokenWake;
  ::epoll_ctl(w->ep, EPOLL_CTL_ADD, w->wake, &ev);
  ev.data.u64 = kTokenTimer;
  ::epoll_ctl(w->ep, EPOLL_CTL_ADD, w->tfd, &ev);
  std::lock_guard<std::mutex> lk(g_win_mu);
  w->handle = g_next_window++;
  g_windows[w->handle] = w;
  t_loop = w.get();
  return w->handle;
}

int message_loop(Window handle) {
  auto w = find_window(handle);
  if (!w || t_loop != w.get()) return -1;
  std::vector<Msg> batch;
  std::array<epoll_event, 64> evs;
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(w->mu);
      batch.assign(w->queue.begin(), w->queue.end());
      w->queue.clear();
    }
    for (const Msg& m : batch) {
      if (accept_message(*w, m)) w->proc(w->handle, m.msg, m.wparam, m.lparam);
      if (w->quit) {
        t_loop = nullptr;
        return w->quit_code;
      }
    }
    int timeout;
    {
      std::lock_guard<std::mutex> lk(w->mu);
      timeout = w->queue.empty() ? -1 : 0;
    }
    int n = ::epoll_wait(w->ep, evs.data(), static_cast<int>(evs.size()), timeout);
    for (int i = 0; i < n; ++i) {
      std::uint64_t token = evs[i].data.u64;
      if (token == kTokenWake) {
        std::uint64_t v;
        ssize_t r = ::read(w->wake, &v, sizeof v);
        (void)r;
      } else if (token == kTokenTimer) {
        on_timers(*w);
      } else {
        on_socket_event(token, evs[i].events);
      }
    }
  }
}

void post_quit(int code) {
  if (t_loop == nullptr) return;
  t_loop->quit = true;
  t_loop->quit_code = code;
}

std::intptr_t default_proc(Window handle, unsigned msg, std::uintptr_t, std::intptr_t) {
  if (msg != kMsgClose) return 0;
  std::shared_ptr<EventWindow> w;
  {
    std::lock_guard<std::mutex> lk(g_win_mu);
    auto it = g_windows.find(handle);
    if (it == g_windows.end()) return 0;
    w = it->second;
    g_windows.erase(it);
  }
  std::lock_guard<std::mutex> lk(w->mu);
  w->destroyed = true;
  w->timers.clear();
  w->due.clear();
  rearm_timerfd(*w);
  return 0;
}

void send_close(Window handle) {
  auto w = find_window(handle);
  if (w) post(*w, Msg{kMsgClose, 0, 0, 0});
}

bool post_message(Window handle, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  auto w = find_window(handle);
  if (!w) return false;
  post(*w, Msg{msg, wparam, lparam, 0});
  return true;
}

int async_select(Socket s, Window handle, unsigned msg, long events) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  auto w = find_window(handle);
  if (!w) return fail(kErrInvalid);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  if (st->win != w) {
    set_interest(*st, 0);
    st->win = w;
  }
  st->msg = msg;
  st->mask = events;
  st->read_armed = true;
  st->accept_armed = true;
  if (!st->nonblocking) {
    int fl = ::fcntl(st->fd, F_GETFL);
    ::fcntl(st->fd, F_SETFL, fl | O_NONBLOCK);
    st->nonblocking = true;
  }
  update(*st, 0);
  return 0;
}

std::uintptr_t set_timer(Window handle, std::uintptr_t id, unsigned interval_ms) {
  auto w = find_window(handle);
  if (!w) return 0;
  if (interval_ms < 10) interval_ms = 10;  // the shortest interval a window timer has
  std::lock_guard<std::mutex> lk(w->mu);
  if (w->destroyed) return 0;
  auto it = w->timers.find(id);
  if (it != w->timers.end()) w->due.erase({it->second.due, id});
  TimerRec t{interval_ms, now_ns() + static_cast<std::int64_t>(interval_ms) * 1000000,
             ++w->timer_gen, false};
  w->timers[id] = t;
  w->due.emplace(t.due, id);
  rearm_timerfd(*w);
  return id != 0 ? id : 1;
}

bool kill_timer(Window handle, std::uintptr_t id) {
  auto w = find_window(handle);
  if (!w) return false;
  std::lock_guard<std::mutex> lk(w->mu);
  auto it = w->timers.find(id);
  if (it == w->timers.end()) return false;
  w->due.erase({it->second.due, id});
  w->timers.erase(it);
  rearm_timerfd(*w);
  return true;
}

std::size_t timer_count(Window handle) {
  auto w = find_window(handle);
  if (!w) return 0;
  std::lock_guard<std::mutex> lk(w->mu);
  return w->timers.size();
}

// ---------------------------------------------------------------- threads

struct ThreadShared {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  void (*fn)(void*) = nullptr;
  void* arg = nullptr;
};

struct ThreadRec {
  pthread_t tid{};
  std::shared_ptr<ThreadShared> shared;
};

namespace {
void* thread_main(void* p) {
  std::shared_ptr<ThreadShared> sh = *static_cast<std::shared_ptr<ThreadShared>*>(p);
  delete static_cast<std::shared_ptr<ThreadShared>*>(p);
  sh->fn(sh->arg);
  std::lock_guard<std::mutex> lk(sh->mu);
  sh->done = true;
  sh->cv.notify_all();
  return nullptr;
}
}  // namespace

Thread thread_start(void (*fn)(void*), void* arg) {
  auto* t = new ThreadRec;
  t->shared = std::make_shared<ThreadShared>();
  t->shared->fn = fn;
  t->shared->arg = arg;
  auto* handoff = new std::shared_ptr<ThreadShared>(t->shared);
  if (pthread_create(&t->tid, nullptr, thread_main, handoff) != 0) {
    delete handoff;
    delete t;
    return nullptr;
  }
  return t;
}

bool thread_wait(Thread t, unsigned timeout_ms) {
  if (t == nullptr) return false;
  std::unique_lock<std::mutex> lk(t->shared->mu);
  return t->shared->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                [&] { return t->shared->done; });
}

void thread_release(Thread t) {
  if (t == nullptr) return;
  bool done;
  {
    std::lock_guard<std::mutex> lk(t->shared->mu);
    done = t->shared->done;
  }
  if (done)
    pthread_join(t->tid, nullptr);
  else
    pthread_detach(t->tid);
  delete t;
}

bool mutex_wait(Mutex m, unsigned timeout_ms) {
  if (m == nullptr) return false;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  if (pthread_mutex_trylock(pm) == 0) return true;  // the common case, without a clock read
  if (timeout_ms == 0) return false;
  // pthread_mutex_timedlock takes a wall-clock deadline; the monotonic variant
  // would be immune to clock steps but is not seen by ThreadSanitizer.
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_sec += timeout_ms / 1000;
  ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000;
  }
  return pthread_mutex_timedlock(pm, &ts) == 0;
}

void mutex_release(Mutex m) {
  if (m != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m));
}

// ---------------------------------------------------------------- adapter status

int netbios_reset() { return 0; }

void netbios_redirect_for_tests(std::uint32_t addr_net, std::uint16_t port_net) {
  g_nb_redirect_addr = addr_net;
  g_nb_redirect_port = port_net;
}

// No NetBIOS interface here: the same node status query goes out on the wire.
// A dotted call name asks that address with the wildcard name, as NetBIOS over
// TCP/IP does; any other name is resolved by the system resolver.
int netbios_adapter_status(const unsigned char call_name[16], unsigned char* status, int len) {
  if (status == nullptr || len < 6) return 1;
  char text[16];
  std::memcpy(text, call_name, 15);
  text[15] = '\0';
  for (int i = 14; i >= 0 && text[i] == ' '; --i) text[i] = '\0';
  unsigned char name[16];
  std::memcpy(name, call_name, 16);
  std::uint32_t dotted = parse_ipv4(text);
  std::uint32_t addr = dotted;
  if (dotted != 0xFFFFFFFFu) {
    std::memset(name, 0, sizeof name);
    name[0] = '*';
  }
  std::uint16_t port = htons(kNbstatPort);
  if (g_nb_redirect_port != 0) {
    addr = g_nb_redirect_addr;
    port = g_nb_redirect_port;
  } else if (dotted == 0xFFFFFFFFu) {
    addr = lookup_ipv4(text);
    if (addr == 0xFFFFFFFFu) return 1;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr;
  to.sin_port = port;
  static std::atomic<std::uint16_t> next_id{0x4356};
  std::uint16_t txid = next_id++;
  unsigned char req[kNbstatRequestSize];
  nbstat_build_request(txid, name, req);
  constexpr int kTries = 3;
  constexpr int kWaitMs = 500;
  int rc = 1;
  std::array<unsigned char, 1500> reply{};
  for (int attempt = 0; attempt < kTries && rc != 0; ++attempt) {
    if (::sendto(fd, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) break;
    std::int64_t deadline = now_ns() + std::int64_t{kWaitMs} * 1000000;
    for (;;) {
      std::int64_t left = (deadline - now_ns()) / 1000000;
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      ssize_t n = ::recv(fd, reply.data(), reply.size(), 0);
      if (n <= 0) continue;  // an ICMP port unreachable shows up as ECONNREFUSED here
      unsigned char mac[6];
      if (nbstat_parse_reply(txid, reply.data(), static_cast<std::size_t>(n), mac)) {
        std::memcpy(status, mac, 6);
        rc = 0;
        break;
      }
    }
  }
  ::close(fd);
  return rc;
}

// ---------------------------------------------------------------- module, debug

std::uintptr_t module_handle() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_handle), &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

void module_path(char* out, std::size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_handle), &info) == 0 || !info.dli_fname) return;
  char full[PATH_MAX];
  const char* p = ::realpath(info.dli_fname, full) ? full : info.dli_fname;
  std::snprintf(out, cap, "%s", p);
}

void debug_output(const char* text) {
  DebugSink sink = g_debug_sink.load();
  if (sink) {
    sink(text);
    return;
  }
  if (std::getenv("CVN_DEBUG") != nullptr) std::fprintf(stderr, "[debug] %s\n", text);
}

void set_debug_sink(DebugSink sink) { g_debug_sink.store(sink); }

}  // namespace cvn::plat
