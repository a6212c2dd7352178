// Peers and scripts that real networks bring: a callback that reconnects under
// the same socket number, peers that never stop sending, connection bursts at the
// descriptor limit and beyond a short listen queue, and a misspelt callback name.
#include <sys/resource.h>

#include <atomic>

#include "../net/registry.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

namespace {

// wait_readable(socket): in a callback, waits up to 3 s for bytes on the socket,
// so what a peer sends is known to be there when the callback returns.
int l_wait_readable(lua_State* L) {
  pollfd p{static_cast<int>(lua_tonumber(L, 1)), POLLIN, 0};
  lua_pushboolean(L, ::poll(&p, 1, 3000) == 1);
  return 1;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Lowers the soft descriptor limit just above the descriptors in use and fills
// the rest, so the next descriptor anyone asks for fails with EMFILE.
struct DescriptorsExhausted {
  rlimit saved{};
  std::vector<int> fillers;
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd)
      if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, static_cast<rlim_t>(highest) + 32);
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::dup(2)) >= 0;) fillers.push_back(fd);
  }
  ~DescriptorsExhausted() {
    for (int fd : fillers) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }
};

// Sockets created beforehand connect to the port at the limit; each must be
// refused (reset or closed) rather than left waiting. Returns how many were.
int connect_and_count_refused(std::vector<int>& clients, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  for (int fd : clients) ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);  // non-blocking
  std::vector<int> waiting = clients;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!waiting.empty() && std::chrono::steady_clock::now() < end) {
    std::vector<pollfd> ps;
    for (int fd : waiting) ps.push_back(pollfd{fd, POLLIN, 0});
    if (::poll(ps.data(), ps.size(), 100) <= 0) continue;
    waiting.clear();
    for (const pollfd& p : ps) {
      char c;
      if (!(p.revents & (POLLIN | POLLERR | POLLHUP)) || ::recv(p.fd, &c, 1, MSG_DONTWAIT) > 0)
        waiting.push_back(p.fd);
    }
  }
  return static_cast<int>(clients.size() - waiting.size());
}

std::vector<int> fresh_sockets(int n) {
  std::vector<int> fds;
  for (int i = 0; i < n; ++i) fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  return fds;
}

void close_all(std::vector<int>& fds) {
  for (int fd : fds) ::close(fd);
  fds.clear();
}

}  // namespace

// A callback that closes its connection (the peer had closed already, so the
// socket goes at once) and opens another, which gets the same number and whose
// peer greets at once: the greeting is the new connection's, and the old
// connection's end is still reported, once.
TEST(Reconnect, InsideAReadCallbackUnderTheSameSocketNumber) {
  Plugin p;
  PeerListener first, second;
  pthread_mutex_lock(p.lock());
  lua_register(p.state(), "wait_readable", l_wait_readable);
  pthread_mutex_unlock(p.lock());
  p.run("function cb(line, s, status) print('1:' .. line, status) "
        "  if line == 'bye' then cvn_old.Close(s) "
        "    s2 = cvn_old.Open('127.0.0.1', " + std::to_string(second.port) + ", 'cb2') "
        "    same = s2 == s ready = wait_readable(s2) end end "
        "function cb2(line, s, status) print('2:' .. line, status) end "
        "s = cvn_old.Open('127.0.0.1', " + std::to_string(first.port) + ", 'cb')");
  Peer peer = first.accept();
  Peer greeter;
  std::thread greet([&] {
    greeter = second.accept(5000);
    if (greeter.fd >= 0) greeter.send("hello\r\n");
  });
  int s = std::stoi(p.run("return s"));
  pthread_mutex_lock(p.lock());  // the line and the end are both there before the callback runs
  peer.send("bye\r\n");
  peer.close();
  pollfd hup{s, POLLRDHUP, 0};
  ::poll(&hup, 1, 3000);
  pthread_mutex_unlock(p.lock());
  greet.join();
  ASSERT_TRUE(p.wait_printed("1:bye\t0"));
  ASSERT_EQ("true\ttrue", p.run("return same, ready"));
  EXPECT_TRUE(p.wait_printed("2:hello\t0"));
  EXPECT_TRUE(p.wait_printed("1:Connection Closed.\t1"));
  greeter.send("more\r\n");
  EXPECT_TRUE(p.wait_printed("2:more\t0"));
  EXPECT_EQ(1u, p.count_printed("1:Connection Closed.\t1"));
  EXPECT_EQ(0u, p.count_printed("1:hello\t0"));
  EXPECT_EQ(1u, registry_count());
  greeter.close();
  EXPECT_TRUE(p.wait_printed("2:Connection Closed.\t1"));
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
}

