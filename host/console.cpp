// tavrel's console. On a terminal, readline's callback interface reads the keys
// on the main thread, and a relay thread carries everything the program writes
// (print from callbacks on the network thread, the plug-in's debugger lines) from
// a pipe that stands in for standard output and error to the terminal, above the
// line being typed, which is then drawn again. One mutex keeps readline to one
// thread at a time; it is never held while waiting for the script lock longer
// than a completion may wait, and never by anyone who holds the script lock.
#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <readline/history.h>
#include <readline/readline.h>

namespace {

constexpr const char* kPrompt = "> ";
constexpr const char* kMorePrompt = ">> ";
// A longer line is not Lua anyone types; it is dropped (typed) or ends the run
// (piped) rather than growing without bound.
constexpr std::size_t kMaxLine = 65536;
constexpr int kHistoryEntries = 1000;
constexpr int kCompletionWaitMs = 200;  // for a callback that holds the script lock
constexpr std::size_t kMaxCompletions = 5000;
constexpr int kRelayIdleMs = 100;  // an unfinished output line waits this long
// A line longer than this is drawn only when the keys stop coming (see below).
constexpr int kLongLine = 512;

struct Console {
  ConsoleHost host{};
  bool interactive = false;
  bool reading = false;  // standard input is still read
  std::string pending;   // an unfinished chunk, its lines joined by "\n"
  std::string typed;     // the same as typed (for history: "=x" rather than "return x")
  // Piped input.
  std::string input;
  std::size_t line_number = 0;
  // The terminal. `term` guards readline, `shown` and the writes to `tty`.
  std::mutex term;
  bool shown = false;       // readline's handler is installed: the prompt is on screen
  bool discarding = false;  // an overlong line is skipped up to its end
  bool have_line = false;   // set by readline's handler
  bool eof = false;
  bool stale = false;  // the line on screen is behind the one typed
  std::string line;
  std::string keys;  // read from the terminal, not yet given to readline
  std::size_t next_key = 0;
  FILE* tty = nullptr;
  std::string history_path;
  // Output relay.
  int relay_fd = -1;
  std::string held;  // output read from the pipe, not yet written (under `term`)
  int err_fd = STDERR_FILENO;  // what stands for standard error (see console_start)
  int saved_out = -1;
  int saved_err = -1;
  std::atomic<bool> closing{false};
  std::thread relay;
} g;

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
  lua_State* L = g.host.lock();
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
      if (rc == 0) rc = g.host.call(L, base, quiet);
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
  g.host.unlock();
  std::fflush(stdout);
  return outcome;
}

void remember(const std::string& text);

// A line typed or read: it starts a chunk or continues the unfinished one. A
// first line "=expr" stands for "return expr", as in the stand-alone interpreter.
void take_line(const std::string& line) {
  std::string code = g.pending.empty() && !line.empty() && line[0] == '=' ? "return " + line.substr(1) : line;
  if (g.pending.empty() && code.find_first_not_of(" \t") == std::string::npos) return;
  std::string chunk = g.pending.empty() ? code : g.pending + "\n" + code;
  std::string typed = g.pending.empty() ? line : g.typed + "\n" + line;
  if (run_chunk(chunk, false) == Outcome::kIncomplete) {
    g.pending = chunk;
    g.typed = typed;
    return;
  }
  g.pending.clear();
  g.typed.clear();
  if (g.interactive) remember(typed);
}

// --- piped input ---

void stop_reading(int status) {
  g.reading = false;
  g.input.clear();
  g.host.quit(status);
}

void read_piped() {
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) g.input.append(buf, static_cast<std::size_t>(n));
  std::size_t at;
  while (!g.host.quitting() && (at = g.input.find('\n')) != std::string::npos && at <= kMaxLine) {
    ++g.line_number;
    std::string line = g.input.substr(0, at);
    g.input.erase(0, at + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    take_line(line);
  }
  if (g.input.size() > kMaxLine && !g.host.quitting()) {
    std::fprintf(stderr, "tavrel: console line %zu is longer than %zu bytes; the run ends\n", g.line_number + 1,
                 kMaxLine);
    return stop_reading(1);
  }
  if (n > 0) return;
  if (!g.host.quitting()) {
    if (!g.input.empty() && g.input.back() == '\r') g.input.pop_back();
    if (!g.input.empty()) take_line(g.input);
    if (!g.pending.empty()) run_chunk(g.pending, true);  // its error tells what is missing
  }
  stop_reading(0);
}

