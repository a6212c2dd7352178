// The platform layer against real loopback sockets: error numbers as Windows
// Sockets reports them, the Windows rules for notifications and timers, and the
// script lock handed to a thread that waits for it.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <atomic>
#include <map>

#include "harness.h"
#include "offline.h"

using namespace cvn;
using namespace cvn::test;

namespace {

// A window on its own thread that records every message it receives.
struct TestWindow {
  static inline std::mutex mu;
  static inline std::vector<std::pair<unsigned, std::intptr_t>> seen;  // (msg, event or id)
  static inline std::atomic<plat::Window> handle{0};
  std::thread thread;

  static std::intptr_t proc(plat::Window w, unsigned msg, std::uintptr_t wp, std::intptr_t lp) {
    if (msg == plat::kMsgClose) plat::post_quit(0);
    {
      std::lock_guard<std::mutex> lk(mu);
      seen.emplace_back(msg, msg == plat::kMsgTimer ? static_cast<std::intptr_t>(wp) : lp);
    }
    return plat::default_proc(w, msg, wp, lp);
  }

  TestWindow() {
    {
      std::lock_guard<std::mutex> lk(mu);
      seen.clear();
    }
    handle = 0;
    thread = std::thread([] {
      plat::Window w = plat::window_create(proc);
      handle = w;
      plat::message_loop(w);
    });
    wait_until([] { return handle != 0; });
  }
  ~TestWindow() {
    plat::send_close(handle);
    thread.join();
  }
  std::size_t count(unsigned msg, std::intptr_t what) {
    std::lock_guard<std::mutex> lk(mu);
    std::size_t n = 0;
    for (auto& m : seen) n += m.first == msg && m.second == what;
    return n;
  }
};

struct Library {
  Library() { plat::socket_library_start(); }
  ~Library() { plat::socket_library_stop(); }
};

}  // namespace

TEST(Errors, ErrnoValuesMapToWindowsSocketsNumbers) {
  Library lib;
  std::uint16_t closed_port = free_port();
  plat::Socket s = plat::tcp_socket();
  EXPECT_EQ(-1, plat::connect_ipv4(s, htonl(INADDR_LOOPBACK), htons(closed_port)));
  EXPECT_EQ(plat::kErrRefused, plat::last_error());
  plat::close_socket(s);

  PeerListener busy;
  s = plat::tcp_socket();
  EXPECT_EQ(-1, plat::bind_any(s, htons(busy.port)));
  EXPECT_EQ(plat::kErrAddrInUse, plat::last_error());
  plat::close_socket(s);

  // Numbers that name no socket of ours: a file, the terminal, a closed socket.
  int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  for (plat::Socket n : {static_cast<plat::Socket>(file), static_cast<plat::Socket>(ep),
                         plat::Socket{0}, plat::Socket{2}, s, plat::kInvalidSocket}) {
    char c;
    EXPECT_EQ(-1, plat::send_bytes(n, "x", 1));
    EXPECT_EQ(plat::kErrNotSocket, plat::last_error());
    EXPECT_EQ(-1, plat::recv_bytes(n, &c, 1));
    EXPECT_EQ(-1, plat::shutdown_send(n));
    EXPECT_EQ(-1, plat::close_socket(n));
    EXPECT_EQ(plat::kErrNotSocket, plat::last_error());
    EXPECT_EQ(-1, plat::async_select(n, 1, plat::kMsgSocket, 33));
    EXPECT_EQ(plat::kErrNotSocket, plat::last_error());
  }
  EXPECT_NE(-1, ::fcntl(file, F_GETFD));  // still open: nothing closed it
  ::close(file);
  ::close(ep);

  {
    TestWindow w;
    LayerSocket conn(w.handle, 33);
    s = conn.s;
    char c;
    EXPECT_EQ(-1, plat::recv_bytes(s, &c, 1));
    EXPECT_EQ(plat::kErrWouldBlock, plat::last_error());
    EXPECT_EQ(-1, plat::async_select(s, 0, plat::kMsgSocket, 33));  // no such window
    EXPECT_EQ(plat::kErrInvalid, plat::last_error());
    plat::close_socket(s);
  }

  EXPECT_EQ(htonl(0x7F000001), plat::parse_ipv4("127.1"));
  EXPECT_EQ(0xFFFFFFFFu, plat::parse_ipv4("localhost"));
}

