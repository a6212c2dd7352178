// A script author's likely mistakes, told on standard error (mistakes.h). The
// wrappers read the arguments as the plug-in does, from the last, and say what
// it made of them; they change nothing the plug-in sees or returns.
#include "mistakes.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The functions that take a callback, with what they read: `n` arguments from
// the last, the host's and the callback's places among them (1-based; 0: none).
struct Checked {
  const char* name;
  const char* params;
  int n;
  int host;
  int callback;
};
constexpr Checked kChecked[] = {
    {"Open", "host, port, callback", 3, 1, 3},
    {"Listen", "port, callback", 2, 0, 2},
    {"Accept", "listener, callback", 2, 0, 2},
};

constexpr std::size_t kValueSize = 64;   // one value as it is shown
constexpr std::size_t kCallSize = 320;   // a call with its arguments and socket
constexpr std::size_t kNameSize = 250;   // as long as the plug-in keeps a callback name
constexpr int kShownArgs = 6;
constexpr std::size_t kMaxNotes = 64;    // callbacks remembered, the newest kept

// A callback the script named, with the call that named it.
struct Note {
  char name[kNameSize];
  char call[kCallSize];
  bool told;
};

std::mutex g_mu;
std::vector<Note> g_notes;

void copy_cut(char* out, std::size_t cap, const char* text) { std::snprintf(out, cap, "%s", text ? text : ""); }

// A value as a script would write it: "text" (cut), 4998, nil, a function. Reads
// without converting: lua_tostring would turn a number argument into a text.
void describe(lua_State* L, int idx, char* out, std::size_t cap, bool article = true) {
  int type = idx >= 1 ? lua_type(L, idx) : LUA_TNONE;
  switch (type) {
    case LUA_TNONE:
      std::snprintf(out, cap, "missing");
      return;
    case LUA_TNIL:
      std::snprintf(out, cap, "nil");
      return;
    case LUA_TNUMBER:
      std::snprintf(out, cap, "%.14g", static_cast<double>(lua_tonumber(L, idx)));
      return;
    case LUA_TSTRING: {
      const char* s = lua_tostring(L, idx);
      std::size_t len = std::strlen(s), shown = len > 40 ? 37 : len;
      std::size_t at = 0;
      out[at++] = '"';
      for (std::size_t i = 0; i < shown && at + 6 < cap; ++i)
        out[at++] = static_cast<unsigned char>(s[i]) < 0x20 ? '?' : s[i];
      std::snprintf(out + at, cap - at, shown < len ? "...\"" : "\"");
      return;
    }
    default: {
      const char* what = type == LUA_TFUNCTION ? "function" : type == LUA_TTABLE ? "table"
                         : type == LUA_TBOOLEAN ? "boolean" : "userdata";
      std::snprintf(out, cap, "%s%s", article ? "a " : "", what);
    }
  }
}

// Open("127.0.0.1", 4998) as the script wrote the call.
void describe_call(lua_State* L, const Checked& f, int argc, char* out, std::size_t cap) {
  std::size_t at = static_cast<std::size_t>(std::snprintf(out, cap, "%s(", f.name));
  for (int i = 1; i <= argc && at < cap; ++i) {
    char v[kValueSize];
    if (i > kShownArgs) {
      std::snprintf(v, sizeof v, "...");
    } else {
      describe(L, i, v, sizeof v, false);
    }
    at += static_cast<std::size_t>(std::snprintf(out + at, cap - at, "%s%s", i > 1 ? ", " : "", v));
    if (i > kShownArgs) break;
  }
  if (at < cap) std::snprintf(out + at, cap - at, ")");
}

// "the host was missing, the port "127.0.0.1" and the callback 4998": what the
// plug-in took for each of its arguments, reading the last n of argc.
void describe_reading(lua_State* L, const Checked& f, int argc, char* out, std::size_t cap) {
  std::size_t at = 0;
  const char* param = f.params;
  for (int i = 1; i <= f.n && at < cap; ++i) {
    std::size_t len = std::strcspn(param, ",");
    char v[kValueSize];
    describe(L, argc - f.n + i, v, sizeof v);
    const char* sep = i == 1 ? "" : i == f.n ? " and " : ", ";
    at += static_cast<std::size_t>(std::snprintf(out + at, cap - at, "%sthe %.*s %s%s", sep, static_cast<int>(len),
                                                 param, i == 1 ? "was " : "", v));
    param += len;
    while (*param == ',' || *param == ' ') ++param;
  }
}

// The note for a callback name, made when there is none. Caller holds g_mu.
Note& note_locked(const char* name) {
  for (Note& old : g_notes)
    if (std::strcmp(old.name, name) == 0) return old;
  if (g_notes.size() >= kMaxNotes) g_notes.erase(g_notes.begin());
  g_notes.emplace_back();
  Note& n = g_notes.back();
  copy_cut(n.name, sizeof n.name, name);
  n.call[0] = '\0';
  n.told = false;
  return n;
}

void note(const char* name, const char* call, bool told) {
  std::lock_guard<std::mutex> lk(g_mu);
  Note& n = note_locked(name);
  copy_cut(n.call, sizeof n.call, call);
  n.told = n.told || told;
}