// --- the terminal (g.term held unless said otherwise) ---

void on_line(char* raw);
void settle_output();

void show_prompt() {
  rl_callback_handler_install(g.pending.empty() ? kPrompt : kMorePrompt, on_line);
  g.shown = true;
}

// While no prompt shows, the terminal has its usual modes: a running line can
// read it, and Ctrl-C reaches the process as SIGINT.
void hide_prompt() {
  if (!g.shown) return;
  rl_callback_handler_remove();
  g.shown = false;
}

// readline's handler, inside rl_callback_read_char: the line runs after readline
// has returned and the terminal mutex is released.
void on_line(char* raw) {
  const char* prompt = g.pending.empty() ? kPrompt : kMorePrompt;
  hide_prompt();
  if (raw == nullptr) {
    g.eof = true;
    return;
  }
  if (std::strlen(raw) > kMaxLine) {  // accepted within the block that made it too long
    std::free(raw);
    std::fprintf(g.tty, "tavrel: the line is longer than %zu characters; it is dropped\n", kMaxLine);
    g.pending.clear();
    g.typed.clear();
    g.have_line = false;
    show_prompt();
    return;
  }
  if (g.stale) {  // what is on screen is not the line accepted: show it whole
    std::fprintf(g.tty, "%s%s\n", prompt, raw);
    std::fflush(g.tty);
    g.stale = false;
  }
  g.line = raw;
  g.have_line = true;
  std::free(raw);
}

// Writes `text` on the terminal; while the prompt shows, above it, and the prompt
// with the line being typed is drawn again below.
void write_above(const std::string& text) {
  if (text.empty()) return;
  if (!g.shown) {
    std::fwrite(text.data(), 1, text.size(), g.tty);
    std::fflush(g.tty);
    return;
  }
  rl_clear_visible_line();
  std::fwrite(text.data(), 1, text.size(), g.tty);
  if (text.back() != '\n') std::fputc('\n', g.tty);
  std::fflush(g.tty);
  rl_on_new_line();
  rl_redisplay();
}

// readline takes its keys from what the main loop has read, a block at a time.
// Only the rest of a key sequence or of a paste may be missing yet; it is waited for.
int next_key(FILE*) {
  if (g.next_key < g.keys.size()) return static_cast<unsigned char>(g.keys[g.next_key++]);
  unsigned char c;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) return EOF;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    poll(&p, 1, -1);
  }
}

// Only the keys of the block read: readline, which inserts typed-ahead keys all at
// once, then hands back after each block, and an overlong line is noticed in time.
int keys_waiting() { return g.next_key < g.keys.size(); }

// A long line typed fast (a paste the terminal does not mark as one) is drawn
// once the keys stop coming, not after each, which would cost time in the square
// of the line's length.
void redisplay_when_idle() {
  if (rl_end > kLongLine && keys_waiting()) {
    g.stale = true;
    return;
  }
  g.stale = false;
  rl_redisplay();
}

void start_discarding() {
  rl_replace_line("", 0);
  g.pending.clear();
  g.typed.clear();
  rl_set_prompt(kPrompt);
  char text[128];
  std::snprintf(text, sizeof text, "tavrel: the line is longer than %zu characters; it is dropped\n", kMaxLine);
  write_above(text);
  g.discarding = true;
}

// One key (or key sequence) for readline, and whatever its line then asks for.
void take_key() {
  {
    std::lock_guard<std::mutex> lk(g.term);
    if (!g.shown) return;
    rl_callback_read_char();
    if (g.shown && static_cast<std::size_t>(rl_end) > kMaxLine) start_discarding();
  }
  if (g.eof) {  // Ctrl-D; readline has moved to a new line
    g.eof = false;
    return stop_reading(0);
  }
  if (!g.have_line) return;
  g.have_line = false;
  std::string line;
  line.swap(g.line);
  take_line(line);
  if (g.host.quitting()) return;
  std::lock_guard<std::mutex> lk(g.term);
  settle_output();
  show_prompt();
}

