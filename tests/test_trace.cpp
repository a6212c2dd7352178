// The traffic trace: off unless the host sets CVN_TRACE before tvr_open; on, one
// debugger line per line sent or received and per event of a connection, with the
// time, socket, host text and direction, and control characters escaped.
#include <cstdlib>
#include <memory>

#include "harness.h"

using namespace cvn::test;

namespace {

std::unique_ptr<Plugin> plugin_with_trace(const char* value) {
  if (value) setenv("CVN_TRACE", value, 1);
  auto p = std::make_unique<Plugin>();
  unsetenv("CVN_TRACE");
  return p;
}

// The trace lines, without their time of day, which is checked for its form.
std::vector<std::string> trace_lines() {
  std::vector<std::string> out;
  for (const auto& l : debug_lines()) {
    if (l.size() < 13 || l[2] != ':' || l[5] != ':' || l[8] != '.' || l[12] != ' ') continue;
    out.push_back(l.substr(13));
  }
  return out;
}

bool traced(const std::string& line) {
  for (const auto& l : trace_lines())
    if (l == line) return true;
  return false;
}

std::string all_traced() {
  std::string s;
  for (const auto& l : trace_lines()) s += l + "\n";
  return s;
}

// A connection that sends, receives, fires a code, keeps alive and is closed by its peer.
void traffic(Plugin& p, PeerListener& l, std::string& sock) {
  p.run("function cb(line, s, status) print(line, status) end");
  sock = p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') return s");
  Peer peer = l.accept();
  ASSERT_GE(peer.fd, 0);
  p.run("cvn_old.Send(s, 'get\\tversion\\\\\\r\\n\\1\\128')");
  EXPECT_EQ(16u, peer.recv_n(16).size());
  peer.send("version,1\r\n");
  ASSERT_TRUE(p.wait_printed("version,1\t0"));
  EXPECT_EQ("0", p.run("return cvn_old.GlobalCache_SendCCF(s, '0000 006D 0002 0000 0158 00AC 0016 0041', 1, 2, 1)"));
  EXPECT_EQ(37u, peer.recv_n(37).size());
  p.run("cvn_old.KeepAlive(s, 10, 'ping\\r', -1)");
  EXPECT_EQ("ping\r", peer.recv_n(5));
  p.run("cvn_old.KeepAlive(s, 0, '', -1)");
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1"));
}

}  // namespace

TEST(Trace, ShowsEveryLineEachConnectionSendsAndReceives) {
  auto p = plugin_with_trace("1");
  PeerListener l;
  clear_debug_lines();
  std::string s;
  traffic(*p, l, s);
  std::string at = "[" + s + " 127.0.0.1] ";
  for (const std::string& line : {at + "-- connected to port " + std::to_string(l.port),
                                  at + "-> get\\tversion\\\\\\r\\n\\x01\\x80",
                                  at + "<- version,1",
                                  at + "-> sendir,1:2,0,38000,1,5,344,172,22,65\\r",
                                  at + "-> ping\\r",
                                  at + "-- closed"})
    EXPECT_TRUE(traced(line)) << line << "\nin\n" << all_traced();
  // A send that fails says so; a number that names no connection has no host.
  p->run("cvn_old.Send(987654, 'lost')");
  EXPECT_TRUE(traced("[987654] -> lost (not sent: error 10038)")) << all_traced();
}

TEST(Trace, ShowsAcceptedConnections) {
  auto p = plugin_with_trace("yes");
  clear_debug_lines();
  std::uint16_t port = free_port();
  p->run("function on_listen(t, s) a = cvn_old.Accept(s, 'cb') end function cb() end");
  ASSERT_EQ("0", p->run("ls, st = cvn_old.Listen(" + std::to_string(port) + ", 'on_listen') return st"));
  Peer peer = connect_to(port);
  ASSERT_TRUE(wait_until([&] { return all_traced().find("] -- accepted from port ") != std::string::npos; }))
      << all_traced();
  EXPECT_NE(std::string::npos, all_traced().find(" 127.0.0.1] -- accepted from port ")) << all_traced();
  p->run("cvn_old.CloseListen(ls)");
}

// Off, as without the variable or with CVN_TRACE=0, the debugger channel carries
// what it always has, and the script sees the same.
TEST(Trace, OffShowsNothing) {
  for (const char* value : {static_cast<const char*>(nullptr), "0", ""}) {
    auto p = plugin_with_trace(value);
    PeerListener l;
    clear_debug_lines();
    std::string s;
    traffic(*p, l, s);
    EXPECT_EQ("", all_traced()) << (value ? value : "(unset)");
    for (const auto& line : debug_lines()) EXPECT_EQ(std::string::npos, line.find("] -> ")) << line;
  }
}

// Lines arrive in batches delivered several to a hold of the script lock: each
// one delivered is traced once, in order, before its callback runs; a line left
// on the socket by a callback's Close is neither delivered nor traced.
TEST(Trace, EachDeliveredLineOnceInOrder) {
  auto p = plugin_with_trace("1");
  PeerListener l;
  clear_debug_lines();
  p->run("n = 0 function cb(line, s, status) if status == 0 then n = n + 1 "
         "if line == 'stop' then cvn_old.Close(s) print('stopped', n) end end end");
  p->run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer peer = l.accept();
  ASSERT_GE(peer.fd, 0);
  const int kLines = 300;  // more than one notification's share
  std::string burst;
  for (int i = 0; i < kLines; ++i) burst += "line " + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
  burst += "stop\r\nafter\r\n";
  peer.send(burst);
  ASSERT_TRUE(p->wait_printed("stopped\t" + std::to_string(kLines + 1)));
  std::vector<std::string> received;
  for (const auto& t : trace_lines())
    if (auto at = t.find("] <- "); at != std::string::npos) received.push_back(t.substr(at + 5));
  ASSERT_EQ(static_cast<std::size_t>(kLines + 1), received.size()) << all_traced();
  for (int i = 0; i < kLines; ++i) EXPECT_EQ("line " + std::to_string(i), received[static_cast<std::size_t>(i)]);
  EXPECT_EQ("stop", received.back());
}
