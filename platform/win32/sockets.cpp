// Windows side of the platform seam: Windows Sockets 1.1 with WSAAsyncSelect to a
// hidden window of class "MainWClass", SetTimer ticks, kernel threads and
// mutexes, OutputDebugStringA and Netbios. Winsock itself applies the posting
// rules for socket notifications; this file passes its error numbers through.
#include "../platform.h"

#include <windows.h>
#include <nb30.h>
#include <winsock.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace cvn::plat {
namespace {

HINSTANCE g_module = nullptr;
WindowProc g_proc = nullptr;
std::atomic<DebugSink> g_debug_sink{nullptr};

std::mutex g_mu;  // the tables below
std::map<Socket, std::uint64_t> g_sockets;  // sockets this layer created, and their serials
std::uint64_t g_next_serial = 1;
std::map<Window, std::set<std::uintptr_t>> g_timers;

// A socket held in reserve while the socket library is started: at the limit of
// open sockets (10024) it is closed to accept one pending connection and reset
// it, so the connection does not stay queued and bring the accept notification
// back at once, forever.
std::mutex g_reserve_mu;
SOCKET g_reserve = INVALID_SOCKET;
int g_library_starts = 0;

void drop_pending(SOCKET listener) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(listener, &ready);
  timeval now{0, 0};
  if (select(0, &ready, nullptr, nullptr, &now) <= 0) return;  // nothing pending
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  if (g_reserve == INVALID_SOCKET) g_reserve = socket(AF_INET, SOCK_STREAM, 0);
  if (g_reserve == INVALID_SOCKET) return;
  closesocket(g_reserve);
  SOCKET c = accept(listener, nullptr, nullptr);
  if (c != INVALID_SOCKET) {
    linger lg{1, 0};  // a reset tells the peer at once that no one will answer
    setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
    closesocket(c);
  }
  g_reserve = socket(AF_INET, SOCK_STREAM, 0);
}

Socket adopt(SOCKET s) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_sockets[static_cast<Socket>(s)] = g_next_serial++;
  return static_cast<Socket>(s);
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_proc != nullptr)
    return static_cast<LRESULT>(g_proc(reinterpret_cast<Window>(w), msg, static_cast<std::uintptr_t>(wp),
                                       static_cast<std::intptr_t>(lp)));
  return DefWindowProcA(w, msg, wp, lp);
}

struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.fn(start.arg);
  return 0;
}

}  // namespace

struct ThreadRec {
  HANDLE handle;
};

int last_error() { return WSAGetLastError(); }
void set_last_error(int code) { WSASetLastError(code); }

void socket_library_start() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  std::lock_guard<std::mutex> lk(g_reserve_mu);
  ++g_library_starts;
  if (g_reserve == INVALID_SOCKET) g_reserve = socket(AF_INET, SOCK_STREAM, 0);
}

void socket_library_stop() {
  {
    std::lock_guard<std::mutex> lk(g_reserve_mu);
    if (g_library_starts > 0 && --g_library_starts == 0 && g_reserve != INVALID_SOCKET) {
      closesocket(g_reserve);
      g_reserve = INVALID_SOCKET;
    }
  }
  WSACleanup();
}

Socket tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return adopt(s);
}

int connect_ipv4(Socket s, std::uint32_t addr_net, std::uint16_t port_net) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = port_net;
  return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int bind_any(Socket s, std::uint16_t port_net) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = port_net;
  return bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

// winsock.h still says SOMAXCONN is 5; the Winsock 2 stack behind wsock32 reads
// 0x7FFFFFFF (winsock2.h's SOMAXCONN) as the largest backlog it allows.
constexpr int kWinsock2MaxBacklog = 0x7FFFFFFF;

int listen_socket(Socket s, int backlog) {
  if (backlog < 0) backlog = kWinsock2MaxBacklog;
  return listen(static_cast<SOCKET>(s), backlog) == 0 ? 0 : -1;
}

Socket accept_socket(Socket s, std::uint32_t* peer_addr_net, std::uint16_t* peer_port_net) {
  sockaddr_in sa{};
  int n = sizeof sa;
  SOCKET c = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &n);
  if (c == INVALID_SOCKET) {
    int err = WSAGetLastError();
    if (err == WSAEMFILE) drop_pending(static_cast<SOCKET>(s));
    WSASetLastError(err);
    return kInvalidSocket;
  }
  if (peer_addr_net) *peer_addr_net = sa.sin_addr.s_addr;
  if (peer_port_net) *peer_port_net = sa.sin_port;
  return adopt(c);
}

