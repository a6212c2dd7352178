// The Lua the stand-in hosts embed: Debian's Lua 5.1, or, built with
// CVN_HOST_LUA50, a Lua that presents Lua 5.0's interface ("lua50.h" on the
// include path). For a host the two differ only in how a new state gets its
// standard libraries; everything else the hosts call exists in both.
#pragma once

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
