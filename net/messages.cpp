// script_print and socket_error_text: every message meant for a script author
// passes through here on its way to the script's own `print`. The traffic trace,
// meant for the same author, goes to the debugger channel.
#include "messages.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../platform/lua_seam.h"
#include "../platform/platform.h"
#include "escape.h"
#include "module_state.h"
#include "registry.h"

namespace cvn {
namespace {

struct ErrorRow {
  int code;
  const char* text;
};

constexpr std::array<ErrorRow, 50> kSocketErrorTable{{
    {0, "No error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open sockets"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net connection reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network system is unavailable"},
    {10092, "Winsock version out of range"},
    {10093, "WSAStartup not yet called"},
    {10101, "Graceful shutdown in progress"},
    {11001, "Host not found"},
    {11004, "No host data of that type was found"},
}};

constexpr bool table_sorted() {
  for (std::size_t i = 1; i < kSocketErrorTable.size(); ++i)
    if (kSocketErrorTable[i - 1].code >= kSocketErrorTable[i].code) return false;
  return true;
}
static_assert(table_sorted(), "the error table is searched by bisection");

char g_error_text[kErrorTextSize];

// A trace line holds a whole sendir command (1600 characters) escaped; longer
// data is cut and its length told.
constexpr std::size_t kTraceLineSize = 8192;
constexpr std::size_t kTraceDataRoom = kTraceLineSize - 200;

// Appends `data` with control characters and bytes above 126 escaped, as far as
// `room` allows; returns the bytes of `data` written.
std::size_t escape_into(char* out, std::size_t& at, std::size_t room, const char* data, std::size_t len) {
  std::size_t i = 0;
  for (; i < len && at + 4 < room; ++i) at += escape_byte(static_cast<unsigned char>(data[i]), out + at);
  return i;
}

// The table text for a code, or nullptr when the table has no row for it.
const char* socket_error_lookup(int code) {
  std::size_t lo = 0, hi = kSocketErrorTable.size();
  while (lo < hi) {  // first row whose code is not less than `code`
    std::size_t mid = lo + (hi - lo) / 2;
    if (kSocketErrorTable[mid].code < code)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < kSocketErrorTable.size() && kSocketErrorTable[lo].code == code)
    return kSocketErrorTable[lo].text;
  return nullptr;
}

}  // namespace

const char* socket_error_text(const char* prefix, int code) {
  if (code == 0) code = plat::last_error();
  const char* text = socket_error_lookup(code);
  // snprintf drops what does not fit and always terminates: at most 255 characters.
  std::snprintf(g_error_text, sizeof g_error_text, "%s: %s (%d)", prefix ? prefix : "",
                text ? text : "unknown error", code);
  return g_error_text;
}

int script_print(const char* format, ...) {
  char message[kPrintBufferSize];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);  // longer messages are cut at 1023
  va_end(ap);
  lua_State* L = g_module.script.load();
  if (L == nullptr) return -1;
  if (!lua::check_stack(L, 3)) return -1;
  int top = lua::top(L);
  // Raw lookup: a metatable on the globals that raises for unknown names must not
  // throw past this C frame.
  lua::raw_get_global(L, "print");
  lua::push_text(L, message);
  int status = lua::pcall(L, 1, 0, 0);
  lua::set_top(L, top);  // also drops the error value of a failed call
  return status;
}

void trace_traffic(std::uintptr_t socket, const char* host, const char* direction, const char* data,
                   std::size_t len, const char* note) {
  RecordRef rec;
  if (host == nullptr) {
    rec = registry_find(socket);
    host = rec ? rec->host : "";
  }
  char line[kTraceLineSize];
  char time[13];
  plat::time_of_day(time);
  int head = std::snprintf(line, kTraceDataRoom, "%s [%llu%s%s] %s ", time, static_cast<unsigned long long>(socket),
                           *host ? " " : "", host, direction);
  std::size_t at = head > 0 ? static_cast<std::size_t>(head) : 0;
  std::size_t written = escape_into(line, at, kTraceDataRoom, data, len);
  if (written < len) at += static_cast<std::size_t>(std::snprintf(line + at, kTraceLineSize - at, "... (%llu bytes)",
                                                                  static_cast<unsigned long long>(len)));
  if (note != nullptr) std::snprintf(line + at, kTraceLineSize - at, " (%s)", note);
  else line[at] = '\0';
  plat::trace_output(line);
}

}  // namespace cvn
