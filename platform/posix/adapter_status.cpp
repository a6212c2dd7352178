// Adapter status on POSIX: without a NetBIOS interface, the node status query
// goes out on the wire over UDP, built and read by nbstat.cpp.
#include "internal.h"
#include "nbstat.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

namespace cvn::plat {
using namespace posix;
namespace {

std::uint32_t g_nb_redirect_addr = 0;
std::uint16_t g_nb_redirect_port = 0;

}  // namespace

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

}  // namespace cvn::plat
