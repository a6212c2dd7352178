// tavrel's console on Windows (console.h). In a console, a line editor of its
// own reads the keys (ReadConsoleInputA) on the main thread and draws the
// prompt and the line with the console's own calls, and a relay thread carries
// everything the program writes (print from callbacks on the network thread,
// --debug's lines) from a pipe that stands in for standard output and error to
// the console, above the line being typed, which is then drawn again. One mutex
// keeps the drawing to one thread at a time, as on POSIX. Input from a pipe is
// read by a thread of its own: a pipe is not a handle that can be waited for.
// The history is kept for the session, a line at a time. What the lines do is
// console_lines.h's.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "console_lines.h"
#include "win32_host.h"

namespace {

constexpr DWORD kRelayIdleMs = 100;  // an unfinished output line waits this long
constexpr std::size_t kHistoryEntries = 1000;
constexpr std::size_t kListedCompletions = 200;

bool g_interactive = false;
bool g_reading = false;  // standard input is still read

// Input from a pipe or a file, read ahead by its own thread.
struct PipeInput {
  HANDLE ready = nullptr;  // manual reset: data or the end waits
  std::mutex mu;           // the two below
  std::string data;
  bool end = false;
  std::thread thread;
} g_pipe;

// The console and the line being edited. `mu` guards all of it, and every write
// to `out` once the relay runs.
struct Editor {
  std::mutex mu;
  HANDLE in = nullptr;
  HANDLE out = nullptr;  // the console's screen buffer
  DWORD saved_mode = 0;  // the input's modes while no prompt shows
  bool shown = false;    // the prompt and the line are on screen
  std::string prompt;
  std::string line;
  std::size_t cursor = 0;
  COORD origin{0, 0};  // where the prompt begins
  int drawn = 0;       // cells drawn from the origin on
  bool discarding = false;  // an overlong line is skipped up to its end
  bool tabbed = false;      // the last key was Tab
} g_ed;

// Lines typed this session, the newest last, and where Up and Down are.
struct History {
  std::vector<std::string> entries;
  std::size_t at = 0;  // entries.size(): the line being typed
  std::string draft;   // the line being typed, while an older one shows
} g_history;

// The output relay: the pipe that stands for standard output and error.
struct Relay {
  HANDLE read_end = nullptr;
  int saved_out = -1;
  int saved_err = -1;
  std::string held;  // read, not yet written (under g_ed.mu)
  std::atomic<bool> closing{false};
  std::thread thread;
} g_relay;

void stop_reading(int status) {
  g_reading = false;
  lines_host().quit(status);
}

// --- input from a pipe ---

void read_pipe() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    bool ok = ReadFile(in, buf, sizeof buf, &n, nullptr) != 0;
    std::lock_guard<std::mutex> lk(g_pipe.mu);
    g_pipe.data.append(buf, n);
    g_pipe.end = !ok || n == 0;
    SetEvent(g_pipe.ready);
    if (g_pipe.end) return;
  }
}

void take_pipe() {
  std::string data;
  bool end;
  {
    std::lock_guard<std::mutex> lk(g_pipe.mu);
    data.swap(g_pipe.data);
    end = g_pipe.end;
    ResetEvent(g_pipe.ready);
  }
  if (!data.empty() && !take_piped(data.data(), data.size())) return void(g_reading = false);
  if (end) g_reading = take_piped(nullptr, 0);
}

// --- drawing (g_ed.mu held) ---

CONSOLE_SCREEN_BUFFER_INFO screen() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(g_ed.out, &info);
  if (info.dwSize.X <= 0) info.dwSize.X = 80;
  return info;
}

// The cell `k` cells after the origin.
COORD cell(int k, SHORT width) {
  int x = g_ed.origin.X + k;
  return COORD{static_cast<SHORT>(x % width), static_cast<SHORT>(g_ed.origin.Y + x / width)};
}

