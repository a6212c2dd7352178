// Delivery benchmarks with the plug-in in this process, each printed beside a
// baseline measured in the same run:
//   events    CPU per event with 10 and with 10,000 connections;
//   timers    10,000 keep-alive timers at 100 ms: ticks delivered against nominal;
//   fairness  how long a quiet connection's line takes to reach its callback,
//             alone and beside a connection that sends as fast as it can;
//   lockwait  how long a script thread waits for the script lock, beside a quiet
//             connection and beside a flooding one;
//   memory    heap and resident bytes per idle accepted connection (1000 of them).
// Lines per second against a C floor and LuaSocket, and request/reply, are
// bench_receivers' (each receiver a process of its own).
// Usage: bench_delivery [events|timers|fairness|lockwait|memory|all]
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../tests/in_process_host.h"
#include "loopback.h"

namespace {

using bench::connect_loopback;
using bench::listen_loopback;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double process_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void send_all(int fd, const std::string& data) { bench::send_all(fd, data.data(), data.size()); }

// ---------------------------------------------------------------- the plug-in

cvn::test::InProcessHost g_host;
// The names the benchmarks below use for the host's lock and state.
pthread_mutex_t& g_lock = g_host.lock;
lua_State*& g_L = g_host.L;

void plugin_up() {
  cvn::test::host_open(g_host);
  cvn::test::host_attach(g_host);
}

void plugin_down() {
  cvn::test::host_detach(g_host);
  cvn::test::host_close(g_host);
}

void run_lua(const std::string& code) {
  pthread_mutex_lock(&g_lock);
  if (luaL_dostring(g_L, code.c_str()) != 0) std::fprintf(stderr, "lua: %s\n", lua_tostring(g_L, -1));
  lua_settop(g_L, 0);
  pthread_mutex_unlock(&g_lock);
}

double lua_number(const char* global) {
  pthread_mutex_lock(&g_lock);
  lua_getglobal(g_L, global);
  double v = lua_tonumber(g_L, -1);
  lua_pop(g_L, 1);
  pthread_mutex_unlock(&g_lock);
  return v;
}

bool wait_count(const char* global, double target, double timeout_s) {
  double end = now_s() + timeout_s;
  while (lua_number(global) < target) {
    if (now_s() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---------------------------------------------------------------- events

// A child process holds the far ends: it accepts a control connection and
// `conns` connections that the plug-in opens, then sends `rounds` rounds of one
// line per connection. The script acknowledges each whole round on the control
// connection before the next is sent, so every line arrives in a notification of
// its own whatever the connection count.
pid_t spawn_peers(int lfd, int conns, int rounds, int ctl) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int control = accept(lfd, nullptr, nullptr);
  std::vector<int> fds;
  for (int i = 0; i < conns; ++i) fds.push_back(accept(lfd, nullptr, nullptr));
  char go;
  ssize_t r = read(ctl, &go, 1);
  (void)r;
  for (int round = 0; round < rounds; ++round) {
    for (int fd : fds) send(fd, "event\r\n", 7, MSG_NOSIGNAL);
    char ack[8];
    if (recv(control, ack, 5, MSG_WAITALL) != 5) break;  // "next\n"
  }
  r = read(ctl, &go, 1);  // until the parent is done
  _exit(0);
}

double events_cost(int conns, int total_events) {
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  int rounds = std::max(1, total_events / conns);
  pid_t pid = spawn_peers(lfd, conns, rounds, sv[1]);
  close(lfd);
  std::string open = "cvn_old.Open('127.0.0.1', " + std::to_string(port) + ", 'OnLine')";
  run_lua("count = 0 opened = 0 conns = " + std::to_string(conns) +
          " function OnLine(line) count = count + 1 "
          "  if count % conns == 0 then cvn_old.Send(ctl, 'next\\n') end end "
          "ctl = " + open + " for i = 1, conns do if " + open + " then opened = opened + 1 end end");
  if (lua_number("opened") < conns) std::fprintf(stderr, "only %.0f connections\n", lua_number("opened"));
  double cpu0 = process_cpu_s();
  ssize_t w = write(sv[0], "g", 1);
  (void)w;
  double events = static_cast<double>(rounds) * conns;
  bool ok = wait_count("count", events, 120);
  double cpu = process_cpu_s() - cpu0;
  w = write(sv[0], "q", 1);
  waitpid(pid, nullptr, 0);
  close(sv[0]);
  close(sv[1]);
  plugin_down();  // retire the connections
  plugin_up();
  return ok ? cpu / events * 1e6 : -1;
}

void bench_events() {
  std::printf("== events (one line per notification, round-robin over the connections)\n");
  double small = events_cost(10, 200000);
  double large = events_cost(10000, 200000);
  std::printf("CPU us/event with 10 connections:     %8.3f\n", small);
  std::printf("CPU us/event with 10,000 connections: %8.3f   ratio %.2f\n", large, large / small);
}

// ---------------------------------------------------------------- timers

// The far ends of `conns` connections in a child process, counting the bytes that
// arrive during each of two windows of `seconds` (started by a byte on `ctl`).
pid_t spawn_counter(int lfd, int conns, double seconds, int ctl) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<int> fds;
  for (int i = 0; i < conns; ++i) fds.push_back(accept(lfd, nullptr, nullptr));
  int ep = epoll_create1(0);
  for (int fd : fds) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }
  std::vector<epoll_event> evs(1024);
  char buf[4096];
  for (int window = 0; window < 2; ++window) {
    char go;
    if (read(ctl, &go, 1) != 1) break;
    long bytes = 0;
    double end = now_s() + seconds;
    while (now_s() < end) {
      int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 50);
      for (int i = 0; i < n; ++i) {
        ssize_t got = recv(evs[i].data.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got > 0) bytes += got;
      }
    }
    ssize_t w = write(ctl, &bytes, sizeof bytes);
    (void)w;
  }
  _exit(0);
}

