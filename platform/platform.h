// The one seam that knows the operating system. Everything above it speaks in
// Windows Sockets terms: socket handles, WSA error numbers, a notification window
// that receives socket events and timer ticks as messages, timed mutexes.
// posix/ implements it with BSD sockets, epoll, eventfd and timerfd; win32/ with
// Windows Sockets 1.1 and a hidden window. Each backend keeps one file per concern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define CVN_OS_WINDOWS 1
#else
#define CVN_OS_POSIX 1
#endif

namespace cvn::plat {

// A socket handle as scripts see it; on POSIX the descriptor number.
using Socket = std::uintptr_t;
constexpr Socket kInvalidSocket = ~Socket{0};

// Notification window handle; 0 names no window.
using Window = std::uintptr_t;

// A mutex handle that can be waited for with a time-out. On POSIX it is a
// pthread_mutex_t* of a recursive mutex (so it behaves like a Windows mutex,
// which its owner may take again); on Windows a mutex HANDLE.
using Mutex = void*;

struct ThreadRec;
using Thread = ThreadRec*;

// Windows Sockets error numbers the plug-in relies on by name.
constexpr int kErrInvalid = 10022;
constexpr int kErrTooManySockets = 10024;
constexpr int kErrWouldBlock = 10035;
constexpr int kErrNotSocket = 10038;
constexpr int kErrAddrInUse = 10048;
constexpr int kErrRefused = 10061;
constexpr int kErrNotInitialised = 10093;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrNoData = 11004;

// Socket notification events and window messages.
constexpr long kFdRead = 1;
constexpr long kFdAccept = 8;
constexpr long kFdClose = 32;
constexpr unsigned kMsgClose = 0x0010;   // WM_CLOSE
constexpr unsigned kMsgTimer = 0x0113;   // WM_TIMER
constexpr unsigned kMsgSocket = 0x8001;  // WM_USER + 1

// --- errors (per thread) ---
int last_error();
void set_last_error(int code);

// --- socket library; any thread ---
void socket_library_start();  // WSAStartup(1.1); result ignored by callers
void socket_library_stop();   // WSACleanup

// Every operation below accepts only sockets this layer created; any other
// number (a file, the terminal, a closed socket) fails with 10038.
Socket tcp_socket();                                              // kInvalidSocket on failure
int connect_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_net);  // 0 or -1
// For listeners: a port only lingering connections hold binds, as on Windows;
// one that another socket listens on fails with 10048.
int bind_any(Socket s, std::uint16_t port_net);                   // 0 or -1
int listen_socket(Socket s, int backlog);                         // 0 or -1
// listen_socket's backlog for the longest queue the system allows (SOMAXCONN).
constexpr int kBacklogMax = -1;
// At the descriptor limit (10024) one pending connection, if any, is accepted with
// a descriptor held in reserve and reset at once, so it neither stays queued
// (keeping the listener ready) nor waits for a descriptor that may never come.
Socket accept_socket(Socket s, std::uint32_t* peer_addr_net, std::uint16_t* peer_port_net);
int send_bytes(Socket s, const char* data, int len);              // count or -1
int recv_bytes(Socket s, char* buf, int len);                     // count, 0 at end, -1; never waits
int shutdown_send(Socket s);                                      // 0 or -1
int close_socket(Socket s);                                       // 0 or -1
bool is_socket(Socket s);
// A number that tells two sockets apart that had the same handle; 0 for no socket.
std::uint64_t socket_serial(Socket s);

// A line reader looks before it takes; every backend keeps these rules:
// 1. recv_peek hands `look` the bytes waiting (at least one) and takes none;
//    `look` returns how many of them it may take. It fetches from the system only
//    when it holds none, and may fail with 10035 without asking the system when
//    no receive is due (POSIX: nothing can have arrived since the last one;
//    Windows: this read notification has received already): the read
//    notification for the next bytes then follows.
// 2. recv_consume takes the first n bytes of what the peek saw. The mark names
//    what was seen: when anything else has received from the socket since, it
//    takes nothing and fails with 10035. A consume of 0 bytes is only that check.
// 3. Bytes seen and not yet taken call for no read notification. A consume, and a
//    peek that finds nothing, count as a receive for re-enabling read
//    notifications; a peek that shows bytes does not.
// 4. Both fail with 10038 unless `serial` is s's socket_serial: the number may
//    name a newer socket by now. Neither waits.
// recv_peek returns the count seen, 0 at end of stream, -1 on failure (10035 when
// nothing waits); recv_consume returns n or -1.
using RecvLook = std::size_t (*)(void* ctx, const char* data, std::size_t len);
int recv_peek(Socket s, std::uint64_t serial, RecvLook look, void* ctx, std::uint64_t* mark);
int recv_consume(Socket s, std::uint64_t serial, std::uint64_t mark, std::size_t n);
// Bytes a receive could return now without waiting (FIONREAD), or -1.
long recv_pending(Socket s);

