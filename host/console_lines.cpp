// The console's lines and chunks (console_lines.h).
#include "console_lines.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "host_lua.h"

namespace {

constexpr int kCompletionWaitMs = 200;  // for a callback that holds the script lock
constexpr std::size_t kMaxCompletions = 5000;

ConsoleHost g_host{};

// The chunk being made of several lines.
struct Chunk {
  std::string pending;  // its lines joined by "\n", as compiled ("return x" for "=x")
  std::string typed;    // the same as typed (for history: "=x" rather than "return x")
} g_chunk;

// Piped input not yet taken as lines.
struct Piped {
  std::string input;
  std::size_t line_number = 0;
} g_piped;

// --- running chunks ---

enum class Outcome { kRan, kIncomplete };

// A syntax error at the end of the text: Lua 5.1 ends its message with '<eof>',
// Lua 5.0 says "near `<eof>'".
bool incomplete(lua_State* L) {
  const char* msg = lua_tostring(L, -1);
  if (msg == nullptr) return false;
  std::size_t n = std::strlen(msg);
  return (n >= 7 && std::strcmp(msg + n - 7, "'<eof>'") == 0) || std::strstr(msg, "near `<eof>'") != nullptr;
}

// Compiles `chunk` as an expression, whose values are printed, or else as
// statements, and runs it. kIncomplete: statements that need more lines (unless
// `last`); nothing ran.
Outcome run_chunk(const std::string& chunk, bool last) {
  if (host_is_precompiled(chunk.data(), chunk.size())) {
    std::fputs("console: precompiled code is not run\n", stderr);
    return Outcome::kRan;
  }
  Outcome outcome = Outcome::kRan;
  lua_State* L = g_host.lock();
  if (L != nullptr) {
    lua_pushcfunction(L, host_traceback);
    int base = lua_gettop(L);
    std::string expr = "return " + chunk;
    int rc = luaL_loadbuffer(L, expr.data(), expr.size(), "=console");
    if (rc != 0) {
      lua_settop(L, base);
      rc = luaL_loadbuffer(L, chunk.data(), chunk.size(), "=console");
      if (rc != 0 && !last && incomplete(L)) outcome = Outcome::kIncomplete;
    }
    if (outcome == Outcome::kRan) {
      bool quiet = false;
      if (rc == 0) rc = g_host.call(L, base, quiet);
      if (rc != 0) {
        if (!quiet) host_print_error("", lua_tostring(L, -1));
      } else if (lua_gettop(L) > base) {
        lua_getglobal(L, "print");
        lua_insert(L, base + 1);
        if (lua_pcall(L, lua_gettop(L) - base - 1, 0, 0) != 0) host_print_error("", lua_tostring(L, -1));
      }
    }
    lua_settop(L, base - 1);
  }
  g_host.unlock();
  std::fflush(stdout);
  return outcome;
}

// --- completion ---

const char* const kKeywords[] = {"and", "break", "do", "else", "elseif", "end", "false", "for", "function", "if", "in",
                                 "local", "nil", "not", "or", "repeat", "return", "then", "true", "until", "while"};

bool identifier(const char* s) {
  if (s == nullptr || !(std::isalpha(static_cast<unsigned char>(*s)) || *s == '_')) return false;
  for (++s; *s; ++s)
    if (!(std::isalnum(static_cast<unsigned char>(*s)) || *s == '_')) return false;
  return true;
}

// Replaces the value on top with the table its metatable names as __index; false,
// with the stack as it was, when there is none.
bool index_table(lua_State* L) {
  if (!lua_getmetatable(L, -1)) return false;
  lua_pushstring(L, "__index");
  lua_rawget(L, -2);
  if (lua_type(L, -1) != LUA_TTABLE) {
    lua_pop(L, 2);
    return false;
  }
  lua_remove(L, -2);
  lua_remove(L, -2);
  return true;
}

// Replaces the value on top with its field `name`: a raw look-up in it, then in
// the tables its metatables name as __index. No __index function runs: completing
// never runs script code.
bool field(lua_State* L, const std::string& name) {
  for (int depth = 0; depth < 4; ++depth) {
    if (lua_type(L, -1) == LUA_TTABLE) {
      lua_pushlstring(L, name.data(), name.size());
      lua_rawget(L, -2);
      if (lua_type(L, -1) != LUA_TNIL) {
        lua_remove(L, -2);
        return true;
      }
      lua_pop(L, 1);
    }
    if (!index_table(L)) break;
  }
  lua_pop(L, 1);
  return false;
}

// The fields of the value on top (and of its __index tables) that start with
// `prefix`, as `head` + name, with "(" after a function and "." after a table.
void collect(lua_State* L, const std::string& prefix, const std::string& head, bool methods,
             std::vector<std::string>& out) {
  lua_pushvalue(L, -1);
  for (int depth = 0; depth < 4 && out.size() < kMaxCompletions; ++depth) {
    if (lua_type(L, -1) == LUA_TTABLE) {
      lua_pushnil(L);
      while (lua_next(L, -2) != 0) {
        int type = lua_type(L, -1);
        const char* key = lua_type(L, -2) == LUA_TSTRING ? lua_tostring(L, -2) : nullptr;
        if (identifier(key) && std::strncmp(key, prefix.c_str(), prefix.size()) == 0 &&
            (!methods || type == LUA_TFUNCTION) && out.size() < kMaxCompletions)
          out.push_back(head + key + (type == LUA_TFUNCTION ? "(" : type == LUA_TTABLE ? "." : ""));
        lua_pop(L, 1);
      }
    }
    if (!index_table(L)) break;
  }
  lua_pop(L, 1);
}

}  // namespace

