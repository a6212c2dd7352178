// POSIX sockets behind the platform seam: BSD sockets reporting Windows Sockets
// error numbers, converted from errno at the failing call through one table, and
// the table of the sockets this layer created, which the event window shares.
#include "internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace cvn::plat {
using namespace posix;
namespace {

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

// One receive's worth: large enough that a connection delivering lines as fast as
// a script takes them costs few system calls. A socket holds a buffer only while
// bytes wait in it.
constexpr std::size_t kRecvChunk = 65536;

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

Socket adopt_fd(int fd) {
  auto st = std::make_shared<SockState>();
  st->fd = fd;
  std::lock_guard<std::mutex> lk(g_sock_mu);
  st->serial = g_next_serial++;
  g_socks[fd] = st;
  return static_cast<Socket>(fd);
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
    st->posting.accepted();
    update(*st, 0);
  }
}

}  // namespace

namespace posix {

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

std::shared_ptr<SockState> find_sock(Socket s) {
  if (s > static_cast<Socket>(INT_MAX)) return nullptr;
  std::lock_guard<std::mutex> lk(g_sock_mu);
  auto it = g_socks.find(static_cast<int>(s));
  return it == g_socks.end() ? nullptr : it->second;
}

SockState* find_exact(Socket s, std::uint64_t serial) {
  // The last one found on this thread is kept: it is asked about again and again.
  // A closed one, too: its `closed` flag tells, and no other socket has its serial.
  thread_local std::shared_ptr<SockState> t_last;
  if (t_last && t_last->serial == serial && t_last->fd == static_cast<int>(s)) return t_last.get();
  auto st = find_sock(s);
  if (!st || st->serial != serial) return nullptr;
  t_last = std::move(st);
  return t_last.get();
}

int bytes_waiting(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

}  // namespace posix

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
  // Windows binds a port whose earlier connections linger (TIME_WAIT after a
  // server closed them, FIN-WAIT-2 after a reload shut them) without any option;
  // Linux only with this one, which still refuses a port another socket listens on.
  int on = 1;
  ::setsockopt(st->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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
      st->posting.accepted();
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

namespace {

// The last buffer given back, kept for the next receive: a connection that
// empties its buffer on every notification then costs no allocation (nor the
// heap trims and regrowths that freeing a large block can cause).
std::atomic<char*> g_spare_buffer{nullptr};

void give_back_buffer(SockState& st) {
  delete[] g_spare_buffer.exchange(st.buf.release());
}

// Fills an empty buffer with what the kernel holds; never waits, even on a socket
// not yet made non-blocking (the graceful close drains only what has arrived).
// Returns the count, 0 at end of stream, -1 with errno. st.mu held.
ssize_t fill(SockState& st) {
  if (!st.buf) {
    char* spare = g_spare_buffer.exchange(nullptr);
    st.buf.reset(spare != nullptr ? spare : new char[kRecvChunk]);
  }
  ssize_t r;
  do {
    r = ::recv(st.fd, st.buf.get(), kRecvChunk, MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  st.peeked = 0;
  if (r > 0) {
    st.pos = 0;
    st.len = static_cast<std::size_t>(r);
    // A short read emptied the queue: what comes later makes epoll report the
    // socket, which clears this.
    st.drained = st.len < kRecvChunk;
  } else {
    int err = errno;
    give_back_buffer(st);
    errno = err;
  }
  return r;
}

void take(SockState& st, std::size_t n) {
  st.peeked = 0;
  st.pos += n;
  st.consumed += static_cast<std::uint32_t>(n);
  if (st.pos >= st.len) {  // an idle connection holds no buffer
    st.pos = st.len = 0;
    give_back_buffer(st);
  }
}

// A receive that found nothing, or ended in end of stream or failure.
int fail_receive(SockState& st, ssize_t r) {
  int err = errno;
  rearm_read(st);
  if (r == 0) return 0;
  return fail(wsa_from_errno(err));
}

}  // namespace

int recv_bytes(Socket s, char* buf, int len) {
  if (len <= 0) return fail(kErrInvalid);
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  if (st->len == st->pos) {
    ssize_t r = fill(*st);
    if (r <= 0) return fail_receive(*st, r);
  }
  std::size_t n = std::min(st->len - st->pos, static_cast<std::size_t>(len));
  std::memcpy(buf, st->buf.get() + st->pos, n);
  take(*st, n);
  rearm_read(*st);
  return static_cast<int>(n);
}

// A line reader's look and take, by the four rules in platform.h.
int recv_peek(Socket s, std::uint64_t serial, RecvLook look, void* ctx, std::uint64_t* mark) {
  SockState* st = find_exact(s, serial);
  if (st == nullptr) return fail(kErrNotSocket);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  if (st->len == st->pos) {
    // Only while epoll watches for the next bytes; after the peer's end the rest
    // is read to the last byte.
    if (st->drained && !st->posting.peer_eof && st->win && (st->mask & kFdRead)) {
      rearm_read(*st);
      return fail(kErrWouldBlock);
    }
    ssize_t r = fill(*st);
    if (r <= 0) return fail_receive(*st, r);
  }
  *mark = st->consumed;
  std::size_t waiting = st->len - st->pos;
  st->peeked = static_cast<std::uint32_t>(std::min(look(ctx, st->buf.get() + st->pos, waiting), waiting));
  return static_cast<int>(waiting);
}

int recv_consume(Socket s, std::uint64_t serial, std::uint64_t mark, std::size_t n) {
  SockState* st = find_exact(s, serial);
  if (st == nullptr) return fail(kErrNotSocket);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  if (st->consumed != static_cast<std::uint32_t>(mark) || n > st->len - st->pos) return fail(kErrWouldBlock);
  if (n == 0) return 0;  // only a check that nothing else took bytes
  take(*st, n);
  rearm_read(*st);
  return static_cast<int>(n);
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

}  // namespace cvn::plat
