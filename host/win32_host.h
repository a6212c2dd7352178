// What tavrel.exe's Windows files share. tavrel.exe stands in for some of the
// plug-in's imports, as the Linux tavrel's exports stand before the C library's
// for the plug-in it loads: it replaces entries of the plug-in's import address
// table, and the plug-in, unchanged, calls tavrel.exe's functions, which call
// what it imported.
#pragma once

#include <cstdint>

// The plug-in's module once tavrel_win32.cpp has loaded it, else nullptr.
void* plugin_module();

// Makes the plug-in's import of `name` from `dll` (a name such as "WSOCK32.DLL",
// any case) call `fn`; returns what it called before, or nullptr when it imports
// no such function. Main thread, before the plug-in is opened.
void* replace_plugin_import(const char* dll, const char* name, void* fn);

// The plug-in's socket `s` has a peer: its connect succeeded (tavrel_win32.cpp's
// stand-in for connect tells the idle watch). Any thread.
void idle_watch_connected(std::uintptr_t s);

// What the main thread waits for while the console reads (console_win32.cpp):
// the console's input, or an event for input from a pipe. Main thread.
void* console_input_handle();
