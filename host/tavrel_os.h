// What tavrel's core (core.cpp) needs of the operating system, defined once for
// POSIX (tavrel_posix.cpp) and once for Windows (tavrel_win32.cpp); the build
// takes one. Signals there are console control events here, dlopen is
// LoadLibrary, the script lock a pthread mutex or a Windows mutex.
#pragma once

#include <string>

#include "entry_points.h"

struct Options;

namespace host_os {

// --help's texts that differ: how a run is stopped from outside and reloaded (a
// paragraph after the list of the run's ends), the default plug-in (the
// option's description, two lines) and the exit statuses of an interruption.
extern const char* const kHelpStops;
extern const char* const kHelpPlugin;
extern const char* const kHelpInterrupted;
// The key that ends the console, for its banner.
extern const char* const kQuitKey;

// The first thing the run does after reading its options: standard streams,
// signals or console control events, the switches the plug-in reads (--debug,
// --trace). Main thread.
void start(const Options& o);
// The plug-in to load when --plugin is not given.
std::string default_plugin();
// Loads the plug-in and binds its entry points; says why not on standard error.
bool load_plugin(const std::string& path, PluginEntryPoints& p);
// Standard input is a terminal (a console).
bool stdin_is_terminal();

// --debug: the plug-in's debugger lines from now on on standard error, with
// the notes of debug_notes.h; and --trace's lines there, where the plug-in
// writes them to its debugger channel. Main thread, before the plug-in is
// opened; stopped at the end of the run, when what is on its way is written.
void debug_start(const Options& o);
void debug_stop();
// Where standard error went before the debug filter or the console took it
// over: for last words, and for the console's own drawing.
int error_target();

// The script lock: what HostServices hands the plug-in, and the host's own use.
// It is recursive: a callback that calls tavrel.sleep takes it again.
void* script_lock_handle();
void lock_script();
void unlock_script();
bool try_lock_script(int ms);  // false after `ms` without it
bool on_main_thread();

// The main thread's wait: for wake_main() (any thread), and while the console
// reads, for its input. Returns what came; either may be false after a
// spurious wake-up.
struct Ready {
  bool woken;
  bool console;
};
void wake_main();
Ready wait_main(bool console_reading);

// A stop from outside, as the watcher thread receives it.
enum class Signal {
  kNone,
  kInterrupt,  // SIGINT, Ctrl-C: 130
  kTerminate,  // SIGTERM, the console closing: 143
  kReload,     // SIGHUP
};
// Waits up to `ms` (-1: without limit). Watcher thread only.
Signal wait_signal(int ms);
// While running code is being stopped: a connect the plug-in is waiting in (a
// script's blocking Open) fails at once. Watcher thread.
void abort_connects();
// Writes `text` where standard error went at the start, whoever holds it now.
// Any thread; for the very last words of a run ended by force.
void last_words(const char* text);
// Ends the process at once with `code`: no destructors, no plug-in told. A
// network thread the plug-in had to abandon may still run.
[[noreturn]] void end_process(int code);

}  // namespace host_os