void write_console(const std::string& text) {
  DWORD n;
  if (!text.empty()) WriteConsoleA(g_ed.out, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
}

// The prompt and the line from the origin on, what was drawn beyond them
// blanked, and the cursor where it is in the line. The origin moves up when
// writing scrolled the screen.
void render() {
  SHORT width = screen().dwSize.X;
  std::string text = g_ed.prompt + g_ed.line;
  SetConsoleCursorPosition(g_ed.out, g_ed.origin);
  write_console(text);
  int cells = static_cast<int>(text.size());
  COORD expected = cell(cells, width);
  COORD now = screen().dwCursorPosition;
  if (now.Y < expected.Y) g_ed.origin.Y = static_cast<SHORT>(g_ed.origin.Y - (expected.Y - now.Y));
  if (g_ed.drawn > cells) {
    DWORD n;
    FillConsoleOutputCharacterA(g_ed.out, ' ', static_cast<DWORD>(g_ed.drawn - cells), cell(cells, width), &n);
  }
  g_ed.drawn = cells;
  SetConsoleCursorPosition(g_ed.out, cell(static_cast<int>(g_ed.prompt.size() + g_ed.cursor), width));
}

// The input's modes for the editor: keys one by one, no echo; Ctrl-C still
// reaches the console control handler (tavrel_win32.cpp).
void show_prompt() {
  g_ed.prompt = chunk_pending() ? kMorePrompt : kPrompt;
  g_ed.line.clear();
  g_ed.cursor = 0;
  g_ed.drawn = 0;
  g_history.at = g_history.entries.size();
  SetConsoleMode(g_ed.in, ENABLE_PROCESSED_INPUT);
  g_ed.origin = screen().dwCursorPosition;
  if (g_ed.origin.X != 0) {  // output without a line end before it
    write_console("\n");
    g_ed.origin = screen().dwCursorPosition;
  }
  g_ed.shown = true;
  render();
}

// While no prompt shows, the console has its usual modes: a running line can
// read it as a line. The cursor goes after the line, to a new row.
void hide_prompt() {
  if (!g_ed.shown) return;
  g_ed.cursor = g_ed.line.size();
  render();
  write_console("\n");
  g_ed.shown = false;
  SetConsoleMode(g_ed.in, g_ed.saved_mode);
}

// Writes `text` on the console; while the prompt shows, above it, and the
// prompt with the line being typed is drawn again below.
void write_above(const std::string& text) {
  if (text.empty()) return;
  if (!g_ed.shown) return write_console(text);
  DWORD n;
  FillConsoleOutputCharacterA(g_ed.out, ' ', static_cast<DWORD>(g_ed.drawn), g_ed.origin, &n);
  SetConsoleCursorPosition(g_ed.out, g_ed.origin);
  write_console(text.back() == '\n' ? text : text + "\n");
  g_ed.origin = screen().dwCursorPosition;
  g_ed.drawn = 0;
  render();
}

// --- editing (g_ed.mu held) ---

void set_line(const std::string& line) {
  g_ed.line = line;
  g_ed.cursor = line.size();
}

void browse(int step) {
  std::size_t size = g_history.entries.size();
  if (step < 0 && g_history.at == 0) return;
  if (step > 0 && g_history.at >= size) return;
  if (g_history.at == size) g_history.draft = g_ed.line;
  g_history.at = step < 0 ? g_history.at - 1 : g_history.at + 1;
  set_line(g_history.at == size ? g_history.draft : g_history.entries[g_history.at]);
}

void remember(const std::string& line) {
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  if (!g_history.entries.empty() && g_history.entries.back() == line) return;
  if (g_history.entries.size() >= kHistoryEntries) g_history.entries.erase(g_history.entries.begin());
  g_history.entries.push_back(line);
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == ':';
}

// Tab: the name before the cursor completed as far as its completions agree;
// where they agree no further, a second Tab lists them above the prompt.
void complete(bool again) {
  std::size_t start = g_ed.cursor;
  while (start > 0 && name_char(g_ed.line[start - 1])) --start;
  std::string text = g_ed.line.substr(start, g_ed.cursor - start);
  std::vector<std::string> names = completions(text);
  if (names.empty()) return;
  std::string common = names.front();
  for (const std::string& n : names) {
    std::size_t k = 0;
    while (k < common.size() && k < n.size() && common[k] == n[k]) ++k;
    common.resize(k);
  }
  if (common.size() > text.size()) {
    g_ed.line.replace(start, text.size(), common);
    g_ed.cursor = start + common.size();
    return;
  }
  if (!again || names.size() < 2) return;
  std::string listed;
  for (std::size_t i = 0; i < names.size() && i < kListedCompletions; ++i) listed += names[i] + "  ";
  if (names.size() > kListedCompletions) listed += "...";
  write_above(listed + "\n");
}

enum class Key { kNone, kLine, kEnd };

// One key pressed. kLine: the line is accepted; kEnd: the input ends.
Key edit(const KEY_EVENT_RECORD& k) {
  bool tab = k.wVirtualKeyCode == VK_TAB;
  bool again = g_ed.tabbed && tab;
  g_ed.tabbed = tab;
  char c = k.uChar.AsciiChar;
  switch (k.wVirtualKeyCode) {
    case VK_RETURN:
      return Key::kLine;
    case VK_BACK:
      if (g_ed.cursor > 0) g_ed.line.erase(--g_ed.cursor, 1);
      return Key::kNone;
    case VK_DELETE:
      if (g_ed.cursor < g_ed.line.size()) g_ed.line.erase(g_ed.cursor, 1);
      return Key::kNone;
    case VK_LEFT:
      if (g_ed.cursor > 0) --g_ed.cursor;
      return Key::kNone;
    case VK_RIGHT:
      if (g_ed.cursor < g_ed.line.size()) ++g_ed.cursor;
      return Key::kNone;
    case VK_HOME:
      g_ed.cursor = 0;
      return Key::kNone;
    case VK_END:
      g_ed.cursor = g_ed.line.size();
      return Key::kNone;
    case VK_UP:
      browse(-1);
      return Key::kNone;
    case VK_DOWN:
      browse(1);
      return Key::kNone;
    case VK_ESCAPE:
      set_line("");
      return Key::kNone;
    case VK_TAB:
      complete(again);
      return Key::kNone;
    default:
      break;
  }
  if ((c == 4 || c == 26) && g_ed.line.empty()) return Key::kEnd;  // Ctrl-D, Ctrl-Z
  if (c == 1) g_ed.cursor = 0;                                     // Ctrl-A
  if (c == 5) g_ed.cursor = g_ed.line.size();                      // Ctrl-E
  if (c == 21) set_line("");                                       // Ctrl-U
  if (c == 11) g_ed.line.erase(g_ed.cursor);                       // Ctrl-K
  if (static_cast<unsigned char>(c) >= 32 && c != 127) {
    std::size_t times = std::max<WORD>(k.wRepeatCount, 1);
    g_ed.line.insert(g_ed.cursor, times, c);
    g_ed.cursor += times;
  }
  return Key::kNone;
}

// A line grown past kMaxLine (a paste) is dropped with what still comes of it.
void start_discarding() {
  set_line("");
  drop_pending();
  g_ed.prompt = kPrompt;
  char text[128];
  std::snprintf(text, sizeof text, "tavrel: the line is longer than %zu characters; it is dropped\n", kMaxLine);
  write_above(text);
  g_ed.discarding = true;
}

void settle_output();

// Runs the line accepted (g_ed.mu not held), then shows the prompt again.
void run_line(const std::string& line) {
  remember(line);
  std::string typed;
  take_line(line, typed);
  if (lines_host().quitting()) return;
  std::lock_guard<std::mutex> lk(g_ed.mu);
  settle_output();
  show_prompt();
}

// The keys that have arrived, applied one after another and drawn once; a line
// accepted runs before the keys after it are taken, which wait their turn.
void read_console() {
  INPUT_RECORD recs[256];
  DWORD n = 0;
  if (!ReadConsoleInputA(g_ed.in, recs, 256, &n)) return stop_reading(0);  // the console has gone
  for (DWORD i = 0; i < n && g_reading && !lines_host().quitting();) {
    Key key = Key::kNone;
    std::string line;
    {
      std::lock_guard<std::mutex> lk(g_ed.mu);
      if (!g_ed.shown) return;
      for (; i < n && key == Key::kNone; ++i) {
        const INPUT_RECORD& r = recs[i];
        if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
        if (g_ed.discarding) {
          g_ed.discarding = r.Event.KeyEvent.wVirtualKeyCode != VK_RETURN;
          continue;
        }
        key = edit(r.Event.KeyEvent);
        if (g_ed.line.size() > kMaxLine) {
          start_discarding();
          key = Key::kNone;
        }
      }
      if (key == Key::kNone) {
        render();
        continue;
      }
      line = g_ed.line;
      hide_prompt();
    }
    if (key == Key::kEnd) return stop_reading(0);
    run_line(line);
  }
}

// --- the output relay ---

// Moves what waits in the pipe to the console (g_ed.mu held). A final piece
// without line end is held back while the prompt shows, until its line ends or
// nothing more comes for a moment. False at the pipe's end.
bool pump(bool everything) {
  bool open = true;
  std::string& held = g_relay.held;
  for (int round = 0; round < 16; ++round) {
    DWORD avail = 0;
    if (!PeekNamedPipe(g_relay.read_end, nullptr, 0, nullptr, &avail, nullptr)) {
      open = false;
      break;
    }
    if (avail == 0) break;
    char buf[4096];
    DWORD n = 0;
    if (!ReadFile(g_relay.read_end, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr) || n == 0) {
      open = false;
      break;
    }
    held.append(buf, n);
  }
  std::size_t end = g_ed.shown && !everything && open ? held.rfind('\n') : held.size() - 1;
  if (!held.empty() && end != std::string::npos) {
    std::string text = held.substr(0, end + 1);
    held.erase(0, end + 1);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    write_above(text);
  }
  return open;
}

// The relay thread. It reads the pipe only under the editor's mutex, so whoever
// holds it knows that no output is on its way.
void relay_output() {
  DWORD quiet_since = GetTickCount();
  for (;;) {
    DWORD avail = 0;
    bool data = PeekNamedPipe(g_relay.read_end, nullptr, 0, nullptr, &avail, nullptr) && avail > 0;
    if (data)
      quiet_since = GetTickCount();
    else
      Sleep(10);
    std::lock_guard<std::mutex> lk(g_ed.mu);
    bool closing = g_relay.closing.load();
    bool idle = GetTickCount() - quiet_since >= kRelayIdleMs;
    if (!pump(idle || closing) || closing) break;
  }
}

// Before the prompt shows again: everything the line just run has written.
void settle_output() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_relay.read_end != nullptr) pump(true);
}

