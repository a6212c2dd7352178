// The Lua the stand-in hosts embed: Debian's Lua 5.1, or, built with
// CVN_HOST_LUA50, a Lua that presents Lua 5.0's interface ("lua50.h" on the
// include path). For a host the two differ only in how a new state gets its
// standard libraries and how they name their version; everything else the hosts
// call exists in both. Also what both hosts offer scripts (tavrel.atclose) and
// how they report errors.
#pragma once

#include <cstdio>
#include <cstring>

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

inline const char* host_lua_version() { return lua_version(); }
#else
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

inline void host_open_libs(lua_State* L) { luaL_openlibs(L); }

inline const char* host_lua_version() { return LUA_RELEASE; }
#endif

// Prints an error message on standard error after `prefix`. A message that quotes
// a huge token (a megabyte of garbage read as a script) is cut.
inline void host_print_error(const char* prefix, const char* msg) {
  constexpr std::size_t kShown = 2000;
  if (msg == nullptr) msg = "(error object is not a string)";
  std::size_t n = std::strlen(msg);
  if (n > kShown)
    std::fprintf(stderr, "%s%.*s... (%lu more characters)\n", prefix, static_cast<int>(kShown), msg,
                 static_cast<unsigned long>(n - kShown));
  else
    std::fprintf(stderr, "%s%s\n", prefix, msg);
}

// An error handler for lua_pcall: the message with a stack traceback, as the
// stand-alone interpreter prints it.
inline int host_traceback(lua_State* L) {
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

// Precompiled code: Lua loads it unchecked, so bytes that only look like it
// could bring the host down. The hosts run only source from standard input.
inline bool host_is_precompiled(const char* text, std::size_t len) { return len > 0 && text[0] == '\033'; }

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
  if (lua_isfunction(L, -1) && lua_pcall(L, 0, 0, 0) != 0) host_print_error("tavrel: ", lua_tostring(L, -1));
  lua_settop(L, 0);
}
