// tavrel.exe, tavrel on Windows (tavrel_os.h): console control events (Ctrl-C,
// Ctrl-Break, the console closing) for signals, a Windows mutex as the script
// lock, LoadLibrary, the plug-in's debugger channel read from the process's own
// debug output (OutputDebugStringA raises an exception that a vectored handler
// sees before anyone), and stand-ins for the plug-in's connect and
// lua_push_object (win32_host.h). Built on Lua 5.1 (lua51.dll) or, for the
// tests, on Lua 5.0's interface (lua50.dll).
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core.h"
#include "debug_notes.h"
#include "mistakes.h"
#include "options.h"
#include "tavrel_os.h"
#include "win32_host.h"

namespace {

HANDLE g_lock = nullptr;     // the script lock
HANDLE g_wake = nullptr;     // auto-reset: wakes the main thread
HANDLE g_signal = nullptr;   // auto-reset: a stop from outside waits in g_stops
DWORD g_main_thread = 0;
HMODULE g_plugin = nullptr;
int g_error_target = 2;      // standard error as it was at the start
bool g_debug = false;
bool g_trace = false;
void* g_debug_handler = nullptr;

std::mutex g_stops_mu;
std::deque<host_os::Signal> g_stops;

using ConnectFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using PushObjectFn = int (*)(lua_State*, const char*);
ConnectFn g_connect = nullptr;
PushObjectFn g_push_object = nullptr;

// Sockets in a connect() call right now, with whether a stop has aborted them.
struct Connecting {
  SOCKET s;
  bool aborted;
};
std::mutex g_connect_mu;
std::vector<Connecting> g_connecting;

// A console control event. Ctrl-C and Ctrl-Break interrupt; the console closing,
// a log-off or a shutdown terminate. The system ends the process once this
// handler returns from those, so it waits for the run to end the process itself.
BOOL WINAPI on_console_ctrl(DWORD type) {
  bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
  {
    std::lock_guard<std::mutex> lk(g_stops_mu);
    g_stops.push_back(interrupt ? host_os::Signal::kInterrupt : host_os::Signal::kTerminate);
  }
  SetEvent(g_signal);
  if (!interrupt) Sleep(INFINITE);
  return TRUE;
}

// "HH:MM:SS.mmm [": how every line of the plug-in's traffic trace begins.
bool trace_line(const char* text) {
  const char kShape[] = "00:00:00.000 [";
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text; a debugger, or
// else OutputDebugStringA itself, handles it after this handler has looked.
// Trace lines are shown with --trace as they are, debugger lines with --debug
// as the Linux tavrel shows them: "[debug] " and the text, with its note.
LONG CALLBACK on_exception(EXCEPTION_POINTERS* e) {
  const EXCEPTION_RECORD* r = e->ExceptionRecord;
  if (r->ExceptionCode != DBG_PRINTEXCEPTION_C || r->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  const char* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
  if (text == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  std::string line;
  if (trace_line(text)) {
    if (!g_trace) return EXCEPTION_CONTINUE_SEARCH;
    line = text;
  } else {
    if (!g_debug) return EXCEPTION_CONTINUE_SEARCH;
    line = std::string("[debug] ") + text;
    if (const char* note = debug_line_note(line)) line += note;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);  // one write: lines of threads stay whole
  return EXCEPTION_CONTINUE_SEARCH;
}

// A Windows error's text, as FormatMessage has it, without its line end.
std::string error_text(DWORD code) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) --n;
  std::string text(buf, n);
  return text + (text.empty() ? "" : " ") + "(error " + std::to_string(code) + ")";
}

// The plug-in's connect, made in steps: a connect that waits (a script's
// blocking Open) can be aborted while running code is being stopped, as on
// Linux; it then fails with 10054. The socket is a fresh one that blocks; it is
// given back that way.
int WSAAPI host_connect(SOCKET s, const sockaddr* addr, int len) {
  u_long nonblocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) return g_connect(s, addr, len);
  {
    std::lock_guard<std::mutex> lk(g_connect_mu);
    g_connecting.push_back({s, false});
  }
  int rc = g_connect(s, addr, len);
  int err = rc == 0 ? 0 : WSAGetLastError();
  bool aborted = false;
  while (err == WSAEWOULDBLOCK && !aborted) {
    fd_set done, failed;
    FD_ZERO(&done);
    FD_ZERO(&failed);
    FD_SET(s, &done);
    FD_SET(s, &failed);
    timeval slice{0, 100000};
    int n = select(0, nullptr, &done, &failed, &slice);
    if (n > 0 && FD_ISSET(s, &failed)) {
      int so_error = 0, size = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &size);
      err = so_error != 0 ? so_error : WSAECONNREFUSED;
    } else if (n > 0) {
      err = 0;
    } else if (n < 0) {
      err = WSAGetLastError();
    }
    std::lock_guard<std::mutex> lk(g_connect_mu);
    for (const Connecting& c : g_connecting)
      if (c.s == s) aborted = c.aborted;
  }
  {
    std::lock_guard<std::mutex> lk(g_connect_mu);
    for (std::size_t i = 0; i < g_connecting.size(); ++i) {
      if (g_connecting[i].s != s) continue;
      g_connecting.erase(g_connecting.begin() + static_cast<long>(i));
      break;
    }
  }
  nonblocking = 0;
  ioctlsocket(s, FIONBIO, &nonblocking);
  if (aborted && err != 0) err = WSAECONNRESET;
  if (err == 0) idle_watch_connected(static_cast<std::uintptr_t>(s));
  WSASetLastError(err);
  return err == 0 ? 0 : SOCKET_ERROR;
}

