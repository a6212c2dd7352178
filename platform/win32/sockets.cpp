// Windows side of the platform seam, sockets: Windows Sockets 1.1, whose error
// numbers pass through as they are, and the table of the sockets this layer
// created with their serials.
#include "../platform.h"

#include <windows.h>
#include <winsock.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace cvn::plat {
namespace {

struct SockInfo {
  std::uint64_t serial;
  std::uint64_t received;  // bytes taken by receives so far: what a peek's mark names
};

std::mutex g_sock_mu;  // the table below
std::map<Socket, SockInfo> g_sockets;  // sockets this layer created
std::uint64_t g_next_serial = 1;
// Held across a receive and the count it adds, so a peek's mark says whether
// anything was received since.
std::mutex g_recv_mu;

// The count of bytes received from s so far, or false when s is not the socket
// with this serial (serial 0: any).
bool received_of(Socket s, std::uint64_t serial, std::uint64_t* received) {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  auto it = g_sockets.find(s);
  if (it == g_sockets.end() || (serial != 0 && it->second.serial != serial)) return false;
  *received = it->second.received;
  return true;
}

void add_received(Socket s, std::uint64_t n) {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  auto it = g_sockets.find(s);
  if (it != g_sockets.end()) it->second.received += n;
}

// A socket held in reserve while the socket library is started: at the limit of
// open sockets (10024) it is closed to accept one pending connection and reset
// it, so the connection does not stay queued and bring the accept notification
// back at once, forever.
std::mutex g_reserve_mu;
SOCKET g_reserve = INVALID_SOCKET;
int g_library_starts = 0;

void drop_pending(SOCKET listener) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(listener, &ready);
  timeval now{0, 0};
  if (select(0, &ready, nullptr, nullptr, &now) <= 0) return;  // nothing pending
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_reserve == INVALID_SOCKET) g_reserve = socket(AF_INET, SOCK_STREAM, 0);
  if (g_reserve == INVALID_SOCKET) return;
  closesocket(g_reserve);
  SOCKET c = accept(listener, nullptr, nullptr);
  if (c != INVALID_SOCKET) {
    linger lg{1, 0};  // a reset tells the peer at once that no one will answer
    setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
    closesocket(c);
  }
  g_reserve = socket(AF_INET, SOCK_STREAM, 0);
}

Socket adopt(SOCKET s) {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  g_sockets[static_cast<Socket>(s)] = SockInfo{g_next_serial++, 0};
  return static_cast<Socket>(s);
}

}  // namespace

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
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = port_net;
  return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int bind_any(Socket s, std::uint16_t port_net) {
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
  if (backlog < 0) backlog = kWinsock2MaxBacklog;
  return listen(static_cast<SOCKET>(s), backlog) == 0 ? 0 : -1;
}

Socket accept_socket(Socket s, std::uint32_t* peer_addr_net, std::uint16_t* peer_port_net) {
  sockaddr_in sa{};
  int n = sizeof sa;
  SOCKET c = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &n);
  if (c == INVALID_SOCKET) {
    int err = WSAGetLastError();
    if (err == WSAEMFILE) drop_pending(static_cast<SOCKET>(s));
    WSASetLastError(err);
    return kInvalidSocket;
  }
  if (peer_addr_net) *peer_addr_net = sa.sin_addr.s_addr;
  if (peer_port_net) *peer_port_net = sa.sin_port;
  return adopt(c);
}

int send_bytes(Socket s, const char* data, int len) {
  int r = send(static_cast<SOCKET>(s), data, len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

int recv_bytes(Socket s, char* buf, int len) {
  std::lock_guard<std::mutex> lk(g_recv_mu);
  int r = recv(static_cast<SOCKET>(s), buf, len, 0);
  if (r == SOCKET_ERROR) return -1;
  int err = WSAGetLastError();
  add_received(s, static_cast<std::uint64_t>(r));
  WSASetLastError(err);
  return r;
}

// Winsock keeps the bytes: a peek copies what waits and consumes nothing, a
// consume receives exactly what the reader used, so Winsock's own read
// notifications stay right for whatever is left.
int recv_peek(Socket s, std::uint64_t serial, RecvLook look, void* ctx, std::uint64_t* mark) {
  static thread_local char buf[16384];
  int n;
  {
    std::lock_guard<std::mutex> lk(g_recv_mu);
    if (!received_of(s, serial, mark)) {
      WSASetLastError(kErrNotSocket);
      return -1;
    }
    n = recv(static_cast<SOCKET>(s), buf, sizeof buf, MSG_PEEK);
  }
  if (n == SOCKET_ERROR) return -1;
  if (n == 0) return 0;
  look(ctx, buf, static_cast<std::size_t>(n));
  return n;
}

int recv_consume(Socket s, std::uint64_t serial, std::uint64_t mark, std::size_t n) {
  std::lock_guard<std::mutex> lk(g_recv_mu);
  std::uint64_t received = 0;
  if (!received_of(s, serial, &received)) {
    WSASetLastError(kErrNotSocket);
    return -1;
  }
  if (received != mark) {
    WSASetLastError(kErrWouldBlock);
    return -1;
  }
  char scratch[1024];
  std::size_t done = 0;
  while (done < n) {
    std::size_t want = n - done < sizeof scratch ? n - done : sizeof scratch;
    int r = recv(static_cast<SOCKET>(s), scratch, static_cast<int>(want), 0);
    if (r == SOCKET_ERROR || r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  add_received(s, done);
  return done == n ? static_cast<int>(n) : -1;
}

long recv_pending(Socket s) {
  u_long n = 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) != 0) return -1;
  return static_cast<long>(n);
}

int shutdown_send(Socket s) { return shutdown(static_cast<SOCKET>(s), 1) == 0 ? 0 : -1; }

int close_socket(Socket s) {
  if (closesocket(static_cast<SOCKET>(s)) != 0) return -1;
  std::lock_guard<std::mutex> lk(g_sock_mu);
  g_sockets.erase(s);
  return 0;
}

bool is_socket(Socket s) { return socket_serial(s) != 0; }

std::uint64_t socket_serial(Socket s) {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  auto it = g_sockets.find(s);
  return it == g_sockets.end() ? 0 : it->second.serial;
}

std::size_t open_socket_count() {
  std::lock_guard<std::mutex> lk(g_sock_mu);
  return g_sockets.size();
}

}  // namespace cvn::plat
