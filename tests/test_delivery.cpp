// Lines, closes and incoming connections reaching script callbacks, against
// real loopback peers; and the line splitter on its own.
#include <random>

#include "../net/delivery.h"
#include "../net/line_split.h"
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

namespace {

// The lines of `stream` fed in pieces ending at `cuts`; with `hinted`, the way the
// read handler feeds them, carrying the terminator hint from call to call.
std::vector<std::string> split_all(const std::string& stream, const std::vector<std::size_t>& cuts,
                                   bool hinted = false) {
  std::vector<std::string> lines;
  int length = 0;
  char buffer[kLineBufferSize];
  char hint = '\n';
  std::size_t start = 0;
  auto feed = [&](std::size_t end) {
    while (start < end) {
      bool complete = false;
      start += split_line(length, buffer, stream.data() + start, end - start, &complete, hinted ? &hint : nullptr);
      if (complete) {
        lines.emplace_back(buffer, static_cast<std::size_t>(length));
        length = 0;
      }
    }
  };
  for (std::size_t c : cuts) feed(c);
  feed(stream.size());
  return lines;
}

}  // namespace

TEST(LineSplitter, SameLinesWholeBytewiseAndInRandomPieces) {
  std::string stream = "OK\r\nOK\r\n\r\n\n\rabc\n" + std::string(2500, 'x') + "\rtail";
  std::vector<std::string> whole = split_all(stream, {});
  ASSERT_EQ(6u, whole.size());
  EXPECT_EQ("OK", whole[0]);
  EXPECT_EQ("abc", whole[2]);
  EXPECT_EQ(std::string(999, 'x'), whole[3]);  // long lines come in pieces, nothing lost
  EXPECT_EQ(std::string(999, 'x'), whole[4]);
  EXPECT_EQ(std::string(502, 'x'), whole[5]);  // "tail" has no terminator yet
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < stream.size(); ++i) every.push_back(i);
  EXPECT_EQ(whole, split_all(stream, every));
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < stream.size();) {
      at += 1 + rng() % 200;
      if (at < stream.size()) cuts.push_back(at);
    }
    EXPECT_EQ(whole, split_all(stream, cuts));
  }
}

TEST(LineSplitter, TheTerminatorHintChangesNothingButSpeed) {
  // CR only, LF only, CR LF and LF CR, in runs and switching midway, with a long
  // line and a zero byte: the same lines whichever terminator is looked for first.
  std::string stream;
  for (int i = 0; i < 20; ++i) stream += "cr" + std::to_string(i) + "\r";
  for (int i = 0; i < 20; ++i) stream += "lf" + std::to_string(i) + "\n";
  for (int i = 0; i < 20; ++i) stream += "crlf" + std::to_string(i) + "\r\n";
  stream += "lfcr\n\r\n\n\r" + std::string(1200, 'y') + "\n" + std::string("ze\0ro\r", 6) + "end";
  std::vector<std::string> plain = split_all(stream, {});
  ASSERT_EQ(64u, plain.size());
  EXPECT_EQ("cr19", plain[19]);
  EXPECT_EQ("lf0", plain[20]);
  EXPECT_EQ("crlf19", plain[59]);
  EXPECT_EQ("lfcr", plain[60]);
  EXPECT_EQ(std::string("ze\0ro", 5), plain[63]);
  EXPECT_EQ(plain, split_all(stream, {}, true));
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < stream.size();) {
      at += 1 + rng() % 40;
      if (at < stream.size()) cuts.push_back(at);
    }
    EXPECT_EQ(plain, split_all(stream, cuts, true));
  }
}

using Delivery = ScriptConnection;

TEST_F(Delivery, TwoLinesInOneSegment) {
  peer.send("OK\r\nOK\r\n");
  ASSERT_TRUE(wait_until([&] { return p.count_printed("OK\t0\t127.0.0.1") == 2; }));
}

TEST_F(Delivery, EmptyLinesSkippedAndAFinalPartialLineIsLostAtClose) {
  peer.send("\r\n\r\nabcde");
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1\t127.0.0.1"));
  EXPECT_EQ(1u, p.printed().size());
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
}

