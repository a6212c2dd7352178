// Windows side of the platform seam, sockets: Windows Sockets 1.1, whose error
// numbers pass through as they are, and the table of the sockets this layer
// created: their serials, the bytes received and not yet taken, and what keeps
// read notifications bounded and a closed socket's notifications away from a
// new socket that Winsock gives the same number (it reuses them at once).
#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "internal.h"

namespace cvn::plat {
using namespace win32;
namespace {

// One receive's worth, as on POSIX: a connection that delivers lines as fast as
// a script takes them costs few receives.
constexpr std::size_t kRecvChunk = 65536;

// Read notifications follow Winsock's rule: one is posted, then none until a
// receive, after which one comes again if data is left. The layer receives at
// most once per notification into `buf`, from which the line reader takes: a
// reader that received again and again would have Winsock post a notification
// for each receive that leaves data behind, and a flooding socket's messages
// would multiply in the queue ahead of every other socket's.
struct SockState {
  std::uint64_t serial = 0;
  HWND win = nullptr;  // where its notifications go: its own request, or its listener's
  bool may_receive = false;    // the read notification being handled has not received yet
  bool winsock_waits = false;  // Winsock's notification came and no receive since: it posts no more
  bool peer_closed = false;    // a close notification came: read on to the end
  bool held_queued = false;    // the layer's own read message is on its way
  std::unique_ptr<char[]> buf;  // received, not yet taken
  std::size_t pos = 0, len = 0;
  std::uint32_t consumed = 0;  // bytes taken so far, wrapping: a peek's mark
};

std::mutex g_mu;  // everything below
std::map<Socket, SockState> g_sockets;  // sockets this layer created
std::uint64_t g_next_serial = 1;
// Per socket number, closes whose mark has not come through the queue yet.
std::map<Socket, int> g_marks;
unsigned g_socket_msg = 0;
// The last buffer given back, kept for the next receive.
char* g_spare_buffer = nullptr;

// Reports a failure once the table lock is let go, which may change the
// thread's last error.
int failed(int err) {
  WSASetLastError(err);
  return -1;
}

SockState* find_locked(Socket s) {
  auto it = g_sockets.find(s);
  return it == g_sockets.end() ? nullptr : &it->second;
}

SockState* find_exact_locked(Socket s, std::uint64_t serial) {
  SockState* st = find_locked(s);
  return st != nullptr && st->serial == serial ? st : nullptr;
}

bool known(Socket s) {
  std::lock_guard<std::mutex> lk(g_mu);
  return find_locked(s) != nullptr;
}

void adopt_locked(SOCKET s, HWND inherited) {
  SockState& st = g_sockets[static_cast<Socket>(s)];
  st = SockState{};
  st.serial = g_next_serial++;
  st.win = inherited;
}

Socket adopt(SOCKET s) {
  std::lock_guard<std::mutex> lk(g_mu);
  adopt_locked(s, nullptr);
  return static_cast<Socket>(s);
}

// Closes s, whose notifications went to `w`, with the table lock held. Winsock
// posts nothing for it once its notifications are cancelled, and a socket that
// gets the number next is adopted, and asks for notifications, only after the
// mark is queued behind whatever Winsock queued for this one. 0 or the error.
int close_locked(SOCKET s, HWND w) {
  if (w != nullptr) WSAAsyncSelect(s, w, 0, 0);
  if (closesocket(s) != 0) return WSAGetLastError();
  if (w != nullptr) {
    int& n = g_marks[static_cast<Socket>(s)];
    ++n;
    if (!PostMessageA(w, kMsgClosedMark, static_cast<WPARAM>(s), 0) && --n == 0)
      g_marks.erase(static_cast<Socket>(s));
  }
  return 0;
}

void post_held_locked(Socket s, SockState& st) {
  if (st.held_queued || st.win == nullptr) return;
  if (PostMessageA(st.win, kMsgHeldBytes, static_cast<WPARAM>(s), 0)) st.held_queued = true;
}

void give_back_buffer(SockState& st) {
  delete[] g_spare_buffer;
  g_spare_buffer = st.buf.release();
}

// One receive into an empty buffer: the count, 0 at end of stream, or -1 with
// the error in *err. Never waits, even on a socket still blocking.
int fill_locked(Socket s, SockState& st, int* err) {
  if (st.win == nullptr) {  // not yet non-blocking: only what has arrived
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(static_cast<SOCKET>(s), &ready);
    timeval now{0, 0};
    if (select(0, &ready, nullptr, nullptr, &now) == 0) {
      *err = kErrWouldBlock;
      return -1;
    }
  }
  if (!st.buf) {
    st.buf.reset(g_spare_buffer != nullptr ? g_spare_buffer : new char[kRecvChunk]);
    g_spare_buffer = nullptr;
  }
  int r = recv(static_cast<SOCKET>(s), st.buf.get(), static_cast<int>(kRecvChunk), 0);
  st.may_receive = false;
  st.winsock_waits = false;
  if (r > 0) {
    st.pos = 0;
    st.len = static_cast<std::size_t>(r);
    return r;
  }
  if (r < 0) *err = WSAGetLastError();
  give_back_buffer(st);
  return r < 0 ? -1 : 0;
}

void take_locked(SockState& st, std::size_t n) {
  st.pos += n;
  st.consumed += static_cast<std::uint32_t>(n);
  if (st.pos >= st.len) {  // an idle connection holds no buffer
    st.pos = st.len = 0;
    give_back_buffer(st);
  }
}

// A socket held in reserve while the socket library is started: at the limit of
// open sockets (10024) it is closed to accept one pending connection and reset
// it, so the connection does not stay queued and bring the accept notification
// back at once, forever.
std::mutex g_reserve_mu;
SOCKET g_reserve = INVALID_SOCKET;
int g_library_starts = 0;

// The connection accepted here has the listener's notifications from the start,
// so its close is marked like any other.
void drop_pending(SOCKET listener, HWND w) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(listener, &ready);
  timeval now{0, 0};
  if (select(0, &ready, nullptr, nullptr, &now) <= 0) return;  // nothing pending
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_reserve == INVALID_SOCKET) g_reserve = socket(AF_INET, SOCK_STREAM, 0);
  if (g_reserve == INVALID_SOCKET) return;
  closesocket(g_reserve);
  {
    std::lock_guard<std::mutex> lk2(g_mu);
    SOCKET c = accept(listener, nullptr, nullptr);
    if (c != INVALID_SOCKET) {
      linger lg{1, 0};  // a reset tells the peer at once that no one will answer
      setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
      close_locked(c, w);
    }
  }
  g_reserve = socket(AF_INET, SOCK_STREAM, 0);
}

}  // namespace

