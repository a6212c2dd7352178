// Receivers side by side on loopback, each a process of its own that calls the
// same Lua callback (bench/receivers/callback.lua) once per line:
//   floor      a tight C loop: 256 KiB recv, split at CR/LF in place,
//              lua_pushlstring straight from the receive buffer, one lua_pcall
//              per line; the baseline every ratio is taken against;
//   LuaSocket  a lua5.1 script calling receive('*l') per line, or, for lines
//              ended with CR too (which '*l' cannot split: it ends lines at LF and
//              drops every CR), receiving what has arrived and splitting it with
//              plain string.find, as the C floor does;
//   corvane    the plug-in under tavrel, the callback named in Open or Accept,
//              with a main chunk that returns after Open and, as "corvane, polls",
//              with one that goes on polling in tavrel.sleep (a script thread that
//              takes the script lock every 5 ms).
// Each receiver's Lua state is brought to the same live heap before its first
// line (SettleHeap in callback.lua), so that the collector's work is the same.
// Two benchmarks:
//   lines  1 M lines of 32 and of 200 bytes sent as fast as the receiver takes
//          them, as a device sends them: each line numbered, so no two are
//          alike, and ended with CR LF, LF or CR in turn; then the same with one
//          line repeated (CR LF), which Lua interns once and never collects.
//          Lines per second and CPU per line (the receiver's whole process, net
//          of its start-up, measured with a one-line run);
//   echo   request/reply: a C client (TCP_NODELAY) sends a line, waits for the
//          echo, 30 000 times; p50 and p99 round trip and the server's CPU per
//          round trip (net of start-up). Server and client are pinned to
//          different cores.
// Every figure is a median over --runs runs. Nothing is asserted.
// Usage: bench_receivers [lines|echo|all] [--lines N] [--size N] [--pings N] [--runs N]
//        bench_receivers corvane-lines [--lines N] [--size N] [--poll] [--same]
//                                      (one run, for strace or perf; --same: one line repeated)
//        bench_receivers floor-lines [--lines N] [--size N] [--same]  (likewise)
//        bench_receivers corvane-echo [--pings N]              (one run, likewise)
// CVN_BENCH_PLUGIN, when set, names the plug-in tavrel loads instead of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loopback.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#ifndef CVN_BENCH_DIR
#error "CVN_BENCH_DIR names the directory of bench/receivers"
#endif
#ifndef CVN_TAVREL_PATH
#error "CVN_TAVREL_PATH names the tavrel program"
#endif

namespace {

using bench::connect_loopback;
using bench::listen_loopback;
using bench::send_all;

const std::string kScripts = CVN_BENCH_DIR;

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_of(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

void pin_to(int cpu) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu % static_cast<int>(n), &set);
  sched_setaffinity(0, sizeof set, &set);
}

// A port nothing listens on now, for a server that must bind it itself.
std::uint16_t free_port() {
  std::uint16_t port = 0;
  int fd = listen_loopback(&port);
  close(fd);
  return port;
}

// ------------------------------------------------------------ the C floor

lua_State* floor_state(long target) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (luaL_dofile(L, (kScripts + "callback.lua").c_str()) != 0) {
    std::fprintf(stderr, "floor: %s\n", lua_tostring(L, -1));
    std::exit(1);
  }
  lua_pushnumber(L, static_cast<lua_Number>(target));
  lua_setglobal(L, "target");
  luaL_dostring(L, "done = false function Finished() done = true end SettleHeap()");
  return L;
}

bool floor_done(lua_State* L) {
  lua_getglobal(L, "done");
  bool done = lua_toboolean(L, -1) != 0;
  lua_pop(L, 1);
  return done;
}

void floor_report(lua_State* L) {
  luaL_dostring(L, "print(count .. ' ' .. bytes)");
  std::fflush(stdout);
}

