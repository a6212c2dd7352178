// tavrel's core (core.h), shared by tavrel and tavrel.exe.
//
// The main thread runs every chunk of the host's own (the script, console lines)
// and makes and closes states. A watcher thread takes the stops from outside
// (tavrel_os.h: signals, console control events) and the time-out, and stops
// running code the way the stand-alone Lua interpreter does: a debug hook that
// raises "interrupted!". Callbacks, on the plug-in's network thread, hold the
// script lock from start to end, so the main thread holding the lock means no
// call into the state is in progress.
#include "core.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "console.h"
#include "entry_points.h"
#include "host_lua.h"
#include "idle_watch.h"
#include "mistakes.h"
#include "options.h"
#include "tavrel_os.h"

namespace {

// Running code that does not stop within this time after a signal or the time-out
// asked the run to end (a C function that does not return) ends with the process.
constexpr auto kStopGrace = std::chrono::seconds(1);
// While running code is being stopped, connections still being made are aborted
// again at this interval (a script may start a new one from an error handler).
constexpr auto kAbortInterval = std::chrono::milliseconds(250);

using Clock = std::chrono::steady_clock;

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
  bool interrupted = false;  // a stop from outside decided the exit
  bool told = false;         // ... and the interrupted chunk's error said so
  lua_State* state = nullptr;
};

Control g_ctl;
const auto g_start = Clock::now();

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
// `interrupted`: the request is a stop from outside.
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
  host_os::wake_main();
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

// What SIGHUP does, for scripts and for Windows, which has no SIGHUP: running
// code is stopped, the plug-in is told the state closes, and the script runs
// again in a new state. An exit goes first.
int l_reload(lua_State*) {
  request(Request::kReload, 0, true);
  return 0;
}

int l_sleep(lua_State* L) {
  double seconds = luaL_checknumber(L, 1);
  if (!(seconds > 0)) seconds = 0;
  if (seconds > 86400) seconds = 86400;
  // Only the main thread's own chunk lets go of the lock. A callback that let go
  // would let the main thread resume its chunk, or close the state, while the
  // callback's frames are still on the state's stack.
  bool release = host_os::on_main_thread();
  if (release) host_os::unlock_script();
  bool stopped;
  {
    std::unique_lock<std::mutex> lk(g_ctl.mu);
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    stopped = g_ctl.cv.wait_until(lk, until, [] { return g_ctl.stop; });
  }
  if (release) host_os::lock_script();
  if (stopped) return luaL_error(L, "interrupted!");
  return 0;
}

int l_clock(lua_State* L) {
  std::chrono::duration<double> d = Clock::now() - g_start;
  lua_pushnumber(L, d.count());
  return 1;
}

const luaL_reg kTavrel[] = {{"exit", l_exit},       {"sleep", l_sleep},   {"clock", l_clock},
                            {"atclose", host_atclose}, {"reload", l_reload}, {nullptr, nullptr}};

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
    // Stopped from outside: its error, with where it stopped, as lua tells it.
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
  host_os::lock_script();
  lua_State* L = new_state(o);
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    g_ctl.state = L;
    if (g_ctl.stop) stop_running_code(true);  // a request came while the last one closed
  }
  plugin.info(7, 0, L);
  mistakes_watch(L);
  bool ok = o.script.empty() || run_script(L, o);
  host_os::unlock_script();
  if (ok) idle_watch_arm();
  return ok;
}

// Tells the plug-in the state closes and closes it. Taking the lock waits for a
// running callback, which a pending stop cuts short. `last`: the run ends, so the
// watcher no longer needs to end the process itself. The function given to
// tavrel.atclose runs without the interrupt hook.
void detach(PluginEntryPoints& plugin, bool last) {
  host_os::lock_script();
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
  host_os::unlock_script();
}

bool exit_requested() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.request == Request::kExit;
}

// While running code is being stopped, makes every connect still waiting (a
// script's blocking Open) fail at once. The stop is looked at and acted on under
// one lock: a connect begun after the stop has ended (a reloaded script's) is
// left alone.
void abort_connects_while_stopping() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  if (!g_ctl.stop || g_ctl.finishing) return;
  host_os::abort_connects();
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
  host_os::last_words("tavrel: the running code did not stop; ending without closing the plug-in\n");
  host_os::end_process(code);
}

// Running code is being stopped and the main thread has not yet begun to close.
bool stopping() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.stop && !g_ctl.finishing;
}

