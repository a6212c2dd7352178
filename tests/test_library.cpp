// The cvn_old connection functions against real loopback peers, and every
// function fed values it does not expect.
#include "../net/registry.h"
#include "harness.h"
#include "offline.h"

using namespace cvn;
using namespace cvn::test;

class Library : public ::testing::Test {
 protected:
  Plugin p;
  std::string port(std::uint16_t n) { return std::to_string(n); }
};

TEST_F(Library, RegistersElevenFunctionsAndRemovesTheTableOnDetach) {
  EXPECT_EQ("11", p.run("local n = 0 for k, v in pairs(cvn_old) do n = n + 1 end return n"));
  for (const char* f : {"Open", "Close", "GlobalCache_SendCCF", "Send", "KeepAlive", "Accept",
                        "Listen", "CloseListen", "Nslookup", "Nslookupmac", "MD5"})
    EXPECT_EQ("function", p.run(std::string("return type(cvn_old.") + f + ")")) << f;
  pthread_mutex_lock(p.lock());
  tvr_info(8, 0, p.state());
  pthread_mutex_unlock(p.lock());
  EXPECT_EQ("nil", p.run("return tostring(cvn_old)"));
  pthread_mutex_lock(p.lock());
  tvr_info(7, 0, p.state());
  pthread_mutex_unlock(p.lock());
}

TEST_F(Library, RefusedConnectPrintsTwoLinesAndReturnsNilMinusTwo) {
  std::uint16_t closed = free_port();
  EXPECT_EQ("nil\t-2", p.run("return cvn_old.Open('127.0.0.1', " + port(closed) + ", 'cb')"));
  auto out = p.printed();
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ("Connect failed.: Connection refused (10061)", out[0]);
  EXPECT_EQ(0u, out[1].rfind("Connect to server failed: : ", 0)) << out[1];
  EXPECT_EQ(0u, registry_count());
}

TEST_F(Library, LookupFailurePrintsTheLookupLine) {
  if (!offline()) GTEST_SKIP() << kNeedsOffline;
  EXPECT_EQ("nil\t-1", p.run("return cvn_old.Open('no-such-host.invalid', 80, 'cb')"));
  EXPECT_EQ(std::vector<std::string>{"Lookup failed: : Host not found (11001)"}, p.printed());
  p.clear_printed();
  EXPECT_EQ("nil\t-1", p.run("return cvn_old.Nslookup('no-such-host.invalid')"));
  EXPECT_EQ("nil\t-1", p.run("return cvn_old.Nslookup('255.255.255.255')"));
  EXPECT_EQ("127.0.0.1\t0", p.run("return cvn_old.Nslookup('127.1')"));
  EXPECT_TRUE(p.printed().empty());
}

TEST_F(Library, OpenReadsTheLastThreeArgumentsAndKeepsTheScriptsHostText) {
  PeerListener l;
  std::string r = p.run("s, st = cvn_old.Open('x', 'y', 'z', '127.1', " + port(l.port) +
                        ", 'cb') return st");
  EXPECT_EQ("0", r);
  Peer peer = l.accept();
  ASSERT_GE(peer.fd, 0);
  double s = std::stod(p.run("return s"));
  RecordRef rec = registry_find(static_cast<plat::Socket>(s));
  ASSERT_TRUE(rec);
  EXPECT_STREQ("127.1", rec->host);
  EXPECT_STREQ("cb", rec->callback);
  // The socket number read back (also as a numeric text) names the same socket.
  EXPECT_EQ("5", p.run("return cvn_old.Send(s, 'hello')"));
  EXPECT_EQ("2", p.run("return cvn_old.Send(tostring(s), 'hi')"));
  EXPECT_EQ("2", p.run("return cvn_old.Send(s + 0.9, 'hi')"));
  EXPECT_EQ("hellohihi", peer.recv_n(9));
}

TEST_F(Library, ListenOnAPortInUseReturnsTheSocketAndMinusThree) {
  PeerListener busy;
  EXPECT_EQ("-3", p.run("ls, st = cvn_old.Listen(" + port(busy.port) + ", 'cb') return st"));
  EXPECT_EQ("number", p.run("return type(ls)"));
  EXPECT_EQ(1u, registry_count());
  p.run("cvn_old.CloseListen(ls)");
}