// Receives on fd and calls `callback` for every non-empty line until the script
// says it is finished. The host text, the same for every line, is made a Lua
// string once and copied onto the stack for each call.
void floor_receive(lua_State* L, int fd, const char* callback) {
  const std::size_t cap = 256 * 1024;
  std::vector<char> buf(cap);
  std::size_t kept = 0;  // a partial line at the start of buf
  const double sock = fd;
  lua_pushstring(L, "127.0.0.1");
  const int host = lua_gettop(L);
  for (;;) {
    ssize_t n = recv(fd, buf.data() + kept, cap - kept, 0);
    if (n <= 0) return;
    char* p = buf.data();
    char* end = buf.data() + kept + n;
    for (;;) {
      std::size_t left = static_cast<std::size_t>(end - p);
      char* cr = static_cast<char*>(std::memchr(p, '\r', left));
      char* lf = static_cast<char*>(std::memchr(p, '\n', cr ? static_cast<std::size_t>(cr - p) : left));
      char* eol = lf ? lf : cr;
      if (eol == nullptr) break;
      if (eol > p) {
        lua_getglobal(L, callback);
        lua_pushlstring(L, p, static_cast<std::size_t>(eol - p));
        lua_pushnumber(L, sock);
        lua_pushnumber(L, 0);
        lua_pushvalue(L, host);
        if (lua_pcall(L, 4, 0, 0) != 0) lua_pop(L, 1);
      }
      p = eol + 1;
    }
    kept = static_cast<std::size_t>(end - p);
    std::memmove(buf.data(), p, kept);
    if (kept == cap) kept = 0;  // a line longer than the buffer: not in this benchmark
    if (floor_done(L)) return;
  }
}

int l_floor_reply(lua_State* L) {
  std::size_t n = 0;
  const char* text = luaL_checklstring(L, 2, &n);
  send_all(static_cast<int>(luaL_checknumber(L, 1)), text, n);
  return 0;
}

int floor_main(const char* mode, std::uint16_t port, long target) {
  lua_State* L = floor_state(target);
  if (std::strcmp(mode, "lines") == 0) {
    int fd = connect_loopback(port);
    if (fd < 0) return 1;
    floor_receive(L, fd, "Lines");
    close(fd);
  } else {
    int lfd = listen_loopback(&port, 16);
    if (lfd < 0) return 1;
    int fd = accept(lfd, nullptr, nullptr);
    close(lfd);
    lua_register(L, "Reply", l_floor_reply);
    floor_receive(L, fd, "Echo");
    close(fd);
  }
  floor_report(L);
  lua_close(L);
  return 0;
}

// ------------------------------------------------------------ receivers

enum class Receiver { kFloor, kLuaSocket, kCorvane, kCorvanePolls };
constexpr Receiver kReceivers[] = {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane,
                                   Receiver::kCorvanePolls};
constexpr int kReceiverCount = 4;
const char* name_of(Receiver r) {
  switch (r) {
    case Receiver::kFloor: return "C floor";
    case Receiver::kLuaSocket: return "LuaSocket";
    case Receiver::kCorvane: return "corvane";
    case Receiver::kCorvanePolls: return "corvane, polls";
  }
  return "?";
}

std::string g_self;

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output
};

// Starts a receiver in `mode` on `port` for `count` lines, pinned to `cpu`.
// `mixed`: the lines end in CR, LF and CR LF, which LuaSocket's receive('*l')
// cannot split.
Child spawn(Receiver r, const char* mode, std::uint16_t port, long count, int cpu, bool mixed = false) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return {};
  std::string p = std::to_string(port), c = std::to_string(count);
  std::string script = kScripts + (r == Receiver::kLuaSocket ? "luasocket.lua" : "tavrel.lua");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    pin_to(cpu);
    switch (r) {
      case Receiver::kFloor:
        execl(g_self.c_str(), g_self.c_str(), "floor", mode, p.c_str(), c.c_str(), static_cast<char*>(nullptr));
        break;
      case Receiver::kLuaSocket:
        execlp("lua5.1", "lua5.1", script.c_str(), mode, p.c_str(), c.c_str(), mixed ? "blocks" : "*l",
               static_cast<char*>(nullptr));
        break;
      case Receiver::kCorvane:
      case Receiver::kCorvanePolls: {
        const char* main_chunk = r == Receiver::kCorvanePolls ? "polls" : "returns";
        if (const char* plugin = std::getenv("CVN_BENCH_PLUGIN"))  // another build's plug-in
          execl(CVN_TAVREL_PATH, CVN_TAVREL_PATH, "--plugin", plugin, "--timeout", "300", script.c_str(), mode,
                p.c_str(), c.c_str(), main_chunk, static_cast<char*>(nullptr));
        else
          execl(CVN_TAVREL_PATH, CVN_TAVREL_PATH, "--timeout", "300", script.c_str(), mode, p.c_str(), c.c_str(),
                main_chunk, static_cast<char*>(nullptr));
        break;
      }
    }
    _exit(127);
  }
  close(pipefd[1]);
  return {pid, pipefd[0]};
}

// The receiver's end of a connection it opens, or -1 when it has not connected
// within a minute (it failed to start).
int accept_receiver(int lfd, const Child& c) {
  pollfd p{lfd, POLLIN, 0};
  if (c.pid < 0 || poll(&p, 1, 60000) != 1) {
    if (c.pid > 0) kill(c.pid, SIGKILL);
    return -1;
  }
  return accept(lfd, nullptr, nullptr);
}

