// The notification window on POSIX: an epoll loop per window, an eventfd that
// wakes it from other threads and one timerfd for all of its timers. Socket
// notifications follow the Windows posting rules (update below).
#include "internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cvn::plat {
namespace posix {

struct Msg {
  unsigned msg;
  std::uintptr_t wparam;
  std::intptr_t lparam;
  std::uint64_t tag;  // socket serial or timer generation, to drop stale messages
};

struct TimerRec {
  unsigned interval_ms;
  std::int64_t due;
  std::uint64_t gen;
  bool pending;
};

struct EventWindow {
  Window handle = 0;
  WindowProc proc = nullptr;
  pthread_t owner{};
  int ep = -1, wake = -1, tfd = -1;
  std::mutex mu;  // queue, timers, flags
  std::deque<Msg> queue;
  std::map<std::uintptr_t, TimerRec> timers;
  std::set<std::pair<std::int64_t, std::uintptr_t>> due;
  std::uint64_t timer_gen = 0;
  bool destroyed = false;
  bool quit = false;
  int quit_code = 0;

  ~EventWindow() {
    for (int fd : {ep, wake, tfd})
      if (fd >= 0) ::close(fd);
  }
};

}  // namespace posix

using namespace posix;

namespace {

constexpr std::uint64_t kTokenWake = 0;
constexpr std::uint64_t kTokenTimer = 1;
// How long events may go unlooked-for while messages keep the loop busy: the
// most a socket's notification or a timer tick waits behind them.
constexpr std::int64_t kPollIntervalNs = 200000;

std::mutex g_win_mu;
std::unordered_map<Window, std::shared_ptr<EventWindow>> g_windows;
Window g_next_window = 1;
thread_local EventWindow* t_loop = nullptr;

std::shared_ptr<EventWindow> find_window(Window w) {
  std::lock_guard<std::mutex> lk(g_win_mu);
  auto it = g_windows.find(w);
  return it == g_windows.end() ? nullptr : it->second;
}

void post(EventWindow& w, const Msg& m) {
  {
    std::lock_guard<std::mutex> lk(w.mu);
    if (w.destroyed) return;
    w.queue.push_back(m);
  }
  if (!pthread_equal(pthread_self(), w.owner)) {
    std::uint64_t one = 1;
    ssize_t r = ::write(w.wake, &one, sizeof one);
    (void)r;
  }
}

}  // namespace

namespace posix {

void set_interest(SockState& st, std::uint32_t want) {
  if (!st.win) return;
  if (want == 0) {
    if (st.registered) ::epoll_ctl(st.win->ep, EPOLL_CTL_DEL, st.fd, nullptr);
    st.registered = false;
    st.interest = 0;
    return;
  }
  if (st.registered && want == st.interest) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = st.serial << kFdBits | static_cast<std::uint64_t>(st.fd);
  int op = st.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(st.win->ep, op, st.fd, &ev) == 0) {
    st.registered = true;
    st.interest = want;
  }
}

// Posts the notifications the posting rules call for (posting.h) and keeps the
// epoll interest to what could post one, so a level-triggered epoll never spins.
// `ev` is the epoll event set that woke us, or 0 after a receive or accept.
// Called with st.mu held. Inlined into rearm_read, which every receive calls,
// where `ev` is 0 and the tests of it fold away.
[[gnu::always_inline]] inline void apply_posting_rules(SockState& st, std::uint32_t ev) {
  if (st.closed) return;
  if (ev & EPOLLIN) st.drained = false;
  PostingFacts facts{st.win ? st.mask : 0, st.listening, ev, st.len - st.pos > st.peeked};
  auto notify = [&](long event) {
    post(*st.win, Msg{st.msg, static_cast<std::uintptr_t>(st.fd), event, st.serial});
  };
  set_interest(st, next_posts(st.posting, facts, notify, [&] { return bytes_waiting(st.fd) > 0; }));
}

void update(SockState& st, std::uint32_t ev) { apply_posting_rules(st, ev); }

void rearm_read(SockState& st) {
  st.posting.received();
  apply_posting_rules(st, 0);
}

}  // namespace posix

