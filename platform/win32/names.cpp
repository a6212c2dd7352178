// Names and addresses on Windows: inet_addr, gethostbyname and inet_ntoa's
// format, with the resolver's own error numbers (11001, 11004).
#include "../platform.h"

#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstring>

namespace cvn::plat {

std::uint32_t parse_ipv4(const char* text) { return text ? inet_addr(text) : 0xFFFFFFFFu; }

std::uint32_t lookup_ipv4(const char* name) {
  hostent* h = (name && *name) ? gethostbyname(name) : nullptr;
  if (h == nullptr || h->h_addr_list[0] == nullptr) {
    if (WSAGetLastError() == 0 || !(name && *name)) WSASetLastError(kErrHostNotFound);
    return 0xFFFFFFFFu;
  }
  std::uint32_t addr;
  std::memcpy(&addr, h->h_addr_list[0], 4);
  if (addr == 0xFFFFFFFFu) WSASetLastError(kErrHostNotFound);
  return addr;
}

void format_ipv4(std::uint32_t addr_net, char out[16]) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr_net);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace cvn::plat
