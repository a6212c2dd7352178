// The notification window on Windows: a hidden window of class "MainWClass"
// whose message loop receives WSAAsyncSelect notifications and SetTimer ticks.
// Winsock itself applies the posting rules for socket notifications; the window
// procedure drops those of closed sockets and hands on the layer's own read
// notifications (sockets.cpp), whichever loop dispatches them.
#include <windows.h>
#include <winsock.h>

#include <map>
#include <mutex>
#include <set>

#include "internal.h"

namespace cvn::plat {
namespace {

WindowProc g_proc = nullptr;

std::mutex g_timer_mu;  // the table below
std::map<Window, std::set<std::uintptr_t>> g_timers;

LRESULT call_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  return static_cast<LRESULT>(g_proc(reinterpret_cast<Window>(w), msg, static_cast<std::uintptr_t>(wp),
                                     static_cast<std::intptr_t>(lp)));
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_proc == nullptr) return DefWindowProcA(w, msg, wp, lp);
  if (msg == win32::kMsgClosedMark) {
    win32::closed_mark_arrived(static_cast<Socket>(wp));
    return 0;
  }
  unsigned socket_msg = win32::socket_message_number();
  bool held = msg == win32::kMsgHeldBytes;
  if (held) {
    msg = socket_msg;
    lp = kFdRead;
  } else if (socket_msg == 0 || msg != socket_msg) {
    return call_proc(w, msg, wp, lp);
  }
  win32::SocketDispatch d{};
  if (!win32::socket_message_begin(static_cast<Socket>(wp), WSAGETSELECTEVENT(lp), held, &d)) return 0;
  LRESULT r = call_proc(w, msg, wp, lp);
  win32::socket_message_end(d);
  return r;
}

}  // namespace

Window window_create(WindowProc proc) {
  g_proc = proc;
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(module_handle());
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszMenuName = "MainMenu";
  wc.lpszClassName = "MainWClass";
  wc.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(5), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             LR_DEFAULTCOLOR));
  RegisterClassExA(&wc);  // a class left registered by an earlier open serves as well
  HWND w = CreateWindowExA(0, "MainWClass", "Sample", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 150, 150,
                           nullptr, nullptr, instance, nullptr);
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
    {
      std::lock_guard<std::mutex> lk(g_timer_mu);
      g_timers.erase(w);  // the window's timers go with it
    }
    win32::window_closed();  // and its queue, with every mark in it
  }
  return static_cast<std::intptr_t>(DefWindowProcA(reinterpret_cast<HWND>(w), msg, wparam, lparam));
}

void send_close(Window w) {
  if (w != 0) SendMessageA(reinterpret_cast<HWND>(w), WM_CLOSE, 0, 0);
}

bool post_message(Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return w != 0 && PostMessageA(reinterpret_cast<HWND>(w), msg, wparam, lparam) != 0;
}

std::uintptr_t set_timer(Window w, std::uintptr_t id, unsigned interval_ms) {
  UINT_PTR r = SetTimer(reinterpret_cast<HWND>(w), id, interval_ms, nullptr);
  if (r != 0) {
    std::lock_guard<std::mutex> lk(g_timer_mu);
    g_timers[w].insert(id);
  }
  return r;
}

bool kill_timer(Window w, std::uintptr_t id) {
  {
    std::lock_guard<std::mutex> lk(g_timer_mu);
    auto it = g_timers.find(w);
    if (it != g_timers.end()) it->second.erase(id);
  }
  return KillTimer(reinterpret_cast<HWND>(w), id) != 0;
}

std::size_t timer_count(Window w) {
  std::lock_guard<std::mutex> lk(g_timer_mu);
  auto it = g_timers.find(w);
  return it == g_timers.end() ? 0 : it->second.size();
}

}  // namespace cvn::plat
