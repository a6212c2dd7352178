// tavrel: the stand-in host. Loads a plug-in as the home-automation host does,
// hands it a Lua state, runs a script under the script lock and serves the
// plug-in's events until a signal, tavrel.exit() or the time-out ends the run.
// Built on Debian's Lua 5.1; the test build tavrel50 runs on Lua 5.0's interface.
//
// The main thread runs every chunk of the host's own (the script, console lines)
// and makes and closes states. A watcher thread takes the signals and the time-out
// and stops running code the way the stand-alone Lua interpreter does: a debug hook
// that raises "interrupted!". Callbacks, on the plug-in's network thread, hold the
// script lock from start to end, so the main thread holding the lock means no call
// into the state is in progress.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <readline/history.h>
#include <readline/readline.h>

#include "entry_points.h"
#include "host_lua.h"

namespace {

constexpr const char* kUsage =
    "usage: tavrel [options] [SCRIPT.lua [ARGS...]]\n"
    "\n"
    "Loads a plug-in the way the home-automation host does, runs SCRIPT.lua in a\n"
    "fresh Lua state and serves the plug-in's events (callbacks) until the\n"
    "script calls tavrel.exit(code), SIGINT or SIGTERM arrives, or the time-out\n"
    "runs out. SIGHUP reloads: the plug-in is told the state closes, a new state\n"
    "is made and the script runs again. A signal or the time-out stops running Lua\n"
    "code at once with the error \"interrupted!\"; in the console, Ctrl-C stops the\n"
    "running line and returns to the prompt.\n"
    "\n"
    "options:\n"
    "  --plugin PATH      plug-in to load (default: libcorvane.so beside tavrel)\n"
    "  --timeout SECONDS  end the run after SECONDS (exit status 124)\n"
    "  --debug            show the plug-in's debugger output on standard error\n"
    "  -i                 interactive console after the script (also without a\n"
    "                     script when standard input is a terminal)\n"
    "  --info             print the plug-in's name, version, description and exit\n"
    "  --help             this text\n"
    "\n"
    "in scripts:\n"
    "  tavrel.exit([code])   end the run once the running chunk or callback returns\n"
    "  tavrel.sleep(seconds) wait; in the script's main chunk or a console line\n"
    "                        without holding the script lock, so callbacks run\n"
    "  tavrel.clock()        seconds since tavrel started, as a float\n"
    "  tavrel.atclose(fn)    call fn once the plug-in has been told the state\n"
    "                        closes (event 8), just before it is closed\n"
    "  arg                   the script's name (arg[0]) and its arguments\n"
    "\n"
    "exit status: the code given to tavrel.exit, 0 after SIGINT/SIGTERM, 1 for an\n"
    "error in the script, 2 for a plug-in that cannot be loaded or opened, 124 on\n"
    "time-out.\n";

// Running code that does not stop within this time after a signal or the time-out
// asked the run to end (a C function that does not return) ends with the process.
constexpr auto kStopGrace = std::chrono::seconds(1);
// While running code is being stopped, connections still being made are aborted
// again at this interval (a script may start a new one from an error handler).
constexpr auto kAbortInterval = std::chrono::milliseconds(250);

using Clock = std::chrono::steady_clock;

struct Options {
  std::string plugin;
  std::string script;
  std::vector<std::string> args;
  double timeout = 0;
  bool debug = false;
  bool console = false;
  bool info = false;
};

enum class Request { kNone, kReload, kExit };

// What the watcher, tavrel.exit and the main thread tell each other; all fields
// under `mu`. `state` is written only by the main thread.
struct Control {
  std::mutex mu;
  std::condition_variable cv;  // tavrel.sleep waits here for `stop`
  Request request = Request::kNone;
  int exit_code = 0;
  bool stop = false;       // running code must stop: sleeps end, the hook raises
  bool running = false;    // the main thread runs a chunk (script or console line)
  bool finishing = false;  // the main thread holds the lock to close the state
  lua_State* state = nullptr;
};

pthread_mutex_t g_script_lock;
pthread_t g_main_thread;
int g_wake = -1;  // eventfd: wakes the main thread for a request
Control g_ctl;
const auto g_start = Clock::now();

// Sockets in a connect() call right now, on any thread. Lock order: g_ctl.mu first.
std::mutex g_connect_mu;
std::vector<int> g_connecting;

void lock_script() { pthread_mutex_lock(&g_script_lock); }
void unlock_script() { pthread_mutex_unlock(&g_script_lock); }

void wake_main() {
  std::uint64_t one = 1;
  ssize_t r = write(g_wake, &one, sizeof one);
  (void)r;
}

// Raised at every instruction for as long as the stop lasts, so a pcall in the
// script cannot swallow it; count events only, so a C error handler runs in peace.
void interrupt_hook(lua_State* L, lua_Debug*) { luaL_error(L, "interrupted!"); }

// Caller holds g_ctl.mu. Sleeps end at once; with `hook`, running Lua code raises.
// Setting a hook from another thread is what the stand-alone interpreter does
// from its signal handler: the running code sees it at its next instruction.
void stop_running_code(bool hook) {
  g_ctl.stop = true;
  if (hook && g_ctl.state != nullptr) lua_sethook(g_ctl.state, interrupt_hook, LUA_MASKCOUNT, 1);
  g_ctl.cv.notify_all();
}

// The first exit request decides the status; a reload waits behind an exit.
void request(Request r, int code, bool hook) {
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    if (r == Request::kExit && g_ctl.request != Request::kExit) {
      g_ctl.request = Request::kExit;
      g_ctl.exit_code = code;
    } else if (r == Request::kReload && g_ctl.request == Request::kNone) {
      g_ctl.request = Request::kReload;
    }
    stop_running_code(hook);
  }
  wake_main();
}