TEST(Errors, ANameNoOneHasIsNotFound) {
  if (!offline()) GTEST_SKIP() << kNeedsOffline;
  EXPECT_EQ(0xFFFFFFFFu, plat::lookup_ipv4("no-such-host.invalid"));
  EXPECT_EQ(plat::kErrHostNotFound, plat::last_error());
  EXPECT_EQ(htonl(0x7F000001), plat::lookup_ipv4("localhost"));  // from the hosts file offline.sh gives
}

TEST(Errors, SocketsFailBeforeTheLibraryIsStarted) {
  EXPECT_EQ(plat::kInvalidSocket, plat::tcp_socket());
  EXPECT_EQ(plat::kErrNotInitialised, plat::last_error());
}

TEST(Notifications, ReadIsPostedOnceUntilAReceiveReenablesIt) {
  Library lib;
  TestWindow w;
  LayerSocket conn(w.handle, 33);
  plat::Socket s = conn.s;
  Peer& other = conn.peer;
  other.send("abc");
  ASSERT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdRead) == 1; }));
  other.send("def");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(1u, w.count(plat::kMsgSocket, plat::kFdRead));  // not again before a receive
  char c;
  ASSERT_EQ(1, plat::recv_bytes(s, &c, 1));  // data remains: posted again
  EXPECT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdRead) == 2; }));
  char rest[16];
  EXPECT_EQ(5, plat::recv_bytes(s, rest, sizeof rest));
  other.close();
  EXPECT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdClose) == 1; }));
  EXPECT_EQ(0, plat::recv_bytes(s, rest, sizeof rest));
  ASSERT_EQ(0, plat::async_select(s, w.handle, plat::kMsgSocket, 33));  // re-request
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(1u, w.count(plat::kMsgSocket, plat::kFdClose));  // close is posted once
  plat::close_socket(s);
}

namespace {
// Peeks at s: the text seen, all of it offered for taking; "" when nothing came.
std::string peek(plat::Socket s, std::uint64_t* mark) {
  std::string seen;
  int r = plat::recv_peek(
      s, plat::socket_serial(s),
      [](void* ctx, const char* data, std::size_t n) {
        static_cast<std::string*>(ctx)->assign(data, n);
        return n;
      },
      &seen, mark);
  return r > 0 ? seen : "";
}
}  // namespace

TEST(Notifications, APeekTakesNothingAndAConsumeTakesOnlyWhatWasSeen) {
  Library lib;
  TestWindow w;
  LayerSocket conn(w.handle, 33);
  plat::Socket s = conn.s;
  Peer& other = conn.peer;
  other.send("abc");
  ASSERT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdRead) == 1; }));
  std::uint64_t mark = 0, again = 0;
  ASSERT_EQ("abc", peek(s, &mark));
  ASSERT_EQ("abc", peek(s, &again));
  EXPECT_EQ(mark, again);
  // Bytes a reader is about to take call for no notification, even when a
  // callback's Send re-requests notifications meanwhile.
  ASSERT_EQ(0, plat::async_select(s, w.handle, plat::kMsgSocket, 33));
  EXPECT_EQ(-1, plat::recv_consume(s, plat::socket_serial(s) + 1, mark, 1));
  EXPECT_EQ(plat::kErrNotSocket, plat::last_error());
  ASSERT_EQ(2, plat::recv_consume(s, plat::socket_serial(s), mark, 2));
  EXPECT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdRead) == 2; }));  // "c" is left
  ASSERT_EQ("c", peek(s, &mark));
  char c;
  ASSERT_EQ(1, plat::recv_bytes(s, &c, 1));  // another receive took it first
  EXPECT_EQ(-1, plat::recv_consume(s, plat::socket_serial(s), mark, 1));
  EXPECT_EQ(plat::kErrWouldBlock, plat::last_error());
  // Emptied: a peek says so without waiting, and what comes next is notified.
  EXPECT_EQ("", peek(s, &mark));
  EXPECT_EQ(plat::kErrWouldBlock, plat::last_error());
  std::size_t before = w.count(plat::kMsgSocket, plat::kFdRead);
  other.send("def");
  ASSERT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdRead) == before + 1; }));
  EXPECT_EQ("def", peek(s, &mark));
  ASSERT_EQ(3, plat::recv_consume(s, plat::socket_serial(s), mark, 3));
  other.close();
  ASSERT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdClose) == 1; }));
  EXPECT_EQ(0, plat::recv_peek(s, plat::socket_serial(s), [](void*, const char*, std::size_t n) { return n; },
                               nullptr, &mark));  // end of stream
  plat::close_socket(s);
}

