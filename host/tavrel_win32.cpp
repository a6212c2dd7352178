// tavrel.exe: the stand-in host on Windows. Loads corvane.dll as the host does,
// runs a script under the script lock (a Windows mutex) and serves the plug-in's
// callbacks until tavrel.exit() or the time-out.
//   tavrel.exe [--plugin PATH] [--timeout SECONDS] [--info] SCRIPT.lua [ARGS]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../include/host_interface.h"

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

namespace {

struct Plugin {
  int(__stdcall* start)();
  int(__stdcall* stop)();
  int(__stdcall* requested_api)(std::uint32_t);
  int(__stdcall* devicenum)();
  char*(__stdcall* name)(char*, std::uint32_t);
  char*(__stdcall* description)(char*, std::uint32_t);
  char*(__stdcall* version)(char*, std::uint32_t);
  int(__stdcall* open)(std::uint32_t, std::uint32_t, std::uint32_t, HostRecord*);
  int(__stdcall* close)();
  int(__stdcall* info)(int, std::uint32_t, lua_State*);
};

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

const luaL_Reg kTavrel[] = {{"exit", l_exit}, {"sleep", l_sleep}, {"clock", l_clock}, {nullptr, nullptr}};

template <typename F>
bool bind(HMODULE lib, const char* name, F& fn) {
  fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
  if (fn == nullptr) std::fprintf(stderr, "tavrel: the plug-in does not export %s\n", name);
  return fn != nullptr;
}

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
  Plugin p{};
  if (!(bind(lib, "tvr_start", p.start) & bind(lib, "tvr_stop", p.stop) &
        bind(lib, "tvr_requested_api", p.requested_api) & bind(lib, "tvr_devicenum", p.devicenum) &
        bind(lib, "tvr_name", p.name) & bind(lib, "tvr_description", p.description) &
        bind(lib, "tvr_version", p.version) & bind(lib, "tvr_open", p.open) &
        bind(lib, "tvr_close", p.close) & bind(lib, "tvr_info", p.info)))
    return 2;
  if (info) {
    char name[256] = {}, version[256] = {}, description[256] = {};
    p.name(name, 255);
    p.version(version, 255);
    p.description(description, 255);
    std::printf("%s %s (device %d, host interface %d)\n%s\n", name, version, p.devicenum(),
                p.requested_api(0), description);
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
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_register(L, "tavrel", kTavrel);
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
  lua_close(L);
  ReleaseMutex(g_lock);
  p.close();
  std::fflush(stdout);
  ExitProcess(static_cast<UINT>(code));
}
