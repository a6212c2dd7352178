// Plain loopback sockets for the benchmarks' own ends of their connections.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace bench {

// Listens on 127.0.0.1 at *port (0: any free port, stored back); -1 on failure.
inline int listen_loopback(std::uint16_t* port, int backlog = 4096) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(*port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  socklen_t n = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  *port = ntohs(sa.sin_port);
  return fd;
}

inline int connect_loopback(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool send_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    data += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace bench
