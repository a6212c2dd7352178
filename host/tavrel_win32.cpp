// tavrel.exe: the stand-in host on Windows. Loads corvane.dll as the host does,
// runs a script under the script lock (a Windows mutex) and serves the plug-in's
// callbacks until tavrel.exit() or the time-out. Built on Lua 5.1 (lua51.dll) or,
// for the tests, on Lua 5.0's interface (lua50.dll).
//   tavrel.exe [--plugin PATH] [--timeout SECONDS] [--info] SCRIPT.lua [ARGS]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "entry_points.h"
#include "host_lua.h"

namespace {

HANDLE g_lock = nullptr;
HANDLE g_exit = nullptr;
int g_exit_code = 0;
DWORD g_start = 0;

int l_exit(lua_State* L) {
  g_exit_code = static_cast<int>(luaL_optnumber(L, 1, 0));
  SetEvent(g_exit);
  return 0;
}

int l_sleep(lua_State* L) {
  double s = luaL_checknumber(L, 1);
  if (!(s > 0)) return 0;
  ReleaseMutex(g_lock);
  Sleep(static_cast<DWORD>(s * 1000));
  WaitForSingleObject(g_lock, INFINITE);
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
                            {nullptr, nullptr}};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  g_start = GetTickCount();
  std::string plugin_path = "corvane.dll";
  double timeout = 0;
  bool info = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--plugin" && i + 1 < argc) plugin_path = argv[++i];
    else if (a == "--timeout" && i + 1 < argc) timeout = std::atof(argv[++i]);
    else if (a == "--info") info = true;
    else break;
  }
  if (i >= argc && !info) {
    std::fprintf(stderr, "usage: tavrel.exe [--plugin PATH] [--timeout SECONDS] [--info] SCRIPT.lua [ARGS]\n");
    return 2;
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
  HostServices services{};
  services.script_lock = g_lock;
  HostRecord record{kHostRecordVersion, &services};
  if (!p.open(0, 0, 0, &record)) {
    std::fprintf(stderr, "tavrel: the plug-in refused to open\n");
    return 2;
  }
  p.start();

  WaitForSingleObject(g_lock, INFINITE);
  lua_State* L = lua_open();
  host_open_libs(L);
  luaL_openlib(L, "tavrel", kTavrel, 0);
  lua_pop(L, 1);
  lua_newtable(L);
  for (int k = i; k < argc; ++k) {
    lua_pushstring(L, argv[k]);
    lua_rawseti(L, -2, k - i);
  }
  lua_setglobal(L, "arg");
  p.info(7, 0, L);
  int code = 0;
  if (luaL_loadfile(L, argv[i]) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
    std::fprintf(stderr, "tavrel: %s\n", lua_tostring(L, -1));
    lua_settop(L, 0);
    code = 1;
  }
  ReleaseMutex(g_lock);
  if (code == 0) {
    DWORD wait = timeout > 0 ? static_cast<DWORD>(timeout * 1000) : INFINITE;
    code = WaitForSingleObject(g_exit, wait) == WAIT_OBJECT_0 ? g_exit_code : 124;
  }
  WaitForSingleObject(g_lock, INFINITE);
  p.info(8, 0, L);
  host_run_atclose(L);
  lua_close(L);
  ReleaseMutex(g_lock);
  p.close();
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(code));
}