// What the call's arguments were, kept before the call: the plug-in's results
// replace them on the stack.
struct Reading {
  char call[kCallSize - 32];  // room for " socket N"
  char reading[kCallSize];
  char host[kValueSize];
  char name[kNameSize];
  int callback_type;
  int host_type;
  bool too_few;
};

void read_arguments(lua_State* L, const Checked& f, int argc, Reading& r) {
  describe_call(L, f, argc, r.call, sizeof r.call);
  r.too_few = argc < f.n;
  if (r.too_few) describe_reading(L, f, argc, r.reading, sizeof r.reading);
  int callback = argc - f.n + f.callback;
  r.callback_type = callback >= 1 ? lua_type(L, callback) : LUA_TNONE;
  r.name[0] = '\0';
  if (r.callback_type == LUA_TSTRING) copy_cut(r.name, sizeof r.name, lua_tostring(L, callback));
  if (r.callback_type == LUA_TNUMBER) describe(L, callback, r.name, sizeof r.name);
  int host = argc - f.n + f.host;
  r.host_type = f.host != 0 && host >= 1 ? lua_type(L, host) : LUA_TNONE;
  describe(L, f.host != 0 ? host : 0, r.host, sizeof r.host);
}

// The one line for a call, if it has a likely mistake; the callback is noted for
// a push that fails later.
void tell(const Checked& f, const Reading& r, bool have_socket, double socket, double status) {
  char call[kCallSize];
  if (have_socket)
    std::snprintf(call, sizeof call, "%s socket %.0f", r.call, socket);
  else
    std::snprintf(call, sizeof call, "%s", r.call);
  bool told = true;
  if (r.too_few) {
    std::fprintf(stderr, "tavrel: %s: too few arguments for %s(%s), which reads the last %d: %s\n", call, f.name,
                 f.params, f.n, r.reading);
  } else if (r.callback_type != LUA_TSTRING) {
    const char* what = r.callback_type == LUA_TFUNCTION ? "a function"
                       : r.callback_type == LUA_TNUMBER ? "a number"
                       : r.callback_type == LUA_TTABLE  ? "a table"
                       : r.callback_type == LUA_TNIL    ? "nil"
                                                        : "not a text";
    std::fprintf(stderr, "tavrel: %s: the callback is %s; %s takes the name of the function, a text such as "
                 "\"OnEvent\", and calls nothing for this one\n", call, what, f.name);
  } else if (f.host != 0 && status == -1 && r.host_type == LUA_TNUMBER) {
    std::fprintf(stderr, "tavrel: %s: the host is a number, %s, and was not found; a host is a text, a name "
                 "or a dotted address such as \"192.168.1.70\"\n", call, r.host);
  } else {
    told = false;
  }
  if (have_socket && r.name[0] != '\0') note(r.name, call, told);
}

// The wrapper of one of kChecked: upvalue 1 the plug-in's function, upvalue 2
// its place in kChecked. The arguments go through as they came.
int l_checked(lua_State* L) {
  const Checked& f = kChecked[static_cast<int>(lua_tonumber(L, lua_upvalueindex(2)))];
  int argc = lua_gettop(L);
  Reading r;
  read_arguments(L, f, argc, r);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, argc, LUA_MULTRET);
  int results = lua_gettop(L);
  // Open and Listen give nil or a socket, Accept 0 or one; the status comes last.
  bool have_socket = results >= 2 && lua_type(L, 1) == LUA_TNUMBER && lua_tonumber(L, 1) != 0;
  tell(f, r, have_socket, have_socket ? lua_tonumber(L, 1) : 0, results >= 2 ? lua_tonumber(L, results) : 0);
  return results;
}

}  // namespace

void mistakes_watch(lua_State* L) {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_notes.clear();
  }
  lua_pushstring(L, "cvn_old");
  lua_rawget(L, LUA_GLOBALSINDEX);
  if (lua_istable(L, -1)) {
    for (std::size_t i = 0; i < sizeof kChecked / sizeof kChecked[0]; ++i) {
      lua_pushstring(L, kChecked[i].name);
      lua_pushstring(L, kChecked[i].name);
      lua_rawget(L, -3);
      if (!lua_isfunction(L, -1)) {
        lua_pop(L, 2);
        continue;
      }
      lua_pushnumber(L, static_cast<lua_Number>(i));
      lua_pushcclosure(L, l_checked, 2);
      lua_rawset(L, -3);
    }
  }
  lua_pop(L, 1);
}

void mistakes_push_failed(const char* name) {
  if (name == nullptr || *name == '\0') return;  // a callback given as no text: told at the call
  char call[kCallSize];
  {
    std::lock_guard<std::mutex> lk(g_mu);
    Note& n = note_locked(name);
    if (n.told) return;
    n.told = true;
    copy_cut(call, sizeof call, n.call);
  }
  if (call[0] != '\0')
    std::fprintf(stderr, "tavrel: %s: \"%s\" is not a function, so nothing is called for its events\n", call, name);
  else
    std::fprintf(stderr, "tavrel: callback \"%s\" is not a function, so nothing is called for its events\n", name);
}