struct Ended {
  double cpu = 0;    // the child's user and system time
  double wall = 0;   // from `since` to its end
  std::string out;   // what it printed
  bool ok = false;
};

Ended reap(const Child& c, double since) {
  Ended e;
  char buf[256];
  ssize_t n;
  pollfd p{c.out, POLLIN, 0};
  for (;;) {
    if (poll(&p, 1, 300000) != 1) {  // a receiver that stops taking lines is ended
      kill(c.pid, SIGKILL);
      break;
    }
    if ((n = read(c.out, buf, sizeof buf)) <= 0) break;
    e.out.append(buf, static_cast<std::size_t>(n));
  }
  close(c.out);
  int status = 0;
  rusage ru{};
  wait4(c.pid, &status, 0, &ru);
  e.wall = now_s() - since;
  e.cpu = cpu_of(ru);
  e.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return e;
}

// "count bytes" as the receiver printed it must match what was sent.
bool tally_ok(const Ended& e, long count, long bytes, Receiver r) {
  long got_count = -1, got_bytes = -1;
  std::sscanf(e.out.c_str(), "%ld %ld", &got_count, &got_bytes);
  if (e.ok && got_count == count && got_bytes == bytes) return true;
  std::fprintf(stderr, "%s: expected %ld lines, %ld bytes; got \"%s\" (%s)\n", name_of(r), count, bytes,
               e.out.c_str(), e.ok ? "exit 0" : "failed");
  return false;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ------------------------------------------------------------ lines

// The lines a device sends: status texts of `len` bytes each, terminator
// included, ended with CR LF, LF and CR in turn. Each begins with its number, so
// no two are alike, and carries readings that change from line to line every 32
// bytes or so: Lua 5.1 hashes a long string from one character in every few, and
// lines that differed only in their first digits would all share a handful of
// hash chains. With `same`, the first line over and over, ended with CR LF: the
// stream the benchmark sent before, which costs Lua no allocation.
class DeviceStream {
 public:
  DeviceStream(std::size_t len, bool same) : len_(len), same_(same) {
    static const char kStatus[] =
        " zone 2 power on source tuner volume -32.5 dB mute off bass +2 treble 0 balance 0"
        " preset 7 FM 98.40 MHz signal 4/5 stereo rds ok sleep off dimmer 3 output main"
        " zone 3 standby ";
    line_.assign(len, '.');
    for (std::size_t i = 0; i < len; ++i) line_[i] = kStatus[i % (sizeof kStatus - 1)];
    next_line();
  }

  // Appends whole lines to `out` while a line fits under `cap` bytes.
  void fill(std::string& out, std::size_t cap) {
    while (out.size() + len_ <= cap) {
      std::size_t at = out.size();
      out += line_;
      int ending = same_ ? 0 : static_cast<int>(made_ % 3);
      if (ending == 0) {
        out[at + len_ - 2] = '\r';
        out[at + len_ - 1] = '\n';
        text_bytes_ += static_cast<long>(len_ - 2);
      } else {
        out[at + len_ - 1] = ending == 1 ? '\n' : '\r';
        text_bytes_ += static_cast<long>(len_ - 1);
      }
      ++made_;
      if (!same_) next_line();
    }
  }

  long made() const { return made_; }
  long text_bytes() const { return text_bytes_; }  // what the callbacks add up

 private:
  static constexpr std::size_t kDigits = 8;        // the line's number
  static constexpr std::size_t kReading = 4;       // digits of a reading
  static constexpr std::size_t kReadingEvery = 32;

  void next_line() {
    long n = made_;
    for (std::size_t i = kDigits; i-- > 0; n /= 10) line_[i] = static_cast<char>('0' + n % 10);
    // Readings from a xorshift generator: cheap enough for the sender to stay
    // ahead of every receiver.
    for (std::size_t at = kDigits + 8; at + kReading + 2 <= len_; at += kReadingEvery) {
      random_ ^= random_ << 13;
      random_ ^= random_ >> 7;
      random_ ^= random_ << 17;
      std::uint64_t r = random_;
      for (std::size_t i = 0; i < kReading; ++i, r /= 10) line_[at + i] = static_cast<char>('0' + r % 10);
    }
  }

  std::size_t len_;
  bool same_;
  std::string line_;
  std::uint64_t random_ = 0x9E3779B97F4A7C15u;
  long made_ = 0;
  long text_bytes_ = 0;
};

struct LinesRun {
  double cpu = 0, wall = 0;
  bool ok = false;
};

// `count` lines of `len` bytes to one receiver, in sends of up to 64 KiB of
// whole lines.
LinesRun lines_once(Receiver r, long count, std::size_t len, bool same) {
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  Child c = spawn(r, "lines", port, count, 1, !same);
  int peer = accept_receiver(lfd, c);
  close(lfd);
  double t0 = now_s();
  DeviceStream stream(len, same);
  std::string chunk;
  chunk.reserve(65536);
  while (stream.made() < count && peer >= 0) {
    chunk.clear();
    std::size_t cap = static_cast<std::size_t>(std::min(65536L, (count - stream.made()) * static_cast<long>(len)));
    stream.fill(chunk, cap);
    if (!send_all(peer, chunk.data(), chunk.size())) break;
  }
  if (peer >= 0) shutdown(peer, SHUT_WR);  // a receiver that reads blocks sees the last one end
  Ended e = reap(c, t0);
  if (peer >= 0) close(peer);
  return {e.cpu, e.wall, tally_ok(e, count, stream.text_bytes(), r)};
}

// One run of every receiver back to back, each net of a one-line run's start-up
// and ending: lines per second and CPU ns per line.
struct Figures {
  double lines_per_s = 0, cpu_ns_per_line = 0;
};

bool lines_round(long count, std::size_t len, bool same, Figures out[kReceiverCount]) {
  for (Receiver r : kReceivers) {
    LinesRun one = lines_once(r, 1, len, same);
    LinesRun all = lines_once(r, count, len, same);
    if (!one.ok || !all.ok) return false;
    out[static_cast<int>(r)] = {static_cast<double>(count - 1) / (all.wall - one.wall),
                                (all.cpu - one.cpu) / static_cast<double>(count - 1) * 1e9};
  }
  return true;
}

// Medians over `runs` rounds. The receivers of a round run one after the other,
// so a change in the machine's load between rounds moves all of them; ratios are
// taken within each round and their median printed.
void bench_lines(long count, int runs, const std::vector<std::size_t>& sizes) {
  std::printf("== %ld lines into the Lua callback, medians of %d rounds (net of start-up)\n", count, runs);
  std::printf("%-5s %-8s %-14s %12s %12s %13s %18s\n", "size", "lines", "receiver", "lines/s", "CPU ns/line",
              "CPU vs floor", "rate vs LuaSocket");
  for (std::size_t len : sizes) {
    for (bool same : {false, true}) {
      std::vector<double> rate[kReceiverCount], cpu[kReceiverCount], cpu_ratio[kReceiverCount],
          rate_ratio[kReceiverCount];
      for (int i = 0; i < runs; ++i) {
        Figures f[kReceiverCount];
        if (!lines_round(count, len, same, f)) continue;
        for (int k = 0; k < kReceiverCount; ++k) {
          rate[k].push_back(f[k].lines_per_s);
          cpu[k].push_back(f[k].cpu_ns_per_line);
          cpu_ratio[k].push_back(f[k].cpu_ns_per_line / f[0].cpu_ns_per_line);
          rate_ratio[k].push_back(f[k].lines_per_s / f[1].lines_per_s);
        }
      }
      for (Receiver r : kReceivers) {
        int k = static_cast<int>(r);
        std::printf("%-5zu %-8s %-14s %12.0f %12.1f %13.2f %18.2f\n", len, same ? "same" : "distinct", name_of(r),
                    median(rate[k]), median(cpu[k]), median(cpu_ratio[k]), median(rate_ratio[k]));
      }
    }
  }
}

// ------------------------------------------------------------ echo

struct EchoRun {
  double cpu = 0;
  std::vector<double> rtt_us;
  bool ok = false;
};

// A client pinned to core 0 pings a server pinned to core 1 `pings` times.
EchoRun echo_once(Receiver r, long pings) {
  EchoRun out;
  std::uint16_t port = free_port();
  Child c = spawn(r, "echo", port, pings, 1);
  int fd = -1;
  for (int i = 0; i < 1000 && fd < 0; ++i) {  // until the server listens (at most 5 s)
    fd = connect_loopback(port);
    if (fd < 0) usleep(5000);
  }
  if (fd >= 0) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    out.rtt_us.reserve(static_cast<std::size_t>(pings));
    char reply[256];
    for (long i = 0; i < pings; ++i) {
      char line[64];
      int n = std::snprintf(line, sizeof line, "ping %022ld ok\r\n", i);  // 32 bytes
      double t0 = now_s();
      if (!send_all(fd, line, static_cast<std::size_t>(n))) break;
      int got = 0;
      while (got < n) {  // the echo is exactly the line sent
        ssize_t k = recv(fd, reply + got, sizeof reply - static_cast<std::size_t>(got), 0);
        if (k <= 0) break;
        got += static_cast<int>(k);
      }
      if (got != n || std::memcmp(reply, line, static_cast<std::size_t>(n)) != 0) break;
      out.rtt_us.push_back((now_s() - t0) * 1e6);
    }
  }
  Ended e = reap(c, now_s());
  if (fd >= 0) close(fd);
  out.cpu = e.cpu;
  out.ok = static_cast<long>(out.rtt_us.size()) == pings && tally_ok(e, pings, pings * 30, r);
  return out;
}