int l_exit(lua_State* L) {
  // The caller goes on to its end; only code waiting in tavrel.sleep is cut short.
  request(Request::kExit, static_cast<int>(luaL_optnumber(L, 1, 0)), false);
  return 0;
}

int l_sleep(lua_State* L) {
  double seconds = luaL_checknumber(L, 1);
  if (!(seconds > 0)) seconds = 0;
  if (seconds > 86400) seconds = 86400;
  // Only the main thread's own chunk lets go of the lock. A callback that let go
  // would let the main thread resume its chunk, or close the state, while the
  // callback's frames are still on the state's stack.
  bool release = pthread_equal(pthread_self(), g_main_thread) != 0;
  if (release) unlock_script();
  bool stopped;
  {
    std::unique_lock<std::mutex> lk(g_ctl.mu);
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    stopped = g_ctl.cv.wait_until(lk, until, [] { return g_ctl.stop; });
  }
  if (release) lock_script();
  if (stopped) return luaL_error(L, "interrupted!");
  return 0;
}

int l_clock(lua_State* L) {
  std::chrono::duration<double> d = Clock::now() - g_start;
  lua_pushnumber(L, d.count());
  return 1;
}

const luaL_reg kTavrel[] = {{"exit", l_exit},
                            {"sleep", l_sleep},
                            {"clock", l_clock},
                            {"atclose", host_atclose},
                            {nullptr, nullptr}};

int traceback(lua_State* L) {
  const char* msg = lua_tostring(L, 1);
  lua_pushstring(L, "debug");
  lua_gettable(L, LUA_GLOBALSINDEX);
  if (!lua_istable(L, -1)) return 1;
  lua_pushstring(L, "traceback");
  lua_gettable(L, -2);
  if (!lua_isfunction(L, -1)) return 1;
  lua_pushstring(L, msg ? msg : "(error object is not a string)");
  lua_pushnumber(L, 2);
  lua_call(L, 2, 1);
  return 1;
}

lua_State* new_state(const Options& o) {
  lua_State* L = lua_open();
  if (L == nullptr) return nullptr;
  host_open_libs(L);
  luaL_openlib(L, "tavrel", kTavrel, 0);
  lua_pop(L, 1);
  lua_newtable(L);
  lua_pushstring(L, o.script.c_str());
  lua_rawseti(L, -2, 0);
  for (std::size_t i = 0; i < o.args.size(); ++i) {
    lua_pushstring(L, o.args[i].c_str());
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  lua_setglobal(L, "arg");
  return L;
}

// Calls the function at `base` + 1 with the traceback handler at `base`, as a chunk
// of the host's own (main thread, lock held). A stop meant only for this chunk
// (Ctrl-C in the console) ends with it; one for a reload or an exit lasts until the
// state is closed. `quiet` is set when the chunk was cut short by such a request,
// whose error is then no news.
int call_chunk(lua_State* L, int base, bool& quiet) {
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    g_ctl.running = true;
  }
  int rc = lua_pcall(L, 0, LUA_MULTRET, base);
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  g_ctl.running = false;
  quiet = g_ctl.request != Request::kNone;
  if (!quiet && g_ctl.stop) {
    g_ctl.stop = false;
    lua_sethook(L, nullptr, 0, 0);
  }
  return rc;
}