// Close and a reload discard only what had arrived: they return while the peers
// are still sending, with one line on standard error per connection at most.
TEST(Flooding, CloseReturnsWhileThePeerKeepsSending) {
  Plugin p;
  PeerListener l;
  p.run("n = 0 function cb(line, s, status) if status == 0 then n = n + 1 else print(line, status) end end "
        "s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Flood flood(l.accept());
  ASSERT_TRUE(wait_until([&] { return p.run("return n") != "0"; }));
  std::string err = capture_stderr([&] { EXPECT_EQ("0", p.run("return cvn_old.Close(s)")); });
  EXPECT_FALSE(flood.deadline_passed.load());
  EXPECT_LE(count_of(err, "FYI, received "), 1u) << err.size();
  EXPECT_TRUE(flood.peer.sees_eof());  // the sending direction is shut
  flood.finish();
  flood.peer.close();
  EXPECT_TRUE(p.wait_printed("Connection Closed.\t1"));
  EXPECT_TRUE(wait_until([] { return registry_count() == 0 && plat::open_socket_count() == 0; }));
}

TEST(Flooding, ReloadReturnsWhileTwoPeersKeepSending) {
  Plugin p;
  PeerListener l;
  p.run("n = 0 function cb(line) n = n + 1 end "
        "a = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') "
        "b = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Flood one(l.accept()), two(l.accept());
  ASSERT_TRUE(wait_until([&] { return std::stoi(p.run("return n")) > 1000; }));
  std::string err = capture_stderr([&] { p.reload(); });
  EXPECT_FALSE(one.deadline_passed.load());
  EXPECT_FALSE(two.deadline_passed.load());
  EXPECT_LE(count_of(err, "FYI, received "), 2u) << err.size();
  EXPECT_EQ(0u, registry_count());
  EXPECT_EQ(0u, plat::open_socket_count());
}

// One read notification delivers a bounded share, then the connection waits its
// turn: a quiet connection's line comes before a flooding one's backlog is done,
// and nothing of the backlog is lost.
TEST(Flooding, AQuietConnectionIsServedBeforeTheFloodsBacklogIsDrained) {
  Plugin p;
  PeerListener l;
  p.run("flood, at_quiet = 0, -1 "
        "function OnFlood(line) flood = flood + 1 end "
        "function OnQuiet(line) at_quiet = flood end "
        "f = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'OnFlood') "
        "q = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'OnQuiet')");
  Peer flood = l.accept(), quiet = l.accept();
  int big = 4 << 20;  // the system caps it; the larger the backlog the clearer the test
  ::setsockopt(flood.fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  std::string line = "flood-flood-flood-flood-flood\r\n";
  std::string chunk;
  while (chunk.size() < 16384) chunk += line;
  // With the script lock held the plug-in reads nothing more: the flood's whole
  // backlog is queued before the quiet line.
  pthread_mutex_lock(p.lock());
  std::size_t sent = 0;
  for (;;) {
    ssize_t r = ::send(flood.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r <= 0) break;
    sent += static_cast<std::size_t>(r);
  }
  quiet.send("hello\r\n");
  pthread_mutex_unlock(p.lock());
  std::size_t total = sent / line.size();  // a line cut by the full buffer never ends
  ASSERT_GT(total, 2000u);  // several notifications' worth
  ASSERT_TRUE(wait_until([&] { return p.run("return at_quiet") != "-1"; }, 10000));
  EXPECT_LT(std::stoul(p.run("return at_quiet")), total);
  EXPECT_TRUE(wait_until([&] { return p.run("return flood") == std::to_string(total); }, 20000))
      << p.run("return flood") << " of " << total;
}

// At the descriptor limit each waiting connection is refused once, with one
// printed line per burst, and no accept notification comes back on its own.
TEST(Limits, AtTheDescriptorLimitConnectionsAreRefusedAndAcceptingResumes) {
  Plugin p;
  std::uint16_t lp = free_port();
  p.run("incoming = 0 "
        "function OnPeer(line, s, status) print('peer:' .. line, status) end " +
        listen_script(lp, "OnPeer", "incoming = incoming + 1"));
  const std::string reason = "Accept failed.: Too many open sockets (10024)";
  std::vector<int> clients = fresh_sockets(20);
  {
    DescriptorsExhausted full;
    ASSERT_FALSE(full.fillers.empty());
    EXPECT_EQ(20, connect_and_count_refused(clients, lp));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a spin to show
    EXPECT_EQ("20", p.run("return incoming"));
  }
  close_all(clients);
  EXPECT_EQ(1u, p.count_printed(reason));
  Peer late = connect_to(lp);
  late.send("hello\r\n");
  EXPECT_TRUE(p.wait_printed("peer:hello\t0"));
  // A new burst after a connection got through is told again.
  clients = fresh_sockets(3);
  {
    DescriptorsExhausted full;
    EXPECT_EQ(3, connect_and_count_refused(clients, lp));
  }
  close_all(clients);
  EXPECT_EQ(2u, p.count_printed(reason));
  late.close();
  p.run("cvn_old.CloseListen(ls)");
}

// Clients that connect together all wait in the listen queue, even while the
// script is busy, and every one of them is accepted.
TEST(Limits, FiveHundredConnectsFromThirtyTwoThreadsAllReachTheScript) {
  Plugin p;
  std::uint16_t lp = free_port();
  p.run("seen, lines, closed = {}, 0, 0 "
        "function OnPeer(line, s, status) "
        "  if status == 1 then closed = closed + 1 "
        "  elseif not seen[line] then seen[line] = true lines = lines + 1 end end " +
        listen_script(lp, "OnPeer"));
  constexpr int kThreads = 32, kConnects = 500;
  std::atomic<int> next{0}, connected{0};
  pthread_mutex_lock(p.lock());  // nothing is accepted meanwhile
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i; (i = next++) < kConnects;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(lp);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        pollfd w{fd, POLLOUT, 0};
        int err = -1;
        socklen_t n = sizeof err;
        if (::poll(&w, 1, 3000) == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &n);
        std::string line = "client " + std::to_string(i) + "\n";
        auto n_sent = static_cast<ssize_t>(line.size());
        if (err == 0 && ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == n_sent) ++connected;
        ::close(fd);
      }
    });
  for (auto& t : threads) t.join();
  pthread_mutex_unlock(p.lock());
  EXPECT_EQ(kConnects, connected.load());
  EXPECT_TRUE(wait_until([&] { return p.run("return lines, closed") == "500\t500"; }, 30000))
      << p.run("return lines, closed");
  EXPECT_TRUE(wait_until([] { return registry_count() == 1; }));
  p.run("cvn_old.CloseListen(ls)");
}

