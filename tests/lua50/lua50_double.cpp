// A test double for a host's Lua 5.0: Lua 5.1 inside, Lua 5.0's interface
// outside. The 5.1 library linked in has every one of its API names prefixed with
// l51_ (objcopy), so this file can export 5.0's names with 5.0's meanings:
// lua_tostring and lua_strlen as functions, no lua_tolstring or lua_objlen,
// LUA_GLOBALSINDEX at -10001 and upvalues below it, 5.0's status codes and a
// lua_version that says "Lua 5.0". Nothing else of the 5.1 library is exported.
#include "lua50.h"

#include <cstdarg>

extern "C" {
// The renamed Lua 5.1 calls this file builds on (Lua 5.1 reference manual).
lua_State* l51_luaL_newstate(void);
void l51_lua_close(lua_State* L);
int l51_lua_gettop(lua_State* L);
void l51_lua_settop(lua_State* L, int idx);
void l51_lua_pushvalue(lua_State* L, int idx);
void l51_lua_remove(lua_State* L, int idx);
void l51_lua_insert(lua_State* L, int idx);
int l51_lua_checkstack(lua_State* L, int extra);
int l51_lua_type(lua_State* L, int idx);
lua_Number l51_lua_tonumber(lua_State* L, int idx);
const char* l51_lua_tolstring(lua_State* L, int idx, size_t* len);
size_t l51_lua_objlen(lua_State* L, int idx);
void l51_lua_pushnil(lua_State* L);
void l51_lua_pushnumber(lua_State* L, lua_Number n);
void l51_lua_pushlstring(lua_State* L, const char* s, size_t len);
void l51_lua_pushstring(lua_State* L, const char* s);
void l51_lua_pushcclosure(lua_State* L, lua_CFunction fn, int n);
void l51_lua_gettable(lua_State* L, int idx);
void l51_lua_rawget(lua_State* L, int idx);
void l51_lua_createtable(lua_State* L, int narr, int nrec);
void l51_lua_settable(lua_State* L, int idx);
void l51_lua_rawset(lua_State* L, int idx);
void l51_lua_rawseti(lua_State* L, int idx, int n);
int l51_lua_next(lua_State* L, int idx);
int l51_lua_getmetatable(lua_State* L, int objindex);
void l51_lua_call(lua_State* L, int nargs, int nresults);
int l51_lua_pcall(lua_State* L, int nargs, int nresults, int errfunc);
int l51_lua_cpcall(lua_State* L, lua_CFunction fn, void* ud);
void l51_luaL_openlib(lua_State* L, const char* libname, const luaL_reg* l, int nup);
lua_Number l51_luaL_checknumber(lua_State* L, int narg);
lua_Number l51_luaL_optnumber(lua_State* L, int narg, lua_Number def);
int l51_luaL_loadfile(lua_State* L, const char* filename);
int l51_luaL_loadbuffer(lua_State* L, const char* buff, size_t size, const char* name);
void l51_luaL_where(lua_State* L, int level);
const char* l51_lua_pushvfstring(lua_State* L, const char* fmt, va_list ap);
void l51_lua_concat(lua_State* L, int n);
int l51_lua_error(lua_State* L);
int l51_lua_sethook(lua_State* L, lua_Hook func, int mask, int count);
int l51_luaopen_base(lua_State* L);
int l51_luaopen_table(lua_State* L);
int l51_luaopen_io(lua_State* L);
int l51_luaopen_os(lua_State* L);
int l51_luaopen_string(lua_State* L);
int l51_luaopen_math(lua_State* L);
int l51_luaopen_debug(lua_State* L);
}

namespace {

// 5.0's globals index (-10001) is 5.1's environment index; 5.1's globals are one
// lower, and so is every upvalue index below them.
int index51(int idx) { return idx <= LUA_GLOBALSINDEX ? idx - 1 : idx; }

// 5.1 puts LUA_YIELD at 1 and LUA_ERRFILE after LUA_ERRERR; 5.0 starts at
// LUA_ERRRUN = 1 and has LUA_ERRFILE at 2.
int status50(int status) {
  switch (status) {
    case 2: return LUA_ERRRUN;
    case 6: return LUA_ERRFILE;
    default: return status;
  }
}

// 5.1's openers must be called through Lua with their name as argument.
void open51(lua_State* L, lua_CFunction open, const char* name) {
  l51_lua_pushcclosure(L, open, 0);
  l51_lua_pushstring(L, name);
  l51_lua_call(L, 1, 0);
}

}  // namespace