// 10,000 keep-alive timers at 100 ms against a baseline of a C thread that sends
// the same byte on the same sockets every 100 ms: what the machine can deliver.
void bench_timers() {
  const int conns = 10000;
  const double seconds = 3.0;
  const double nominal = conns * seconds / 0.1;
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  pid_t pid = spawn_counter(lfd, conns, seconds, sv[1]);
  close(lfd);
  run_lua("socks = {} function OnDev() end for i = 1, " + std::to_string(conns) +
          " do socks[i] = cvn_old.Open('127.0.0.1', " + std::to_string(port) + ", 'OnDev') end");
  std::vector<int> fds;
  pthread_mutex_lock(&g_lock);
  lua_getglobal(g_L, "socks");
  for (int i = 1; i <= conns; ++i) {
    lua_rawgeti(g_L, -1, i);
    fds.push_back(static_cast<int>(lua_tonumber(g_L, -1)));
    lua_pop(g_L, 1);
  }
  lua_settop(g_L, 0);
  pthread_mutex_unlock(&g_lock);

  // Baseline: one send per socket per 100 ms round from a plain C loop.
  double cpu0 = process_cpu_s();
  ssize_t w = write(sv[0], "g", 1);
  double end = now_s() + seconds;
  while (now_s() < end) {
    double round_end = now_s() + 0.1;
    for (int fd : fds) send(fd, "k", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    double left = round_end - now_s();
    if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
  }
  long floor_bytes = 0;
  ssize_t r = read(sv[0], &floor_bytes, sizeof floor_bytes);
  double floor_cpu = process_cpu_s() - cpu0;

  cpu0 = process_cpu_s();
  w = write(sv[0], "g", 1);
  run_lua("for i, s in ipairs(socks) do cvn_old.KeepAlive(s, 100, 'k', -1) end");
  long bytes = 0;
  r = read(sv[0], &bytes, sizeof bytes);
  (void)r;
  (void)w;
  double cpu = process_cpu_s() - cpu0;
  waitpid(pid, nullptr, 0);
  close(sv[0]);
  close(sv[1]);
  std::printf("== 10,000 keep-alive timers at 100 ms for %.0f s (nominal %.0f sends)\n", seconds, nominal);
  std::printf("C loop:   %7ld sends delivered (%.2f of nominal), CPU %.2f s\n", floor_bytes,
              static_cast<double>(floor_bytes) / nominal, floor_cpu);
  std::printf("corvane:  %7ld ticks delivered (%.2f of nominal), CPU %.2f s; ticks vs C loop %.2f, "
              "CPU per send vs C loop %.2f\n",
              bytes, static_cast<double>(bytes) / nominal, cpu,
              static_cast<double>(bytes) / static_cast<double>(floor_bytes),
              (cpu / static_cast<double>(bytes)) / (floor_cpu / static_cast<double>(floor_bytes)));
  plugin_down();
  plugin_up();
}

// ---------------------------------------------------------------- fairness

double steady_ms() {
  auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(since_boot).count();
}

int l_now_ms(lua_State* L) {
  lua_pushnumber(L, steady_ms());
  return 1;
}

// Percentiles of what was measured beside (or without) a flooding connection.
struct Spread {
  double p50, p99, max;
  std::size_t n;
  double flood_lines_per_s;
};

Spread spread_of(std::vector<double> v, double flood_rate) {
  if (v.empty()) return {0, 0, 0, 0, flood_rate};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
  return {at(0.50), at(0.99), v.back(), v.size(), flood_rate};
}

// A peer that sends 32-byte lines on `fd` as fast as the connection takes them,
// when `on`, until finished.
struct FloodSender {
  std::atomic<bool> stop{false};
  std::thread sender;
  FloodSender(int fd, bool on) {
    if (!on) return;
    sender = std::thread([this, fd] {
      std::string chunk;
      while (chunk.size() < 65536) chunk += std::string(30, 'f') + "\r\n";
      while (!stop.load()) send_all(fd, chunk);
    });
  }
  ~FloodSender() { finish(); }
  void finish() {
    stop = true;
    if (sender.joinable()) sender.join();
  }
};

// A quiet connection gets one line every 10 ms for `seconds`, its send time in
// the line; the callback notes how long it took. With `flood`, a second
// connection's peer sends 32-byte lines as fast as the socket takes them.
Spread fairness_run(bool flood, double seconds) {
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  std::string open = "cvn_old.Open('127.0.0.1', " + std::to_string(port) + ", ";
  run_lua("lat, flood = {}, 0 "
          "function OnQuiet(line, s, status) "
          "  if status == 0 then lat[table.getn(lat) + 1] = now_ms() - tonumber(line) end end "
          "function OnFlood(line) flood = flood + 1 end "
          "q = " + open + "'OnQuiet') f = " + open + "'OnFlood')");
  int quiet = accept(lfd, nullptr, nullptr);
  int flooder = accept(lfd, nullptr, nullptr);
  FloodSender sender(flooder, flood);
  double t0 = now_s(), flood0 = lua_number("flood");
  int sent = 0;
  while (now_s() - t0 < seconds) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "%.3f\r\n", steady_ms());
    send_all(quiet, std::string(line, static_cast<std::size_t>(n)));
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  double flood_rate = (lua_number("flood") - flood0) / (now_s() - t0);
  sender.finish();
  double end = now_s() + 30;
  std::vector<double> lat;
  while (now_s() < end) {
    pthread_mutex_lock(&g_lock);
    lua_getglobal(g_L, "lat");
    int n = static_cast<int>(luaL_getn(g_L, -1));
    if (n >= sent) {
      for (int i = 1; i <= n; ++i) {
        lua_rawgeti(g_L, -1, i);
        lat.push_back(lua_tonumber(g_L, -1));
        lua_pop(g_L, 1);
      }
    }
    lua_settop(g_L, 0);
    pthread_mutex_unlock(&g_lock);
    if (!lat.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run_lua("cvn_old.Close(q) cvn_old.Close(f)");
  close(quiet);
  close(flooder);
  close(lfd);
  plugin_down();  // retire both connections, whatever the flood left unread
  plugin_up();
  return spread_of(lat, flood_rate);
}

void bench_fairness() {
  const double seconds = 5;
  pthread_mutex_lock(&g_lock);
  lua_register(g_L, "now_ms", l_now_ms);
  pthread_mutex_unlock(&g_lock);
  Spread alone = fairness_run(false, seconds);
  pthread_mutex_lock(&g_lock);
  lua_register(g_L, "now_ms", l_now_ms);  // a new state after the reload
  pthread_mutex_unlock(&g_lock);
  Spread beside = fairness_run(true, seconds);
  std::printf("== a quiet connection (a line every 10 ms for %.0f s) alone and beside a flood\n", seconds);
  std::printf("%-16s %6s %9s %9s %9s %14s\n", "quiet line", "lines", "p50 ms", "p99 ms", "max ms", "flood lines/s");
  std::printf("%-16s %6zu %9.3f %9.3f %9.3f %14s\n", "alone", alone.n, alone.p50, alone.p99, alone.max, "-");
  std::printf("%-16s %6zu %9.3f %9.3f %9.3f %14.0f\n", "beside a flood", beside.n, beside.p50, beside.p99,
              beside.max, beside.flood_lines_per_s);
  std::printf("p99 beside a flood vs alone: %.1f\n", alone.p99 > 0 ? beside.p99 / alone.p99 : 0.0);
}

// ---------------------------------------------------------------- lock wait

// How long a script thread waits for the script lock while a connection floods
// the network thread with 32-byte lines, against the same thread's wait with
// the connection quiet. The thread takes the lock every millisecond, as a
// script that runs between callbacks would, and holds it for 20 us.
Spread lock_wait_run(bool flood, double seconds) {
  std::uint16_t port = 0;
  int lfd = listen_loopback(&port);
  run_lua("flood = 0 function OnFlood(line) flood = flood + 1 end "
          "f = cvn_old.Open('127.0.0.1', " + std::to_string(port) + ", 'OnFlood')");
  int flooder = accept(lfd, nullptr, nullptr);
  FloodSender sender(flooder, flood);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the flood under way
  std::vector<double> waits;
  double t0 = now_s(), flood0 = lua_number("flood");
  while (now_s() - t0 < seconds) {
    double a = now_s();
    pthread_mutex_lock(&g_lock);
    double b = now_s();
    while (now_s() - b < 20e-6) {
    }
    pthread_mutex_unlock(&g_lock);
    waits.push_back((b - a) * 1e6);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double flood_rate = (lua_number("flood") - flood0) / (now_s() - t0);
  sender.finish();
  close(flooder);
  close(lfd);
  plugin_down();  // retire the connection, whatever the flood left unread
  plugin_up();
  return spread_of(waits, flood_rate);
}

void bench_lock_wait() {
  const double seconds = 3;
  Spread quiet = lock_wait_run(false, seconds);
  Spread busy = lock_wait_run(true, seconds);
  std::printf("== a script thread taking the script lock every ms for %.0f s, beside a flood\n", seconds);
  std::printf("%-16s %6s %9s %9s %9s %14s\n", "script thread", "takes", "p50 us", "p99 us", "max us",
              "flood lines/s");
  std::printf("%-16s %6zu %9.1f %9.1f %9.1f %14s\n", "quiet", quiet.n, quiet.p50, quiet.p99, quiet.max, "-");
  std::printf("%-16s %6zu %9.1f %9.1f %9.1f %14.0f\n", "beside a flood", busy.n, busy.p50, busy.p99, busy.max,
              busy.flood_lines_per_s);
}

// ---------------------------------------------------------------- memory

long rss_kib() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Heap and resident memory that 1000 idle accepted connections add, per
// connection; the baseline is the same process before the connections exist.
void bench_memory() {
  const int conns = 1000;
  std::uint16_t port = 0;
  {
    int probe = listen_loopback(&port);  // a free port for Listen
    close(probe);
  }
  run_lua("accepted = 0 socks = {} "
          "function OnPeer() end "
          "function OnListen(text, s, status) "
          "  if status == 2 then local c = cvn_old.Accept(s, 'OnPeer') "
          "    if c then accepted = accepted + 1 socks[accepted] = c end end end "
          "ls = cvn_old.Listen(" + std::to_string(port) + ", 'OnListen')");
  std::vector<int> peers;
  peers.reserve(conns);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  malloc_trim(0);
  struct mallinfo2 before = mallinfo2();
  long rss_before = rss_kib();
  for (int i = 0; i < conns; ++i) {
    int fd = connect_loopback(port);
    if (fd >= 0) peers.push_back(fd);
  }
  bool ok = wait_count("accepted", conns, 30);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  struct mallinfo2 after = mallinfo2();
  long rss_after = rss_kib();
  double heap = static_cast<double>(after.uordblks - before.uordblks) / conns;
  double rss = static_cast<double>(rss_after - rss_before) * 1024.0 / conns;
  std::printf("== memory of %d idle accepted connections (%s)\n", conns, ok ? "all accepted" : "not all accepted");
  std::printf("heap bytes per connection: %8.0f\nresident bytes per connection: %8.0f\n", heap, rss);
  run_lua("for i, c in ipairs(socks) do cvn_old.Close(c) end cvn_old.CloseListen(ls) socks = nil");
  for (int fd : peers) close(fd);
  plugin_down();
  plugin_up();
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "all";
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;  // 10,000 connections need more than the default 1024
  setrlimit(RLIMIT_NOFILE, &rl);
  plugin_up();
  if (what == "events" || what == "all") bench_events();
  if (what == "timers" || what == "all") bench_timers();
  if (what == "fairness" || what == "all") bench_fairness();
  if (what == "lockwait" || what == "all") bench_lock_wait();
  if (what == "memory" || what == "all") bench_memory();
  plugin_down();
  return 0;
}
