// The NetworkThread: creates the notification window, runs its message loop and
// dispatches socket notifications and timer ticks to their handlers.
#include "network_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "delivery.h"
#include "keepalive.h"

namespace cvn {
namespace {

std::mutex g_net_mu;  // the thread handle, the stop request, publishing the window
plat::Thread g_thread = nullptr;
std::atomic<plat::Window> g_window{0};
bool g_stop_requested = false;
bool g_window_settled = false;  // the thread has created its window, or failed to
std::condition_variable g_window_cv;

std::intptr_t dispatch(plat::Window w, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  switch (msg) {
    case plat::kMsgClose:
      plat::post_quit(0);
      break;
    case plat::kMsgTimer:
      keepalive_tick(static_cast<plat::Socket>(wparam));
      break;
    case kMsgConnectionEnded:
      on_ended(static_cast<plat::Socket>(wparam), static_cast<std::uint64_t>(lparam));
      break;
    case plat::kMsgSocket:
      switch (lparam & 0xFFFF) {
        case plat::kFdRead:
          on_read(static_cast<plat::Socket>(wparam));
          break;
        case plat::kFdAccept:
          on_accept(static_cast<plat::Socket>(wparam));
          break;
        case plat::kFdClose:
          on_close(static_cast<plat::Socket>(wparam));
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return plat::default_proc(w, msg, wparam, lparam);
}

void thread_body(void*) {
  plat::Window w = plat::window_create(dispatch);
  {
    // A stop that came before the window existed had nothing to send its close
    // request to; honour it here instead of running a loop no one can end.
    std::lock_guard<std::mutex> lk(g_net_mu);
    g_window_settled = true;
    g_window_cv.notify_all();
    if (g_stop_requested || w == 0) {
      if (w != 0) plat::default_proc(w, plat::kMsgClose, 0, 0);
      return;
    }
    g_window = w;
  }
  plat::message_loop(w);
  g_window = 0;
}

}  // namespace

void network_start() {
  std::unique_lock<std::mutex> lk(g_net_mu);
  g_stop_requested = false;
  g_window_settled = false;
  g_thread = plat::thread_start(thread_body, nullptr);
  // A script starts right after the open: without the window its first Open or
  // Listen would fail to request notifications, depending on thread timing.
  if (g_thread != nullptr)
    g_window_cv.wait_for(lk, std::chrono::seconds(10), [] { return g_window_settled; });
}

void network_stop() {
  plat::Window w;
  plat::Thread t;
  {
    std::lock_guard<std::mutex> lk(g_net_mu);
    g_stop_requested = true;
    w = g_window;
    t = g_thread;
    g_thread = nullptr;
  }
  plat::send_close(w);
  plat::thread_wait(t, 10000);
  plat::thread_release(t);
}

plat::Window network_window() { return g_window.load(); }

void network_post_ended(plat::Socket s, std::uint64_t serial) {
  plat::post_message(g_window.load(), kMsgConnectionEnded, s, static_cast<std::intptr_t>(serial));
}

}  // namespace cvn