extern "C" {

lua_State* lua_open(void) { return l51_luaL_newstate(); }
void lua_close(lua_State* L) { l51_lua_close(L); }
const char* lua_version(void) { return "Lua 5.0 (test double on Lua 5.1)"; }

int lua_gettop(lua_State* L) { return l51_lua_gettop(L); }
void lua_settop(lua_State* L, int idx) { l51_lua_settop(L, idx); }
void lua_pushvalue(lua_State* L, int idx) { l51_lua_pushvalue(L, index51(idx)); }
void lua_remove(lua_State* L, int idx) { l51_lua_remove(L, index51(idx)); }
void lua_insert(lua_State* L, int idx) { l51_lua_insert(L, index51(idx)); }
int lua_checkstack(lua_State* L, int extra) { return l51_lua_checkstack(L, extra); }

int lua_type(lua_State* L, int idx) { return l51_lua_type(L, index51(idx)); }
lua_Number lua_tonumber(lua_State* L, int idx) { return l51_lua_tonumber(L, index51(idx)); }
const char* lua_tostring(lua_State* L, int idx) { return l51_lua_tolstring(L, index51(idx), nullptr); }
size_t lua_strlen(lua_State* L, int idx) { return l51_lua_objlen(L, index51(idx)); }

void lua_pushnil(lua_State* L) { l51_lua_pushnil(L); }
void lua_pushnumber(lua_State* L, lua_Number n) { l51_lua_pushnumber(L, n); }
void lua_pushlstring(lua_State* L, const char* s, size_t len) { l51_lua_pushlstring(L, s, len); }
void lua_pushstring(lua_State* L, const char* s) { l51_lua_pushstring(L, s); }
void lua_pushcclosure(lua_State* L, lua_CFunction fn, int n) { l51_lua_pushcclosure(L, fn, n); }

void lua_gettable(lua_State* L, int idx) { l51_lua_gettable(L, index51(idx)); }
void lua_rawget(lua_State* L, int idx) { l51_lua_rawget(L, index51(idx)); }
void lua_newtable(lua_State* L) { l51_lua_createtable(L, 0, 0); }
void lua_settable(lua_State* L, int idx) { l51_lua_settable(L, index51(idx)); }
void lua_rawset(lua_State* L, int idx) { l51_lua_rawset(L, index51(idx)); }
void lua_rawseti(lua_State* L, int idx, int n) { l51_lua_rawseti(L, index51(idx), n); }
int lua_next(lua_State* L, int idx) { return l51_lua_next(L, index51(idx)); }
int lua_getmetatable(lua_State* L, int idx) { return l51_lua_getmetatable(L, index51(idx)); }

void lua_concat(lua_State* L, int n) { l51_lua_concat(L, n); }
void lua_call(lua_State* L, int nargs, int nresults) { l51_lua_call(L, nargs, nresults); }
int lua_pcall(lua_State* L, int nargs, int nresults, int errfunc) {
  return status50(l51_lua_pcall(L, nargs, nresults, errfunc == 0 ? 0 : index51(errfunc)));
}
int lua_cpcall(lua_State* L, lua_CFunction fn, void* ud) { return status50(l51_lua_cpcall(L, fn, ud)); }

void luaL_openlib(lua_State* L, const char* libname, const luaL_reg* l, int nup) {
  l51_luaL_openlib(L, libname, l, nup);
}
lua_Number luaL_checknumber(lua_State* L, int narg) { return l51_luaL_checknumber(L, narg); }
lua_Number luaL_optnumber(lua_State* L, int narg, lua_Number def) {
  return l51_luaL_optnumber(L, narg, def);
}
int luaL_loadfile(lua_State* L, const char* filename) { return status50(l51_luaL_loadfile(L, filename)); }
int luaL_loadbuffer(lua_State* L, const char* buff, size_t size, const char* name) {
  return status50(l51_luaL_loadbuffer(L, buff, size, name));
}
// The position, then the message, as both versions word it.
int luaL_error(lua_State* L, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  l51_luaL_where(L, 1);
  l51_lua_pushvfstring(L, fmt, ap);
  va_end(ap);
  l51_lua_concat(L, 2);
  return l51_lua_error(L);
}
// Same call, mask bits and count in both versions; the record the hook receives
// is 5.1's, which a 5.0 hook that only passes it on does not notice.
int lua_sethook(lua_State* L, lua_Hook func, int mask, int count) {
  return l51_lua_sethook(L, func, mask, count);
}

int luaopen_base(lua_State* L) { open51(L, l51_luaopen_base, ""); return 0; }
int luaopen_table(lua_State* L) { open51(L, l51_luaopen_table, "table"); return 0; }
int luaopen_io(lua_State* L) {
  open51(L, l51_luaopen_io, "io");
  open51(L, l51_luaopen_os, "os");
  return 0;
}
int luaopen_string(lua_State* L) { open51(L, l51_luaopen_string, "string"); return 0; }
int luaopen_math(lua_State* L) { open51(L, l51_luaopen_math, "math"); return 0; }
int luaopen_debug(lua_State* L) { open51(L, l51_luaopen_debug, "debug"); return 0; }

}  // extern "C"
