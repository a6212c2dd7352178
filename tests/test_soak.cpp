// Thousands of connection cycles of every kind, and a hostile phase; afterwards
// descriptors, records and timers are back where they started.
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

TEST(Soak, ConnectionCyclesLeaveNothingBehind) {
  int fds_before = open_fd_count();
  {
    Plugin p;
    PeerListener l;
    std::uint16_t lp = free_port();
    p.run("closed = 0 lines = 0 "
          "function cb(line, s, status) if status == 1 then closed = closed + 1 else lines = lines + 1 end end " +
          listen_script(lp, "cb"));
    const int kRounds = std::getenv("SOAK_ROUNDS") ? std::atoi(std::getenv("SOAK_ROUNDS")) : 1200;
    const int kOnly = std::getenv("SOAK_KIND") ? std::atoi(std::getenv("SOAK_KIND")) : -1;
    for (int i = 0; i < kRounds; ++i) {
      int kind = kOnly >= 0 ? kOnly : i % 6;
      if (kind == 5) {  // incoming connection, peer talks and leaves
        Peer in = connect_to(lp);
        in.send("hi\r\n");
        in.close();
        continue;
      }
      ASSERT_EQ("0", p.run("s = nil local st s, st = cvn_old.Open('127.0.0.1', " +
                           std::to_string(l.port) + ", 'cb') return st"));
      Peer peer = l.accept();
      ASSERT_GE(peer.fd, 0);
      switch (kind) {
        case 0:  // peer closes
          peer.send("line\r\n");
          peer.close();
          break;
        case 1:  // script closes, then the peer
          p.run("cvn_old.Close(s)");
          peer.sees_eof();
          peer.close();
          break;
        case 2:  // peer resets
          peer.send("x");
          peer.reset();
          break;
        case 3:  // keep-alive limit reached
          p.run("cvn_old.KeepAlive(s, 10, 'k', 1)");
          peer.sees_eof();
          peer.close();
          break;
        case 4:  // script closes after the peer already has
          peer.close();
          p.run("cvn_old.Close(s)");
          break;
      }
      if (i % 300 == 299) p.reload();  // script reload in between
      if (i % 300 == 299) p.run("function cb() end " + listen_script(lp, "cb"));
    }
    // Everything the peers or the script ended has been retired; only the
    // listener is left.
    EXPECT_TRUE(wait_until([] { return registry_count() == 1; }, 10000)) << registry_count();
    EXPECT_TRUE(wait_until([] { return plat::open_socket_count() == 1; }, 10000)) << plat::open_socket_count();
    EXPECT_EQ(0u, plat::timer_count(network_window()));
    p.reload();
    EXPECT_EQ(0u, registry_count());
    EXPECT_EQ(0u, plat::open_socket_count());
  }
  EXPECT_EQ(fds_before, open_fd_count());
}

// A peer that never stops sending, peers that reset, and a callback that closes
// its connection and opens the next one from inside the callback, all at once.
TEST(Soak, HostilePeersAndAReconnectingCallbackLeaveNothingBehind) {
  int fds_before = open_fd_count();
  {
    Plugin p;
    PeerListener l;
    const int kRounds = std::getenv("SOAK_ROUNDS") ? std::atoi(std::getenv("SOAK_ROUNDS")) / 4 : 300;
    const std::string open = "cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", ";
    p.run("ended, flood = 0, 0 "
          "function OnFlood(line, s, status) if status == 0 then flood = flood + 1 else ended = ended + 1 end end "
          "function OnReset(line, s, status) if status == 1 then ended = ended + 1 end end "
          "function OnDevice(line, s, status) "
          "  if status == 1 then ended = ended + 1 elseif line == 'bye' then "
          "    cvn_old.Close(s) "
          "    local s2 = " + open + "'OnDevice') "
          "    if s2 then cvn_old.KeepAlive(s2, 20, 'ping\\r\\n', -1) end end end " +
          open + "'OnFlood') " + open + "'OnDevice')");
    Flood flood(l.accept());
    Peer device = l.accept();
    ASSERT_GE(device.fd, 0);
    ASSERT_TRUE(wait_until([&] { return p.run("return flood") != "0"; }));
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ("number", p.run("return type(" + open + "'OnReset'))")) << i;
      Peer resetting = l.accept();
      ASSERT_GE(resetting.fd, 0) << i;
      resetting.send(i % 2 ? "half a li" : "a line\r\nand half");
      resetting.reset();
      device.send("bye\r\n");
      device.close();
      device = l.accept();  // opened by the callback
      ASSERT_GE(device.fd, 0) << i;
    }
    EXPECT_FALSE(flood.deadline_passed.load());
    flood.finish();
    flood.peer.close();
    device.close();
    // Every connection's end was reported exactly once: the resets, the
    // connections the callback replaced, the flood and the last device.
    std::string expected = std::to_string(2 * kRounds + 2);
    EXPECT_TRUE(wait_until([&] { return p.run("return ended") == expected; }, 10000)) << p.run("return ended");
    EXPECT_TRUE(wait_until([] { return registry_count() == 0; }, 10000)) << registry_count();
    EXPECT_TRUE(wait_until([] { return plat::open_socket_count() == 0; }, 10000)) << plat::open_socket_count();
    EXPECT_EQ(0u, plat::timer_count(network_window()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(expected, p.run("return ended"));
  }
  EXPECT_EQ(fds_before, open_fd_count());
}