// Runs the script file; prints an error with file and line. Lock held by caller.
bool run_script(lua_State* L, const std::string& path) {
  lua_pushcfunction(L, traceback);
  int base = lua_gettop(L);
  bool quiet = false;
  int rc = luaL_loadfile(L, path.c_str());
  if (rc == 0) rc = call_chunk(L, base, quiet);
  if (rc != 0 && !quiet) {
    const char* msg = lua_tostring(L, -1);
    std::fprintf(stderr, "tavrel: %s\n", msg ? msg : "(error object is not a string)");
  }
  lua_settop(L, base - 1);
  return rc == 0;
}

// One console line: tried as an expression first (its values are printed), then
// as a statement. Lock held by caller.
void run_console_line(lua_State* L, const std::string& line) {
  lua_pushcfunction(L, traceback);
  int base = lua_gettop(L);
  std::string expr = "return " + line;
  int rc = luaL_loadbuffer(L, expr.data(), expr.size(), "=console");
  if (rc != 0) {
    lua_settop(L, base);
    rc = luaL_loadbuffer(L, line.data(), line.size(), "=console");
  }
  bool quiet = false;
  if (rc == 0) rc = call_chunk(L, base, quiet);
  if (rc != 0) {
    const char* msg = lua_tostring(L, -1);
    if (!quiet) std::printf("%s\n", msg ? msg : "(error object is not a string)");
  } else if (lua_gettop(L) > base) {
    lua_getglobal(L, "print");
    lua_insert(L, base + 1);
    if (lua_pcall(L, lua_gettop(L) - base - 1, 0, 0) != 0) std::printf("%s\n", lua_tostring(L, -1));
  }
  lua_settop(L, base - 1);
  std::fflush(stdout);
}

// Makes a fresh state, hands it to the plug-in and runs the script in it.
bool attach(const Options& o, PluginEntryPoints& plugin) {
  lock_script();
  lua_State* L = new_state(o);
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    g_ctl.state = L;
    if (g_ctl.stop) stop_running_code(true);  // a request came while the last one closed
  }
  plugin.info(7, 0, L);
  bool ok = o.script.empty() || run_script(L, o.script);
  unlock_script();
  return ok;
}

// Tells the plug-in the state closes and closes it. Taking the lock waits for a
// running callback, which a pending stop cuts short. `last`: the run ends, so the
// watcher no longer needs to end the process itself. The function given to
// tavrel.atclose runs without the interrupt hook.
void detach(PluginEntryPoints& plugin, bool last) {
  lock_script();
  lua_State* L;
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    L = g_ctl.state;
    g_ctl.state = nullptr;
    g_ctl.finishing = last;
  }
  lua_sethook(L, nullptr, 0, 0);
  plugin.info(8, 0, L);
  host_run_atclose(L);
  lua_close(L);
  unlock_script();
}

bool exit_requested() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.request == Request::kExit;
}

// While running code is being stopped, makes every connect still waiting (a
// script's blocking Open) fail at once with ECONNRESET. The stop is looked at and
// acted on under one lock: a connect begun after the stop has ended (a reloaded
// script's) is left alone. shutdown, unlike close, leaves the descriptor to its
// owner, who closes it only after its connect has returned and left the list.
void abort_connects_while_stopping() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  if (!g_ctl.stop || g_ctl.finishing) return;
  std::lock_guard<std::mutex> lk2(g_connect_mu);
  for (int fd : g_connecting) shutdown(fd, SHUT_RDWR);
}

// The last resort when running code cannot be stopped (a C function that does not
// return, a loop inside a coroutine, which the hook does not reach): ends the
// process unless the main thread has begun to close the state. Watcher thread.
void force_exit_unless_finishing() {
  int code;
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    if (g_ctl.finishing) return;
    code = g_ctl.exit_code;
  }
  static const char kMsg[] = "tavrel: the running code did not stop; ending without closing the plug-in\n";
  ssize_t r = write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
  (void)r;
  std::_Exit(code);
}

