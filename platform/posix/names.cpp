// Names and addresses on POSIX: inet_aton for dotted text, getaddrinfo for host
// names, its failures reported as Windows Sockets numbers (11001, 11004).
#include "internal.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

namespace cvn::plat {
using namespace posix;

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

}  // namespace cvn::plat
