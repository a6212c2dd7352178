// Entry points: descriptive copies, open/close/info in and out of order.
#include <chrono>
#include <cstring>

#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

TEST(Describe, CopiesUpToTheLowEightBitsOfTheSize) {
  char buf[300];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(buf, tvr_name(buf, 4));
  EXPECT_EQ(0, std::memcmp(buf, "Corv", 4));
  EXPECT_EQ('x', buf[4]);  // no terminator

  std::memset(buf, 'x', sizeof buf);
  tvr_name(buf, 256);  // low 8 bits are 0: nothing copied
  EXPECT_EQ('x', buf[0]);

  std::memset(buf, 'x', sizeof buf);
  tvr_name(buf, 300);  // 44 bytes: the name, then NUL padding up to 44
  EXPECT_STREQ("Corvane", buf);
  for (int i = 7; i < 44; ++i) EXPECT_EQ('\0', buf[i]) << i;
  EXPECT_EQ('x', buf[44]);

  char d[256];
  EXPECT_STREQ("Corvane Plugin, for the Global Cache and other ASCI based IP devices.",
               tvr_description(d, 255));
  EXPECT_STREQ("1.0", tvr_version(d, 255));
  EXPECT_EQ(nullptr, tvr_version(nullptr, 10));
  EXPECT_EQ(3, tvr_requested_api(12345));
  EXPECT_EQ(189, tvr_devicenum());
  EXPECT_EQ(1, tvr_start());
  EXPECT_EQ(1, tvr_stop());
}

TEST(Open, RefusedRecordStartsNothingAndLogsTheLoadLine) {
  clear_debug_lines();
  HostServices hs{};
  HostRecord bad{4, &hs};
  EXPECT_EQ(0, tvr_open(0, 0, 0, &bad));
  EXPECT_EQ(0, tvr_open(0, 0, 0, nullptr));
  auto lines = debug_lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u, lines[0].rfind("Loading /", 0)) << lines[0];
  EXPECT_NE(std::string::npos, lines[0].find(" at Base Address 0x"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0u, network_window());
  // Close after a refused open, and twice: nothing to stop, returns at once.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, tvr_close());
  EXPECT_EQ(1, tvr_close());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST(Open, StopRightAfterStartEndsTheThreadWithoutWaitingTenSeconds) {
  pthread_mutex_t m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  HostServices hs{};
  hs.script_lock = &m;
  HostRecord rec{kHostRecordVersion, &hs};
  for (int i = 0; i < 20; ++i) {  // close races the thread's creation of its window
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(1, tvr_open(0, 0, 0, &rec));
    ASSERT_EQ(1, tvr_close());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  EXPECT_EQ(0u, network_window());
}

TEST(Open, SecondOpenIsIgnoredAndOneCloseEndsTheThread) {
  pthread_mutex_t m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  HostServices hs{};
  hs.script_lock = &m;
  HostRecord rec{kHostRecordVersion, &hs};
  ASSERT_EQ(1, tvr_open(0, 0, 0, &rec));
  ASSERT_TRUE(wait_until([] { return network_window() != 0; }));
  plat::Window first = network_window();
  EXPECT_EQ(1, tvr_open(0, 0, 0, &rec));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(first, network_window());
  EXPECT_EQ(1, tvr_close());
  EXPECT_EQ(0u, network_window());
}

TEST(Info, EventsBeforeOpenRegisterTheLibraryButNotificationsFail) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  EXPECT_EQ(1, tvr_info(7, 0, L));
  lua_getglobal(L, "cvn_old");
  EXPECT_TRUE(lua_istable(L, -1));
  lua_pop(L, 1);
  EXPECT_EQ(1, tvr_info(99, 0, L));
  EXPECT_EQ(1, tvr_info(8, 0, L));
  lua_getglobal(L, "cvn_old");
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_close(L);
  EXPECT_EQ(1, tvr_info(7, 0, nullptr));  // no state: nothing to register into
  EXPECT_EQ(1, tvr_info(8, 0, nullptr));
}

TEST(Info, EventSevenTwiceStartsFromAnEmptyRegistry) {
  Plugin p;
  PeerListener l;
  ASSERT_EQ("0", p.run("local s, st = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) +
                       ", 'cb') return st"));
  Peer peer = l.accept();
  EXPECT_EQ(1u, registry_count());
  pthread_mutex_lock(p.lock());
  EXPECT_EQ(1, tvr_info(7, 0, p.state()));
  pthread_mutex_unlock(p.lock());
  EXPECT_EQ(0u, registry_count());
  EXPECT_TRUE(peer.sees_eof());  // the cleared connection was closed, not leaked
  EXPECT_EQ("table", p.run("return type(cvn_old)"));
  int before = open_fd_count();
  pthread_mutex_lock(p.lock());
  EXPECT_EQ(1, tvr_info(99, 0, p.state()));
  pthread_mutex_unlock(p.lock());
  EXPECT_EQ(before, open_fd_count());
}

TEST(Info, RegistrationSurvivesANonTableUnderTheLibraryName) {
  Plugin p;
  p.run("cvn_old = 5");
  pthread_mutex_lock(p.lock());
  EXPECT_EQ(1, tvr_info(7, 0, p.state()));  // must not raise through the entry point
  pthread_mutex_unlock(p.lock());
  EXPECT_EQ("5", p.run("return cvn_old"));
}