// The watcher thread: stops from outside, the time-out, and the grace period of
// an exit request.
void watch(const Options& o) {
  const bool timed = o.timeout > 0;
  const auto deadline = g_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
  bool timed_out = false;
  bool grace = false;  // an exit was asked for from outside or by the time-out
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
    host_os::Signal s = host_os::wait_signal(wait_ms);
    if (s != host_os::Signal::kNone) {
      bool console_busy, at_prompt;
      {
        std::lock_guard<std::mutex> lk(g_ctl.mu);
        console_busy = o.console && g_ctl.running && g_ctl.request == Request::kNone;
        at_prompt = g_ctl.interactive && !g_ctl.running && g_ctl.request == Request::kNone;
      }
      if (s == host_os::Signal::kReload) {
        request(Request::kReload, 0, true);
      } else if (s == host_os::Signal::kInterrupt && console_busy) {
        std::lock_guard<std::mutex> lk(g_ctl.mu);  // Ctrl-C: stop the line, keep the run
        stop_running_code(true);
      } else if (s == host_os::Signal::kInterrupt && at_prompt) {
        {
          std::lock_guard<std::mutex> lk(g_ctl.mu);  // Ctrl-C at the prompt: a fresh line
          g_ctl.clear_line = true;
        }
        host_os::wake_main();
      } else {
        if (grace) force_exit_unless_finishing();  // a second stop: wait no longer
        ask_exit(s == host_os::Signal::kInterrupt ? 130 : 143, true);  // 128 + SIGINT, SIGTERM
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
  host_os::lock_script();
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  return g_ctl.state;
}

bool console_try_lock(int ms, lua_State** L) {
  if (!host_os::try_lock_script(ms)) return false;
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  *L = g_ctl.state;
  return true;
}

void console_quit(int status) { request(Request::kExit, status, false); }

// Nothing can call the script back any more: the run ends as a finished script's.
void end_idle_run() { request(Request::kExit, 0, false); }

// A stop from outside ended the run: "interrupted!" once, unless the chunk it
// stopped said it.
void tell_interruption() {
  std::lock_guard<std::mutex> lk(g_ctl.mu);
  if (g_ctl.interrupted && !g_ctl.told) std::fputs("tavrel: interrupted!\n", stderr);
}

const ConsoleHost kConsoleHost = {console_lock, console_try_lock, host_os::unlock_script, call_chunk, console_quit,
                                  exit_requested};

// "Corvane 1.0, tavrel 1.0, Lua 5.1.5; Ctrl-D quits"
std::string banner(PluginEntryPoints& plugin) {
  char name[64] = {}, version[64] = {};
  plugin.name(name, sizeof name - 1);
  plugin.version(version, sizeof version - 1);
  return std::string(name) + " " + version + ", tavrel " CVN_VERSION ", " + host_lua_version() + "; " +
         host_os::kQuitKey + " quits";
}

// Takes what the main thread was woken for: Ctrl-C at the console's prompt.
void take_wake() {
  bool clear_line;
  {
    std::lock_guard<std::mutex> lk(g_ctl.mu);
    clear_line = g_ctl.clear_line;
    g_ctl.clear_line = false;
  }
  if (clear_line) console_interrupt();
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
      bool interactive = host_os::stdin_is_terminal();
      {
        std::lock_guard<std::mutex> lk(g_ctl.mu);
        g_ctl.interactive = interactive;
      }
      console_start(kConsoleHost, interactive, banner(plugin), host_os::error_target());
    }
    host_os::Ready ready = host_os::wait_main(console_reading());
    if (ready.woken) take_wake();
    if (ready.console) console_read();
  }
}

}  // namespace

int tavrel_main(int argc, char** argv) {
  Options o;
  int status = 0;
  if (!parse_options(argc, argv, o, status)) return status;
  host_os::start(o);
  PluginEntryPoints plugin{};
  if (!host_os::load_plugin(o.plugin, plugin)) return 2;
  if (o.info) {
    print_plugin_info(plugin);
    return 0;
  }
  if (!o.console) idle_watch_start(end_idle_run);  // a console is never done
  host_os::debug_start(o);

  HostServices services{};
  services.script_lock = host_os::script_lock_handle();
  HostRecord record{kHostRecordVersion, &services};
  plugin.requested_api(0);
  if (!plugin.open(0, 0, 0, &record)) {
    std::fprintf(stderr, "tavrel: the plug-in refused to open\n");
    host_os::debug_stop();
    return 2;
  }
  plugin.start();

  std::thread(watch, std::cref(o)).detach();
  int exit_code = serve(o, plugin);
  console_stop();
  tell_interruption();
  detach(plugin, true);
  plugin.close();
  std::fflush(stdout);
  host_os::debug_stop();
  // The plug-in stays mapped: a network thread it had to abandon may still run.
  host_os::end_process(exit_code);
}
