// tavrel.exe: the stand-in host on Windows. Loads corvane.dll as the host does,
// runs a script under the script lock (a Windows mutex) and serves the plug-in's
// callbacks until tavrel.exit(), Ctrl-C or the time-out. Ctrl-C and the time-out
// stop running code as on Linux: a debug hook raising "interrupted!", and the
// process ends by itself when the code has not stopped within a second. Windows
// has no SIGHUP: tavrel.reload() stands in for it and reloads as the Linux
// tavrel does on that signal. Built on Lua 5.1 (lua51.dll) or, for the tests, on
// Lua 5.0's interface (lua50.dll).
//   tavrel.exe [--plugin PATH] [--timeout SECONDS] [--info] SCRIPT.lua [ARGS]
// (options as on Linux; no console).
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tools/options.h"
#include "entry_points.h"
#include "host_lua.h"

namespace {

HANDLE g_lock = nullptr;
HANDLE g_exit = nullptr;       // manual reset: the run ends or reloads; sleeps end with it
HANDLE g_finishing = nullptr;  // the main thread holds the lock to close the state
CRITICAL_SECTION g_cs;         // guards the four below
lua_State* g_state = nullptr;
bool g_requested = false;
bool g_reload = false;
int g_exit_code = 0;
DWORD g_main_thread = 0;
DWORD g_start = 0;

// Raised at every instruction until the run ends, so a pcall cannot swallow it.
void interrupt_hook(lua_State* L, lua_Debug*) { luaL_error(L, "interrupted!"); }

// The first request decides the status; with `hook`, running Lua code raises.
void request_exit(int code, bool hook) {
  EnterCriticalSection(&g_cs);
  if (!g_requested) {
    g_requested = true;
    g_exit_code = code;
  }
  if (hook && g_state != nullptr) lua_sethook(g_state, interrupt_hook, LUA_MASKCOUNT, 1);
  LeaveCriticalSection(&g_cs);
  SetEvent(g_exit);
}

// Ctrl-C and the time-out: stop running code; end the process when it does not
// stop (a C function that does not return) within a second.
void stop_run(int code) {
  request_exit(code, true);
  if (WaitForSingleObject(g_finishing, 1000) == WAIT_OBJECT_0) return;
  std::fputs("tavrel: the running code did not stop; ending without closing the plug-in\n", stderr);
  EnterCriticalSection(&g_cs);
  code = g_exit_code;
  LeaveCriticalSection(&g_cs);
  ExitProcess(static_cast<UINT>(code));
}

BOOL WINAPI on_console_ctrl(DWORD) {
  stop_run(0);
  return TRUE;
}

DWORD WINAPI watch_timeout(void* ms) {
  DWORD wait = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(ms));
  if (WaitForSingleObject(g_exit, wait) == WAIT_TIMEOUT) {
    std::fprintf(stderr, "tavrel: time-out after %g s\n", wait / 1000.0);
    stop_run(124);
  }
  return 0;
}

int l_exit(lua_State* L) {
  request_exit(static_cast<int>(luaL_optnumber(L, 1, 0)), false);
  return 0;
}

// As SIGHUP does on Linux: running code is stopped, the plug-in is told the
// state closes, and the script runs again in a new state. An exit goes first.
int l_reload(lua_State* L) {
  EnterCriticalSection(&g_cs);
  if (!g_requested) {
    g_reload = true;
    lua_sethook(L, interrupt_hook, LUA_MASKCOUNT, 1);
  }
  LeaveCriticalSection(&g_cs);
  SetEvent(g_exit);
  return 0;
}

int l_sleep(lua_State* L) {
  double s = luaL_checknumber(L, 1);
  if (!(s > 0)) s = 0;
  if (s > 86400) s = 86400;
  // Only the main chunk lets go of the lock: a callback that let go would let the
  // main thread close the state under it.
  bool release = GetCurrentThreadId() == g_main_thread;
  if (release) ReleaseMutex(g_lock);
  DWORD r = WaitForSingleObject(g_exit, static_cast<DWORD>(s * 1000));
  if (release) WaitForSingleObject(g_lock, INFINITE);
  if (r == WAIT_OBJECT_0) return luaL_error(L, "interrupted!");
  return 0;
}

int l_clock(lua_State* L) {
  lua_pushnumber(L, (GetTickCount() - g_start) / 1000.0);
  return 1;
}

const luaL_reg kTavrel[] = {{"exit", l_exit},
                            {"sleep", l_sleep},
                            {"clock", l_clock},
                            {"atclose", host_atclose},
                            {"reload", l_reload},
                            {nullptr, nullptr}};

