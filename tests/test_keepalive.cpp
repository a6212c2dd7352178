// Keep-alive texts resent on a timer, limits, replacement and stopping.
#include "../net/keepalive.h"
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

using KeepAlive = ScriptConnection;

TEST_F(KeepAlive, LimitTwoSendsTwiceThenThePeerSeesTheEnd) {
  EXPECT_EQ("0", p.run("return cvn_old.KeepAlive(s, 50, 'ping\\r', 2)"));
  EXPECT_EQ("ping\rping\r", peer.recv_n(10));
  EXPECT_TRUE(peer.sees_eof(1000));
  peer.close();
  EXPECT_TRUE(p.wait_printed("Connection Closed.\t1\t127.0.0.1"));
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
  EXPECT_EQ(0u, plat::timer_count(network_window()));
}

TEST_F(KeepAlive, LimitZeroAndOtherNegativesCloseOnTheFirstTick) {
  EXPECT_EQ("0", p.run("return cvn_old.KeepAlive(s, 30, 'never', -5)"));
  EXPECT_TRUE(peer.sees_eof(1000));
}

TEST_F(KeepAlive, SecondCallReplacesTheTextAndIntervalZeroStops) {
  p.run("cvn_old.KeepAlive(s, 40, 'A', -1)");
  EXPECT_EQ("A", peer.recv_n(1));
  p.run("cvn_old.KeepAlive(s, 40, 'B', -1)");
  std::string got = peer.recv_n(3, 1000);
  EXPECT_EQ("BBB", got.substr(got.find('B') == 0 ? 0 : 1).substr(0, 3));
  EXPECT_EQ(1u, plat::timer_count(network_window()));
  p.run("cvn_old.KeepAlive(s, 0, 'C', -1)");
  EXPECT_EQ(0u, plat::timer_count(network_window()));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  std::string late = peer.recv_n(100, 200);
  EXPECT_EQ(std::string::npos, late.find('C'));
}

TEST_F(KeepAlive, CloseLeavesARunningKeepAliveAlone) {
  p.run("cvn_old.KeepAlive(s, 40, 'k', -1)");
  EXPECT_EQ("0", p.run("return cvn_old.Close(s)"));
  EXPECT_EQ(1u, plat::timer_count(network_window()));
  EXPECT_TRUE(peer.sees_eof());
  peer.close();  // the close notification retires the record and its timer
  EXPECT_TRUE(wait_until([] { return plat::timer_count(network_window()) == 0; }));
}

TEST_F(KeepAlive, SocketWithoutRecordReturnsMinusOne) {
  EXPECT_EQ("-1", p.run("return cvn_old.KeepAlive(12345, 40, 'k', -1)"));
  EXPECT_EQ(0u, plat::timer_count(network_window()));
}

// A tick for a record whose socket is gone (a Close that found the peer closed
// already, the end not yet reported) while the number names a new socket: the
// keep-alive text never goes to the new socket's peer.
TEST_F(KeepAlive, ATickAfterTheSocketIsGoneSendsNothingOnANewSocketWithItsNumber) {
  ASSERT_EQ("0", p.run("return cvn_old.KeepAlive(s, 600000, 'ping', -1)"));
  auto s = static_cast<plat::Socket>(std::stoul(p.run("return s")));
  PeerListener other;
  ASSERT_EQ(0, plat::close_socket(s));  // the record stays, as until the end is reported
  plat::Socket fresh = plat::tcp_socket();
  if (fresh != s) {
    plat::close_socket(fresh);
    GTEST_SKIP() << "the number was not given to the new socket";
  }
  ASSERT_EQ(0, plat::connect_ipv4(fresh, htonl(INADDR_LOOPBACK), htons(other.port)));
  Peer new_peer = other.accept();
  keepalive_tick(s);
  ASSERT_EQ(4, plat::send_bytes(fresh, "mark", 4));
  EXPECT_EQ("mark", new_peer.recv_n(4));
  plat::close_socket(fresh);
}