TEST_F(Delivery, LineSplitOverTwoSegments) {
  peer.send("ab");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(p.printed().empty());
  peer.send("cde\r");
  EXPECT_TRUE(p.wait_printed("abcde\t0\t127.0.0.1"));
}

TEST_F(Delivery, ZeroByteEndsTheDeliveredText) {
  p.run("function cb(line, s, status) if status == 0 then print(string.len(line) .. ' ' .. line) end end");
  peer.send(std::string("ab\0cd\r\nef\r\n", 11));
  EXPECT_TRUE(p.wait_printed("2 ef"));
  peer.send(std::string("gh\0i", 4));  // the zero byte waits in the unfinished line
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  peer.send("j\r\nkl\r\n");
  EXPECT_TRUE(p.wait_printed("2 kl"));
  EXPECT_EQ((std::vector<std::string>{"2 ab", "2 ef", "2 gh", "2 kl"}), p.printed());
}

TEST_F(Delivery, LongLinesArriveInPiecesOf999) {
  peer.send(std::string(2000, 'y') + "\n");
  ASSERT_TRUE(wait_until([&] { return p.printed().size() == 3; }));
  auto out = p.printed();
  EXPECT_EQ(std::string(999, 'y') + "\t0\t127.0.0.1", out[0]);
  EXPECT_EQ(std::string(999, 'y') + "\t0\t127.0.0.1", out[1]);
  EXPECT_EQ("yy\t0\t127.0.0.1", out[2]);
}

TEST_F(Delivery, ThousandsOfLinesInOneSegmentArriveOnceAndInOrder) {
  // More lines than one notification and one hold of the script lock deliver, with
  // every kind of terminator, and a callback that answers on the connection.
  p.run("got, bad = 0, 0 "
        "function cb(line, s, status) "
        "  if status ~= 0 then return end "
        "  if tonumber(line) ~= got then bad = bad + 1 end "
        "  got = got + 1 cvn_old.Send(s, '.') end");
  const char* ends[] = {"\r", "\n", "\r\n", "\n\r\n"};
  std::string data;
  for (int i = 0; i < 3000; ++i) data += std::to_string(i) + ends[i % 4];
  peer.send(data);
  ASSERT_TRUE(wait_until([&] { return p.run("return got") == "3000"; }, 10000)) << p.run("return got");
  EXPECT_EQ("0", p.run("return bad"));
  EXPECT_EQ(3000u, peer.recv_n(3000).size());
}

TEST_F(Delivery, CallbackThatClosesMidwayDiscardsOnlyWhatNoCallbackSaw) {
  p.run("function cb(line, s, status) "
        "  if line == 'bye' then cvn_old.Close(s) end print(line, status) end");
  std::string err = capture_stderr([&] {
    peer.send("a\r\nbye\r\nc\r\nd\r\n");
    ASSERT_TRUE(p.wait_printed("bye\t0"));
    EXPECT_TRUE(peer.sees_eof());
  });
  EXPECT_EQ("\nFYI, received 6 unexpected bytes during shutdown.\n", err);  // c and d
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1"));
  EXPECT_EQ(0u, p.count_printed("c\t0"));
  EXPECT_EQ(0u, p.count_printed("d\t0"));
}