// Makes a fresh state with the script's arguments, hands it to the plug-in and
// runs the script in it. False when the script failed (not when a request to end
// or reload cut it short).
bool attach(PluginEntryPoints& p, int argc, char** argv) {
  WaitForSingleObject(g_lock, INFINITE);
  lua_State* L = lua_open();
  host_open_libs(L);
  luaL_openlib(L, "tavrel", kTavrel, 0);
  lua_pop(L, 1);
  lua_newtable(L);
  for (int k = 0; k < argc; ++k) {
    lua_pushstring(L, argv[k]);
    lua_rawseti(L, -2, k);
  }
  lua_setglobal(L, "arg");
  EnterCriticalSection(&g_cs);
  g_state = L;
  if (g_requested) lua_sethook(L, interrupt_hook, LUA_MASKCOUNT, 1);  // an exit came while the last one closed
  LeaveCriticalSection(&g_cs);
  p.info(7, 0, L);
  bool ok = true;
  if (luaL_loadfile(L, argv[0]) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
    EnterCriticalSection(&g_cs);
    bool requested = g_requested || g_reload;  // cut short by Ctrl-C, the time-out, an exit or reload
    LeaveCriticalSection(&g_cs);
    if (!requested) {
      std::fprintf(stderr, "tavrel: %s\n", lua_tostring(L, -1));
      ok = false;
    }
    lua_settop(L, 0);
  }
  ReleaseMutex(g_lock);
  return ok;
}

// Tells the plug-in the state closes and closes it; a running callback is waited
// for. `last`: the run ends, so Ctrl-C need no longer end the process itself.
void detach(PluginEntryPoints& p, bool last) {
  WaitForSingleObject(g_lock, INFINITE);
  EnterCriticalSection(&g_cs);
  lua_State* L = g_state;
  g_state = nullptr;
  LeaveCriticalSection(&g_cs);
  if (last) SetEvent(g_finishing);
  p.info(8, 0, L);
  host_run_atclose(L);
  lua_close(L);
  ReleaseMutex(g_lock);
}

}  // namespace

constexpr const char* kUsage =
    "usage: tavrel.exe [OPTIONS] SCRIPT.lua [ARGS...]\n"
    "Loads the plug-in as the host does, runs SCRIPT.lua and serves its callbacks\n"
    "until tavrel.exit(code), Ctrl-C or the time-out. tavrel.reload() reloads as\n"
    "SIGHUP does for the Linux tavrel.\n"
    "\n"
    "      --plugin PATH      plug-in to load (default: corvane.dll)\n"
    "      --timeout SECONDS  end the run after SECONDS (exit status 124)\n"
    "      --info             print the plug-in's name, version and description\n"
    "  -h, --help             this text\n"
    "  -v, --version          tavrel's version and its Lua's\n";

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  g_start = GetTickCount();
  std::string plugin_path = "corvane.dll";
  double timeout = 0;
  bool info = false;
  enum { kOptPlugin = 256, kOptTimeout, kOptInfo };
  const option longs[] = {{"plugin", required_argument, nullptr, kOptPlugin},
                          {"timeout", required_argument, nullptr, kOptTimeout},
                          {"info", no_argument, nullptr, kOptInfo},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+:hv", longs, nullptr)) != -1;) {
    switch (c) {
      case kOptPlugin:
        plugin_path = optarg;
        break;
      case kOptTimeout:
        if (!cvn::cli::parse_seconds(optarg, timeout)) {
          std::fprintf(stderr, "tavrel: --timeout takes a positive number of seconds, not '%s'\n", optarg);
          return cvn::cli::kUsageStatus;
        }
        break;
      case kOptInfo:
        info = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case 'v':
        cvn::cli::print_version("tavrel");
        std::printf("%s\n", host_lua_version());
        return 0;
      default:
        return cvn::cli::option_error("tavrel", argv, c);
    }
  }
  int i = optind;
  if (i >= argc && !info) {
    std::fputs("tavrel: no script given\nTry 'tavrel --help' for more information.\n", stderr);
    return cvn::cli::kUsageStatus;
  }
  HMODULE lib = LoadLibraryA(plugin_path.c_str());
  if (lib == nullptr) {
    std::fprintf(stderr, "tavrel: cannot load %s (error %lu)\n", plugin_path.c_str(), GetLastError());
    return 2;
  }
  PluginEntryPoints p{};
  auto find = [lib](const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); };
  if (!bind_entry_points(p, find)) return 2;
  if (info) {
    print_plugin_info(p);
    return 0;
  }
  g_lock = CreateMutexA(nullptr, FALSE, nullptr);
  g_exit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_finishing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  InitializeCriticalSection(&g_cs);
  g_main_thread = GetCurrentThreadId();
  HostServices services{};
  services.script_lock = g_lock;
  HostRecord record{kHostRecordVersion, &services};
  if (!p.open(0, 0, 0, &record)) {
    std::fprintf(stderr, "tavrel: the plug-in refused to open\n");
    return 2;
  }
  p.start();

  SetConsoleCtrlHandler(on_console_ctrl, TRUE);
  if (timeout > 0) {
    auto ms = static_cast<std::uintptr_t>(timeout * 1000);
    CloseHandle(CreateThread(nullptr, 0, watch_timeout, reinterpret_cast<void*>(ms), 0, nullptr));
  }
  int code = 0;
  for (bool first = true;; first = false) {
    if (!attach(p, argc - i, argv + i)) {
      if (first) {
        code = 1;
        break;
      }
      std::fputs("tavrel: the reloaded script failed\n", stderr);
    }
    WaitForSingleObject(g_exit, INFINITE);
    EnterCriticalSection(&g_cs);
    bool reload = g_reload && !g_requested;
    g_reload = false;
    code = g_exit_code;
    if (reload) ResetEvent(g_exit);
    LeaveCriticalSection(&g_cs);
    if (!reload) break;
    detach(p, false);
  }
  detach(p, true);
  p.close();
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(code));
}
