// tavrel on POSIX (tavrel_os.h): signals from a signalfd, the main thread's
// eventfd, a recursive pthread mutex as the script lock, dlopen, and the host's
// own connect and lua_push_object, which the executable exports so that the
// plug-in's calls bind to them before the C library's and the host library's.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core.h"
#include "debug_filter.h"
#include "mistakes.h"
#include "options.h"
#include "tavrel_os.h"

namespace {

pthread_mutex_t g_script_lock;
pthread_t g_main_thread;
int g_wake = -1;    // eventfd: wakes the main thread
int g_signals = -1;  // signalfd: SIGINT, SIGTERM, SIGHUP

// Sockets in a connect() call right now, on any thread.
std::mutex g_connect_mu;
std::vector<int> g_connecting;

// The host library's lua_push_object, which tavrel's own (below) calls.
using PushObject = int (*)(lua_State*, const char*);

PushObject host_push_object() {
  static const auto next = reinterpret_cast<PushObject>(dlsym(RTLD_NEXT, "lua_push_object"));
  return next;
}

}  // namespace

namespace host_os {

const char* const kHelpStops =
    "  - SIGINT or SIGTERM arrives, or the time-out runs out.\n"
    "SIGHUP reloads, as tavrel.reload() does. A signal or the time-out stops\n"
    "running Lua code at once with the error \"interrupted!\".\n";
const char* const kHelpPlugin =
    "libcorvane.so beside tavrel,\n"
    "                      or in ../lib/corvane";
const char* const kHelpInterrupted = "130 after SIGINT, 143 after SIGTERM";
const char* const kQuitKey = "Ctrl-D";

void start(const Options& o) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (o.debug) setenv("CVN_DEBUG", "1", 1);
  if (o.trace) setenv("CVN_TRACE", "1", 1);  // the switch the plug-in reads at tvr_open
  // Signals are taken from a signalfd by the watcher thread; every thread the
  // plug-in starts inherits the blocked set.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  g_signals = signalfd(-1, &sigs, SFD_CLOEXEC);
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_main_thread = pthread_self();
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&g_script_lock, &attr);
}

// libcorvane.so beside tavrel (a build tree), else where an install puts it.
std::string default_plugin() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libcorvane.so";
  self[n] = '\0';
  std::string dir(self);
  dir.erase(dir.rfind('/') + 1);
  std::string beside = dir + "libcorvane.so";
  if (access(beside.c_str(), R_OK) == 0) return beside;
  return dir + "../lib/corvane/libcorvane.so";
}

bool load_plugin(const std::string& path, PluginEntryPoints& p) {
  if (host_push_object() == nullptr) {
    std::fprintf(stderr, "tavrel: its host library (libtavrel.so, lua_push_object) is not loaded\n");
    return false;
  }
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "tavrel: cannot load %s: %s\n", path.c_str(), dlerror());
    return false;
  }
  return bind_entry_points(p, [lib](const char* name) { return dlsym(lib, name); });
}

bool stdin_is_terminal() { return isatty(STDIN_FILENO) != 0; }

void debug_start(const Options& o) {
  if (o.debug) debug_filter_start();  // the plug-in writes --trace's lines there itself
}
void debug_stop() { debug_filter_stop(); }
int error_target() { return debug_filter_target(); }

void* script_lock_handle() { return &g_script_lock; }
void lock_script() { pthread_mutex_lock(&g_script_lock); }
void unlock_script() { pthread_mutex_unlock(&g_script_lock); }

bool try_lock_script(int ms) {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += static_cast<long>(ms) * 1000000L;
  until.tv_sec += until.tv_nsec / 1000000000L;
  until.tv_nsec %= 1000000000L;
  return pthread_mutex_timedlock(&g_script_lock, &until) == 0;
}

bool on_main_thread() { return pthread_equal(pthread_self(), g_main_thread) != 0; }

void wake_main() {
  std::uint64_t one = 1;
  ssize_t r = write(g_wake, &one, sizeof one);
  (void)r;
}

Ready wait_main(bool console_reading) {
  pollfd fds[2] = {{g_wake, POLLIN, 0}, {console_reading ? STDIN_FILENO : -1, POLLIN, 0}};
  if (poll(fds, 2, -1) <= 0) return {false, false};
  bool woken = (fds[0].revents & POLLIN) != 0;
  if (woken) {
    std::uint64_t n;
    ssize_t got = read(g_wake, &n, sizeof n);
    (void)got;
  }
  return {woken, (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0};
}

Signal wait_signal(int ms) {
  pollfd p{g_signals, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return Signal::kNone;
  signalfd_siginfo si{};
  if (read(g_signals, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) return Signal::kNone;
  switch (si.ssi_signo) {
    case SIGHUP:
      return Signal::kReload;
    case SIGINT:
      return Signal::kInterrupt;
    default:
      return Signal::kTerminate;
  }
}

// A connect still waiting fails at once with ECONNRESET. shutdown, unlike close,
// leaves the descriptor to its owner, who closes it only after its connect has
// returned and left the list.
void abort_connects() {
  std::lock_guard<std::mutex> lk(g_connect_mu);
  for (int fd : g_connecting) shutdown(fd, SHUT_RDWR);
}

void last_words(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  ssize_t r = write(debug_filter_target(), text, n);
  (void)r;
}

void end_process(int code) { std::_Exit(code); }

}  // namespace host_os

// The host's connect: the executable exports it, so the plug-in's calls bind here
// before the C library. It notes the socket for as long as the call waits, so that
// stopping running code can abort a blocking Open without changing the plug-in.
extern "C" int connect(int fd, const sockaddr* addr, socklen_t len) noexcept {
  using Connect = int (*)(int, const sockaddr*, socklen_t);
  static const auto next = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
  {
    std::lock_guard<std::mutex> lk(g_connect_mu);
    g_connecting.push_back(fd);
  }
  int rc = next(fd, addr, len);
  int err = errno;
  {
    std::lock_guard<std::mutex> lk(g_connect_mu);
    for (std::size_t i = 0; i < g_connecting.size(); ++i) {
      if (g_connecting[i] != fd) continue;
      g_connecting.erase(g_connecting.begin() + static_cast<long>(i));
      break;
    }
  }
  errno = err;
  return rc;
}

// The host's lua_push_object as the plug-in binds it (the executable exports it,
// as it does connect): the host library's, with a callback that names no
// function told to the script author.
extern "C" int lua_push_object(lua_State* L, const char* name) {
  int pushed = host_push_object()(L, name);
  if (pushed == 0) mistakes_push_failed(name);
  return pushed;
}

int main(int argc, char** argv) { return tavrel_main(argc, argv); }