// The echo server's main chunk returns; a polling one would only add its own
// wake-ups to a benchmark of round trips.
constexpr Receiver kEchoServers[] = {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane};

struct EchoFigures {
  double p50 = 0, p99 = 0, cpu_us = 0;
};

// Medians over `runs` rounds of every server back to back, CPU ratios taken
// within each round.
void bench_echo(long pings, int runs) {
  std::printf("== request/reply: %ld round trips of a 32-byte line, medians of %d rounds\n", pings, runs);
  std::printf("%-10s %10s %10s %16s %13s\n", "server", "p50 us", "p99 us", "server CPU us", "CPU vs floor");
  std::vector<double> p50[3], p99[3], cpu[3], ratio[3];
  for (int i = 0; i < runs; ++i) {
    EchoFigures f[3];
    bool ok = true;
    for (Receiver r : kEchoServers) {
      EchoRun one = echo_once(r, 1);
      EchoRun all = echo_once(r, pings);
      if (!one.ok || !all.ok) {
        ok = false;
        break;
      }
      std::sort(all.rtt_us.begin(), all.rtt_us.end());
      f[static_cast<int>(r)] = {all.rtt_us[all.rtt_us.size() / 2], all.rtt_us[all.rtt_us.size() * 99 / 100],
                                (all.cpu - one.cpu) / static_cast<double>(pings - 1) * 1e6};
    }
    if (!ok) continue;
    for (int k = 0; k < 3; ++k) {
      p50[k].push_back(f[k].p50);
      p99[k].push_back(f[k].p99);
      cpu[k].push_back(f[k].cpu_us);
      ratio[k].push_back(f[k].cpu_us / f[0].cpu_us);
    }
  }
  for (Receiver r : kEchoServers) {
    int k = static_cast<int>(r);
    std::printf("%-10s %10.1f %10.1f %16.2f %13.2f\n", name_of(r), median(p50[k]), median(p99[k]), median(cpu[k]),
                median(ratio[k]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  g_self = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(argv[0]);
  std::string what = argc > 1 ? argv[1] : "all";
  if (what == "floor" && argc == 5)  // a receiver process of our own
    return floor_main(argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])), std::atol(argv[4]));
  long lines = 1000000, pings = 30000, size = 0;
  int runs = 5;
  bool polls = false, same = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--poll") polls = true;
    if (a == "--same") same = true;
    if (i + 1 == argc) break;
    if (a == "--lines") lines = std::max(2L, std::atol(argv[i + 1]));
    if (a == "--pings") pings = std::max(2L, std::atol(argv[i + 1]));
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--size") size = std::max(3L, std::atol(argv[i + 1]));
  }
  if (what == "corvane-lines" || what == "floor-lines") {
    if (size == 0) size = 32;
    Receiver r = what == "floor-lines" ? Receiver::kFloor : polls ? Receiver::kCorvanePolls : Receiver::kCorvane;
    LinesRun run = lines_once(r, lines, static_cast<std::size_t>(size), same);
    std::printf("%ld lines of %ld bytes: CPU %.3f s, %.3f s\n", lines, size, run.cpu, run.wall);
    return run.ok ? 0 : 1;
  }
  if (what == "corvane-echo") {
    EchoRun r = echo_once(Receiver::kCorvane, pings);
    std::printf("%ld round trips: CPU %.3f s\n", pings, r.cpu);
    return r.ok ? 0 : 1;
  }
  pin_to(0);  // the sender and the client; receivers get core 1
  std::vector<std::size_t> sizes{32, 200};
  if (size != 0) sizes = {static_cast<std::size_t>(size)};
  if (what == "lines" || what == "all") bench_lines(lines, runs, sizes);
  if (what == "echo" || what == "all") bench_echo(pings, runs);
  return 0;
}
