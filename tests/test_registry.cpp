// The connection registry and the graceful close, on real loopback sockets.
#include <dlfcn.h>

#include <cstdio>

#include "../net/graceful_close.h"
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

namespace {

// A connection the registry can be given, non-blocking on the network thread's
// window without notifications.
struct Connected : LayerSocket {
  Connected() : LayerSocket(network_window(), 0) {}
};

}  // namespace

class Registry : public ::testing::Test {
 protected:
  Plugin plugin;  // socket library started, network thread and window up
  void SetUp() override { clear_debug_lines(); }
};

TEST_F(Registry, NewestRecordOfASocketIsFoundAndRemovedFirst) {
  Connected c;
  ASSERT_TRUE(registry_add(c.s, "older", "h1"));
  ASSERT_TRUE(registry_add(c.s, "newer", "h2"));
  EXPECT_EQ(2u, registry_count());
  EXPECT_STREQ("newer", registry_find(c.s)->callback);
  registry_remove(c.s);
  EXPECT_EQ(1u, registry_count());
  RecordRef left = registry_find(c.s);
  ASSERT_TRUE(left);
  EXPECT_STREQ("older", left->callback);
  registry_clear();
  EXPECT_EQ(0u, registry_count());
  EXPECT_FALSE(registry_find(c.s));
  registry_clear();  // on an empty registry: nothing happens
}

TEST_F(Registry, TextsAreStoredWholeOrCutToTheirFields) {
  Connected c;
  std::string cb249(249, 'c'), cb300(300, 'd'), host49(49, 'h'), host60(60, 'i');
  registry_add(c.s, cb249.c_str(), host49.c_str());
  RecordRef r = registry_find(c.s);
  EXPECT_EQ(cb249, r->callback);
  EXPECT_EQ(host49, r->host);
  registry_add(c.s, cb300.c_str(), host60.c_str());
  RecordRef r2 = registry_find(c.s);
  EXPECT_EQ(std::string(249, 'd'), r2->callback);
  EXPECT_EQ(std::string(49, 'i'), r2->host);
  registry_add(c.s, nullptr, nullptr);
  EXPECT_STREQ("", registry_find(c.s)->callback);
}

TEST_F(Registry, AFoundRecordStaysValidAfterAnotherThreadRemovesIt) {
  Connected c;
  registry_add(c.s, "cb", "host");
  RecordRef held = registry_find(c.s);
  std::thread([&] { registry_remove(c.s); }).join();
  EXPECT_TRUE(held->released.load());
  EXPECT_STREQ("cb", held->callback);  // still readable; freed when `held` goes
  EXPECT_EQ(0u, registry_count());
}

TEST_F(Registry, GracefulCloseDrainsUnreadBytesAndClosesWhenThePeerHasClosed) {
  Connected c;
  c.peer.send("0123456789");
  c.peer.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  bool closed = false;
  std::string err = capture_stderr([&] { closed = graceful_close(c.s); });
  EXPECT_TRUE(closed);
  EXPECT_EQ("\nFYI, received 10 unexpected bytes during shutdown.\n", err);
  EXPECT_FALSE(plat::is_socket(c.s));
}

TEST_F(Registry, GracefulCloseWritesOneLineForEverythingItDiscards) {
  Connected c;
  c.peer.send(std::string(30000, 'x'));  // several receives' worth
  c.peer.close();
  ASSERT_TRUE(wait_until([&] { return plat::recv_pending(c.s) == 30000; }));
  bool closed = false;
  std::string err = capture_stderr([&] { closed = graceful_close(c.s); });
  EXPECT_TRUE(closed);
  EXPECT_EQ("\nFYI, received 30000 unexpected bytes during shutdown.\n", err);
}

