// The module and the debugger channel on Windows: the handle DllMain receives,
// GetModuleFileNameA, and OutputDebugStringA unless a sink is installed, for
// debugger and trace lines alike; the trace's switch and clock.
#include "../platform.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace cvn::plat {
namespace {

HINSTANCE g_module = nullptr;
std::atomic<DebugSink> g_debug_sink{nullptr};

}  // namespace

std::uintptr_t module_handle() { return reinterpret_cast<std::uintptr_t>(g_module); }

void module_path(char* out, std::size_t cap) {
  if (cap == 0) return;
  char path[260];
  DWORD n = GetModuleFileNameA(g_module, path, sizeof path);
  path[n < sizeof path ? n : sizeof path - 1] = '\0';
  std::snprintf(out, cap, "%s", path);
}

void debug_output(const char* text) {
  DebugSink sink = g_debug_sink.load();
  if (sink)
    sink(text);
  else
    OutputDebugStringA(text);
}

void set_debug_sink(DebugSink sink) { g_debug_sink.store(sink); }

void trace_output(const char* text) { debug_output(text); }

bool trace_requested() {
  char v[8];
  DWORD n = GetEnvironmentVariableA("CVN_TRACE", v, sizeof v);
  return n > 0 && !(n == 1 && v[0] == '0');
}

void time_of_day(char out[13]) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::snprintf(out, 13, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

}  // namespace cvn::plat

// Module attach: the module handle is kept for the window class and the log line.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) cvn::plat::g_module = instance;
  return TRUE;
}