TEST(Notifications, AcceptIsPostedOnceUntilAnAcceptReenablesIt) {
  Library lib;
  TestWindow w;
  plat::Socket ls = plat::tcp_socket();
  std::uint16_t port = free_port();
  ASSERT_EQ(0, plat::bind_any(ls, htons(port)));
  ASSERT_EQ(0, plat::listen_socket(ls, 4));
  ASSERT_EQ(0, plat::async_select(ls, w.handle, plat::kMsgSocket, 41));
  Peer a = connect_to(port), b = connect_to(port);
  ASSERT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdAccept) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(1u, w.count(plat::kMsgSocket, plat::kFdAccept));
  std::uint32_t addr;
  std::uint16_t pport;
  plat::Socket s1 = plat::accept_socket(ls, &addr, &pport);
  ASSERT_NE(plat::kInvalidSocket, s1);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), addr);
  EXPECT_TRUE(wait_until([&] { return w.count(plat::kMsgSocket, plat::kFdAccept) == 2; }));
  plat::Socket s2 = plat::accept_socket(ls, &addr, &pport);
  ASSERT_NE(plat::kInvalidSocket, s2);
  EXPECT_EQ(plat::kInvalidSocket, plat::accept_socket(ls, &addr, &pport));
  EXPECT_EQ(plat::kErrWouldBlock, plat::last_error());
  // A read and close set on the listener stops accept notifications.
  ASSERT_EQ(0, plat::async_select(ls, w.handle, plat::kMsgSocket, 33));
  Peer c = connect_to(port);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(2u, w.count(plat::kMsgSocket, plat::kFdAccept));
  for (plat::Socket s : {s1, s2, ls}) plat::close_socket(s);
}

TEST(Timers, ReplaceByIdentifierAndStopWhenKilled) {
  TestWindow w;
  EXPECT_EQ(7u, plat::set_timer(w.handle, 7, 20));
  EXPECT_EQ(7u, plat::set_timer(w.handle, 7, 20));  // replaces, does not add
  EXPECT_EQ(1u, plat::timer_count(w.handle));
  EXPECT_TRUE(wait_until([&] { return w.count(plat::kMsgTimer, 7) >= 3; }));
  EXPECT_TRUE(plat::kill_timer(w.handle, 7));
  EXPECT_FALSE(plat::kill_timer(w.handle, 7));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  std::size_t after_kill = w.count(plat::kMsgTimer, 7);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(after_kill, w.count(plat::kMsgTimer, 7));
  EXPECT_EQ(0u, plat::set_timer(0, 9, 20));  // no window
}

