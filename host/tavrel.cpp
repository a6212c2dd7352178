// tavrel: the stand-in host. Loads a plug-in as the home-automation host does,
// hands it a Lua state, runs a script under the script lock and serves the
// plug-in's events until a signal, tavrel.exit(), os.exit(), the time-out or the
// end of everything that could call the script back (idle_watch.h) ends the run.
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

#include <cerrno>
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

#include "../tools/options.h"
#include "console.h"
#include "debug_filter.h"
#include "entry_points.h"
#include "host_lua.h"
#include "idle_watch.h"
#include "mistakes.h"

namespace {

constexpr const char* kUsage =
    "usage: tavrel [OPTIONS] [SCRIPT.lua | -] [ARGS...]\n"
    "\n"
    "Loads a plug-in the way the home-automation host does, runs SCRIPT.lua in a\n"
    "fresh Lua state and serves the plug-in's events (callbacks) until one of:\n"
    "  - the script calls tavrel.exit(code) or os.exit(code);\n"
    "  - nothing is left that could call it back: its main chunk has returned and\n"
    "    it has no connection or listener, and no event is still to come (a script\n"
    "    that serves runs on; so does the console);\n"
    "  - SIGINT or SIGTERM arrives, or the time-out runs out.\n"
    "SIGHUP reloads: the plug-in is told the state closes, a new state is made and\n"
    "the script runs again. A signal or the time-out stops running Lua code at once\n"
    "with the error \"interrupted!\". The script is read from standard input when it\n"
    "is - or, without a script, when standard input is not a terminal.\n"
    "\n"
    "  -i, --interactive   a console after the script (the default without a script\n"
    "                      on a terminal): Ctrl-C stops the running line or clears\n"
    "                      the one being typed, Ctrl-D quits, Tab completes names\n"
    "      --plugin PATH   plug-in to load (default: libcorvane.so beside tavrel,\n"
    "                      or in ../lib/corvane)\n"
    "      --timeout SECONDS  end the run after SECONDS (exit status 124)\n"
    "      --debug         show the plug-in's debugger lines on standard error,\n"
    "                      the ones every normal run has marked as normal\n"
    "      --trace         show every line each connection sends and receives,\n"
    "                      time-stamped, on standard error\n"
    "      --info          print the plug-in's name, version and description\n"
    "  -h, --help          this text\n"
    "  -v, --version       tavrel's version and licence, and its Lua's version\n"
    "\n"
    "in scripts:\n"
    "  tavrel.exit([code])   end the run once the running chunk or callback returns\n"
    "  os.exit([code])       end the run at once; the plug-in is still told\n"
    "  tavrel.sleep(seconds) wait; in the script's main chunk or a console line\n"
    "                        without holding the script lock, so callbacks run\n"
    "  tavrel.clock()        seconds since tavrel started, as a float\n"
    "  tavrel.atclose(fn)    call fn once the plug-in has been told the state\n"
    "                        closes (event 8), just before it is closed\n"
    "  arg                   the script's name (arg[0]) and its arguments\n"
    "\n"
    "A script's likely mistakes (a callback that names no function, too few\n"
    "arguments) are told on standard error, one line each, without --debug too.\n"
    "\n"
    "exit status: the code given to tavrel.exit or os.exit; 0 when nothing is left\n"
    "to call the script back or the console ends; 130 after SIGINT and 143 after\n"
    "SIGTERM (\"interrupted!\" on standard error); 1 for an error in the script;\n"
    "2 for a wrong option or a plug-in that cannot be loaded or opened; 124 on\n"
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
  std::string script;       // a path, or "-" for standard input
  std::string script_text;  // the script read from standard input
  std::vector<std::string> args;
  double timeout = 0;
  bool debug = false;
  bool trace = false;
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
  bool stop = false;         // running code must stop: sleeps end, the hook raises
  bool running = false;      // the main thread runs a chunk (script or console line)
  bool finishing = false;    // the main thread holds the lock to close the state
  bool interactive = false;  // the console reads a terminal
  bool clear_line = false;   // Ctrl-C at the console's prompt
  bool interrupted = false;  // SIGINT or SIGTERM decided the exit
  bool told = false;         // ... and the interrupted chunk's error said so
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
// `interrupted`: the request is a signal's.
void request(Request r, int code, bool hook, bool interrupted = false) {
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    if (r == Request::kExit && g_ctl.request != Request::kExit) {
      g_ctl.request = Request::kExit;
      g_ctl.exit_code = code;
      g_ctl.interrupted = interrupted;
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

// os.exit([code]) ends the run with the code as tavrel.exit does, but at once:
// the running chunk or callback stops here, as a signal stops it, and the run
// ends as every run does (the plug-in told, the console's history kept). The C
// library's exit would run the program's destructors under threads still at work.
int l_os_exit(lua_State* L) {
  int code = static_cast<int>(luaL_optnumber(L, 1, 0));
  request(Request::kExit, code, true);
  return luaL_error(L, "os.exit(%d): the run ends", code);
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

lua_State* new_state(const Options& o) {
  lua_State* L = lua_open();
  if (L == nullptr) return nullptr;
  host_open_libs(L);
  luaL_openlib(L, "tavrel", kTavrel, 0);
  lua_pop(L, 1);
  lua_getglobal(L, "os");
  if (lua_istable(L, -1)) {
    lua_pushstring(L, "exit");
    lua_pushcfunction(L, l_os_exit);
    lua_settable(L, -3);
  }
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

// Runs the script (a file, or the text read from standard input); prints an error
// with file and line. Lock held by caller.
bool run_script(lua_State* L, const Options& o) {
  lua_pushcfunction(L, host_traceback);
  int base = lua_gettop(L);
  bool quiet = false;
  int rc;
  if (o.script != "-") {
    rc = luaL_loadfile(L, o.script.c_str());
  } else if (host_is_precompiled(o.script_text.data(), o.script_text.size())) {
    lua_pushstring(L, "stdin: precompiled code is not run");
    rc = LUA_ERRSYNTAX;
  } else {
    rc = luaL_loadbuffer(L, o.script_text.data(), o.script_text.size(), "=stdin");
  }
  if (rc == 0) rc = call_chunk(L, base, quiet);
  if (rc != 0 && quiet) {
    // Stopped by a signal: its error, with where it stopped, as lua tells it.
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    quiet = !g_ctl.interrupted || g_ctl.told;
    g_ctl.told = g_ctl.told || g_ctl.interrupted;
  }
  if (rc != 0 && !quiet) host_print_error("tavrel: ", lua_tostring(L, -1));
  lua_settop(L, base - 1);
  return rc == 0;
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
  mistakes_watch(L);
  bool ok = o.script.empty() || run_script(L, o);
  unlock_script();
  if (ok) idle_watch_arm();
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
  ssize_t r = write(debug_filter_target(), kMsg, sizeof kMsg - 1);
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
  auto ask_exit = [&](int code, bool interrupted) {
    request(Request::kExit, code, true, interrupted);
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
        bool console_busy, at_prompt;
        {
          std::lock_guard<std::mutex> lk(g_ctl.mu);
          console_busy = o.console && g_ctl.running && g_ctl.request == Request::kNone;
          at_prompt = g_ctl.interactive && !g_ctl.running && g_ctl.request == Request::kNone;
        }
        if (si.ssi_signo == SIGHUP) {
          request(Request::kReload, 0, true);
        } else if (si.ssi_signo == SIGINT && console_busy) {
          std::lock_guard<std::mutex> lk(g_ctl.mu);  // Ctrl-C: stop the line, keep the run
          stop_running_code(true);
        } else if (si.ssi_signo == SIGINT && at_prompt) {
          {
            std::lock_guard<std::mutex> lk(g_ctl.mu);  // Ctrl-C at the prompt: a fresh line
            g_ctl.clear_line = true;
          }
          wake_main();
        } else {
          if (grace) force_exit_unless_finishing();  // a second signal: wait no longer
          ask_exit(128 + static_cast<int>(si.ssi_signo), true);  // 130, 143 as a shell has it
        }
      }
    }
    now = Clock::now();
    if (timed && !timed_out && now >= deadline) {
      timed_out = true;
      if (!exit_requested()) {  // not when the run is already ending
        std::fprintf(stderr, "tavrel: time-out after %g s\n", o.timeout);
        ask_exit(124, false);
      }
    }
    if (grace && now >= grace_end) {
      force_exit_unless_finishing();
      grace = false;  // the main thread is closing the state: nothing left to force
    }
    abort_connects_while_stopping();
  }
}

// What the console is given: the script lock with the state, the interruptible
// call, and the end of the run.
lua_State* console_lock() {
  lock_script();
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.state;
}

bool console_try_lock(int ms, lua_State** L) {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += static_cast<long>(ms) * 1000000L;
  until.tv_sec += until.tv_nsec / 1000000000L;
  until.tv_nsec %= 1000000000L;
  if (pthread_mutex_timedlock(&g_script_lock, &until) != 0) return false;
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  *L = g_ctl.state;
  return true;
}

void console_quit(int status) { request(Request::kExit, status, false); }

// Nothing can call the script back any more: the run ends as a finished script's.
void end_idle_run() { request(Request::kExit, 0, false); }

// A signal ended the run: "interrupted!" once, unless the chunk it stopped said it.
void tell_interruption() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  if (g_ctl.interrupted && !g_ctl.told) std::fputs("tavrel: interrupted!\n", stderr);
}

const ConsoleHost kConsoleHost = {console_lock, console_try_lock, unlock_script, call_chunk, console_quit,
                                  exit_requested};

// "Corvane 1.0, tavrel 1.0, Lua 5.1.5; Ctrl-D quits"
std::string banner(PluginEntryPoints& plugin) {
  char name[64] = {}, version[64] = {};
  plugin.name(name, sizeof name - 1);
  plugin.version(version, sizeof version - 1);
  return std::string(name) + " " + version + ", tavrel " CVN_VERSION ", " + host_lua_version() + "; Ctrl-D quits";
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
      idle_watch_disarm();
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
      bool interactive = isatty(STDIN_FILENO) != 0;
      {
        std::lock_guard<std::mutex> lk(g_ctl.mu);
        g_ctl.interactive = interactive;
      }
      console_start(kConsoleHost, interactive, banner(plugin), debug_filter_target());
    }
    pollfd fds[2] = {{g_wake, POLLIN, 0}, {console_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t n;
      ssize_t got = read(g_wake, &n, sizeof n);
      (void)got;
      bool clear_line;
      {
        std::lock_guard<std::mutex> lk(g_ctl.mu);
        clear_line = g_ctl.clear_line;
        g_ctl.clear_line = false;
      }
      if (clear_line) console_interrupt();
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

// Standard input, whole, as the script. False (with a message) when it cannot be read.
bool read_script(Options& o) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "tavrel: cannot read the script from standard input: %s\n", std::strerror(errno));
      return false;
    }
    o.script_text.append(buf, static_cast<std::size_t>(n));
  }
}

