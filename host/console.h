// tavrel's console, on the main thread: Lua typed at a terminal (unfinished
// chunks continue on ">>", a history, completion of globals and table fields,
// output from callbacks drawn above the line being typed), or read as lines from
// a pipe. Each chunk runs under the script lock. console_lines.cpp does what is
// the same everywhere; console_readline.cpp (readline, the history kept in
// $HOME) and console_win32.cpp (the Windows console, the history kept for the
// session) read the terminal and draw.
#pragma once

#include <string>

#include "host_lua.h"

// What the console needs from the host.
struct ConsoleHost {
  // Takes the script lock; returns the state, or nullptr when there is none (the
  // lock is taken all the same).
  lua_State* (*lock)();
  // As lock, but gives up after `ms`: false, and nothing held.
  bool (*try_lock)(int ms, lua_State** L);
  void (*unlock)();
  // Calls the function at base + 1 with the error handler at base, interruptibly
  // (Ctrl-C); `quiet` when the run is ending and the error is no news.
  int (*call)(lua_State* L, int base, bool& quiet);
  void (*quit)(int status);  // ends the run with this status
  bool (*quitting)();        // the run is ending
};

// Starts reading standard input. `interactive`: a terminal, with a line editor, the
// banner line and the output of every thread drawn above the prompt. `err_fd`
// stands for standard error there: STDERR_FILENO, or where a filter in front of
// it writes (tavrel_os.h's error_target).
void console_start(const ConsoleHost& host, bool interactive, const std::string& banner, int err_fd);
// The console still reads standard input: the main loop waits for it
// (tavrel_os.h's wait_main).
bool console_reading();
// Standard input is readable (or at its end).
void console_read();
// Ctrl-C while nothing runs: the line being typed and an unfinished chunk are
// dropped and a fresh prompt shows.
void console_interrupt();
// Gives the terminal its modes and the program its own output back; what other
// threads wrote until now is shown first. Main thread, at the end of the run.
void console_stop();
