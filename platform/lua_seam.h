// The Lua seam: the handful of Lua calls the plug-in makes, bound at run time to
// the Lua of the process that loaded it, Lua 5.0 or Lua 5.1. Nothing else in the
// plug-in includes a Lua header or links a Lua library, so one binary serves hosts
// on either version; the differences between them live in lua_seam.cpp only.
#pragma once

#include <cstddef>

struct lua_State;  // opaque here; the same type the host's lua.h names

namespace cvn::lua {

using Number = double;                   // lua_Number in both versions
using Function = int (*)(lua_State* L);  // lua_CFunction
struct Reg {                             // one entry of a library table
  const char* name;
  Function func;
};

constexpr int kTypeNumber = 3;  // the type codes agree between 5.0 and 5.1
constexpr int kTypeString = 4;

enum class Flavour { kNone, kLua50, kLua51 };

// A candidate Lua's exported symbol by name, or nullptr when it has none.
using Lookup = void* (*)(void* ctx, const char* name);

// Binds every call below from the object that exports `lua_gettop` in this
// process: on POSIX the first one the dynamic linker finds, on Windows the first
// loaded module exporting it. The flavour is told by what that object exports:
// lua_tolstring and lua_objlen (5.1), or lua_tostring, lua_strlen and a
// lua_version that says "Lua 5.0" (5.0). Returns kNone and leaves the seam
// unbound when there is no Lua, its flavour cannot be told, or a call is missing;
// `why` then says which (cut to `cap`). Host thread at event 7, no script running.
Flavour bind_process(char* why, std::size_t cap);

// The same from a lookup of the caller's; bind_process supplies the process's.
Flavour bind(Lookup find, void* ctx, char* why, std::size_t cap);

// The flavour bound last, kNone before the first successful bind.
Flavour flavour();

// The calls, with the meaning the Lua reference manuals give them; none may be
// made while flavour() is kNone. Callers hold the script lock or run as a script
// function.
int top(lua_State* L);                        // lua_gettop
void set_top(lua_State* L, int idx);          // lua_settop
void pop(lua_State* L, int n);                // lua_pop
void insert(lua_State* L, int idx);           // lua_insert
bool check_stack(lua_State* L, int extra);    // lua_checkstack
int type(lua_State* L, int idx);              // lua_type
Number to_number(lua_State* L, int idx);      // lua_tonumber
const char* to_text(lua_State* L, int idx);   // the text at idx, or nullptr
void push_nil(lua_State* L);                  // lua_pushnil
void push_number(lua_State* L, Number n);     // lua_pushnumber
void push_text(lua_State* L, const char* s);  // lua_pushstring
// lua_pushlstring, which Lua 5.0 and 5.1 both export with this meaning: the
// text's length is given, and zero bytes are part of it.
void push_text(lua_State* L, const char* s, std::size_t len);
void push_value(lua_State* L, int idx);       // lua_pushvalue
// Pushes the global `name`, read raw (no metamethods run).
void raw_get_global(lua_State* L, const char* name);
// Pops a value and stores it as the global `name`, raw.
void raw_set_global(lua_State* L, const char* name);
int pcall(lua_State* L, int nargs, int nresults, int errfunc);  // lua_pcall
int cpcall(lua_State* L, Function fn, void* ud);                 // lua_cpcall
Number check_number(lua_State* L, int arg);                      // luaL_checknumber; may raise
// luaL_openlib: the table `name` with `regs` (ending in {nullptr, nullptr}), left
// on the stack; raises when the global of that name is neither nil nor a table.
void open_lib(lua_State* L, const char* name, const Reg* regs, int nup);

}  // namespace cvn::lua