// The keys that have arrived, one after another; what an overlong line still
// brings is skipped up to its end. Keys typed while a line runs wait their turn.
void read_terminal() {
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) return stop_reading(0);  // the terminal has gone
  g.keys.assign(buf, static_cast<std::size_t>(n));
  g.next_key = 0;
  while (g.next_key < g.keys.size() && g.reading && !g.host.quitting() && (g.shown || g.discarding)) {
    if (!g.discarding) {
      take_key();
      continue;
    }
    std::size_t end = g.keys.find_first_of("\r\n", g.next_key);
    g.discarding = end == std::string::npos;
    g.next_key = g.discarding ? g.keys.size() : end + 1;
  }
  g.keys.clear();
  g.next_key = 0;
}

// --- history ---

void history_open() {
  const char* home = std::getenv("HOME");
  using_history();
  stifle_history(kHistoryEntries);
  if (home == nullptr || *home == '\0') return;
  g.history_path = std::string(home) + "/.tavrel_history";
  // Time stamps ("#" and the time) mark where an entry begins, so chunks of
  // several lines come back whole.
  history_comment_char = '#';
  history_write_timestamps = 1;
  history_multiline_entries = 1;
  read_history(g.history_path.c_str());
}

void remember(const std::string& text) {
  HIST_ENTRY* last = history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
  if (last != nullptr && text == last->line) return;
  add_history(text.c_str());
  if (g.history_path.empty()) return;
  if (append_history(1, g.history_path.c_str()) != 0) write_history(g.history_path.c_str());
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

// What `text` may complete to: "pri" to "print(", "cvn_old.Op" to "cvn_old.Open(",
// "s:" to the methods of s.
std::vector<std::string> names_for(const std::string& text) {
  std::size_t cut = text.find_last_of(".:");
  std::string prefix = cut == std::string::npos ? text : text.substr(cut + 1);
  std::string head = cut == std::string::npos ? "" : text.substr(0, cut + 1);
  std::vector<std::string> out;
  lua_State* L = nullptr;
  if (g.host.try_lock(kCompletionWaitMs, &L)) {
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
    g.host.unlock();
  }
  if (cut == std::string::npos)
    for (const char* k : kKeywords)
      if (std::strncmp(k, prefix.c_str(), prefix.size()) == 0) out.push_back(k);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<std::string> g_matches;
std::size_t g_next_match = 0;

char* next_match(const char*, int state) {
  if (state == 0) g_next_match = 0;
  return g_next_match < g_matches.size() ? strdup(g_matches[g_next_match++].c_str()) : nullptr;
}

char** complete(const char* text, int, int) {
  rl_attempted_completion_over = 1;     // never file names
  rl_completion_append_character = 0;  // the names carry their own "(" or "."
  g_matches = names_for(text);
  return g_matches.empty() ? nullptr : rl_completion_matches(text, next_match);
}

// --- the output relay ---

// Moves what waits in the pipe to the terminal (g.term held). A final piece
// without line end is held back while the prompt shows, until its line ends or
// nothing more comes for a moment. False at the pipe's end.
bool pump(bool everything) {
  char buf[4096];
  bool open = true;
  for (int round = 0; round < 16; ++round) {
    ssize_t n = read(g.relay_fd, buf, sizeof buf);
    if (n <= 0) {
      open = n < 0 && (errno == EAGAIN || errno == EINTR);
      break;
    }
    g.held.append(buf, static_cast<std::size_t>(n));
  }
  // readline rings its bell on standard error: no reason to redraw the line.
  std::size_t bells = g.held.find_first_not_of('\a');
  if (bells != 0) {
    bells = bells == std::string::npos ? g.held.size() : bells;
    std::fwrite(g.held.data(), 1, bells, g.tty);
    std::fflush(g.tty);
    g.held.erase(0, bells);
  }
  std::size_t end = g.shown && !everything && open ? g.held.rfind('\n') : g.held.size() - 1;
  if (!g.held.empty() && end != std::string::npos) {
    write_above(g.held.substr(0, end + 1));
    g.held.erase(0, end + 1);
  }
  return open;
}

// The relay thread. It reads the pipe only under the terminal mutex, so whoever
// holds it knows that no output is on its way.
void relay_output() {
  for (;;) {
    pollfd p{g.relay_fd, POLLIN, 0};
    int r = poll(&p, 1, kRelayIdleMs);
    std::lock_guard<std::mutex> lk(g.term);
    bool closing = g.closing.load();
    if (!pump(r <= 0 || closing) || closing) break;
  }
}

// Before the prompt shows again: everything the line just run has written.
void settle_output() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g.relay_fd >= 0) pump(true);
}