// The host library's lua_push_object as the plug-in calls it, with a callback
// that names no function told to the script author.
int host_push_object(lua_State* L, const char* name) {
  int pushed = g_push_object(L, name);
  if (pushed == 0) mistakes_push_failed(name);
  return pushed;
}

}  // namespace

void* plugin_module() { return g_plugin; }

namespace host_os {

const char* const kHelpStops =
    "  - Ctrl-C or Ctrl-Break is pressed, the console is closed, or the time-out\n"
    "    runs out.\n"
    "These stop running Lua code at once with the error \"interrupted!\".\n";
const char* const kHelpPlugin = "corvane.dll beside tavrel.exe";
const char* const kHelpInterrupted = "130 after Ctrl-C or Ctrl-Break, 143 when the console closes";
const char* const kQuitKey = "Ctrl-Z or Ctrl-D";

void start(const Options& o) {
  _setmode(_fileno(stdin), _O_BINARY);  // a script from standard input as it is
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  g_error_target = _dup(2);
  if (g_error_target < 0) g_error_target = 2;
  g_debug = o.debug;
  g_trace = o.trace;
  if (o.trace) SetEnvironmentVariableA("CVN_TRACE", "1");  // the switch the plug-in reads at tvr_open
  g_lock = CreateMutexA(nullptr, FALSE, nullptr);
  g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_signal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_main_thread = GetCurrentThreadId();
  SetConsoleCtrlHandler(on_console_ctrl, TRUE);
}

std::string default_plugin() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return "corvane.dll";
  std::string dir(self, n);
  dir.erase(dir.find_last_of("\\/") + 1);
  return dir + "corvane.dll";
}

bool load_plugin(const std::string& path, PluginEntryPoints& p) {
  HMODULE lib = LoadLibraryA(path.c_str());
  if (lib == nullptr) {
    std::fprintf(stderr, "tavrel: cannot load %s: %s\n", path.c_str(), error_text(GetLastError()).c_str());
    return false;
  }
  g_plugin = lib;
  if (!bind_entry_points(p, [lib](const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); }))
    return false;
  g_connect = reinterpret_cast<ConnectFn>(
      replace_plugin_import("WSOCK32.DLL", "connect", reinterpret_cast<void*>(host_connect)));
  g_push_object = reinterpret_cast<PushObjectFn>(
      replace_plugin_import("tavrel.dll", "lua_push_object", reinterpret_cast<void*>(host_push_object)));
  return true;
}

bool stdin_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void debug_start(const Options& o) {
  if (o.debug || o.trace) g_debug_handler = AddVectoredExceptionHandler(1, on_exception);
}

void debug_stop() {
  if (g_debug_handler != nullptr) RemoveVectoredExceptionHandler(g_debug_handler);
  g_debug_handler = nullptr;
}

int error_target() { return 2; }

void* script_lock_handle() { return g_lock; }
void lock_script() { WaitForSingleObject(g_lock, INFINITE); }
void unlock_script() { ReleaseMutex(g_lock); }
bool try_lock_script(int ms) { return WaitForSingleObject(g_lock, static_cast<DWORD>(ms)) == WAIT_OBJECT_0; }
bool on_main_thread() { return GetCurrentThreadId() == g_main_thread; }

void wake_main() { SetEvent(g_wake); }

Ready wait_main(bool console_reading) {
  HANDLE handles[2] = {g_wake, console_reading ? console_input_handle() : nullptr};
  DWORD count = handles[1] != nullptr ? 2 : 1;
  DWORD r = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
  bool woken = r == WAIT_OBJECT_0;
  bool console = count == 2 && (r == WAIT_OBJECT_0 + 1 || WaitForSingleObject(handles[1], 0) == WAIT_OBJECT_0);
  return {woken, console};
}

Signal wait_signal(int ms) {
  if (WaitForSingleObject(g_signal, ms < 0 ? INFINITE : static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return Signal::kNone;
  std::lock_guard<std::mutex> lk(g_stops_mu);
  if (g_stops.empty()) return Signal::kNone;
  Signal s = g_stops.front();
  g_stops.pop_front();
  if (!g_stops.empty()) SetEvent(g_signal);
  return s;
}

void abort_connects() {
  std::lock_guard<std::mutex> lk(g_connect_mu);
  for (Connecting& c : g_connecting) c.aborted = true;
}

void last_words(const char* text) {
  int r = _write(g_error_target, text, static_cast<unsigned>(std::strlen(text)));
  (void)r;
}

// As _Exit on POSIX: no destructors run and no DLL is told, under threads that
// may still be at work.
void end_process(int code) {
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace host_os

int main(int argc, char** argv) { return tavrel_main(argc, argv); }
