// The stand-in host's library: lua_push_object, which plug-ins call to push a
// script callback by name.
#include <cstring>

#include "../include/host_interface.h"
#include "host_lua.h"

// A plain global name or a dotted path through nested tables (Devices.Tv.OnLine).
// Lookups are raw: a metatable on the globals that raises for unknown names must
// not throw into the plug-in's C code, which calls this outside any protected call.
// Like the Lua calls it makes, it leaves room on the stack to the caller: it needs
// two free slots. The plug-in calls it once per line, so a plain name costs one
// scan of its characters and one raw lookup.
int lua_push_object(lua_State* L, const char* name) {
  if (L == nullptr || name == nullptr || *name == '\0') return 0;
  std::size_t n = std::strcspn(name, ".");
  if (name[n] == '\0') {  // a plain global
    lua_pushlstring(L, name, n);
    lua_rawget(L, LUA_GLOBALSINDEX);
    if (lua_isfunction(L, -1)) return 1;
    lua_pop(L, 1);
    return 0;
  }
  int top = lua_gettop(L);
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  for (const char* p = name;;) {
    const char* dot = std::strchr(p, '.');
    std::size_t len = dot ? static_cast<std::size_t>(dot - p) : std::strlen(p);
    if (len == 0 || !lua_istable(L, -1)) {
      lua_settop(L, top);
      return 0;
    }
    lua_pushlstring(L, p, len);
    lua_rawget(L, -2);
    lua_remove(L, -2);
    if (dot == nullptr) break;
    p = dot + 1;
  }
  if (lua_isfunction(L, -1)) return 1;
  lua_settop(L, top);
  return 0;
}