// Standard output and error, where they are the terminal, go into a pipe that
// the relay empties; readline and the relay write to the terminal itself.
void start_relay() {
  int term_fd = isatty(STDOUT_FILENO) ? STDOUT_FILENO : g.err_fd;
  int own = fcntl(term_fd, F_DUPFD_CLOEXEC, 3);
  g.tty = own >= 0 ? fdopen(own, "w") : nullptr;
  if (g.tty == nullptr) {
    g.tty = stdout;
    return;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  std::fflush(stdout);
  std::fflush(stderr);
  if (isatty(STDOUT_FILENO)) {
    g.saved_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(fds[1], STDOUT_FILENO);
  }
  if (isatty(g.err_fd)) {
    g.saved_err = fcntl(g.err_fd, F_DUPFD_CLOEXEC, 3);
    dup2(fds[1], g.err_fd);
  }
  close(fds[1]);
  g.relay_fd = fds[0];
  g.relay = std::thread(relay_output);
}

void start_terminal(const std::string& banner) {
  start_relay();
  rl_readline_name = "tavrel";
  rl_instream = stdin;
  rl_outstream = g.tty;
  rl_catch_signals = 0;        // SIGINT and the rest come from tavrel's signalfd
  rl_change_environment = 0;   // no setenv while other threads read the environment
  // readline takes a terminal with a redisplay function of the program's own for
  // a dumb one, unless it has looked at the terminal before it is set.
  rl_initialize();
  rl_redisplay_function = redisplay_when_idle;
  rl_getc_function = next_key;
  rl_input_available_hook = keys_waiting;
  rl_attempted_completion_function = complete;
  rl_basic_word_break_characters = " \t\n\"\\'`@$><=;|&{}()[],+-*/%^~#";
  history_open();
  std::lock_guard<std::mutex> lk(g.term);
  std::fprintf(g.tty, "%s\n", banner.c_str());
  show_prompt();
}

}  // namespace

void console_start(const ConsoleHost& host, bool interactive, const std::string& banner, int err_fd) {
  g.host = host;
  g.interactive = interactive;
  g.err_fd = err_fd;
  g.reading = true;
  if (interactive) start_terminal(banner);
}

int console_fd() { return g.reading ? STDIN_FILENO : -1; }

void console_read() {
  if (!g.reading) return;
  if (g.interactive)
    read_terminal();
  else
    read_piped();
}

void console_interrupt() {
  if (!g.interactive || !g.reading) return;
  std::lock_guard<std::mutex> lk(g.term);
  g.discarding = false;
  g.pending.clear();
  g.typed.clear();
  if (!g.shown) return;
  rl_point = rl_end;  // "^C" after the whole line, as a shell shows it
  rl_redisplay();
  std::fputs("^C", g.tty);
  rl_free_line_state();
  rl_callback_sigcleanup();
  rl_replace_line("", 0);
  hide_prompt();  // may return to the start of the row
  std::fputs("\n", g.tty);
  show_prompt();
}

void console_stop() {
  if (!g.interactive) return;
  g.reading = false;
  {
    std::lock_guard<std::mutex> lk(g.term);
    if (g.shown) {
      hide_prompt();
      std::fputc('\n', g.tty);  // the run ended by a signal or a callback while the prompt showed
    }
  }
  if (!g.history_path.empty()) history_truncate_file(g.history_path.c_str(), kHistoryEntries);
  if (!g.relay.joinable()) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // The program's own output again; the pipe's last writer goes with it.
  if (g.saved_out >= 0) dup2(g.saved_out, STDOUT_FILENO);
  if (g.saved_err >= 0) dup2(g.saved_err, g.err_fd);
  g.closing = true;
  g.relay.join();
  std::fflush(g.tty);
}
