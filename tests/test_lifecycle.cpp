// Entry points: descriptive copies, open/close/info in and out of order.
#include <chrono>
#include <cstring>

#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

// Every descriptive text is copied as the host asks: up to the low 8 bits of the
// size, padded with NUL bytes when shorter, cut without a terminator when longer.
TEST(Describe, EachTextIsCopiedUpToTheLowEightBitsOfTheSize) {
  using Copy = char* (*)(char*, std::uint32_t);
  for (Copy copy : {static_cast<Copy>(tvr_name), static_cast<Copy>(tvr_description),
                    static_cast<Copy>(tvr_version)}) {
    char whole[256];
    std::string text = copy(whole, 255);
    ASSERT_GT(text.size(), 2u);
    ASSERT_LT(text.size(), 255u);
    for (std::uint32_t size : {1u, 3u, 44u, 256u, 300u, 0x1FFu}) {
      char buf[600];
      std::memset(buf, 'x', sizeof buf);
      EXPECT_EQ(buf, copy(buf, size));
      std::size_t n = size & 0xFF;
      std::string want = text.substr(0, n) + std::string(n > text.size() ? n - text.size() : 0, '\0');
      EXPECT_EQ(want, std::string(buf, n)) << text << " size " << size;
      EXPECT_EQ('x', buf[n]) << text << " size " << size;  // nothing past n
    }
    EXPECT_EQ(nullptr, copy(nullptr, 10));
  }
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
  // Close after a refused open, and twice: nothing to stop.
  EXPECT_EQ(1, tvr_close());
  EXPECT_EQ(1, tvr_close());
  EXPECT_EQ(0u, network_window());
}

// A close that comes before the network thread has its window still ends the
// thread: none is left running its message loop.
TEST(Open, StopRightAfterStartEndsTheThread) {
  pthread_mutex_t m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  HostServices hs{};
  hs.script_lock = &m;
  HostRecord rec{kHostRecordVersion, &hs};
  for (int i = 0; i < 20; ++i) {  // close races the thread's creation of its window
    ASSERT_EQ(1, tvr_open(0, 0, 0, &rec));
    ASSERT_EQ(1, tvr_close());
    ASSERT_EQ(0u, network_window()) << "round " << i;  // the loop ended, not abandoned
  }
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