void lines_start(const ConsoleHost& host) { g_host = host; }

const ConsoleHost& lines_host() { return g_host; }

bool take_line(const std::string& line, std::string& typed) {
  std::string code = g_chunk.pending.empty() && !line.empty() && line[0] == '=' ? "return " + line.substr(1) : line;
  if (g_chunk.pending.empty() && code.find_first_not_of(" \t") == std::string::npos) return false;
  std::string chunk = g_chunk.pending.empty() ? code : g_chunk.pending + "\n" + code;
  std::string as_typed = g_chunk.pending.empty() ? line : g_chunk.typed + "\n" + line;
  if (run_chunk(chunk, false) == Outcome::kIncomplete) {
    g_chunk.pending = chunk;
    g_chunk.typed = as_typed;
    return false;
  }
  drop_pending();
  typed = as_typed;
  return true;
}

bool chunk_pending() { return !g_chunk.pending.empty(); }

void drop_pending() {
  g_chunk.pending.clear();
  g_chunk.typed.clear();
}

bool take_piped(const char* data, std::size_t n) {
  g_piped.input.append(data, n);
  std::string typed;
  std::size_t at;
  while (!g_host.quitting() && (at = g_piped.input.find('\n')) != std::string::npos && at <= kMaxLine) {
    ++g_piped.line_number;
    std::string line = g_piped.input.substr(0, at);
    g_piped.input.erase(0, at + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    take_line(line, typed);
  }
  int status = 0;
  if (g_piped.input.size() > kMaxLine && !g_host.quitting()) {
    std::fprintf(stderr, "tavrel: console line %zu is longer than %zu bytes; the run ends\n",
                 g_piped.line_number + 1, kMaxLine);
    status = 1;
  } else if (n > 0) {
    return true;
  } else if (!g_host.quitting()) {
    std::string& rest = g_piped.input;
    if (!rest.empty() && rest.back() == '\r') rest.pop_back();
    if (!rest.empty()) take_line(rest, typed);
    if (chunk_pending()) run_chunk(g_chunk.pending, true);  // its error tells what is missing
  }
  g_piped.input.clear();
  g_host.quit(status);
  return false;
}

std::vector<std::string> completions(const std::string& text) {
  std::size_t cut = text.find_last_of(".:");
  std::string prefix = cut == std::string::npos ? text : text.substr(cut + 1);
  std::string head = cut == std::string::npos ? "" : text.substr(0, cut + 1);
  std::vector<std::string> out;
  lua_State* L = nullptr;
  if (g_host.try_lock(kCompletionWaitMs, &L)) {
    if (L != nullptr && lua_checkstack(L, 12)) {
      int top = lua_gettop(L);
      lua_pushvalue(L, LUA_GLOBALSINDEX);
      bool found = true;
      for (std::size_t at = 0; found && cut != std::string::npos && at <= cut;) {
        std::size_t end = text.find_first_of(".:", at);
        std::string name = text.substr(at, end - at);
        found = identifier(name.c_str()) && field(L, name);
        at = end + 1;
      }
      if (found) collect(L, prefix, head, cut != std::string::npos && text[cut] == ':', out);
      lua_settop(L, top);
    }
    g_host.unlock();
  }
  if (cut == std::string::npos)
    for (const char* k : kKeywords)
      if (std::strncmp(k, prefix.c_str(), prefix.size()) == 0) out.push_back(k);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}