namespace win32 {

bool socket_message_begin(Socket s, long event, bool held, SocketDispatch* d) {
  std::lock_guard<std::mutex> lk(g_mu);
  if (!g_marks.empty() && g_marks.count(s) != 0) return false;  // a closed socket's
  SockState* st = find_locked(s);
  d->s = s;
  d->event = event;
  d->serial = st != nullptr ? st->serial : 0;
  d->consumed = st != nullptr ? st->consumed : 0;
  if (st == nullptr) return true;
  if (held) st->held_queued = false;
  if (event == kFdRead) {
    // Winsock's notification allows one receive; the layer's own stands in for
    // one only when Winsock's came and did not receive.
    st->may_receive = !held || st->winsock_waits;
    if (!held) st->winsock_waits = true;
  } else if (event == kFdClose) {
    st->peer_closed = true;
  }
  return true;
}

void socket_message_end(const SocketDispatch& d) {
  if (d.event != kFdRead || d.serial == 0) return;
  std::lock_guard<std::mutex> lk(g_mu);
  SockState* st = find_exact_locked(d.s, d.serial);
  if (st == nullptr) return;
  st->may_receive = false;
  // A handler that took bytes gets another notification, as Winsock posts one
  // after a receive that leaves data: for bytes left in the buffer, and when it
  // emptied the buffer without receiving after Winsock's notification, for
  // whatever Winsock holds (it posts nothing more until a receive). One that
  // took nothing gets none, as from Winsock, until a receive or a new request.
  if (st->consumed != d.consumed && (st->pos < st->len || st->winsock_waits)) post_held_locked(d.s, *st);
}

void closed_mark_arrived(Socket s) {
  std::lock_guard<std::mutex> lk(g_mu);
  auto it = g_marks.find(s);
  if (it != g_marks.end() && --it->second <= 0) g_marks.erase(it);
}

void window_closed() {
  std::lock_guard<std::mutex> lk(g_mu);
  g_marks.clear();
  for (auto& kv : g_sockets) kv.second.held_queued = false;
}

unsigned socket_message_number() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_socket_msg;
}

}  // namespace win32

