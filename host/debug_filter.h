// tavrel --debug on POSIX: the plug-in writes its debugger lines on standard
// error, which then passes through a pipe that a thread reads a line at a time,
// giving the lines debug_notes.h knows their notes; every other line goes
// through as it came.
#pragma once

// Standard error becomes the pipe. Main thread, before the plug-in is opened.
void debug_filter_start();
// What standard error was (the terminal, a file), which the filter writes to:
// the console draws there, and last words written as the process ends by force
// go there. STDERR_FILENO when the filter does not run. Any thread.
int debug_filter_target();
// Standard error is what it was again, and what waits in the pipe is written.
// Main thread, at the end of the run.
void debug_filter_stop();