TEST_F(Delivery, CallbackThatNamesNothingConsumesOneLinePerNotification) {
  p.run("cb = nil");
  peer.send("one\r\ntwo\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  p.run("function cb(line, s, status, host) print(line, status, host) end");
  peer.send("three\r\n");
  ASSERT_TRUE(p.wait_printed("three\t0\t127.0.0.1"));
  EXPECT_EQ(0u, p.count_printed("one\t0\t127.0.0.1"));  // consumed without a call
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1\t127.0.0.1"));
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
}

TEST_F(Delivery, ClosedConnectionWithNoCallbackIsStillRetired) {
  p.run("cb = 'not a function'");
  peer.close();
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
  EXPECT_TRUE(wait_until([] { return plat::open_socket_count() == 0; }));
}

TEST_F(Delivery, RaisingCallbackIsReportedAndTheNextLineStillComes) {
  p.run("function cb(line, s, status) "
        "  if line == 'bad' then error('oops', 0) end "
        "  if line == 'table' then error({}) end "
        "  if status == 1 then error(42, 0) end "
        "  print(line) end");
  peer.send("bad\r\ntable\r\ngood\r\n");
  ASSERT_TRUE(p.wait_printed("good"));
  auto out = p.printed();
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ("Error (Read): oops", out[0]);
  EXPECT_EQ("Error (Read): (null)", out[1]);
  peer.close();
  EXPECT_TRUE(p.wait_printed("Error (Close): 42"));
}

TEST_F(Delivery, CallbackThatClosesItsConnectionAndOpensAnother) {
  PeerListener second;
  p.run("function cb(line, s, status) print(line, status) "
        "  if line == 'bye' then cvn_old.Close(s) "
        "    s2 = cvn_old.Open('127.0.0.1', " + std::to_string(second.port) + ", 'cb2') end end "
        "function cb2(line, s, status) print('2:' .. line, status) end");
  peer.send("bye\r\nafter\r\n");
  Peer peer2 = second.accept();
  ASSERT_GE(peer2.fd, 0);
  EXPECT_TRUE(peer.sees_eof());
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1"));
  peer2.send("hello\n");
  EXPECT_TRUE(p.wait_printed("2:hello\t0"));
  EXPECT_EQ(1u, registry_count());  // only the second connection is left
}

TEST_F(Delivery, CloseAfterThePeerClosedReportsTheEndExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    if (round > 0) {
      p.clear_printed();
      ASSERT_EQ("0", p.run("s, st = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) +
                           ", 'cb') return st"));
      peer = l.accept();
    }
    peer.send("last\r\n");
    peer.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 2 ? 0 : 20));
    p.run("cvn_old.Close(s)");  // the socket may be closed outright now
    ASSERT_TRUE(p.wait_printed("Connection Closed.\t1\t127.0.0.1")) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(1u, p.count_printed("Connection Closed.\t1\t127.0.0.1")) << round;
    EXPECT_TRUE(wait_until([] { return registry_count() == 0; })) << round;
  }
}

TEST(DeliveryListen, IncomingConnectionCallbackAccepts) {
  Plugin p;
  std::uint16_t lp = free_port();
  p.run("function OnPeer(line, s, status, host) print(line, status, host) end " +
        listen_script(lp, "OnPeer", "print(line, status, '[' .. host .. ']')"));
  std::vector<Peer> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(connect_to(lp));
  ASSERT_TRUE(wait_until([&] { return p.count_printed("Incomming Connection.\t2\t[]") == 3; }));
  for (auto& pe : peers) pe.send("hi\r\n");
  EXPECT_TRUE(wait_until([&] { return p.count_printed("hi\t0\t127.0.0.1") == 3; }));
  p.run("cvn_old.CloseListen(ls)");
}