TEST(Timers, MissedTicksCoalesceWhileTheLoopIsBusy) {
  static std::atomic<int> ticks{0};
  static std::atomic<plat::Window> handle{0};
  ticks = 0;
  std::thread t([] {
    plat::Window w = plat::window_create([](plat::Window win, unsigned msg, std::uintptr_t wp,
                                            std::intptr_t lp) -> std::intptr_t {
      if (msg == plat::kMsgClose) plat::post_quit(0);
      if (msg == plat::kMsgTimer && ticks++ == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // ~30 periods missed
      return plat::default_proc(win, msg, wp, lp);
    });
    handle = w;
    plat::message_loop(w);
  });
  wait_until([] { return handle != 0; });
  plat::set_timer(handle, 1, 10);
  wait_until([] { return ticks >= 1; });
  std::this_thread::sleep_for(std::chrono::milliseconds(320));
  EXPECT_LE(ticks.load(), 4);  // not 30 queued ticks
  plat::send_close(handle);
  t.join();
}

namespace {

// A script lock as the host makes it: a recursive pthread mutex.
struct RecursiveMutex {
  pthread_mutex_t mu;
  RecursiveMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mu, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~RecursiveMutex() { pthread_mutex_destroy(&mu); }
  plat::Mutex handle() { return &mu; }
};

}  // namespace

TEST(Locks, AWaiterIsSeenAndAHeldLockStaysHeldThroughAnInnerRelease) {
  RecursiveMutex m;
  ASSERT_TRUE(plat::mutex_wait(m.handle(), 0));
  EXPECT_FALSE(plat::mutex_waited_for(m.handle()));
  ASSERT_TRUE(plat::mutex_wait(m.handle(), 0));  // taken again by its owner
  std::atomic<bool> had{false};
  std::thread waiter([&] {
    pthread_mutex_lock(&m.mu);
    had = true;
    pthread_mutex_unlock(&m.mu);
  });
  EXPECT_TRUE(wait_until([&] { return plat::mutex_waited_for(m.handle()); }));
  plat::mutex_release_to_waiter(m.handle());  // the outer hold goes on
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(had);
  plat::mutex_release_to_waiter(m.handle());
  EXPECT_TRUE(wait_until([&] { return had.load(); }));
  waiter.join();
  EXPECT_FALSE(plat::mutex_waited_for(m.handle()));
}

// A thread that had to wait for the lock holds it with glibc's word at 2, which
// then says nothing of other waiters. Its release does not sleep waiting for one
// (a sleep would show as a voluntary switch of the releasing thread).
TEST(Locks, AReleaseAfterWaitingForTheLockDoesNotWaitForNobody) {
  RecursiveMutex m;
  pthread_mutex_lock(&m.mu);
  std::atomic<long> switches{-1};
  std::thread taker([&] {
    ASSERT_TRUE(plat::mutex_wait(m.handle(), 5000));  // waits: the lock is held
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    plat::mutex_release_to_waiter(m.handle());
    getrusage(RUSAGE_THREAD, &after);
    switches = after.ru_nvcsw - before.ru_nvcsw;
  });
  EXPECT_TRUE(wait_until([&] { return plat::mutex_waited_for(m.handle()); }));
  pthread_mutex_unlock(&m.mu);
  taker.join();
  EXPECT_EQ(0, switches.load());
}

// The releaser that waits for its waiter sleeps on the lock's own futex, where a
// release meant for another waiter could wake it instead; such a wake must be
// passed on, or that waiter sleeps on with the lock free. Waiters that take the
// lock without a time-out would then hang, and the test with them.
TEST(Locks, HandOversToManyWaitersLoseNoWakeUp) {
  constexpr int kRounds = 100, kWaiters = 3, kTakes = 25;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // A wake-up lost near the end of a round strands its last waiter, so the test
  // ends many rounds.
  for (int round = 0; round < kRounds; ++round) {
    auto* m = new RecursiveMutex;
    std::atomic<int> finished{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w)
      waiters.emplace_back([m, &finished] {
        for (int i = 0; i < kTakes; ++i) {
          pthread_mutex_lock(&m->mu);
          // Held a while, so that the others queue behind the releaser's own wait.
          auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
          while (std::chrono::steady_clock::now() < until) {
          }
          pthread_mutex_unlock(&m->mu);
        }
        ++finished;
      });
    while (finished < kWaiters && std::chrono::steady_clock::now() < give_up) {
      ASSERT_TRUE(plat::mutex_wait(m->handle(), 1000));
      plat::mutex_release_to_waiter(m->handle());
    }
    if (finished < kWaiters) {  // the stranded waiter keeps its mutex
      for (auto& t : waiters) t.detach();
      FAIL() << "a waiter was left asleep in round " << round;
    }
    for (auto& t : waiters) t.join();
    delete m;
  }
}

// A thread that takes the lock again at once, as the read handler does between
// holds, lets a waiting thread in every time it releases it to a waiter.
TEST(Locks, AReleaseToAWaiterLetsItInBeforeTheLockIsTakenAgain) {
  RecursiveMutex m;
  std::atomic<int> takes{0};
  std::atomic<bool> stop{false};
  std::thread waiter([&] {
    while (!stop) {
      pthread_mutex_lock(&m.mu);
      ++takes;
      pthread_mutex_unlock(&m.mu);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  int rounds = 0;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (takes < 100 && std::chrono::steady_clock::now() < give_up) {
    ASSERT_TRUE(plat::mutex_wait(m.handle(), 1000));
    ++rounds;
    plat::mutex_release_to_waiter(m.handle());
  }
  stop = true;
  waiter.join();
  EXPECT_GE(takes.load(), 100) << "after " << rounds << " rounds";
}