// A callback name that names no function is reported once, naming the callback,
// the socket and the host; the connection is still retired at its end.
TEST(Script, AMisspeltCallbackIsNamedOnceOnTheDebuggerChannel) {
  Plugin p;
  PeerListener l;
  p.run("function OnDevice(line) print(line) end "
        "s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'OnDevcie')");
  Peer peer = l.accept();
  std::string s = p.run("return s");
  const std::string expected =
      "Callback \"OnDevcie\" of socket " + s + " (host \"127.0.0.1\") is not a function; nothing is called";
  clear_debug_lines();
  peer.send("one\r\n");
  ASSERT_TRUE(wait_until([&] { return debug_has(expected); }));
  peer.send("two\r\n");
  peer.close();
  EXPECT_TRUE(wait_until([] { return registry_count() == 0; }));
  std::size_t mentions = 0;
  for (const auto& line : debug_lines()) mentions += line.find("OnDevcie") != std::string::npos;
  EXPECT_EQ(1u, mentions);
  EXPECT_TRUE(p.printed().empty());
}

// A request/reply server closes its connections itself, so its side of the last
// one lingers in TIME_WAIT on the port; a reload shuts connections still open
// (FIN-WAIT-2 on the port). Either way the script listens on its port again at
// once, as on Windows, while a port another socket listens on is still refused.
TEST(Restart, AServerListensAgainOnItsPortAtOnce) {
  Plugin p;
  std::uint16_t lp = free_port();
  const std::string listen = "cvn_old.Listen(" + std::to_string(lp) + ", 'OnListen')";
  const std::string server =
      "function OnPeer(line, s, status) "
      "  if line == 'hello' then print('got hello') end "
      "  if line == 'hi' then cvn_old.Send(s, 'bye\\r\\n') cvn_old.Close(s) end "
      "  if status == 1 then print('closed') end end " +
      listen_script(lp, "OnPeer");
  p.run(server);
  {
    Peer client = connect_to(lp);
    client.send("hi\r\n");
    EXPECT_EQ("bye\r\n", client.recv_n(5));
    EXPECT_TRUE(client.sees_eof());
  }
  ASSERT_TRUE(p.wait_printed("closed"));
  p.run("cvn_old.CloseListen(ls)");
  EXPECT_EQ("0", p.run("ls, st = " + listen + " return st"));
  PeerListener busy;
  EXPECT_EQ("-3", p.run("local s, st = cvn_old.Listen(" + std::to_string(busy.port) + ", 'x') "
                        "cvn_old.CloseListen(s) return st"));

  Peer open = connect_to(lp);
  open.send("hello\r\n");
  ASSERT_TRUE(p.wait_printed("got hello"));
  p.reload();
  EXPECT_TRUE(open.sees_eof());  // its connection is shut, not closed by the peer
  EXPECT_EQ("0", p.run(server + " return ls_status"));
  Peer again = connect_to(lp);
  again.send("hi\r\n");
  EXPECT_EQ("bye\r\n", again.recv_n(5));
  p.run("cvn_old.CloseListen(ls)");
}