bool is_console(HANDLE h) {
  DWORD mode;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

// Standard output and error, where they are the console, go into a pipe that
// the relay empties; the editor and the relay write to the console itself.
void start_relay() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
  g_ed.out = is_console(out) ? out : is_console(err) ? err : nullptr;
  if (g_ed.out == nullptr)
    g_ed.out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT);
  if (fd < 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  if (is_console(out)) {
    g_relay.saved_out = _dup(1);
    _dup2(fd, 1);
  }
  if (is_console(err)) {
    g_relay.saved_err = _dup(2);
    _dup2(fd, 2);
  }
  _close(fd);
  g_relay.read_end = read_end;
  g_relay.thread = std::thread(relay_output);
}

void start_console(const std::string& banner) {
  g_ed.in = GetStdHandle(STD_INPUT_HANDLE);
  GetConsoleMode(g_ed.in, &g_ed.saved_mode);
  start_relay();
  std::lock_guard<std::mutex> lk(g_ed.mu);
  write_console(banner + "\n");
  show_prompt();
}

}  // namespace

void* console_input_handle() { return g_interactive ? g_ed.in : g_pipe.ready; }

void console_start(const ConsoleHost& host, bool interactive, const std::string& banner, int) {
  lines_start(host);
  g_interactive = interactive;
  g_reading = true;
  if (interactive) return start_console(banner);
  g_pipe.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_pipe.thread = std::thread(read_pipe);
  g_pipe.thread.detach();  // it may wait in ReadFile until the process ends
}