TEST(DeliveryLock, HeldScriptLockDelaysButDoesNotLoseLines) {
  Plugin p;
  PeerListener l;
  p.run("function cb(line) print(line) end");
  p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer peer = l.accept();
  clear_debug_lines();
  pthread_mutex_lock(p.lock());
  peer.send("waited\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  pthread_mutex_unlock(p.lock());
  EXPECT_TRUE(p.wait_printed("waited"));
  EXPECT_TRUE(debug_has("Script lock not had within 1000 ms; still waiting"));
}

TEST(DeliveryLock, LinesDiscardedByACloseWhileTheHandlerWaitsAreNeverDelivered) {
  Plugin p;
  PeerListener l;
  p.run("function cb(line, s, status) print(line, status) end");
  p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer peer = l.accept();
  std::string err;
  pthread_mutex_lock(p.lock());  // a script thread runs: the handler waits
  peer.send("x\r\ny\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  err = capture_stderr([&] { p.run("cvn_old.Close(s)"); });
  pthread_mutex_unlock(p.lock());
  EXPECT_TRUE(peer.sees_eof());
  peer.close();
  ASSERT_TRUE(p.wait_printed("Connection Closed.\t1"));
  EXPECT_EQ("\nFYI, received 6 unexpected bytes during shutdown.\n", err);
  EXPECT_EQ(1u, p.printed().size());  // neither x nor y: they were discarded
}

// The read handler holds the script lock across a batch's lines while nobody
// waits for it. A script thread that wants it meanwhile gets it between two lines
// and finds those delivered so far taken off the socket: its Close discards
// exactly the lines no callback saw, and none of them comes afterwards.
TEST(DeliveryLock, AScriptThreadClosingMidBatchDiscardsOnlyWhatNoCallbackSaw) {
  Plugin p;
  PeerListener l;
  p.run("got = 0 "
        "function cb(line, s, status) "
        "  if status ~= 0 then return end "
        "  if tonumber(line) ~= got then got = -1e9 end "
        "  got = got + 1 "
        "  for i = 1, 2000 do end end");  // a callback that takes a while
  p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer peer = l.accept();
  constexpr int kLines = 5000;
  std::string data;
  for (int i = 0; i < kLines; ++i) {
    char line[16];
    std::snprintf(line, sizeof line, "%05d\r\n", i);  // 7 bytes each
    data += line;
  }
  peer.send(data);
  ASSERT_TRUE(wait_until([&] { return std::stoi(p.run("return got")) >= 300; }, 10000));
  std::string closed_at;
  std::string err = capture_stderr([&] { closed_at = p.run("local n = got cvn_old.Close(s) return n"); });
  int seen = std::stoi(closed_at);
  ASSERT_GT(kLines, seen) << "the batch ended before the script thread came";
  EXPECT_EQ("\nFYI, received " + std::to_string((kLines - seen) * 7) + " unexpected bytes during shutdown.\n", err);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(closed_at, p.run("return got"));
}

TEST(DeliveryLock, DetachWhileAHandlerWaitsForTheLockDoesNotDeadlock) {
  {
    Plugin p;
    PeerListener l;
    p.run("function cb(line) print(line) end");
    p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
    Peer peer = l.accept();
    pthread_mutex_lock(p.lock());  // the host holds the lock through event 8 and close
    peer.send("never\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tvr_info(8, 0, p.state());
    tvr_info(7, 0, p.state());
    pthread_mutex_unlock(p.lock());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, p.count_printed("never"));  // a line of the old session stays silent
  }
  // The handler gave up waiting, so the close ended the network thread's loop
  // instead of abandoning a thread stuck in it.
  EXPECT_EQ(0u, network_window());
}

namespace {

// A script function that enters the read handler for socket s, as a callback's
// call that dispatches the network thread's messages would (on Windows a message
// box or a modal loop does; nothing on Linux can).
int reenter_read(lua_State* L) {
  cvn::on_read(static_cast<plat::Socket>(lua_tonumber(L, 1)));
  return 0;
}

}  // namespace

TEST_F(Delivery, ACallbackThatEntersTheReadHandlerAgainGetsEachLineOnce) {
  pthread_mutex_lock(p.lock());
  lua_register(p.state(), "reenter_read", reenter_read);
  pthread_mutex_unlock(p.lock());
  p.run("seen, entered = {}, false "
        "function cb(line, s, status) "
        "  if status ~= 0 then return end "
        "  table.insert(seen, line) "
        "  if not entered then entered = true reenter_read(s) end end");
  peer.send("a\rb\rc\r");
  ASSERT_TRUE(wait_until([&] { return std::stoi(p.run("return #seen")) >= 3; }));
  peer.send("end\r");
  ASSERT_TRUE(wait_until([&] { return p.run("return seen[#seen]") == "end"; }));
  EXPECT_EQ("a,b,c,end", p.run("return table.concat(seen, ',')"));
}
