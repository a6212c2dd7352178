// The two routes by which messages reach a script author: the script's own
// `print` (script_print) and the socket error line built by socket_error_text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

constexpr std::size_t kPrintBufferSize = 1024;
constexpr std::size_t kErrorTextSize = 256;

// Formats printf-style (at most 1023 characters) and calls the global `print` of
// the attached script state in protected mode. Returns the call's status (non-zero
// when there is no state, no `print`, or it raised); the stack is left exactly as
// it was found. Caller: a script function on its own thread, or the NetworkThread
// holding the script lock.
int script_print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes prefix, ": ", the table text of `code` (0: the calling thread's current
// socket error), " (", the code and ")" into one shared 256-byte buffer and
// returns it. Not reentrant: callers are script functions, which run one at a time.
const char* socket_error_text(const char* prefix, int code);

// One line of the traffic trace on the debugger channel: the time of day, the
// socket and its host text (looked up when `host` is nullptr), the direction
// ("->" sent, "<-" received, "--" an event of the connection) and the data with
// control characters escaped (\r, \n, \t, \xNN). `note` follows in parentheses
// when it is not nullptr. Called only while tracing(); any thread.
void trace_traffic(std::uintptr_t socket, const char* host, const char* direction, const char* data,
                   std::size_t len, const char* note = nullptr);

}  // namespace cvn
