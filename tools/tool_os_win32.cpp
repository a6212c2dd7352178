// gcsim's and ccf2sendir's operating system on Windows (tool_os.h): Winsock 2,
// WSAPoll, binary standard streams. Errors the programs meet are told in the
// words the POSIX C library has for them.
#include "tool_os.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace cvn::tools {
namespace {

// The POSIX C library's words for the Winsock errors a listener and a lookup
// meet; others in Windows' own words.
std::string error_text(int code) {
  struct Known {
    int code;
    const char* text;
  };
  static const Known kKnown[] = {
      {WSAEACCES, "Permission denied"},
      {WSAEADDRINUSE, "Address already in use"},
      {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
      {WSAEMFILE, "Too many open files"},
      {WSAENOBUFS, "No buffer space available"},
      {WSAHOST_NOT_FOUND, "Name or service not known"},
      {WSATRY_AGAIN, "Temporary failure in name resolution"},
      {WSANO_RECOVERY, "Non-recoverable failure in name resolution"},
      {WSANO_DATA, "No address associated with hostname"},
  };
  for (const Known& k : kKnown)
    if (k.code == code) return k.text;
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '.')) --n;
  return n > 0 ? std::string(buf, n) : "error " + std::to_string(code);
}

}  // namespace

void start_streams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

void start_sockets() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

bool resolve_ipv4(const std::string& name, std::uint32_t& addr_net, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    why = error_text(rc != 0 ? rc : WSAHOST_NOT_FOUND);
    return false;
  }
  addr_net = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

// No SO_REUSEADDR: on Windows it would let a second listener take the port;
// a port in TIME_WAIT can be had again without it.
Socket listen_tcp(std::uint32_t addr_net, std::uint16_t port, std::uint16_t& bound_port, std::string& why) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    why = error_text(WSAGetLastError());
    return kNoSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = htons(port);
  int len = sizeof sa;
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    why = error_text(WSAGetLastError());
    closesocket(s);
    return kNoSocket;
  }
  bound_port = ntohs(sa.sin_port);
  return static_cast<Socket>(s);
}

Socket accept_tcp(Socket listener) {
  SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  BOOL nodelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  return static_cast<Socket>(s);
}

long receive(Socket s, char* buf, std::size_t cap) {
  return recv(static_cast<SOCKET>(s), buf, static_cast<int>(cap), 0);
}

void send_text(Socket s, const std::string& text) {
  send(static_cast<SOCKET>(s), text.data(), static_cast<int>(text.size()), 0);
}

void close_socket(Socket s) { closesocket(static_cast<SOCKET>(s)); }

void wait_readable(const std::vector<Socket>& sockets, int ms, std::vector<bool>& ready) {
  std::vector<WSAPOLLFD> fds;
  for (Socket s : sockets) fds.push_back({static_cast<SOCKET>(s), POLLRDNORM, 0});
  int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms);
  ready.assign(sockets.size(), false);
  for (std::size_t i = 0; n > 0 && i < fds.size(); ++i)
    ready[i] = (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
}

}  // namespace cvn::tools
