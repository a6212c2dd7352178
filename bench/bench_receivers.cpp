// Receivers side by side on loopback, each a process of its own that calls the
// same Lua callback (bench/receivers/callback.lua) once per line:
//   floor      a tight C loop: 256 KiB recv, split at CR/LF in place,
//              lua_pushlstring straight from the receive buffer, one lua_pcall
//              per line; the baseline every ratio is taken against;
//   LuaSocket  a lua5.1 script calling receive('*l') per line;
//   corvane    the plug-in under tavrel, the callback named in Open or Accept.
// Two benchmarks:
//   lines  1 M lines of 32 and of 200 bytes sent as fast as the receiver takes
//          them: lines per second and CPU per line (the receiver's whole
//          process, net of its start-up, measured with a one-line run);
//   echo   request/reply: a C client (TCP_NODELAY) sends a line, waits for the
//          echo, 30 000 times; p50 and p99 round trip and the server's CPU per
//          round trip (net of start-up). Server and client are pinned to
//          different cores.
// Every figure is a median over --runs runs. Nothing is asserted.
// Usage: bench_receivers [lines|echo|all] [--lines N] [--size N] [--pings N] [--runs N]
//        bench_receivers corvane-lines [--lines N] [--size N]  (one run, for strace or perf)
//        bench_receivers corvane-echo [--pings N]              (one run, likewise)
// CVN_BENCH_PLUGIN, when set, names the plug-in tavrel loads instead of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
  luaL_dostring(L, "done = false function Finished() done = true end");
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

enum class Receiver { kFloor, kLuaSocket, kCorvane };
const char* name_of(Receiver r) {
  return r == Receiver::kFloor ? "C floor" : r == Receiver::kLuaSocket ? "LuaSocket" : "corvane";
}

std::string g_self;

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output
};

// Starts a receiver in `mode` on `port` for `count` lines, pinned to `cpu`.
Child spawn(Receiver r, const char* mode, std::uint16_t port, long count, int cpu) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return {};
  std::string p = std::to_string(port), c = std::to_string(count);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], STDOUT_FILENO);
    pin_to(cpu);
    switch (r) {
      case Receiver::kFloor:
        execl(g_self.c_str(), g_self.c_str(), "floor", mode, p.c_str(), c.c_str(), static_cast<char*>(nullptr));
        break;
      case Receiver::kLuaSocket:
        execlp("lua5.1", "lua5.1", (kScripts + "luasocket.lua").c_str(), mode, p.c_str(), c.c_str(),
               static_cast<char*>(nullptr));
        break;
      case Receiver::kCorvane:
        if (const char* plugin = std::getenv("CVN_BENCH_PLUGIN"))  // another build's plug-in
          execl(CVN_TAVREL_PATH, CVN_TAVREL_PATH, "--plugin", plugin, "--timeout", "300",
                (kScripts + "tavrel.lua").c_str(), mode, p.c_str(), c.c_str(), static_cast<char*>(nullptr));
        else
          execl(CVN_TAVREL_PATH, CVN_TAVREL_PATH, "--timeout", "300", (kScripts + "tavrel.lua").c_str(), mode,
                p.c_str(), c.c_str(), static_cast<char*>(nullptr));
        break;
    }
    _exit(127);
  }
  close(pipefd[1]);
  return {pid, pipefd[0]};
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
  while ((n = read(c.out, buf, sizeof buf)) > 0) e.out.append(buf, static_cast<std::size_t>(n));
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

struct LinesRun {
  double cpu = 0, wall = 0;
  bool ok = false;
};

// `count` lines of `len` bytes (CR LF included) to one receiver, in 64 KiB sends.
LinesRun lines_once(Receiver r, long count, std::size_t len) {
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  Child c = spawn(r, "lines", port, count, 1);
  int peer = accept(lfd, nullptr, nullptr);
  close(lfd);
  double t0 = now_s();
  std::string line(len - 2, 'x');
  line += "\r\n";
  std::string chunk;
  std::size_t per_chunk = 65536 / len;
  for (std::size_t i = 0; i < per_chunk; ++i) chunk += line;
  for (long sent = 0; sent < count && peer >= 0;) {
    long n = std::min(static_cast<long>(per_chunk), count - sent);
    if (!send_all(peer, chunk.data(), static_cast<std::size_t>(n) * len)) break;
    sent += n;
  }
  Ended e = reap(c, t0);
  if (peer >= 0) close(peer);
  LinesRun out{e.cpu, e.wall, tally_ok(e, count, count * static_cast<long>(len - 2), r)};
  return out;
}

// One run of every receiver back to back, each net of a one-line run's start-up
// and ending: lines per second and CPU ns per line.
struct Figures {
  double lines_per_s = 0, cpu_ns_per_line = 0;
};

bool lines_round(long count, std::size_t len, Figures out[3]) {
  for (Receiver r : {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane}) {
    LinesRun one = lines_once(r, 1, len);
    LinesRun all = lines_once(r, count, len);
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
  std::printf("%-5s %-10s %12s %12s %13s %18s\n", "size", "receiver", "lines/s", "CPU ns/line", "CPU vs floor",
              "rate vs LuaSocket");
  for (std::size_t len : sizes) {
    std::vector<double> rate[3], cpu[3], cpu_ratio[3], rate_ratio[3];
    for (int i = 0; i < runs; ++i) {
      Figures f[3];
      if (!lines_round(count, len, f)) continue;
      for (int k = 0; k < 3; ++k) {
        rate[k].push_back(f[k].lines_per_s);
        cpu[k].push_back(f[k].cpu_ns_per_line);
        cpu_ratio[k].push_back(f[k].cpu_ns_per_line / f[0].cpu_ns_per_line);
        rate_ratio[k].push_back(f[k].lines_per_s / f[1].lines_per_s);
      }
    }
    for (Receiver r : {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane}) {
      int k = static_cast<int>(r);
      std::printf("%-5zu %-10s %12.0f %12.1f %13.2f %18.2f\n", len, name_of(r), median(rate[k]), median(cpu[k]),
                  median(cpu_ratio[k]), median(rate_ratio[k]));
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
    for (Receiver r : {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane}) {
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
  for (Receiver r : {Receiver::kFloor, Receiver::kLuaSocket, Receiver::kCorvane}) {
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
  for (int i = 1; i + 1 < argc; ++i) {
    std::string a = argv[i];
    if (a == "--lines") lines = std::max(2L, std::atol(argv[i + 1]));
    if (a == "--pings") pings = std::max(2L, std::atol(argv[i + 1]));
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--size") size = std::max(3L, std::atol(argv[i + 1]));
  }
  if (what == "corvane-lines") {
    if (size == 0) size = 32;
    LinesRun r = lines_once(Receiver::kCorvane, lines, static_cast<std::size_t>(size));
    std::printf("%ld lines of %ld bytes: CPU %.3f s, %.3f s\n", lines, size, r.cpu, r.wall);
    return r.ok ? 0 : 1;
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
