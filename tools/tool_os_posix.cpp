// gcsim's and ccf2sendir's operating system on POSIX (tool_os.h).
#include "tool_os.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cvn::tools {

void start_streams() { signal(SIGPIPE, SIG_IGN); }

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

void start_sockets() {}

bool resolve_ipv4(const std::string& name, std::uint32_t& addr_net, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  addr_net = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

Socket listen_tcp(std::uint32_t addr_net, std::uint16_t port, std::uint16_t& bound_port, std::string& why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::strerror(errno);
    return kNoSocket;
  }
  int one = 1;  // a port left in TIME_WAIT by an earlier run can be had again at once
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = htons(port);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    why = std::strerror(errno);
    close(fd);
    return kNoSocket;
  }
  bound_port = ntohs(sa.sin_port);
  return fd;
}

Socket accept_tcp(Socket listener) {
  int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return kNoSocket;
  int nodelay = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
  return fd;
}

long receive(Socket s, char* buf, std::size_t cap) { return recv(static_cast<int>(s), buf, cap, 0); }

void send_text(Socket s, const std::string& text) {
  ssize_t r = send(static_cast<int>(s), text.data(), text.size(), MSG_NOSIGNAL);
  (void)r;
}

void close_socket(Socket s) { close(static_cast<int>(s)); }

void wait_readable(const std::vector<Socket>& sockets, int ms, std::vector<bool>& ready) {
  std::vector<pollfd> fds;
  for (Socket s : sockets) fds.push_back({static_cast<int>(s), POLLIN, 0});
  int n = poll(fds.data(), fds.size(), ms);
  ready.assign(sockets.size(), false);
  for (std::size_t i = 0; n > 0 && i < fds.size(); ++i) ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace cvn::tools
