// gcsim: a simulated infrared gateway speaking the subset of the Unified TCP API
// that scripts meet (getdevices, getversion, sendir, stopir), so device scripts can
// be written and tested without the hardware. It answers in one of three reply
// families, as gateways of different generations do. Plain POSIX sockets and poll.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "gateway_limits.h"
#include "options.h"

namespace {

constexpr int kMaxClients = 8;
constexpr const char* kVersion = "3.0-gcsim";

using Clock = std::chrono::steady_clock;

struct Client {
  int fd = -1;
  int id = 0;
  std::string in;
};

struct Transmission {
  bool active = false;
  int owner = 0;  // client id
  unsigned ir_id = 0;
  Clock::time_point end;
};

// How the gateway words its version and its errors.
enum class Family {
  kTagged,  // version,0,<v>; ERR_<m>:<c>,<nnn>
  kBare,    // <v>; ERR IR<nnn> for IR commands, ERR <nnn> otherwise
  kLegacy,  // version,0,<v>; unknowncommand,<n>
};

struct Sim {
  bool log = false;
  Family family = Family::kTagged;
  std::vector<Client> clients;
  std::array<Transmission, cvn::gateway::kConnectors + 1> tx{};
  int next_client_id = 1;
};

void log_line(const Sim& sim, int client, const char* dir, const std::string& text) {
  if (!sim.log) return;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  localtime_r(&tv.tv_sec, &t);
  std::printf("%02d:%02d:%02d.%03ld [%d] %s %s\n", t.tm_hour, t.tm_min, t.tm_sec,
              static_cast<long>(tv.tv_usec / 1000), client, dir, text.c_str());
  std::fflush(stdout);
}

void reply(Sim& sim, const Client& c, const std::string& text) {
  log_line(sim, c.id, "->", text);
  std::string wire = text + "\r";
  ssize_t r = send(c.fd, wire.data(), wire.size(), MSG_NOSIGNAL);
  (void)r;
}

Client* client_by_id(Sim& sim, int id) {
  for (auto& c : sim.clients)
    if (c.id == id) return &c;
  return nullptr;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

// A decimal field: digits only, value within 0..2^32-1.
bool number(const std::string& s, unsigned long& v) {
  if (s.empty() || s.size() > 10) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  v = std::strtoul(s.c_str(), nullptr, 10);
  return v <= 0xFFFFFFFFul;
}

// "1:c" as the command gave it, for replies; "0:0" when it cannot be read.
bool address(const std::string& s, unsigned long& module, unsigned long& connector) {
  auto mc = split(s, ':');
  return mc.size() == 2 && number(mc[0], module) && number(mc[1], connector);
}

// An error reply in the simulated family; `ir`: about an IR command's fields.
std::string err(const Sim& sim, unsigned long module, unsigned long connector, int code, bool ir = true) {
  char b[64];
  switch (sim.family) {
    case Family::kTagged:
      std::snprintf(b, sizeof b, "ERR_%lu:%lu,%03d", module, connector, code);
      break;
    case Family::kBare:
      std::snprintf(b, sizeof b, ir ? "ERR IR%03d" : "ERR %03d", code);
      break;
    case Family::kLegacy:
      std::snprintf(b, sizeof b, "unknowncommand,%d", code);
      break;
  }
  return b;
}

std::string version_reply(const Sim& sim) {
  return sim.family == Family::kBare ? kVersion : std::string("version,0,") + kVersion;
}

struct SendirPlan {
  unsigned long connector = 0, id = 0;
  double seconds = 0;      // how long sending takes
  bool once_only = false;  // the offset lies past the last duration: no repeat part
  std::size_t durations = 0;
  unsigned long offset = 0;
};

// Validates a sendir as the device does; empty string when valid.
std::string check_sendir(const Sim& sim, const std::vector<std::string>& f, SendirPlan& plan) {
  namespace gw = cvn::gateway;
  unsigned long& connector = plan.connector;
  unsigned long& id = plan.id;
  unsigned long module = 0;
  if (f.size() < 2 || !address(f[1], module, connector)) return err(sim, 0, 0, gw::kErrSyntax);
  if (module != gw::kModule) return err(sim, module, connector, gw::kErrModule);
  if (connector < 1 || connector > gw::kConnectors) return err(sim, module, connector, gw::kErrConnector);
  if (f.size() < 6) return err(sim, module, connector, gw::kErrSyntax);
  unsigned long freq, repeat, offset;
  if (!number(f[2], id) || id > 65535) return err(sim, module, connector, gw::kErrId);
  if (!number(f[3], freq) || freq < gw::kMinFrequency || freq > gw::kMaxFrequency)
    return err(sim, module, connector, gw::kErrFrequency);
  if (!number(f[4], repeat) || repeat < gw::kMinRepeat || repeat > gw::kMaxRepeat)
    return err(sim, module, connector, gw::kErrRepeat);
  if (!number(f[5], offset)) return err(sim, module, connector, gw::kErrSyntax);
  std::vector<unsigned long> pulses;
  for (std::size_t i = 6; i < f.size(); ++i) {
    unsigned long v;
    if (!number(f[i], v)) return err(sim, module, connector, gw::kErrSyntax);
    pulses.push_back(v);
  }
  if (pulses.size() % 2 != 0) return err(sim, module, connector, gw::kErrOddDurations);
  if (pulses.size() < gw::kMinDurations || pulses.size() > gw::kMaxDurations)
    return err(sim, module, connector, gw::kErrDurationCount);
  for (unsigned long v : pulses)
    if (v < gw::kMinDuration || v > gw::kMaxDuration) return err(sim, module, connector, gw::kErrDuration);
  // The offset is twice the once-sequence's pair count plus one; a code that is all
  // once-sequence points past its last duration and has nothing to repeat.
  plan.once_only = offset > pulses.size();
  if (offset % 2 == 0 || (!plan.once_only && offset > gw::kMaxOffset))
    return err(sim, module, connector, gw::kErrOffset);
  // The whole sequence once, then the part from the offset repeat-1 more times.
  double all = 0, tail = 0;
  for (std::size_t i = 0; i < pulses.size(); ++i) {
    all += static_cast<double>(pulses[i]);
    if (i + 1 >= offset) tail += static_cast<double>(pulses[i]);
  }
  plan.seconds = (all + static_cast<double>(repeat - 1) * tail) / static_cast<double>(freq);
  plan.durations = pulses.size();
  plan.offset = offset;
  return "";
}

void command(Sim& sim, Client& c, const std::string& line) {
  log_line(sim, c.id, "<-", line);
  auto f = split(line, ',');
  const std::string& cmd = f[0];
  if (cmd == "getdevices") {
    reply(sim, c, "device,0,0 ETHERNET");
    reply(sim, c, "device,1,3 IR");
    reply(sim, c, "endlistdevices");
  } else if (cmd == "getversion") {
    reply(sim, c, version_reply(sim));
  } else if (cmd == "stopir") {
    unsigned long module = 0, connector = 0;
    if (f.size() != 2 || !address(f[1], module, connector))
      return reply(sim, c, err(sim, 0, 0, cvn::gateway::kErrSyntax));
    if (module != cvn::gateway::kModule) return reply(sim, c, err(sim, module, connector, cvn::gateway::kErrModule));
    if (connector < 1 || connector > cvn::gateway::kConnectors)
      return reply(sim, c, err(sim, module, connector, cvn::gateway::kErrConnector));
    sim.tx[connector].active = false;  // its originator gets no completeir
    reply(sim, c, line);
  } else if (cmd == "sendir") {
    SendirPlan plan;
    std::string e = check_sendir(sim, f, plan);
    if (!e.empty()) return reply(sim, c, e);
    unsigned long connector = plan.connector, id = plan.id;
    Transmission& t = sim.tx[connector];
    std::string addr = "1:" + std::to_string(connector);
    if (t.active && t.owner != c.id) return reply(sim, c, "busyIR," + addr + "," + std::to_string(id));
    if (plan.once_only) {
      log_line(sim, c.id, "..", "offset " + std::to_string(plan.offset) + " is past the last of " +
                                    std::to_string(plan.durations) + " durations: no repeat part, sent once");
    }
    t.active = true;  // the same connection's new code replaces its running one
    t.owner = c.id;
    t.ir_id = static_cast<unsigned>(id);
    t.end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(plan.seconds));
  } else {
    reply(sim, c, err(sim, 0, 0, cvn::gateway::kErrUnknownCommand, false));
  }
}

void finish_transmissions(Sim& sim) {
  auto now = Clock::now();
  for (unsigned long k = 1; k <= cvn::gateway::kConnectors; ++k) {
    Transmission& t = sim.tx[k];
    if (!t.active || t.end > now) continue;
    t.active = false;
    if (Client* c = client_by_id(sim, t.owner))
      reply(sim, *c, "completeir,1:" + std::to_string(k) + "," + std::to_string(t.ir_id));
  }
}

int next_timeout_ms(const Sim& sim) {
  int ms = -1;
  auto now = Clock::now();
  for (unsigned long k = 1; k <= cvn::gateway::kConnectors; ++k) {
    if (!sim.tx[k].active) continue;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(sim.tx[k].end - now).count() + 1;
    if (left < 0) left = 0;
    if (ms < 0 || left < ms) ms = static_cast<int>(left);
  }
  return ms;
}

void drop_client(Sim& sim, std::size_t i) {
  log_line(sim, sim.clients[i].id, "--", "disconnected");
  for (auto& t : sim.tx)
    if (t.active && t.owner == sim.clients[i].id) t.owner = 0;
  close(sim.clients[i].fd);
  sim.clients.erase(sim.clients.begin() + static_cast<long>(i));
}

constexpr const char* kUsage =
    "usage: gcsim [--port N] [--bind ADDRESS] [--family tagged|bare|legacy] [--log]\n"
    "A simulated infrared gateway on TCP (default 127.0.0.1:4998). Commands end\n"
    "in CR: getdevices, getversion, sendir,1:c,ID,freq,repeat,offset,on,off,...\n"
    "(answered by completeir,1:c,ID once the code has been sent), stopir,1:c.\n"
    "\n"
    "  -p, --port N          port to listen on, 1-65535; 0 picks a free one\n"
    "  -b, --bind ADDRESS    local address or host name to listen on\n"
    "  -f, --family FAMILY   how the version and errors are worded:\n"
    "        tagged  version,0,3.0-gcsim   ERR_1:c,nnn  (the default)\n"
    "        bare    3.0-gcsim             ERR IRnnn, ERR nnn\n"
    "        legacy  version,0,3.0-gcsim   unknowncommand,n\n"
    "  -l, --log             print every command and reply with a timestamp\n"
    "  -h, --help            this text\n"
    "  -v, --version         the program's version and licence\n";

// The IPv4 address of a dotted address or a host name, in network order.
bool resolve_ipv4(const std::string& name, in_addr& out, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    why = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

bool parse_family(const char* name, Family& out) {
  const std::pair<const char*, Family> names[] = {
      {"tagged", Family::kTagged}, {"bare", Family::kBare}, {"legacy", Family::kLegacy}};
  for (const auto& [n, f] : names) {
    if (std::strcmp(name, n) != 0) continue;
    out = f;
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Sim sim;
  long port = 4998;
  std::string bind_addr = "127.0.0.1";
  const option longs[] = {{"port", required_argument, nullptr, 'p'},
                          {"bind", required_argument, nullptr, 'b'},
                          {"family", required_argument, nullptr, 'f'},
                          {"log", no_argument, nullptr, 'l'},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":p:b:f:lhv", longs, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        if (!cvn::cli::parse_port(optarg, true, port)) {
          std::fprintf(stderr, "gcsim: --port takes a number from 1 to 65535 (0: any free port), not '%s'\n", optarg);
          return cvn::cli::kUsageStatus;
        }
        break;
      case 'b':
        bind_addr = optarg;
        break;
      case 'f':
        if (!parse_family(optarg, sim.family)) {
          std::fprintf(stderr, "gcsim: unknown family '%s' (tagged, bare or legacy)\n", optarg);
          return cvn::cli::kUsageStatus;
        }
        break;
      case 'l':
        sim.log = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case 'v':
        cvn::cli::print_version("gcsim");
        std::printf("answers getversion with %s\n", kVersion);
        return 0;
      default:
        return cvn::cli::option_error("gcsim", argv, c);
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "gcsim: unexpected argument '%s'\nTry 'gcsim --help' for more information.\n", argv[optind]);
    return cvn::cli::kUsageStatus;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string why;
  if (!resolve_ipv4(bind_addr, sa.sin_addr, why)) {
    std::fprintf(stderr, "gcsim: cannot resolve --bind %s: %s\n", bind_addr.c_str(), why.c_str());
    return cvn::cli::kUsageStatus;
  }
  char shown[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &sa.sin_addr, shown, sizeof shown);
  signal(SIGPIPE, SIG_IGN);
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 16) != 0) {
    std::fprintf(stderr, "gcsim: cannot listen on %s:%ld: %s\n", shown, port, std::strerror(errno));
    return 1;
  }
  socklen_t salen = sizeof sa;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &salen);  // port 0 picks a free one
  std::printf("gcsim listening on %s:%d\n", shown, ntohs(sa.sin_port));
  std::fflush(stdout);
  for (;;) {
    std::vector<pollfd> fds{{lfd, POLLIN, 0}};
    for (auto& c : sim.clients) fds.push_back({c.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), next_timeout_ms(sim));
    finish_transmissions(sim);
    for (std::size_t i = fds.size(); i-- > 1;) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      std::size_t ci = i - 1;
      if (n <= 0) {
        drop_client(sim, ci);
        continue;
      }
      Client& c = sim.clients[ci];
      c.in.append(buf, static_cast<std::size_t>(n));
      std::size_t at;
      while ((at = c.in.find_first_of("\r\n")) != std::string::npos) {
        std::string line = c.in.substr(0, at);
        c.in.erase(0, at + 1);
        if (!line.empty()) command(sim, sim.clients[ci], line);
      }
      if (c.in.size() > 65536) drop_client(sim, ci);  // no line end in sight
    }
    if (fds[0].revents & POLLIN) {
      int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (static_cast<int>(sim.clients.size()) >= kMaxClients) {
          close(fd);  // the device takes at most eight connections
        } else {
          int nodelay = 1;  // replies go out at once, as a device's do
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
          sim.clients.push_back(Client{fd, sim.next_client_id++, {}});
          log_line(sim, sim.clients.back().id, "--", "connected");
        }
      }
    }
  }
}