namespace {

// Before a message is handed to the window procedure: drop it when its socket
// was closed (the handle may already name another socket) or its timer was
// killed or replaced, and clear the queued marks so the next one can be posted.
bool accept_message(EventWindow& w, const Msg& m) {
  if (m.msg == kMsgTimer) {
    std::lock_guard<std::mutex> lk(w.mu);
    auto it = w.timers.find(m.wparam);
    if (it == w.timers.end() || it->second.gen != m.tag) return false;
    it->second.pending = false;
    return true;
  }
  if (m.tag == 0) return true;
  SockState* st = find_exact(m.wparam, m.tag);
  if (st == nullptr) return false;
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return false;
  st->posting.dequeued(static_cast<long>(m.lparam));
  return true;
}

void rearm_timerfd(EventWindow& w) {
  itimerspec its{};
  if (!w.due.empty()) {
    std::int64_t at = w.due.begin()->first;
    if (at <= 0) at = 1;
    its.it_value.tv_sec = at / 1000000000;
    its.it_value.tv_nsec = at % 1000000000;
  }
  ::timerfd_settime(w.tfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void on_timers(EventWindow& w) {
  std::uint64_t expirations;
  ssize_t r = ::read(w.tfd, &expirations, sizeof expirations);
  (void)r;
  std::int64_t now = now_ns();
  std::lock_guard<std::mutex> lk(w.mu);
  while (!w.due.empty() && w.due.begin()->first <= now) {
    auto [when, id] = *w.due.begin();
    w.due.erase(w.due.begin());
    TimerRec& t = w.timers[id];
    if (!t.pending && !w.destroyed) {  // one tick waits at most; missed ones coalesce
      w.queue.push_back(Msg{kMsgTimer, id, 0, t.gen});
      t.pending = true;
    }
    std::int64_t step = static_cast<std::int64_t>(t.interval_ms) * 1000000;
    std::int64_t next = when + step;
    if (next <= now) next = now + step;
    t.due = next;
    w.due.emplace(next, id);
  }
  rearm_timerfd(w);
}

void on_socket_event(std::uint64_t token, std::uint32_t events) {
  SockState* st = find_exact(static_cast<Socket>(token & ((1u << kFdBits) - 1)), token >> kFdBits);
  if (st == nullptr) return;
  std::lock_guard<std::mutex> lk(st->mu);
  update(*st, events);
}

}  // namespace

Window window_create(WindowProc proc) {
  auto w = std::make_shared<EventWindow>();
  w->proc = proc;
  w->owner = pthread_self();
  w->ep = ::epoll_create1(EPOLL_CLOEXEC);
  w->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  w->tfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (w->ep < 0 || w->wake < 0 || w->tfd < 0) return 0;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTokenWake;
  ::epoll_ctl(w->ep, EPOLL_CTL_ADD, w->wake, &ev);
  ev.data.u64 = kTokenTimer;
  ::epoll_ctl(w->ep, EPOLL_CTL_ADD, w->tfd, &ev);
  std::lock_guard<std::mutex> lk(g_win_mu);
  w->handle = g_next_window++;
  g_windows[w->handle] = w;
  t_loop = w.get();
  return w->handle;
}

int message_loop(Window handle) {
  auto w = find_window(handle);
  if (!w || t_loop != w.get()) return -1;
  std::vector<Msg> batch;
  std::array<epoll_event, 64> evs;
  std::int64_t last_poll = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(w->mu);
      batch.assign(w->queue.begin(), w->queue.end());
      w->queue.clear();
    }
    for (const Msg& m : batch) {
      if (accept_message(*w, m)) w->proc(w->handle, m.msg, m.wparam, m.lparam);
      if (w->quit) {
        t_loop = nullptr;
        return w->quit_code;
      }
    }
    bool waiting;
    {
      std::lock_guard<std::mutex> lk(w->mu);
      waiting = !w->queue.empty();
    }
    // With messages waiting already (a connection that had more to read than one
    // notification delivers), new events are looked for only now and then: each
    // look is a system call, and the waiting messages keep the loop busy anyway.
    if (waiting) {
      std::int64_t now = now_ns();
      if (now - last_poll < kPollIntervalNs) continue;
      last_poll = now;
    }
    int n = ::epoll_wait(w->ep, evs.data(), static_cast<int>(evs.size()), waiting ? 0 : -1);
    for (int i = 0; i < n; ++i) {
      std::uint64_t token = evs[i].data.u64;
      if (token == kTokenWake) {
        std::uint64_t v;
        ssize_t r = ::read(w->wake, &v, sizeof v);
        (void)r;
      } else if (token == kTokenTimer) {
        on_timers(*w);
      } else {
        on_socket_event(token, evs[i].events);
      }
    }
  }
}

