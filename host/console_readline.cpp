// tavrel's console on POSIX (console.h). On a terminal, readline's callback
// interface reads the keys on the main thread, and a relay thread carries
// everything the program writes (print from callbacks on the network thread, the
// plug-in's debugger lines) from a pipe that stands in for standard output and
// error to the terminal, above the line being typed, which is then drawn again.
// One mutex keeps readline to one thread at a time; it is never held while
// waiting for the script lock longer than a completion may wait, and never by
// anyone who holds the script lock. What the lines do is console_lines.h's.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
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

#include "console.h"
#include "console_lines.h"

namespace {

constexpr int kHistoryEntries = 1000;
constexpr int kRelayIdleMs = 100;  // an unfinished output line waits this long
// A line longer than this is drawn only when the keys stop coming (see below).
constexpr int kLongLine = 512;

bool g_interactive = false;
bool g_reading = false;  // standard input is still read

// The terminal. `mu` guards readline, `shown` and the writes to `tty`.
struct Terminal {
  std::mutex mu;
  FILE* tty = nullptr;
  bool shown = false;       // readline's handler is installed: the prompt is on screen
  bool discarding = false;  // an overlong line is skipped up to its end
  bool have_line = false;   // set by readline's handler
  bool eof = false;
  bool stale = false;  // the line on screen is behind the one typed
  std::string line;
  std::string keys;  // read from the terminal, not yet given to readline
  std::size_t next_key = 0;
} g_term;

// The output relay: standard output and error, where they are the terminal,
// go into a pipe that the relay thread empties onto the terminal.
struct Relay {
  int fd = -1;                 // the pipe's reading end
  std::string held;            // read from the pipe, not yet written (under g_term.mu)
  int err_fd = STDERR_FILENO;  // what stands for standard error (see console_start)
  int saved_out = -1;
  int saved_err = -1;
  std::atomic<bool> closing{false};
  std::thread thread;
} g_relay;

std::string g_history_path;  // empty: the history is kept for the session only

void stop_reading(int status) {
  g_reading = false;
  lines_host().quit(status);
}

void read_piped() {
  char buf[4096];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  g_reading = take_piped(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// --- history ---

void history_open() {
  const char* home = std::getenv("HOME");
  using_history();
  stifle_history(kHistoryEntries);
  if (home == nullptr || *home == '\0') return;
  g_history_path = std::string(home) + "/.tavrel_history";
  // Time stamps ("#" and the time) mark where an entry begins, so chunks of
  // several lines come back whole.
  history_comment_char = '#';
  history_write_timestamps = 1;
  history_multiline_entries = 1;
  read_history(g_history_path.c_str());
}

void remember(const std::string& text) {
  HIST_ENTRY* last = history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
  if (last != nullptr && text == last->line) return;
  add_history(text.c_str());
  if (g_history_path.empty()) return;
  if (append_history(1, g_history_path.c_str()) != 0) write_history(g_history_path.c_str());
}

// --- the terminal (g_term.mu held unless said otherwise) ---

void on_line(char* raw);
void settle_output();

const char* prompt() { return chunk_pending() ? kMorePrompt : kPrompt; }

void show_prompt() {
  rl_callback_handler_install(prompt(), on_line);
  g_term.shown = true;
}

// While no prompt shows, the terminal has its usual modes: a running line can
// read it, and Ctrl-C reaches the process as SIGINT.
void hide_prompt() {
  if (!g_term.shown) return;
  rl_callback_handler_remove();
  g_term.shown = false;
}

// readline's handler, inside rl_callback_read_char: the line runs after readline
// has returned and the terminal mutex is released.
void on_line(char* raw) {
  const char* shown_prompt = prompt();
  hide_prompt();
  if (raw == nullptr) {
    g_term.eof = true;
    return;
  }
  if (std::strlen(raw) > kMaxLine) {  // accepted within the block that made it too long
    std::free(raw);
    std::fprintf(g_term.tty, "tavrel: the line is longer than %zu characters; it is dropped\n", kMaxLine);
    drop_pending();
    g_term.have_line = false;
    show_prompt();
    return;
  }
  if (g_term.stale) {  // what is on screen is not the line accepted: show it whole
    std::fprintf(g_term.tty, "%s%s\n", shown_prompt, raw);
    std::fflush(g_term.tty);
    g_term.stale = false;
  }
  g_term.line = raw;
  g_term.have_line = true;
  std::free(raw);
}

// Writes `text` on the terminal; while the prompt shows, above it, and the prompt
// with the line being typed is drawn again below.
void write_above(const std::string& text) {
  if (text.empty()) return;
  if (!g_term.shown) {
    std::fwrite(text.data(), 1, text.size(), g_term.tty);
    std::fflush(g_term.tty);
    return;
  }
  rl_clear_visible_line();
  std::fwrite(text.data(), 1, text.size(), g_term.tty);
  if (text.back() != '\n') std::fputc('\n', g_term.tty);
  std::fflush(g_term.tty);
  rl_on_new_line();
  rl_redisplay();
}

// readline takes its keys from what the main loop has read, a block at a time.
// Only the rest of a key sequence or of a paste may be missing yet; it is waited for.
int next_key(FILE*) {
  if (g_term.next_key < g_term.keys.size()) return static_cast<unsigned char>(g_term.keys[g_term.next_key++]);
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
int keys_waiting() { return g_term.next_key < g_term.keys.size(); }

// A long line typed fast (a paste the terminal does not mark as one) is drawn
// once the keys stop coming, not after each, which would cost time in the square
// of the line's length.
void redisplay_when_idle() {
  if (rl_end > kLongLine && keys_waiting()) {
    g_term.stale = true;
    return;
  }
  g_term.stale = false;
  rl_redisplay();
}

void start_discarding() {
  rl_replace_line("", 0);
  drop_pending();
  rl_set_prompt(kPrompt);
  char text[128];
  std::snprintf(text, sizeof text, "tavrel: the line is longer than %zu characters; it is dropped\n", kMaxLine);
  write_above(text);
  g_term.discarding = true;
}

// One key (or key sequence) for readline, and whatever its line then asks for.
void take_key() {
  {
    std::lock_guard<std::mutex> lk(g_term.mu);
    if (!g_term.shown) return;
    rl_callback_read_char();
    if (g_term.shown && static_cast<std::size_t>(rl_end) > kMaxLine) start_discarding();
  }
  if (g_term.eof) {  // Ctrl-D; readline has moved to a new line
    g_term.eof = false;
    return stop_reading(0);
  }
  if (!g_term.have_line) return;
  g_term.have_line = false;
  std::string line, typed;
  line.swap(g_term.line);
  if (take_line(line, typed)) remember(typed);
  if (lines_host().quitting()) return;
  std::lock_guard<std::mutex> lk(g_term.mu);
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
  g_term.keys.assign(buf, static_cast<std::size_t>(n));
  g_term.next_key = 0;
  while (g_term.next_key < g_term.keys.size() && g_reading && !lines_host().quitting() &&
         (g_term.shown || g_term.discarding)) {
    if (!g_term.discarding) {
      take_key();
      continue;
    }
    std::size_t end = g_term.keys.find_first_of("\r\n", g_term.next_key);
    g_term.discarding = end == std::string::npos;
    g_term.next_key = g_term.discarding ? g_term.keys.size() : end + 1;
  }
  g_term.keys.clear();
  g_term.next_key = 0;
}

// --- completion ---

std::vector<std::string> g_matches;
std::size_t g_next_match = 0;

char* next_match(const char*, int state) {
  if (state == 0) g_next_match = 0;
  return g_next_match < g_matches.size() ? strdup(g_matches[g_next_match++].c_str()) : nullptr;
}

char** complete(const char* text, int, int) {
  rl_attempted_completion_over = 1;     // never file names
  rl_completion_append_character = 0;  // the names carry their own "(" or "."
  g_matches = completions(text);
  return g_matches.empty() ? nullptr : rl_completion_matches(text, next_match);
}

// --- the output relay ---

// Moves what waits in the pipe to the terminal (g_term.mu held). A final piece
// without line end is held back while the prompt shows, until its line ends or
// nothing more comes for a moment. False at the pipe's end.
bool pump(bool everything) {
  char buf[4096];
  bool open = true;
  std::string& held = g_relay.held;
  for (int round = 0; round < 16; ++round) {
    ssize_t n = read(g_relay.fd, buf, sizeof buf);
    if (n <= 0) {
      open = n < 0 && (errno == EAGAIN || errno == EINTR);
      break;
    }
    held.append(buf, static_cast<std::size_t>(n));
  }
  // readline rings its bell on standard error: no reason to redraw the line.
  std::size_t bells = held.find_first_not_of('\a');
  if (bells != 0) {
    bells = bells == std::string::npos ? held.size() : bells;
    std::fwrite(held.data(), 1, bells, g_term.tty);
    std::fflush(g_term.tty);
    held.erase(0, bells);
  }
  std::size_t end = g_term.shown && !everything && open ? held.rfind('\n') : held.size() - 1;
  if (!held.empty() && end != std::string::npos) {
    write_above(held.substr(0, end + 1));
    held.erase(0, end + 1);
  }
  return open;
}

// The relay thread. It reads the pipe only under the terminal mutex, so whoever
// holds it knows that no output is on its way.
void relay_output() {
  for (;;) {
    pollfd p{g_relay.fd, POLLIN, 0};
    int r = poll(&p, 1, kRelayIdleMs);
    std::lock_guard<std::mutex> lk(g_term.mu);
    bool closing = g_relay.closing.load();
    if (!pump(r <= 0 || closing) || closing) break;
  }
}

// Before the prompt shows again: everything the line just run has written.
void settle_output() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_relay.fd >= 0) pump(true);
}

// Standard output and error, where they are the terminal, go into a pipe that
// the relay empties; readline and the relay write to the terminal itself.
void start_relay() {
  int term_fd = isatty(STDOUT_FILENO) ? STDOUT_FILENO : g_relay.err_fd;
  int own = fcntl(term_fd, F_DUPFD_CLOEXEC, 3);
  g_term.tty = own >= 0 ? fdopen(own, "w") : nullptr;
  if (g_term.tty == nullptr) {
    g_term.tty = stdout;
    return;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  std::fflush(stdout);
  std::fflush(stderr);
  if (isatty(STDOUT_FILENO)) {
    g_relay.saved_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(fds[1], STDOUT_FILENO);
  }
  if (isatty(g_relay.err_fd)) {
    g_relay.saved_err = fcntl(g_relay.err_fd, F_DUPFD_CLOEXEC, 3);
    dup2(fds[1], g_relay.err_fd);
  }
  close(fds[1]);
  g_relay.fd = fds[0];
  g_relay.thread = std::thread(relay_output);
}

void start_terminal(const std::string& banner) {
  start_relay();
  rl_readline_name = "tavrel";
  rl_instream = stdin;
  rl_outstream = g_term.tty;
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
  std::lock_guard<std::mutex> lk(g_term.mu);
  std::fprintf(g_term.tty, "%s\n", banner.c_str());
  show_prompt();
}

}  // namespace

void console_start(const ConsoleHost& host, bool interactive, const std::string& banner, int err_fd) {
  lines_start(host);
  g_interactive = interactive;
  g_relay.err_fd = err_fd;
  g_reading = true;
  if (interactive) start_terminal(banner);
}

bool console_reading() { return g_reading; }

void console_read() {
  if (!g_reading) return;
  if (g_interactive)
    read_terminal();
  else
    read_piped();
}

void console_interrupt() {
  if (!g_interactive || !g_reading) return;
  std::lock_guard<std::mutex> lk(g_term.mu);
  g_term.discarding = false;
  drop_pending();
  if (!g_term.shown) return;
  rl_point = rl_end;  // "^C" after the whole line, as a shell shows it
  rl_redisplay();
  std::fputs("^C", g_term.tty);
  rl_free_line_state();
  rl_callback_sigcleanup();
  rl_replace_line("", 0);
  hide_prompt();  // may return to the start of the row
  std::fputs("\n", g_term.tty);
  show_prompt();
}

void console_stop() {
  if (!g_interactive) return;
  g_reading = false;
  {
    std::lock_guard<std::mutex> lk(g_term.mu);
    if (g_term.shown) {
      hide_prompt();
      std::fputc('\n', g_term.tty);  // the run ended by a signal or a callback while the prompt showed
    }
  }
  if (!g_history_path.empty()) history_truncate_file(g_history_path.c_str(), kHistoryEntries);
  if (!g_relay.thread.joinable()) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // The program's own output again; the pipe's last writer goes with it.
  if (g_relay.saved_out >= 0) dup2(g_relay.saved_out, STDOUT_FILENO);
  if (g_relay.saved_err >= 0) dup2(g_relay.saved_err, g_relay.err_fd);
  g_relay.closing = true;
  g_relay.thread.join();
  std::fflush(g_term.tty);
}