// Port numbers in network byte order (htons / ntohs), whatever the CPU's order.
inline std::uint16_t port_to_net(std::uint16_t port) {
  const unsigned char b[2] = {static_cast<unsigned char>(port >> 8),
                              static_cast<unsigned char>(port & 0xFF)};
  std::uint16_t v;
  std::memcpy(&v, b, 2);
  return v;
}
inline std::uint16_t port_from_net(std::uint16_t v) {
  unsigned char b[2];
  std::memcpy(b, &v, 2);
  return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

// --- names and addresses; any thread ---
std::uint32_t parse_ipv4(const char* text);   // inet_addr: 0xFFFFFFFF when not dotted
// First IPv4 address of a host name, or 0xFFFFFFFF with last_error 11001/11004.
std::uint32_t lookup_ipv4(const char* name);
void format_ipv4(std::uint32_t addr_net, char out[16]);  // inet_ntoa

// --- notification window ---
using WindowProc = std::intptr_t (*)(Window w, unsigned msg, std::uintptr_t wparam,
                                     std::intptr_t lparam);
// On the thread that will run the loop. 0 on failure.
Window window_create(WindowProc proc);
// Runs the calling thread's message loop until post_quit; returns the quit code.
int message_loop(Window w);
void post_quit(int code);  // from the loop's own thread
// Default handling: a close message destroys the window.
std::intptr_t default_proc(Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam);
// Any thread: asks the window to close (delivered as kMsgClose). No window: nothing.
void send_close(Window w);
// Any thread: queues a message of the caller's own for the window. False when
// there is no such window.
bool post_message(Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam);
// Any thread. Replaces the socket's notification set, makes it non-blocking.
// 0, or -1 with 10038 (not a socket) or 10022 (no such window).
int async_select(Socket s, Window w, unsigned msg, long events);
// Any thread. A timer replaces the window's timer with the same id; missed ticks
// coalesce. Returns id (non-zero) or 0.
std::uintptr_t set_timer(Window w, std::uintptr_t id, unsigned interval_ms);
bool kill_timer(Window w, std::uintptr_t id);
std::size_t timer_count(Window w);

// --- threads and mutexes ---
Thread thread_start(void (*fn)(void*), void* arg);
bool thread_wait(Thread t, unsigned timeout_ms);  // true when the thread has ended
void thread_release(Thread t);                     // joins an ended thread, abandons a running one
bool mutex_wait(Mutex m, unsigned timeout_ms);
void mutex_release(Mutex m);
// Releases m, and when another thread is waiting for it, returns only once that
// thread has had it (it may hold it still, or have let it go again), or after at
// most a fraction of a millisecond, so a thread that releases and takes m again
// in a loop does not keep the waiter out. It waits asleep, never spinning. A
// Windows mutex hands itself to a waiter anyway; a pthread mutex goes to whoever
// asks first.
void mutex_release_to_waiter(Mutex m);
// True when another thread may be waiting for m, which the caller holds; true
// also where that cannot be told (Windows). A cheap look, no system call.
bool mutex_waited_for(Mutex m);

// --- adapter status (NCBASTAT on adapter 0) ---
// call_name: 16 bytes as Netbios takes them. Fills status (at least 6 bytes: the
// adapter address first). 0 on success, non-zero otherwise.
int netbios_reset();
int netbios_adapter_status(const unsigned char call_name[16], unsigned char* status, int len);
// Tests only: send every adapter-status query to this IPv4 address and port
// (network order); 0, 0 restores normal behaviour.
void netbios_redirect_for_tests(std::uint32_t addr_net, std::uint16_t port_net);

// --- module and diagnostics ---
// The module's base address and full file path.
std::uintptr_t module_handle();
void module_path(char* out, std::size_t cap);
// The debugger output channel. Lines go to the installed sink; without one, to
// standard error when CVN_DEBUG is set in the environment.
using DebugSink = void (*)(const char* text);
void debug_output(const char* text);
void set_debug_sink(DebugSink sink);
// The traffic trace's lines: to the installed sink, else to the debugger channel
// itself (standard error on POSIX, whatever CVN_DEBUG says).
void trace_output(const char* text);
// Whether the host asks for the traffic trace: the environment variable
// CVN_TRACE set to anything but "" or "0".
bool trace_requested();
// The local time of day as "HH:MM:SS.mmm".
void time_of_day(char out[13]);

// Counts for tests and soak runs.
std::size_t open_socket_count();

}  // namespace cvn::plat
