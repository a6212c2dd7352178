// tavrel: the stand-in host. Loads a plug-in as the home-automation host does,
// hands it a Lua state, runs a script under the script lock and serves the
// plug-in's events until a signal, tavrel.exit() or the time-out ends the run.
// Built on Debian's Lua 5.1; the test build tavrel50 runs on Lua 5.0's interface.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    "is made and the script runs again.\n"
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
    "  tavrel.sleep(seconds) wait without holding the script lock (callbacks run)\n"
    "  tavrel.clock()        seconds since tavrel started, as a float\n"
    "  tavrel.atclose(fn)    call fn once the plug-in has been told the state\n"
    "                        closes (event 8), just before it is closed\n"
    "  arg                   the script's name (arg[0]) and its arguments\n"
    "\n"
    "exit status: the code given to tavrel.exit, 0 after SIGINT/SIGTERM, 1 for an\n"
    "error in the script, 2 for a plug-in that cannot be loaded or opened, 124 on\n"
    "time-out.\n";

struct Options {
  std::string plugin;
  std::string script;
  std::vector<std::string> args;
  double timeout = 0;
  bool debug = false;
  bool console = false;
  bool info = false;
};

pthread_mutex_t g_script_lock;
int g_wake = -1;  // eventfd: an exit request
std::atomic<bool> g_exit_requested{false};
std::atomic<int> g_exit_code{0};
const auto g_start = std::chrono::steady_clock::now();

void lock_script() { pthread_mutex_lock(&g_script_lock); }
void unlock_script() { pthread_mutex_unlock(&g_script_lock); }

void request_exit(int code) {
  g_exit_code = code;
  g_exit_requested = true;
  std::uint64_t one = 1;
  ssize_t r = write(g_wake, &one, sizeof one);
  (void)r;
}

int l_exit(lua_State* L) {
  request_exit(static_cast<int>(luaL_optnumber(L, 1, 0)));
  return 0;
}

int l_sleep(lua_State* L) {
  double seconds = luaL_checknumber(L, 1);
  if (!(seconds > 0)) return 0;
  if (seconds > 86400) seconds = 86400;
  unlock_script();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  lock_script();
  return 0;
}

int l_clock(lua_State* L) {
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - g_start;
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

// Runs the script file; prints an error with file and line. Lock held by caller.
bool run_script(lua_State* L, const std::string& path) {
  lua_pushcfunction(L, traceback);
  int base = lua_gettop(L);
  int rc = luaL_loadfile(L, path.c_str());
  if (rc == 0) rc = lua_pcall(L, 0, 0, base);
  if (rc != 0) {
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
  if (rc == 0) rc = lua_pcall(L, 0, LUA_MULTRET, base);
  if (rc != 0) {
    const char* msg = lua_tostring(L, -1);
    std::printf("%s\n", msg ? msg : "(error object is not a string)");
  } else if (lua_gettop(L) > base) {
    lua_getglobal(L, "print");
    lua_insert(L, base + 1);
    if (lua_pcall(L, lua_gettop(L) - base - 1, 0, 0) != 0) std::printf("%s\n", lua_tostring(L, -1));
  }
  lua_settop(L, base - 1);
  std::fflush(stdout);
}

struct ConsoleCtx {
  lua_State** state;
};

void console_loop(ConsoleCtx ctx) {
  bool tty = isatty(STDIN_FILENO);
  for (;;) {
    std::string line;
    if (tty) {
      char* raw = readline("> ");
      if (raw == nullptr) break;
      line = raw;
      std::free(raw);
      if (!line.empty()) add_history(line.c_str());
    } else {
      char buf[4096];
      if (std::fgets(buf, sizeof buf, stdin) == nullptr) break;
      line = buf;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    }
    if (line.empty()) continue;
    lock_script();
    if (*ctx.state) run_console_line(*ctx.state, line);
    unlock_script();
    if (g_exit_requested) return;
  }
  if (!g_exit_requested) request_exit(0);
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

int main(int argc, char** argv) {
  Options o;
  int status = 0;
  if (!parse_options(argc, argv, o, status)) return status;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (o.debug) setenv("CVN_DEBUG", "1", 1);

  // Signals are taken from a signalfd by the main thread; every thread the
  // plug-in starts inherits the blocked set.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

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

  lua_State* L = nullptr;
  auto attach = [&]() -> bool {
    lock_script();
    L = new_state(o);
    plugin.info(7, 0, L);
    bool ok = o.script.empty() || run_script(L, o.script);
    unlock_script();
    return ok;
  };
  auto detach = [&] {
    lock_script();
    plugin.info(8, 0, L);
    host_run_atclose(L);
    lua_close(L);
    L = nullptr;
    unlock_script();
  };

  int exit_code = 0;
  if (!attach()) {
    exit_code = 1;
  } else {
    std::thread console;
    if (o.console) console = std::thread(console_loop, ConsoleCtx{&L});
    auto deadline = g_start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(o.timeout));
    for (;;) {
      if (g_exit_requested) {
        exit_code = g_exit_code;
        break;
      }
      int wait_ms = -1;
      if (o.timeout > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
          exit_code = 124;
          break;
        }
        wait_ms = static_cast<int>(left > INT_MAX ? INT_MAX : left);
      }
      pollfd fds[2] = {{sigfd, POLLIN, 0}, {g_wake, POLLIN, 0}};
      if (poll(fds, 2, wait_ms) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo si{};
        if (read(sigfd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) continue;
        if (si.ssi_signo == SIGHUP) {
          detach();
          if (!attach()) std::fprintf(stderr, "tavrel: the reloaded script failed\n");
          continue;
        }
        exit_code = 0;
        break;
      }
    }
    // The console may be blocked reading the terminal; the process ends anyway, and
    // a line it runs meanwhile finds the state gone under the lock.
    if (console.joinable()) console.detach();
  }
  detach();
  plugin.close();
  std::fflush(stdout);
  // The plug-in stays mapped: a network thread it had to abandon may still run.
  std::_Exit(exit_code);
}