// Running code is being stopped and the main thread has not yet begun to close.
bool stopping() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.stop && !g_ctl.finishing;
}

// The watcher thread: SIGINT, SIGTERM and SIGHUP from the signalfd, the time-out,
// and the grace period of an exit request.
void watch(int sigfd, const Options& o) {
  const bool timed = o.timeout > 0;
  const auto deadline = g_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
  bool timed_out = false;
  bool grace = false;  // an exit was asked for by signal or time-out
  Clock::time_point grace_end{};
  auto ask_exit = [&](int code) {
    request(Request::kExit, code, true);
    if (!grace) grace_end = Clock::now() + kStopGrace;
    grace = true;
  };
  for (;;) {
    auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    if (timed && !timed_out) next = deadline;
    if (grace && grace_end < next) next = grace_end;
    if (stopping() && now + kAbortInterval < next) next = now + kAbortInterval;
    int wait_ms = -1;
    if (next != Clock::time_point::max()) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
      wait_ms = static_cast<int>(ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : ms);
    }
    pollfd p{sigfd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) > 0) {
      signalfd_siginfo si{};
      if (read(sigfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        bool console_busy;
        {
          std::lock_guard<std::mutex> lk(g_ctl.mu);
          console_busy = o.console && g_ctl.running && g_ctl.request == Request::kNone;
        }
        if (si.ssi_signo == SIGHUP) {
          request(Request::kReload, 0, true);
        } else if (si.ssi_signo == SIGINT && console_busy) {
          std::lock_guard<std::mutex> lk(g_ctl.mu);  // Ctrl-C: stop the line, keep the run
          stop_running_code(true);
        } else {
          if (grace) force_exit_unless_finishing();  // a second signal: wait no longer
          ask_exit(0);
        }
      }
    }
    now = Clock::now();
    if (timed && !timed_out && now >= deadline) {
      timed_out = true;
      if (!exit_requested()) {  // not when the run is already ending
        std::fprintf(stderr, "tavrel: time-out after %g s\n", o.timeout);
        ask_exit(124);
      }
    }
    if (grace && now >= grace_end) {
      force_exit_unless_finishing();
      grace = false;  // the main thread is closing the state: nothing left to force
    }
    abort_connects_while_stopping();
  }
}

// The console on the main thread: readline's callback interface on a terminal,
// plain lines otherwise. Each line runs under the script lock.
struct Console {
  bool on = false;
  bool tty = false;
  bool prompt = false;  // readline's handler is installed
  std::string input;    // piped input not yet run
} g_console;

void run_line(const std::string& line) {
  if (line.empty()) return;
  lock_script();
  if (g_ctl.state != nullptr) run_console_line(g_ctl.state, line);
  unlock_script();
}

void close_prompt() {
  if (!g_console.prompt) return;
  rl_callback_handler_remove();  // gives the terminal its modes back
  g_console.prompt = false;
}

void on_console_line(char* raw) {
  if (raw == nullptr) {  // Ctrl-D
    close_prompt();
    std::putchar('\n');
    request(Request::kExit, 0, false);
    return;
  }
  std::string line(raw);
  std::free(raw);
  if (!line.empty()) add_history(line.c_str());
  run_line(line);
  if (exit_requested()) close_prompt();  // no prompt after tavrel.exit()
}

void console_start() {
  g_console.on = true;
  g_console.tty = isatty(STDIN_FILENO) != 0;
  if (g_console.tty) {
    rl_callback_handler_install("> ", on_console_line);
    g_console.prompt = true;
  }
}

// Standard input is readable: one character for readline, or a block of piped
// lines. End of input ends the run.
void console_read() {
  if (g_console.tty) {
    if (g_console.prompt) rl_callback_read_char();
    return;
  }
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n > 0) g_console.input.append(buf, static_cast<std::size_t>(n));
  std::size_t at;
  while (!exit_requested() && (at = g_console.input.find('\n')) != std::string::npos) {
    std::string line = g_console.input.substr(0, at);
    g_console.input.erase(0, at + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    run_line(line);
  }
  if (n <= 0) {
    if (!exit_requested()) run_line(g_console.input);
    g_console.input.clear();
    g_console.on = false;
    request(Request::kExit, 0, false);
  }
}