int last_error() { return WSAGetLastError(); }
void set_last_error(int code) { WSASetLastError(code); }

void socket_library_start() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  ++g_library_starts;
  if (g_reserve == INVALID_SOCKET) g_reserve = socket(AF_INET, SOCK_STREAM, 0);
}

void socket_library_stop() {
  {
    std::lock_guard<std::mutex> lk(g_reserve_mu);
    if (g_library_starts > 0 && --g_library_starts == 0 && g_reserve != INVALID_SOCKET) {
      closesocket(g_reserve);
      g_reserve = INVALID_SOCKET;
    }
  }
  WSACleanup();
}

Socket tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return adopt(s);
}

int connect_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_net) {
  if (!known(s)) return failed(kErrNotSocket);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = port_net;
  return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int bind_any(Socket s, std::uint16_t port_net) {
  if (!known(s)) return failed(kErrNotSocket);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = port_net;
  return bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

// winsock.h still says SOMAXCONN is 5; the Winsock 2 stack behind wsock32 reads
// 0x7FFFFFFF (winsock2.h's SOMAXCONN) as the largest backlog it allows.
constexpr int kWinsock2MaxBacklog = 0x7FFFFFFF;

int listen_socket(Socket s, int backlog) {
  if (!known(s)) return failed(kErrNotSocket);
  if (backlog < 0) backlog = kWinsock2MaxBacklog;
  return listen(static_cast<SOCKET>(s), backlog) == 0 ? 0 : -1;
}

Socket accept_socket(Socket s, std::uint32_t* peer_addr_net, std::uint16_t* peer_port_net) {
  HWND w = nullptr;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_locked(s);
    if (st == nullptr) {
      failed(kErrNotSocket);
      return kInvalidSocket;
    }
    w = st->win;
  }
  sockaddr_in sa{};
  int n = sizeof sa;
  SOCKET c;
  int err = 0;
  if (w != nullptr) {
    // The listener does not block. The new socket has its notifications from the
    // moment it exists: accepted under the table lock, it cannot come between a
    // close of its number and that close's mark.
    std::lock_guard<std::mutex> lk(g_mu);
    c = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &n);
    if (c != INVALID_SOCKET)
      adopt_locked(c, w);
    else
      err = WSAGetLastError();
  } else {
    c = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &n);  // may wait
    if (c != INVALID_SOCKET)
      adopt(c);
    else
      err = WSAGetLastError();
  }
  if (c == INVALID_SOCKET) {
    if (err == WSAEMFILE) drop_pending(static_cast<SOCKET>(s), w);
    failed(err);
    return kInvalidSocket;
  }
  if (peer_addr_net) *peer_addr_net = sa.sin_addr.s_addr;
  if (peer_port_net) *peer_port_net = sa.sin_port;
  return static_cast<Socket>(c);
}

