/* Lua 5.0's C interface as the test double presents it: the calls the stand-in
 * hosts make and the plug-in may bind, with Lua 5.0's names, types, status codes
 * and pseudo-indices. Written from the Lua 5.0 reference manual; it declares only
 * what the tests use. */
#ifndef CVN_LUA50_H
#define CVN_LUA50_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lua_State lua_State;
typedef int (*lua_CFunction)(lua_State* L);
typedef double lua_Number;
typedef struct luaL_reg {
  const char* name;
  lua_CFunction func;
} luaL_reg;

#define LUA_REGISTRYINDEX (-10000)
#define LUA_GLOBALSINDEX (-10001)
#define lua_upvalueindex(i) (LUA_GLOBALSINDEX - (i))

#define LUA_MULTRET (-1)

#define LUA_TNONE (-1)
#define LUA_TNIL 0
#define LUA_TBOOLEAN 1
#define LUA_TLIGHTUSERDATA 2
#define LUA_TNUMBER 3
#define LUA_TSTRING 4
#define LUA_TTABLE 5
#define LUA_TFUNCTION 6
#define LUA_TUSERDATA 7
#define LUA_TTHREAD 8

#define LUA_ERRRUN 1
#define LUA_ERRFILE 2
#define LUA_ERRSYNTAX 3
#define LUA_ERRMEM 4
#define LUA_ERRERR 5

/* Debug hooks: the stand-in hosts stop running code with a count hook. The record
 * is only passed through, so its fields are not declared. */
typedef struct lua_Debug lua_Debug;
typedef void (*lua_Hook)(lua_State* L, lua_Debug* ar);
#define LUA_MASKCOUNT (1 << 3)

lua_State* lua_open(void);
void lua_close(lua_State* L);
const char* lua_version(void);

int lua_gettop(lua_State* L);
void lua_settop(lua_State* L, int idx);
void lua_pushvalue(lua_State* L, int idx);
void lua_remove(lua_State* L, int idx);
void lua_insert(lua_State* L, int idx);
int lua_checkstack(lua_State* L, int extra);

int lua_type(lua_State* L, int idx);
lua_Number lua_tonumber(lua_State* L, int idx);
const char* lua_tostring(lua_State* L, int idx);
size_t lua_strlen(lua_State* L, int idx);

void lua_pushnil(lua_State* L);
void lua_pushnumber(lua_State* L, lua_Number n);
void lua_pushlstring(lua_State* L, const char* s, size_t len);
void lua_pushstring(lua_State* L, const char* s);
void lua_pushcclosure(lua_State* L, lua_CFunction fn, int n);

void lua_gettable(lua_State* L, int idx);
void lua_rawget(lua_State* L, int idx);
void lua_newtable(lua_State* L);
void lua_settable(lua_State* L, int idx);
void lua_rawset(lua_State* L, int idx);
void lua_rawseti(lua_State* L, int idx, int n);
int lua_next(lua_State* L, int idx);
int lua_getmetatable(lua_State* L, int objindex);

void lua_concat(lua_State* L, int n);
void lua_call(lua_State* L, int nargs, int nresults);
int lua_pcall(lua_State* L, int nargs, int nresults, int errfunc);
int lua_cpcall(lua_State* L, lua_CFunction fn, void* ud);

void luaL_openlib(lua_State* L, const char* libname, const luaL_reg* l, int nup);
lua_Number luaL_checknumber(lua_State* L, int narg);
lua_Number luaL_optnumber(lua_State* L, int narg, lua_Number def);
int luaL_loadfile(lua_State* L, const char* filename);
int luaL_loadbuffer(lua_State* L, const char* buff, size_t size, const char* name);
int luaL_error(lua_State* L, const char* fmt, ...);
int lua_sethook(lua_State* L, lua_Hook func, int mask, int count);

/* Each returns what it leaves on the stack; io also opens os, as in 5.0. */
int luaopen_base(lua_State* L);
int luaopen_table(lua_State* L);
int luaopen_io(lua_State* L);
int luaopen_string(lua_State* L);
int luaopen_math(lua_State* L);
int luaopen_debug(lua_State* L);

#define lua_pop(L, n) lua_settop(L, -(n)-1)
#define lua_pushcfunction(L, f) lua_pushcclosure(L, f, 0)
#define lua_isfunction(L, n) (lua_type(L, n) == LUA_TFUNCTION)
#define lua_istable(L, n) (lua_type(L, n) == LUA_TTABLE)
#define lua_getglobal(L, s) (lua_pushstring(L, s), lua_gettable(L, LUA_GLOBALSINDEX))
#define lua_setglobal(L, s) \
  (lua_pushstring(L, s), lua_insert(L, -2), lua_settable(L, LUA_GLOBALSINDEX))

#ifdef __cplusplus
}
#endif

#endif