// Runs the script, then serves requests and the console until an exit is asked
// for; returns the exit status. Main thread.
int serve(const Options& o, PluginEntryPoints& plugin) {
  bool ok = attach(o, plugin);
  bool first = true;  // a failing script ends the run only the first time
  bool console_started = false;
  for (;;) {
    Request r;
    int code;
    {
      std::lock_guard<std::mutex> lk(g_ctl.mu);
      r = g_ctl.request;
      code = g_ctl.exit_code;
      if (r == Request::kReload) g_ctl.request = Request::kNone;
    }
    if (r == Request::kExit) return code;
    if (r == Request::kReload) {
      detach(plugin, false);
      {
        std::lock_guard<std::mutex> lk(g_ctl.mu);
        g_ctl.stop = g_ctl.request != Request::kNone;
      }
      first = false;
      ok = attach(o, plugin);
      if (!ok && !exit_requested()) std::fprintf(stderr, "tavrel: the reloaded script failed\n");
      continue;
    }
    if (!ok && first) return 1;
    first = false;
    if (o.console && !console_started) {
      console_started = true;
      console_start();
    }
    pollfd fds[2] = {{g_wake, POLLIN, 0}, {g_console.on ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t n;
      ssize_t got = read(g_wake, &n, sizeof n);
      (void)got;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) console_read();
  }
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

bool parse_options(int argc, char** argv, Options& o, int& status) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      status = 0;
      return false;
    } else if (a == "--plugin" && i + 1 < argc) {
      o.plugin = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      o.timeout = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(o.timeout > 0)) {
        std::fprintf(stderr, "tavrel: --timeout needs a positive number of seconds\n");
        status = 2;
        return false;
      }
    } else if (a == "--debug") {
      o.debug = true;
    } else if (a == "-i") {
      o.console = true;
    } else if (a == "--info") {
      o.info = true;
    } else if (a == "--") {
      ++i;
      break;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tavrel: unknown option %s (see --help)\n", a.c_str());
      status = 2;
      return false;
    } else {
      break;
    }
  }
  if (i < argc) o.script = argv[i++];
  for (; i < argc; ++i) o.args.emplace_back(argv[i]);
  if (o.plugin.empty()) o.plugin = default_plugin();
  if (o.script.empty() && !o.info && !o.console) {
    if (isatty(STDIN_FILENO)) {
      o.console = true;
    } else {
      std::fputs(kUsage, stderr);
      status = 2;
      return false;
    }
  }
  return true;
}

bool load_plugin(const std::string& path, PluginEntryPoints& p) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "tavrel: cannot load %s: %s\n", path.c_str(), dlerror());
    return false;
  }
  return bind_entry_points(p, [lib](const char* name) { return dlsym(lib, name); });
}

}  // namespace

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

int main(int argc, char** argv) {
  Options o;
  int status = 0;
  if (!parse_options(argc, argv, o, status)) return status;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (o.debug) setenv("CVN_DEBUG", "1", 1);

  // Signals are taken from a signalfd by the watcher thread; every thread the
  // plug-in starts inherits the blocked set.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_main_thread = pthread_self();

  PluginEntryPoints plugin{};
  if (!load_plugin(o.plugin, plugin)) return 2;
  if (o.info) {
    print_plugin_info(plugin);
    return 0;
  }

  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&g_script_lock, &attr);
  HostServices services{};
  services.script_lock = &g_script_lock;
  HostRecord record{kHostRecordVersion, &services};
  plugin.requested_api(0);
  if (!plugin.open(0, 0, 0, &record)) {
    std::fprintf(stderr, "tavrel: the plug-in refused to open\n");
    return 2;
  }
  plugin.start();

  std::thread(watch, sigfd, std::cref(o)).detach();
  int exit_code = serve(o, plugin);
  if (g_console.prompt) {  // ended by a signal or a callback while the prompt shows
    close_prompt();
    std::putchar('\n');
  }
  detach(plugin, true);
  plugin.close();
  std::fflush(stdout);
  // The plug-in stays mapped: a network thread it had to abandon may still run.
  std::_Exit(exit_code);
}
