// The Lua seam's calls and the choice between Lua 5.0 and Lua 5.1. The two agree
// on every call the plug-in makes except reading a text (5.0 exports lua_tostring,
// 5.1 only lua_tolstring) and the globals pseudo-index (-10001 in 5.0, -10002 in
// 5.1, where -10001 is the environment and 5.0 reads -10002 as upvalue 1).
#include "lua_seam.h"

#include <cstdio>
#include <cstring>

namespace cvn::lua {
namespace {

constexpr int kGlobals50 = -10001;
constexpr int kGlobals51 = -10002;

struct Api {
  int (*gettop)(lua_State*);
  void (*settop)(lua_State*, int);
  void (*insert)(lua_State*, int);
  int (*checkstack)(lua_State*, int);
  int (*type)(lua_State*, int);
  Number (*tonumber)(lua_State*, int);
  const char* (*text50)(lua_State*, int);                // 5.0 lua_tostring
  const char* (*text51)(lua_State*, int, std::size_t*);  // 5.1 lua_tolstring
  void (*pushnil)(lua_State*);
  void (*pushnumber)(lua_State*, Number);
  void (*pushstring)(lua_State*, const char*);
  void (*pushlstring)(lua_State*, const char*, std::size_t);
  void (*pushvalue)(lua_State*, int);
  void (*rawget)(lua_State*, int);
  void (*rawset)(lua_State*, int);
  int (*pcall)(lua_State*, int, int, int);
  int (*cpcall)(lua_State*, Function, void*);
  Number (*checknumber)(lua_State*, int);
  void (*openlib)(lua_State*, const char*, const Reg*, int);
  int globals;
  Flavour flavour;
};

// Written whole at event 7 by the host's thread before the state is published to
// the other threads (module_state's atomic store orders it); read-only afterwards.
Api g_api{};

template <typename Fn>
bool take(Fn& fn, Lookup find, void* ctx, const char* name, const char** missing) {
  void* p = find(ctx, name);
  if (p == nullptr) {
    if (*missing == nullptr) *missing = name;
    return false;
  }
  fn = reinterpret_cast<Fn>(p);
  return true;
}

// Leaves the seam unbound and says why.
Flavour fail(char* why, std::size_t cap, const char* format, const char* name) {
  g_api = Api{};
  if (why != nullptr && cap > 0) std::snprintf(why, cap, format, name);
  return Flavour::kNone;
}

// Lua 5.0 exports lua_version() returning "Lua 5.0..."; 5.1 exports none and
// 5.2 and later export one returning a number's address.
bool says_lua50(void* version) {
  auto fn = reinterpret_cast<const char* (*)()>(version);
  const char* v = fn();
  return v != nullptr && std::strncmp(v, "Lua 5.0", 7) == 0;
}

}  // namespace

Flavour bind(Lookup find, void* ctx, char* why, std::size_t cap) {
  if (find(ctx, "lua_gettop") == nullptr) return fail(why, cap, "%s", "no Lua in this process");
  bool has51 = find(ctx, "lua_tolstring") != nullptr && find(ctx, "lua_objlen") != nullptr;
  void* version = find(ctx, "lua_version");
  bool has50 = !has51 && find(ctx, "lua_tolstring") == nullptr &&
               find(ctx, "lua_tostring") != nullptr && find(ctx, "lua_strlen") != nullptr &&
               version != nullptr;
  Flavour f = Flavour::kNone;
  if (has51 && version == nullptr) f = Flavour::kLua51;
  // lua_version is only called once the exports say 5.0 (5.2 exports one too).
  if (has50 && says_lua50(version)) f = Flavour::kLua50;
  if (f == Flavour::kNone)
    return fail(why, cap, "%s", "the process's Lua is neither Lua 5.0 nor Lua 5.1");

  Api a{};
  const char* missing = nullptr;
  bool ok = take(a.gettop, find, ctx, "lua_gettop", &missing);
  ok &= take(a.settop, find, ctx, "lua_settop", &missing);
  ok &= take(a.insert, find, ctx, "lua_insert", &missing);
  ok &= take(a.checkstack, find, ctx, "lua_checkstack", &missing);
  ok &= take(a.type, find, ctx, "lua_type", &missing);
  ok &= take(a.tonumber, find, ctx, "lua_tonumber", &missing);
  ok &= take(a.pushnil, find, ctx, "lua_pushnil", &missing);
  ok &= take(a.pushnumber, find, ctx, "lua_pushnumber", &missing);
  ok &= take(a.pushstring, find, ctx, "lua_pushstring", &missing);
  ok &= take(a.pushlstring, find, ctx, "lua_pushlstring", &missing);
  ok &= take(a.pushvalue, find, ctx, "lua_pushvalue", &missing);
  ok &= take(a.rawget, find, ctx, "lua_rawget", &missing);
  ok &= take(a.rawset, find, ctx, "lua_rawset", &missing);
  ok &= take(a.pcall, find, ctx, "lua_pcall", &missing);
  ok &= take(a.cpcall, find, ctx, "lua_cpcall", &missing);
  ok &= take(a.checknumber, find, ctx, "luaL_checknumber", &missing);
  if (f == Flavour::kLua50) {
    ok &= take(a.text50, find, ctx, "lua_tostring", &missing);
    ok &= take(a.openlib, find, ctx, "luaL_openlib", &missing);
    a.globals = kGlobals50;
  } else {
    ok &= take(a.text51, find, ctx, "lua_tolstring", &missing);
    // A 5.1 built without LUA_COMPAT_OPENLIB exports the same function as luaI_openlib.
    const char* no_openlib = nullptr;
    if (!take(a.openlib, find, ctx, "luaL_openlib", &no_openlib) &&
        !take(a.openlib, find, ctx, "luaI_openlib", &no_openlib)) {
      ok = false;
      if (missing == nullptr) missing = "luaL_openlib";
    }
    a.globals = kGlobals51;
  }
  if (!ok) return fail(why, cap, "the process's Lua lacks %s", missing);
  a.flavour = f;
  g_api = a;
  return f;
}

Flavour flavour() { return g_api.flavour; }

int top(lua_State* L) { return g_api.gettop(L); }
void set_top(lua_State* L, int idx) { g_api.settop(L, idx); }
void pop(lua_State* L, int n) { g_api.settop(L, -n - 1); }
void insert(lua_State* L, int idx) { g_api.insert(L, idx); }
bool check_stack(lua_State* L, int extra) { return g_api.checkstack(L, extra) != 0; }
int type(lua_State* L, int idx) { return g_api.type(L, idx); }
Number to_number(lua_State* L, int idx) { return g_api.tonumber(L, idx); }

const char* to_text(lua_State* L, int idx) {
  return g_api.text51 != nullptr ? g_api.text51(L, idx, nullptr) : g_api.text50(L, idx);
}

void push_nil(lua_State* L) { g_api.pushnil(L); }
void push_number(lua_State* L, Number n) { g_api.pushnumber(L, n); }
void push_text(lua_State* L, const char* s) { g_api.pushstring(L, s); }
void push_text(lua_State* L, const char* s, std::size_t len) { g_api.pushlstring(L, s, len); }
void push_value(lua_State* L, int idx) { g_api.pushvalue(L, idx); }

void raw_get_global(lua_State* L, const char* name) {
  g_api.pushstring(L, name);
  g_api.rawget(L, g_api.globals);
}

void raw_set_global(lua_State* L, const char* name) {
  g_api.pushstring(L, name);
  g_api.insert(L, -2);
  g_api.rawset(L, g_api.globals);
}

int pcall(lua_State* L, int nargs, int nresults, int errfunc) {
  return g_api.pcall(L, nargs, nresults, errfunc);
}

int cpcall(lua_State* L, Function fn, void* ud) { return g_api.cpcall(L, fn, ud); }

Number check_number(lua_State* L, int arg) { return g_api.checknumber(L, arg); }

void open_lib(lua_State* L, const char* name, const Reg* regs, int nup) {
  g_api.openlib(L, name, regs, nup);
}

}  // namespace cvn::lua
