// tavrel --debug: the plug-in's debugger lines on standard error, with the ones
// every normal run has marked as normal ("a2 failed", "a failed"), so that real
// problems stand out. Standard error then passes through a pipe that a thread
// reads a line at a time; every other line goes through as it came.
#pragma once

#include <string_view>

// Standard error becomes the pipe. Main thread, before the plug-in is opened.
void debug_filter_start();
// What standard error was (the terminal, a file), which the filter writes to:
// the console draws there, and last words written as the process ends by force
// go there. STDERR_FILENO when the filter does not run. Any thread.
int debug_filter_target();
// Standard error is what it was again, and what waits in the pipe is written.
// Main thread, at the end of the run.
void debug_filter_stop();
// The note a debugger line gets, or nullptr. Pure.
const char* debug_line_note(std::string_view line);
