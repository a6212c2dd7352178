// The stand-in host's library: lua_push_object, which plug-ins call to push a
// script callback by name.
#include <cstring>

#include "../include/host_interface.h"
#include "host_lua.h"

// A plain global name or a dotted path through nested tables (Devices.Tv.OnLine).
// Lookups are raw: a metatable on the globals that raises for unknown names must
// not throw into the plug-in's C code, which calls this outside any protected call.
int lua_push_object(lua_State* L, const char* name) {
  if (L == nullptr || name == nullptr || *name == '\0') return 0;
  if (!lua_checkstack(L, 4)) return 0;
  int top = lua_gettop(L);
  if (std::strchr(name, '.') == nullptr) {  // a plain global: one raw lookup
    lua_pushstring(L, name);
    lua_rawget(L, LUA_GLOBALSINDEX);
    if (lua_isfunction(L, -1)) return 1;
    lua_settop(L, top);
    return 0;
  }
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  for (const char* p = name;;) {
    const char* dot = std::strchr(p, '.');
    std::size_t n = dot ? static_cast<std::size_t>(dot - p) : std::strlen(p);
    if (n == 0 || !lua_istable(L, -1)) {
      lua_settop(L, top);
      return 0;
    }
    lua_pushlstring(L, p, n);
    lua_rawget(L, -2);
    lua_remove(L, -2);
    if (dot == nullptr) break;
    p = dot + 1;
  }
  if (lua_isfunction(L, -1)) return 1;
  lua_settop(L, top);
  return 0;
}