namespace {

// A peer that outruns the drain: while g_fed_fd is set, every receive the plug-in
// makes on the descriptor g_fed_fd first has its peer send another 8 KiB, up to
// g_feed_limit bytes in all, so the socket never runs dry until then.
std::atomic<int> g_fed_fd{-1};
int g_feeder_fd = -1;
std::size_t g_fed = 0, g_feed_limit = 0;

}  // namespace

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
  using Recv = ssize_t (*)(int, void*, size_t, int);
  static Recv real = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
  if (fd == g_fed_fd.load() && g_fed < g_feed_limit) {
    static const std::string chunk(8192, 'f');
    ssize_t sent = ::send(g_feeder_fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (sent > 0) g_fed += static_cast<std::size_t>(sent);
    // Loopback has the bytes queued for the other end once send returns.
  }
  return real(fd, buf, len, flags);
}

TEST_F(Registry, GracefulCloseDiscardsOnlyWhatHadArrivedWhileThePeerKeepsSending) {
  Connected c;
  c.peer.send(std::string(20000, 'x'));
  ASSERT_TRUE(wait_until([&] { return plat::recv_pending(c.s) == 20000; }));
  g_feeder_fd = c.peer.fd;
  g_fed = 0;
  g_feed_limit = 8u << 20;  // a hang guard: the drain without its budget stops here
  g_fed_fd = static_cast<int>(c.s);
  bool closed = true;
  std::string err = capture_stderr([&] { closed = graceful_close(c.s); });
  g_fed_fd = -1;
  EXPECT_FALSE(closed);  // the peer still sends: half-closed, kept
  long long discarded = -1;
  ASSERT_EQ(1, std::sscanf(err.c_str(), "\nFYI, received %lld unexpected bytes", &discarded)) << err;
  // What had arrived, and at most one more receive's worth past it.
  EXPECT_GE(discarded, 20000);
  EXPECT_LT(discarded, 20000 + 65536 + 4096) << "fed " << g_fed;
  EXPECT_LT(g_fed, g_feed_limit);
  plat::close_socket(c.s);
}

TEST_F(Registry, GracefulCloseOnAClosedSocketFailsAtTheShutdown) {
  Connected c;
  plat::close_socket(c.s);
  EXPECT_FALSE(graceful_close(c.s));
  EXPECT_EQ(std::vector<std::string>{"a failed"}, debug_lines());
}

TEST_F(Registry, GracefulCloseWithThePeerStillOpenHalfClosesAndKeepsTheSocket) {
  Connected c;
  EXPECT_FALSE(graceful_close(c.s));
  EXPECT_EQ(std::vector<std::string>{"a2 failed"}, debug_lines());
  EXPECT_TRUE(plat::is_socket(c.s));
  EXPECT_TRUE(c.peer.sees_eof());
  plat::close_socket(c.s);
}

TEST_F(Registry, ClearClosesSocketsTheGracefulCloseCouldNot) {
  int before = open_fd_count();
  Connected half_open;  // peer stays open: "a2 failed"
  registry_add(half_open.s, "cb", "h");
  plat::Socket ls = plat::tcp_socket();  // a listener: shutdown refused, "a failed"
  ASSERT_EQ(0, plat::bind_any(ls, htons(free_port())));
  plat::listen_socket(ls, 1);
  registry_add(ls, "cb", "");
  registry_clear();
  EXPECT_TRUE(debug_has("a failed"));
  EXPECT_TRUE(debug_has("a2 failed"));
  EXPECT_FALSE(plat::is_socket(ls));
  EXPECT_FALSE(plat::is_socket(half_open.s));
  EXPECT_TRUE(half_open.peer.sees_eof());
  half_open.peer.close();
  EXPECT_EQ(before + 1, open_fd_count());  // only the test's own listener is left
}

TEST_F(Registry, AReusedSocketNumberDropsTheStaleRecordAndIsNotTouchedByIt) {
  Connected first;
  registry_add(first.s, "old", "h");
  plat::close_socket(first.s);  // like CloseListen: the record stays behind
  plat::Socket second = plat::tcp_socket();
  ASSERT_EQ(first.s, second);  // the lowest free descriptor comes back
  registry_add(second, "new", "h");
  EXPECT_EQ(1u, registry_count());
  EXPECT_STREQ("new", registry_find(second)->callback);
  registry_clear();
}