int send_bytes(Socket s, const char* data, int len) {
  int r = send(static_cast<SOCKET>(s), data, len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

int recv_bytes(Socket s, char* buf, int len) {
  int r = recv(static_cast<SOCKET>(s), buf, len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

// Winsock keeps the bytes: peek at what waits, then take exactly what was used,
// so its own read notifications stay right for whatever is left.
int recv_scan(Socket s, std::uint64_t serial, RecvTake take, void* ctx) {
  if (serial != 0 && socket_serial(s) != serial) {
    WSASetLastError(kErrNotSocket);
    return -1;
  }
  char buf[1024];
  int n = recv(static_cast<SOCKET>(s), buf, sizeof buf, MSG_PEEK);
  if (n == SOCKET_ERROR) return -1;
  if (n == 0) return 0;
  std::size_t used = take(ctx, buf, static_cast<std::size_t>(n));
  int r = recv(static_cast<SOCKET>(s), buf, static_cast<int>(used), 0);
  return r == SOCKET_ERROR ? -1 : r;
}

long recv_pending(Socket s) {
  u_long n = 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) != 0) return -1;
  return static_cast<long>(n);
}

int shutdown_send(Socket s) { return shutdown(static_cast<SOCKET>(s), 1) == 0 ? 0 : -1; }

int close_socket(Socket s) {
  if (closesocket(static_cast<SOCKET>(s)) != 0) return -1;
  std::lock_guard<std::mutex> lk(g_mu);
  g_sockets.erase(s);
  return 0;
}

bool is_socket(Socket s) { return socket_serial(s) != 0; }

std::uint64_t socket_serial(Socket s) {
  std::lock_guard<std::mutex> lk(g_mu);
  auto it = g_sockets.find(s);
  return it == g_sockets.end() ? 0 : it->second;
}

std::size_t open_socket_count() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_sockets.size();
}

std::uint32_t parse_ipv4(const char* text) { return text ? inet_addr(text) : 0xFFFFFFFFu; }

std::uint32_t lookup_ipv4(const char* name) {
  hostent* h = (name && *name) ? gethostbyname(name) : nullptr;
  if (h == nullptr || h->h_addr_list[0] == nullptr) {
    if (WSAGetLastError() == 0 || !(name && *name)) WSASetLastError(kErrHostNotFound);
    return 0xFFFFFFFFu;
  }
  std::uint32_t addr;
  std::memcpy(&addr, h->h_addr_list[0], 4);
  if (addr == 0xFFFFFFFFu) WSASetLastError(kErrHostNotFound);
  return addr;
}

void format_ipv4(std::uint32_t addr_net, char out[16]) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr_net);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

Window window_create(WindowProc proc) {
  g_proc = proc;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = g_module;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszMenuName = "MainMenu";
  wc.lpszClassName = "MainWClass";
  wc.hIconSm = static_cast<HICON>(LoadImageA(g_module, MAKEINTRESOURCEA(5), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             LR_DEFAULTCOLOR));
  RegisterClassExA(&wc);  // a class left registered by an earlier open serves as well
  HWND w = CreateWindowExA(0, "MainWClass", "Sample", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 150, 150,
                           nullptr, nullptr, g_module, nullptr);
  return reinterpret_cast<Window>(w);
}

int message_loop(Window) {
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return static_cast<int>(m.wParam);
}

void post_quit(int code) { PostQuitMessage(code); }

std::intptr_t default_proc(Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  if (msg == kMsgClose) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_timers.erase(w);  // the window's timers go with it
  }
  return static_cast<std::intptr_t>(DefWindowProcA(reinterpret_cast<HWND>(w), msg, wparam, lparam));
}

void send_close(Window w) {
  if (w != 0) SendMessageA(reinterpret_cast<HWND>(w), WM_CLOSE, 0, 0);
}

bool post_message(Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return w != 0 && PostMessageA(reinterpret_cast<HWND>(w), msg, wparam, lparam) != 0;
}

int async_select(Socket s, Window w, unsigned msg, long events) {
  return WSAAsyncSelect(static_cast<SOCKET>(s), reinterpret_cast<HWND>(w), msg, events) == 0 ? 0 : -1;
}

std::uintptr_t set_timer(Window w, std::uintptr_t id, unsigned interval_ms) {
  UINT_PTR r = SetTimer(reinterpret_cast<HWND>(w), id, interval_ms, nullptr);
  if (r != 0) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_timers[w].insert(id);
  }
  return r;
}

bool kill_timer(Window w, std::uintptr_t id) {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    auto it = g_timers.find(w);
    if (it != g_timers.end()) it->second.erase(id);
  }
  return KillTimer(reinterpret_cast<HWND>(w), id) != 0;
}

std::size_t timer_count(Window w) {
  std::lock_guard<std::mutex> lk(g_mu);
  auto it = g_timers.find(w);
  return it == g_timers.end() ? 0 : it->second.size();
}

Thread thread_start(void (*fn)(void*), void* arg) {
  auto* start = new ThreadStart{fn, arg};
  HANDLE h = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
  if (h == nullptr) {
    delete start;
    return nullptr;
  }
  return new ThreadRec{h};
}

bool thread_wait(Thread t, unsigned timeout_ms) {
  return t != nullptr && WaitForSingleObject(t->handle, timeout_ms) == WAIT_OBJECT_0;
}

void thread_release(Thread t) {
  if (t == nullptr) return;
  CloseHandle(t->handle);
  delete t;
}

bool mutex_wait(Mutex m, unsigned timeout_ms) {
  if (m == nullptr) return false;
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(m), timeout_ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void mutex_release(Mutex m) {
  if (m != nullptr) ReleaseMutex(static_cast<HANDLE>(m));
}

int netbios_reset() {
  NCB ncb{};
  ncb.ncb_command = NCBRESET;
  ncb.ncb_lana_num = 0;
  return Netbios(&ncb);
}

int netbios_adapter_status(const unsigned char call_name[16], unsigned char* status, int len) {
  NCB ncb{};
  ncb.ncb_command = NCBASTAT;
  ncb.ncb_lana_num = 0;
  std::memcpy(ncb.ncb_callname, call_name, 16);
  ncb.ncb_buffer = status;
  ncb.ncb_length = static_cast<WORD>(len);
  return Netbios(&ncb);
}

void netbios_redirect_for_tests(std::uint32_t, std::uint16_t) {}

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

}  // namespace cvn::plat

// Module attach: the module handle is kept for the window class and the log line.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) cvn::plat::g_module = instance;
  return TRUE;
}
