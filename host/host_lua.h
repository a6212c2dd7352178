// The Lua the stand-in hosts embed: Debian's Lua 5.1, or, built with
// CVN_HOST_LUA50, a Lua that presents Lua 5.0's interface ("lua50.h" on the
// include path). For a host the two differ only in how a new state gets its
// standard libraries; everything else the hosts call exists in both. Also the
// tavrel.atclose hook both hosts offer scripts.
#pragma once

#include <cstdio>

#if defined(CVN_HOST_LUA50)
#include "lua50.h"

inline void host_open_libs(lua_State* L) {
  // Lua 5.0 has no luaL_openlibs: each library is opened by a direct call.
  const lua_CFunction libs[] = {luaopen_base, luaopen_table, luaopen_io,
                                luaopen_string, luaopen_math, luaopen_debug};
  for (lua_CFunction open : libs) {
    open(L);
    lua_settop(L, 0);
  }
}
#else
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

inline void host_open_libs(lua_State* L) { luaL_openlibs(L); }
#endif

// tavrel.atclose(fn): fn is called once the plug-in has been told that the state
// closes (event 8), just before the host closes it.
constexpr const char* kAtCloseKey = "tavrel.atclose";

inline int host_atclose(lua_State* L) {
  lua_pushstring(L, kAtCloseKey);
  lua_pushvalue(L, 1);
  lua_settable(L, LUA_REGISTRYINDEX);
  return 0;
}

// Calls the function given to tavrel.atclose, if any. Script lock held.
inline void host_run_atclose(lua_State* L) {
  lua_pushstring(L, kAtCloseKey);
  lua_gettable(L, LUA_REGISTRYINDEX);
  if (lua_isfunction(L, -1) && lua_pcall(L, 0, 0, 0) != 0) {
    const char* msg = lua_tostring(L, -1);
    std::fprintf(stderr, "tavrel: %s\n", msg ? msg : "(error object is not a string)");
  }
  lua_settop(L, 0);
}