bool console_reading() { return g_reading; }

void console_read() {
  if (!g_reading) return;
  if (g_interactive)
    read_console();
  else
    take_pipe();
}

void console_interrupt() {
  if (!g_interactive || !g_reading) return;
  std::lock_guard<std::mutex> lk(g_ed.mu);
  drop_pending();
  if (!g_ed.shown) return;
  g_ed.cursor = g_ed.line.size();
  g_ed.line += "^C";  // after the whole line, as a shell shows it
  g_ed.cursor = g_ed.line.size();
  hide_prompt();
  show_prompt();
}

void console_stop() {
  if (!g_interactive) return;
  g_reading = false;
  {
    std::lock_guard<std::mutex> lk(g_ed.mu);
    hide_prompt();  // the run ended by a stop or a callback while the prompt showed
    SetConsoleMode(g_ed.in, g_ed.saved_mode);
  }
  if (!g_relay.thread.joinable()) return;
  std::fflush(stdout);
  std::fflush(stderr);
  // The program's own output again; the pipe's last writer goes with it.
  if (g_relay.saved_out >= 0) _dup2(g_relay.saved_out, 1);
  if (g_relay.saved_err >= 0) _dup2(g_relay.saved_err, 2);
  g_relay.closing = true;
  g_relay.thread.join();
}
