// The module and the debugger channel on POSIX: the shared object's base address
// and path from dladdr, debugger and trace lines to a sink or to standard error,
// and the trace's switch and clock.
#include "../platform.h"

#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cvn::plat {
namespace {

std::atomic<DebugSink> g_debug_sink{nullptr};

}  // namespace

std::uintptr_t module_handle() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_handle), &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

void module_path(char* out, std::size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&module_handle), &info) == 0 || !info.dli_fname) return;
  char full[PATH_MAX];
  const char* p = ::realpath(info.dli_fname, full) ? full : info.dli_fname;
  std::snprintf(out, cap, "%s", p);
}

void debug_output(const char* text) {
  DebugSink sink = g_debug_sink.load();
  if (sink) {
    sink(text);
    return;
  }
  if (std::getenv("CVN_DEBUG") != nullptr) std::fprintf(stderr, "[debug] %s\n", text);
}

void set_debug_sink(DebugSink sink) { g_debug_sink.store(sink); }

void trace_output(const char* text) {
  DebugSink sink = g_debug_sink.load();
  if (sink)
    sink(text);
  else
    std::fprintf(stderr, "%s\n", text);
}

bool trace_requested() {
  const char* v = std::getenv("CVN_TRACE");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

void time_of_day(char out[13]) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  ::localtime_r(&ts.tv_sec, &local);
  std::snprintf(out, 13, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ts.tv_nsec / 1000000));
}

}  // namespace cvn::plat