TEST_F(Library, AcceptWithNothingWaitingAndAcceptOfARealPeer) {
  std::uint16_t lp = free_port();
  EXPECT_EQ("0", p.run("ls, st = cvn_old.Listen(" + port(lp) + ", 'OnListen') return st"));
  EXPECT_EQ("0\t\t0\t-1", p.run("return cvn_old.Accept(ls, 'cb')"));
  p.run("function OnListen(line, s, status, host) "
        "  if status == 2 then print('accept', cvn_old.Accept(s, 'OnPeer')) end end "
        "function OnPeer(line, s, status, host) print('peer', line, status, host) end");
  Peer peer = connect_to(lp);
  ASSERT_TRUE(wait_until([&] { return p.printed().size() >= 1; }));
  std::string accepted = p.printed()[0];
  EXPECT_EQ(0u, accepted.rfind("accept\t", 0));
  EXPECT_NE(std::string::npos, accepted.find("\t127.0.0.1\t"));
  EXPECT_EQ("\t0", accepted.substr(accepted.size() - 2));
  peer.send("first\r\n");  // the first line of an accepted peer is never dropped
  EXPECT_TRUE(p.wait_printed("peer\tfirst\t0\t127.0.0.1"));
  p.run("cvn_old.CloseListen(ls)");
}

TEST_F(Library, SendOnAListeningSocketStopsItsAcceptNotifications) {
  std::uint16_t lp = free_port();
  p.run("ls = cvn_old.Listen(" + port(lp) + ", 'OnListen') "
        "function OnListen(line, s, status) print('listen', status) end");
  EXPECT_EQ("-1", p.run("return cvn_old.Send(ls, 'x')"));
  Peer peer = connect_to(lp);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(0u, p.count_printed("listen\t2"));
  p.run("cvn_old.CloseListen(ls)");
}

TEST_F(Library, NonSocketNumbersFailWith10038AndCloseNothing) {
  int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::string n = std::to_string(file);
  EXPECT_EQ("-1", p.run("return cvn_old.Send(" + n + ", 'x')"));
  EXPECT_EQ(std::vector<std::string>{"WSAAsyncSelect failed: : Socket operation on non-socket (10038)"},
            p.printed());
  EXPECT_EQ("0", p.run("return cvn_old.Close(" + n + ")"));
  EXPECT_EQ("", p.run("cvn_old.CloseListen(" + n + ")"));
  EXPECT_EQ("0\t\t0\t-1", p.run("return cvn_old.Accept(" + n + ", 'cb')"));
  EXPECT_EQ("-1", p.run("return cvn_old.KeepAlive(" + n + ", 100, 'x', 1)"));
  EXPECT_NE(-1, ::fcntl(file, F_GETFD));
  ::close(file);
  EXPECT_EQ(0u, p.run("return cvn_old.CloseListen('abc')").rfind("error: ", 0));
  EXPECT_EQ(0u, p.run("return cvn_old.CloseListen()").rfind("error: ", 0));
}

TEST_F(Library, EveryFunctionSurvivesValuesItDoesNotExpect) {
  const std::vector<std::string> values = {
      "nil", "true", "false", "{}", "print", "0/0", "1/0", "-1/0", "1e300", "-1e300",
      "-1", "4294967296 + 7", "''", "string.rep('x', 100000)", "'12abc'", "'\\0'"};
  const std::vector<std::pair<std::string, int>> functions = {
      {"Open", 3},      {"Close", 1},  {"GlobalCache_SendCCF", 5}, {"Send", 2},
      {"KeepAlive", 4}, {"Accept", 2}, {"Listen", 2},              {"Nslookup", 1},
      {"Nslookupmac", 1}, {"MD5", 1}};
  // Listen and Accept with a value that reads as port 0 or a blocking listener are
  // fine; Open to port 0 on these hosts is refused at once.
  for (const auto& [f, n] : functions) {
    for (int argc = 0; argc <= n; ++argc) {
      std::string call = "return cvn_old." + f + "(";
      for (int i = 0; i < argc; ++i) call += (i ? ", " : "") + std::string("nil");
      std::string r = p.run(call + ")");
      EXPECT_EQ(std::string::npos, r.find("error: ")) << call << " -> " << r;
    }
    for (const auto& v : values) {
      if (f == "Nslookup" && v.find("string.rep") != std::string::npos) continue;
      std::string call = "return cvn_old." + f + "(";
      for (int i = 0; i < n; ++i) call += (i ? ", " : "") + v;
      std::string r = p.run(call + ")");
      EXPECT_EQ(std::string::npos, r.find("error: ")) << call << " -> " << r;
    }
  }
  // Nothing was left listening or connected by the sweep beyond what Clear retires.
  p.reload();
  EXPECT_EQ(0u, registry_count());
  EXPECT_EQ(0u, plat::open_socket_count());
}

TEST_F(Library, TextArgumentsThatAreNotTextsReadAsEmpty) {
  EXPECT_EQ(p.run("return cvn_old.MD5('')"), p.run("return cvn_old.MD5({})"));
  EXPECT_EQ(p.run("return cvn_old.MD5('')"), p.run("return cvn_old.MD5()"));
  EXPECT_EQ(p.run("return cvn_old.MD5('12')"), p.run("return cvn_old.MD5(12)"));
  EXPECT_EQ("nil\t-1", p.run("return cvn_old.Nslookup(nil)"));
}
