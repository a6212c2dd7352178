// gcsim: a simulated infrared gateway speaking the subset of the Unified TCP API
// that scripts meet (getdevices, getversion, sendir, stopir), so device scripts can
// be written and tested without the hardware. It answers in one of three reply
// families, as gateways of different generations do. One thread and one wait
// for every socket; the same source on POSIX and Windows (tool_os.h).
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
#include "../cli/options.h"
#include "tool_os.h"

namespace {

constexpr int kMaxClients = 8;
constexpr const char* kVersion = "3.0-gcsim";

using Clock = std::chrono::steady_clock;

namespace os = cvn::tools;

struct Client {
  os::Socket fd = os::kNoSocket;
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
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  const std::tm* t = std::localtime(&seconds);  // one thread: its static result is safe
  std::printf("%02d:%02d:%02d.%03ld [%d] %s %s\n", t->tm_hour, t->tm_min, t->tm_sec, ms, client, dir, text.c_str());
  std::fflush(stdout);
}

void reply(Sim& sim, const Client& c, const std::string& text) {
  log_line(sim, c.id, "->", text);
  os::send_text(c.fd, text + "\r");
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
  os::close_socket(sim.clients[i].fd);
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

struct Settings {
  long port = 4998;
  std::string bind = "127.0.0.1";
};

// Reads the command line into `sim` and `set`; false when the program ends here,
// with `status` (0 after --help and --version, 2 for a wrong option).
bool parse_options(int argc, char** argv, Sim& sim, Settings& set, int& status) {
  const option longs[] = {{"port", required_argument, nullptr, 'p'},
                          {"bind", required_argument, nullptr, 'b'},
                          {"family", required_argument, nullptr, 'f'},
                          {"log", no_argument, nullptr, 'l'},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  status = cvn::cli::kUsageStatus;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":p:b:f:lhv", longs, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        if (!cvn::cli::parse_port(optarg, true, set.port)) {
          std::fprintf(stderr, "gcsim: --port takes a number from 1 to 65535 (0: any free port), not '%s'\n", optarg);
          return false;
        }
        break;
      case 'b':
        set.bind = optarg;
        break;
      case 'f':
        if (!parse_family(optarg, sim.family)) {
          std::fprintf(stderr, "gcsim: unknown family '%s' (tagged, bare or legacy)\n", optarg);
          return false;
        }
        break;
      case 'l':
        sim.log = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        status = 0;
        return false;
      case 'v':
        cvn::cli::print_version("gcsim");
        std::printf("answers getversion with %s\n", kVersion);
        status = 0;
        return false;
      default:
        status = cvn::cli::option_error("gcsim", argv, c);
        return false;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "gcsim: unexpected argument '%s'\nTry 'gcsim --help' for more information.\n", argv[optind]);
    return false;
  }
  return true;
}

// The listening socket, its address and port told on standard output; false
// with `status` when it cannot be had (2: a name that cannot be looked up, 1:
// an address or port that cannot be listened on).
bool open_listener(const Settings& set, os::Socket& listener, int& status) {
  std::uint32_t addr = 0;
  std::string why;
  if (!os::resolve_ipv4(set.bind, addr, why)) {
    std::fprintf(stderr, "gcsim: cannot resolve --bind %s: %s\n", set.bind.c_str(), why.c_str());
    status = cvn::cli::kUsageStatus;
    return false;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(&addr);
  char shown[16];
  std::snprintf(shown, sizeof shown, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  std::uint16_t bound = 0;
  listener = os::listen_tcp(addr, static_cast<std::uint16_t>(set.port), bound, why);
  if (listener == os::kNoSocket) {
    std::fprintf(stderr, "gcsim: cannot listen on %s:%ld: %s\n", shown, set.port, why.c_str());
    status = 1;
    return false;
  }
  std::printf("gcsim listening on %s:%u\n", shown, static_cast<unsigned>(bound));  // port 0 picks a free one
  std::fflush(stdout);
  return true;
}

// What client `ci` sent: each complete command answered; the client dropped when
// it has gone or sends no line end in sight.
void read_client(Sim& sim, std::size_t ci) {
  char buf[4096];
  long n = os::receive(sim.clients[ci].fd, buf, sizeof buf);
  if (n <= 0) return drop_client(sim, ci);
  Client& c = sim.clients[ci];
  c.in.append(buf, static_cast<std::size_t>(n));
  std::size_t at;
  while ((at = c.in.find_first_of("\r\n")) != std::string::npos) {
    std::string line = c.in.substr(0, at);
    c.in.erase(0, at + 1);
    if (!line.empty()) command(sim, sim.clients[ci], line);
  }
  if (c.in.size() > 65536) drop_client(sim, ci);
}

// A new connection, unless eight are served: the device takes at most eight.
void accept_client(Sim& sim, os::Socket listener) {
  os::Socket fd = os::accept_tcp(listener);
  if (fd == os::kNoSocket) return;
  if (static_cast<int>(sim.clients.size()) >= kMaxClients) return os::close_socket(fd);
  sim.clients.push_back(Client{fd, sim.next_client_id++, {}});
  log_line(sim, sim.clients.back().id, "--", "connected");
}

// Serves until the process is ended: one wait for the listener, every client and
// the next code that finishes sending.
[[noreturn]] void serve(Sim& sim, os::Socket listener) {
  std::vector<os::Socket> sockets;
  std::vector<bool> ready;
  for (;;) {
    sockets.assign(1, listener);
    for (const Client& c : sim.clients) sockets.push_back(c.fd);
    os::wait_readable(sockets, next_timeout_ms(sim), ready);
    finish_transmissions(sim);
    for (std::size_t i = sockets.size(); i-- > 1;)
      if (ready[i]) read_client(sim, i - 1);
    if (ready[0]) accept_client(sim, listener);
  }
}

}  // namespace

int main(int argc, char** argv) {
  os::start_streams();
  Sim sim;
  Settings set;
  int status = 0;
  if (!parse_options(argc, argv, sim, set, status)) return status;
  os::start_sockets();
  os::Socket listener = os::kNoSocket;
  if (!open_listener(set, listener, status)) return status;
  serve(sim, listener);
}