bool parse_options(int argc, char** argv, Options& o, int& status) {
  enum { kOptPlugin = 256, kOptTimeout, kOptDebug, kOptTrace, kOptInfo };
  const option longs[] = {{"interactive", no_argument, nullptr, 'i'},
                          {"plugin", required_argument, nullptr, kOptPlugin},
                          {"timeout", required_argument, nullptr, kOptTimeout},
                          {"debug", no_argument, nullptr, kOptDebug},
                          {"trace", no_argument, nullptr, kOptTrace},
                          {"info", no_argument, nullptr, kOptInfo},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  status = 0;
  opterr = 0;
  // "+": the options end at the script; what follows it is the script's.
  for (int c; (c = getopt_long(argc, argv, "+:ihv", longs, nullptr)) != -1;) {
    switch (c) {
      case 'i':
        o.console = true;
        break;
      case kOptPlugin:
        o.plugin = optarg;
        break;
      case kOptTimeout:
        if (!cvn::cli::parse_seconds(optarg, o.timeout)) {
          std::fprintf(stderr, "tavrel: --timeout takes a positive number of seconds, not '%s'\n", optarg);
          status = cvn::cli::kUsageStatus;
          return false;
        }
        break;
      case kOptDebug:
        o.debug = true;
        break;
      case kOptTrace:
        o.trace = true;
        break;
      case kOptInfo:
        o.info = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return false;
      case 'v':
        cvn::cli::print_version("tavrel");
        std::printf("%s\n", host_lua_version());
        return false;
      default:
        status = cvn::cli::option_error("tavrel", argv, c);
        return false;
    }
  }
  int i = optind;
  if (i < argc) o.script = argv[i++];
  for (; i < argc; ++i) o.args.emplace_back(argv[i]);
  if (o.plugin.empty()) o.plugin = default_plugin();
  if (o.script.empty() && !o.info && !o.console) {
    if (isatty(STDIN_FILENO))
      o.console = true;
    else
      o.script = "-";  // a script piped in, as the stand-alone interpreter reads one
  }
  if (o.script == "-" && !o.info && !read_script(o)) {
    status = 1;
    return false;
  }
  return true;
}

// The host library's lua_push_object, which tavrel's own (below) calls.
using PushObject = int (*)(lua_State*, const char*);

PushObject host_push_object() {
  static const auto next = reinterpret_cast<PushObject>(dlsym(RTLD_NEXT, "lua_push_object"));
  return next;
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

// The host's lua_push_object as the plug-in binds it (the executable exports it,
// as it does connect): the host library's, with a callback that names no
// function told to the script author.
extern "C" int lua_push_object(lua_State* L, const char* name) {
  int pushed = host_push_object()(L, name);
  if (pushed == 0) mistakes_push_failed(name);
  return pushed;
}

int main(int argc, char** argv) {
  Options o;
  int status = 0;
  if (!parse_options(argc, argv, o, status)) return status;
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
  int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  g_main_thread = pthread_self();

  if (host_push_object() == nullptr) {
    std::fprintf(stderr, "tavrel: its host library (libtavrel.so, lua_push_object) is not loaded\n");
    return 2;
  }
  PluginEntryPoints plugin{};
  if (!load_plugin(o.plugin, plugin)) return 2;
  if (o.info) {
    print_plugin_info(plugin);
    return 0;
  }
  if (!o.console) idle_watch_start(end_idle_run);  // a console is never done
  if (o.debug) debug_filter_start();

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
    debug_filter_stop();
    return 2;
  }
  plugin.start();

  std::thread(watch, sigfd, std::cref(o)).detach();
  int exit_code = serve(o, plugin);
  console_stop();
  tell_interruption();
  detach(plugin, true);
  plugin.close();
  std::fflush(stdout);
  debug_filter_stop();
  // The plug-in stays mapped: a network thread it had to abandon may still run.
  std::_Exit(exit_code);
}