void post_quit(int code) {
  if (t_loop == nullptr) return;
  t_loop->quit = true;
  t_loop->quit_code = code;
}

std::intptr_t default_proc(Window handle, unsigned msg, std::uintptr_t, std::intptr_t) {
  if (msg != kMsgClose) return 0;
  std::shared_ptr<EventWindow> w;
  {
    std::lock_guard<std::mutex> lk(g_win_mu);
    auto it = g_windows.find(handle);
    if (it == g_windows.end()) return 0;
    w = it->second;
    g_windows.erase(it);
  }
  std::lock_guard<std::mutex> lk(w->mu);
  w->destroyed = true;
  w->timers.clear();
  w->due.clear();
  rearm_timerfd(*w);
  return 0;
}

void send_close(Window handle) {
  auto w = find_window(handle);
  if (w) post(*w, Msg{kMsgClose, 0, 0, 0});
}

bool post_message(Window handle, unsigned msg, std::uintptr_t wparam, std::intptr_t lparam) {
  auto w = find_window(handle);
  if (!w) return false;
  post(*w, Msg{msg, wparam, lparam, 0});
  return true;
}

int async_select(Socket s, Window handle, unsigned msg, long events) {
  auto st = find_sock(s);
  if (!st) return fail(kErrNotSocket);
  auto w = find_window(handle);
  if (!w) return fail(kErrInvalid);
  std::lock_guard<std::mutex> lk(st->mu);
  if (st->closed) return fail(kErrNotSocket);
  if (st->win != w) {
    set_interest(*st, 0);
    st->win = w;
  }
  st->msg = msg;
  st->mask = events;
  st->posting.selected();
  if (!st->nonblocking) {
    int fl = ::fcntl(st->fd, F_GETFL);
    ::fcntl(st->fd, F_SETFL, fl | O_NONBLOCK);
    st->nonblocking = true;
  }
  update(*st, 0);
  return 0;
}

std::uintptr_t set_timer(Window handle, std::uintptr_t id, unsigned interval_ms) {
  auto w = find_window(handle);
  if (!w) return 0;
  if (interval_ms < 10) interval_ms = 10;  // the shortest interval a window timer has
  std::lock_guard<std::mutex> lk(w->mu);
  if (w->destroyed) return 0;
  auto it = w->timers.find(id);
  if (it != w->timers.end()) w->due.erase({it->second.due, id});
  TimerRec t{interval_ms, now_ns() + static_cast<std::int64_t>(interval_ms) * 1000000,
             ++w->timer_gen, false};
  w->timers[id] = t;
  w->due.emplace(t.due, id);
  rearm_timerfd(*w);
  return id != 0 ? id : 1;
}

bool kill_timer(Window handle, std::uintptr_t id) {
  auto w = find_window(handle);
  if (!w) return false;
  std::lock_guard<std::mutex> lk(w->mu);
  auto it = w->timers.find(id);
  if (it == w->timers.end()) return false;
  w->due.erase({it->second.due, id});
  w->timers.erase(it);
  rearm_timerfd(*w);
  return true;
}

std::size_t timer_count(Window handle) {
  auto w = find_window(handle);
  if (!w) return 0;
  std::lock_guard<std::mutex> lk(w->mu);
  return w->timers.size();
}

}  // namespace cvn::plat