int send_bytes(Socket s, const char* data, int len) {
  if (!known(s)) return failed(kErrNotSocket);
  int r = send(static_cast<SOCKET>(s), data, len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

int recv_bytes(Socket s, char* buf, int len) {
  if (len <= 0) return failed(kErrInvalid);
  int err = 0;
  int n = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_locked(s);
    if (st == nullptr) {
      err = kErrNotSocket;
    } else {
      if (st->pos == st->len) n = fill_locked(s, *st, &err);
      if (st->pos < st->len) {
        std::size_t held = st->len - st->pos;
        std::size_t k = held < static_cast<std::size_t>(len) ? held : static_cast<std::size_t>(len);
        std::memcpy(buf, st->buf.get() + st->pos, k);
        take_locked(*st, k);
        n = static_cast<int>(k);
        // What the caller leaves (a graceful close takes only what had arrived)
        // is notified, as Winsock does after a receive that leaves data.
        if (st->pos < st->len) post_held_locked(s, *st);
      }
    }
  }
  if (err != 0) return failed(err);
  return n;
}

// A line reader's look and take, by the four rules in platform.h.
int recv_peek(Socket s, std::uint64_t serial, RecvLook look, void* ctx, std::uint64_t* mark) {
  int err = 0;
  int n = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_exact_locked(s, serial);
    if (st == nullptr) {
      err = kErrNotSocket;
    } else if (st->pos == st->len && !st->may_receive && !st->peer_closed) {
      err = kErrWouldBlock;  // this notification has received; the next brings more
    } else {
      if (st->pos == st->len) n = fill_locked(s, *st, &err);
      if (st->pos < st->len) {
        *mark = st->consumed;
        std::size_t waiting = st->len - st->pos;
        look(ctx, st->buf.get() + st->pos, waiting);
        n = static_cast<int>(waiting);
      }
    }
  }
  if (err != 0) return failed(err);
  return n;
}

int recv_consume(Socket s, std::uint64_t serial, std::uint64_t mark, std::size_t n) {
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_exact_locked(s, serial);
    if (st == nullptr)
      err = kErrNotSocket;
    else if (st->consumed != static_cast<std::uint32_t>(mark) || n > st->len - st->pos)
      err = kErrWouldBlock;
    else if (n > 0)
      take_locked(*st, n);
  }
  if (err != 0) return failed(err);
  return static_cast<int>(n);
}

long recv_pending(Socket s) {
  long held = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_locked(s);
    if (st == nullptr) return failed(kErrNotSocket);
    held = static_cast<long>(st->len - st->pos);
  }
  u_long n = 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) != 0) return held > 0 ? held : -1;
  return held + static_cast<long>(n);
}

int shutdown_send(Socket s) {
  if (!known(s)) return failed(kErrNotSocket);
  return shutdown(static_cast<SOCKET>(s), 1) == 0 ? 0 : -1;
}

int close_socket(Socket s) {
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    auto it = g_sockets.find(s);
    if (it == g_sockets.end()) {
      err = kErrNotSocket;
    } else {
      err = close_locked(static_cast<SOCKET>(s), it->second.win);
      if (err == 0) g_sockets.erase(it);
    }
  }
  if (err != 0) return failed(err);
  return 0;
}

int async_select(Socket s, Window w, unsigned msg, long events) {
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    SockState* st = find_locked(s);
    if (st == nullptr) {
      err = kErrNotSocket;
    } else if (WSAAsyncSelect(static_cast<SOCKET>(s), reinterpret_cast<HWND>(w), msg, events) != 0) {
      err = WSAGetLastError();
    } else {
      // A new request posts what is pending at once: Winsock for the bytes it
      // holds, the layer for those it does.
      st->win = reinterpret_cast<HWND>(w);
      st->winsock_waits = false;
      g_socket_msg = msg;
      if ((events & kFdRead) && st->pos < st->len) post_held_locked(s, *st);
    }
  }
  if (err != 0) return failed(err);
  return 0;
}

bool is_socket(Socket s) { return known(s); }

std::uint64_t socket_serial(Socket s) {
  std::lock_guard<std::mutex> lk(g_mu);
  SockState* st = find_locked(s);
  return st != nullptr ? st->serial : 0;
}

std::size_t open_socket_count() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_sockets.size();
}

}  // namespace cvn::plat
