// What tavrel's console does with the lines it reads, the same on every
// platform: chunks continued over several lines, "=expr", values printed,
// errors shown, piped input taken a line at a time, and the names Tab completes
// to. The terminals (console_readline.cpp, console_win32.cpp) read the keys and
// draw; all of this runs on the main thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "console.h"

// The prompts: a fresh chunk, and one that continues.
constexpr const char* kPrompt = "> ";
constexpr const char* kMorePrompt = ">> ";
// A longer line is not Lua anyone types; it is dropped (typed) or ends the run
// (piped) rather than growing without bound.
constexpr std::size_t kMaxLine = 65536;

// The host's services, for the whole console.
void lines_start(const ConsoleHost& host);
const ConsoleHost& lines_host();

// A line typed or read: it starts a chunk or continues the unfinished one; a
// first line "=expr" stands for "return expr", as in the stand-alone
// interpreter. True when a chunk was finished (run, or refused): `typed` is
// then the chunk as typed, lines joined by "\n", for the history.
bool take_line(const std::string& line, std::string& typed);
// An unfinished chunk waits for more (the ">>" prompt).
bool chunk_pending();
// Ctrl-C, an overlong line: the unfinished chunk goes.
void drop_pending();

// Piped input: the bytes read, and at its end none. Every complete line is
// taken; at the end, the last line and an unfinished chunk (whose error then
// tells what is missing). False once reading is over (the input's end, an
// overlong line), the run then asked to end.
bool take_piped(const char* data, std::size_t n);

// What `text` may complete to: "pri" to "print(", "cvn_old.Op" to
// "cvn_old.Open(", "s:" to the methods of s. Sorted, without repeats. Waits for
// the script lock at most briefly (a callback may hold it).
std::vector<std::string> completions(const std::string& text);
