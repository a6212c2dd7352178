// The stand-in host as a user runs it: exit codes, script errors, reload, and
// running code stopped by signals, the time-out and Ctrl-C in the console.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include "harness.h"

using namespace cvn::test;

namespace {

// tavrel with a script of the test's own in place of the argument "SCRIPT".
struct TavrelRun {
  std::string dir = temp_dir();
  std::unique_ptr<Child> child;
  pid_t pid;
  TavrelRun(const std::vector<std::string>& args, const std::string& script_text) {
    std::ofstream(dir + "/s.lua") << script_text;
    std::vector<std::string> argv = {CVN_TAVREL_PATH};
    for (const auto& a : args) argv.push_back(a == "SCRIPT" ? dir + "/s.lua" : a);
    child = std::make_unique<Child>(argv, dir + "/out", dir + "/err");
    pid = child->pid;
  }
  int wait(int timeout_ms = 10000) { return child->wait(timeout_ms); }
  std::string out() const { return child->out(); }
  std::string err() const { return child->err(); }
};

// A loopback port whose accept queue is full: a connect to it stays unanswered
// (the kernel drops the SYN), so a blocking connect waits for minutes.
struct FullListener {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::uint16_t port = 0;
  std::vector<int> queued;
  FullListener() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(fd, 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    port = ntohs(sa.sin_port);
    for (int i = 0; i < 2; ++i) {  // a backlog of 0 still queues one
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      queued.push_back(c);
    }
  }
  ~FullListener() {
    for (int c : queued) ::close(c);
    ::close(fd);
  }
};

// tavrel on a pseudo-terminal, as a user at a terminal runs it.
struct Terminal {
  int master = -1;
  pid_t pid = -1;
  std::string seen;
  explicit Terminal(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (master >= 0) ::close(master);
  }
  void type(const std::string& keys) const { EXPECT_EQ(static_cast<ssize_t>(keys.size()), write(master, keys.data(), keys.size())); }
  // True once `text` has appeared on the screen after what earlier calls consumed.
  bool expect(const std::string& text, int timeout_ms = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto at = seen.find(text);
      if (at != std::string::npos) {
        seen.erase(0, at + text.size());
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<std::size_t>(n));
    }
  }
  int wait(int timeout_ms) { return wait_exit(pid, timeout_ms); }
};

constexpr const char* kNoForcedEnd = "did not stop";

}  // namespace

TEST(Tavrel, ExitCodeFromTheScriptAndTheLibraryIsThere) {
  TavrelRun r({"SCRIPT", "a1", "a2"}, "print(type(cvn_old), arg[1], arg[2]) tavrel.exit(3)");
  EXPECT_EQ(3, r.wait());
  EXPECT_EQ("table\ta1\ta2\n", r.out());
}

TEST(Tavrel, ScriptErrorsNameFileAndLineAndFail) {
  TavrelRun syntax({"SCRIPT"}, "x = = 1");
  EXPECT_EQ(1, syntax.wait());
  EXPECT_NE(std::string::npos, syntax.err().find("s.lua:1:")) << syntax.err();
  TavrelRun runtime({"SCRIPT"}, "\n\nerror('broken')");
  EXPECT_EQ(1, runtime.wait());
  EXPECT_NE(std::string::npos, runtime.err().find("s.lua:3: broken")) << runtime.err();
}

TEST(Tavrel, TimeoutHelpAndBadPlugin) {
  TavrelRun t({"--timeout", "0.2", "SCRIPT"}, "print('up')");
  EXPECT_EQ(124, t.wait());
  TavrelRun h({"--help"}, "");
  EXPECT_EQ(0, h.wait());
  EXPECT_NE(std::string::npos, h.out().find("usage: tavrel"));
  TavrelRun b({"--plugin", "/nonexistent/libx.so", "SCRIPT"}, "");
  EXPECT_EQ(2, b.wait());
  EXPECT_NE(std::string::npos, b.err().find("cannot load"));
  TavrelRun info({"--info"}, "");
  EXPECT_EQ(0, info.wait());
  EXPECT_NE(std::string::npos, info.out().find("Corvane 1.0 (device 189"));
}

TEST(Tavrel, ReloadReleasesTheScriptsListenerSoItCanListenAgain) {
  std::uint16_t port = free_port();
  TavrelRun r({"--timeout", "20", "SCRIPT"},
        "local s, st = cvn_old.Listen(" + std::to_string(port) + ", 'cb') print('listen', st)");
  ASSERT_TRUE(wait_until([&] { return r.out() == "listen\t0\n"; }, 5000)) << r.out();
  kill(r.pid, SIGHUP);
  ASSERT_TRUE(wait_until([&] { return r.out() == "listen\t0\nlisten\t0\n"; }, 5000)) << r.out();
  kill(r.pid, SIGTERM);
  EXPECT_EQ(0, r.wait());
  EXPECT_EQ("", r.err());
}

TEST(Tavrel, CallbacksRunWhileTheScriptSleepsAndExitFromACallback) {
  PeerListener l;
  TavrelRun r({"--timeout", "20", "SCRIPT"},
        "function cb(line, s, status) print(line, status) if line == 'stop' then tavrel.exit(7) end end "
        "s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') tavrel.sleep(0.05)");
  Peer peer = l.accept();
  ASSERT_GE(peer.fd, 0);
  peer.send("one\r\nstop\r\n");
  EXPECT_EQ(7, r.wait());
  EXPECT_EQ("one\t0\nstop\t0\n", r.out());
  EXPECT_TRUE(peer.sees_eof());
}

TEST(Tavrel, ConsoleRunsLinesAndPrintsTheirValues) {
  std::string cmd = std::string("printf 'x = 6\\nx * 7\\ncvn_old.Nslookup(\"127.1\")\\nerror(\"oops\", 0)\\n' | ") +
                    CVN_TAVREL_PATH + " -i 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(0, WEXITSTATUS(pclose(p)));
  EXPECT_EQ(0u, out.find("42\n127.0.0.1\t0\noops\n")) << out;
}

TEST(Tavrel, ReloadAndStopWhileACallbackSleepsCloseNoStateUnderIt) {
  for (int sig : {SIGHUP, SIGTERM}) {
    PeerListener l;
    const std::string script =
        "function cb(line, s, status) print('got', line, status) tavrel.sleep(30) print('woke') end "
        "s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') print('opened')";
    TavrelRun r({"--timeout", "60", "SCRIPT"}, script);
    Peer first = l.accept();
    first.send("one\r");  // CR only: no byte is left over for the close to report
    ASSERT_TRUE(wait_until([&] { return r.out().find("got\tone") != std::string::npos; })) << r.out();
    kill(r.pid, sig);  // the callback is asleep in the state
    if (sig == SIGHUP) {
      Peer second = l.accept();
      ASSERT_GE(second.fd, 0) << "no reload: " << r.out();
      EXPECT_TRUE(first.sees_eof());  // the old state's connection went with it
      second.send("two\r");  // the reloaded state serves callbacks; this one sleeps too
      ASSERT_TRUE(wait_until([&] { return r.out().find("got\ttwo") != std::string::npos; })) << r.out();
      kill(r.pid, SIGTERM);
    }
    EXPECT_EQ(0, r.wait(2000)) << sig;
    EXPECT_EQ(std::string::npos, r.out().find("woke")) << r.out();
    EXPECT_NE(std::string::npos, r.out().find("interrupted!")) << r.out();
    EXPECT_EQ("", r.err());  // no sanitizer report, no forced end
  }
}

TEST(Tavrel, SignalsAndTheTimeOutStopRunningCode) {
  // Plain loops, one that swallows errors with pcall, and a long sleep.
  for (const char* code : {"while true do end",
                           "while true do pcall(function() while true do end end) end",
                           "tavrel.sleep(600)"}) {
    for (int sig : {SIGTERM, SIGINT}) {
      TavrelRun r({"SCRIPT"}, std::string("tavrel.atclose(function() print('closed') end) print('running') ") + code);
      ASSERT_TRUE(wait_until([&] { return r.out() == "running\n"; })) << code;
      kill(r.pid, sig);
      EXPECT_EQ(0, r.wait(2000)) << code << " " << sig;
      EXPECT_EQ("running\nclosed\n", r.out()) << code;  // the closing hook is not interrupted
      EXPECT_EQ("", r.err()) << code;  // stopped by the hook, not ended by force
    }
  }
  TavrelRun t({"--timeout", "0.5", "SCRIPT"}, "while true do end");
  EXPECT_EQ(124, t.wait(2500));
  EXPECT_NE(std::string::npos, t.err().find("time-out after 0.5 s")) << t.err();
}

TEST(Tavrel, ABlockingOpenIsStoppedAndItsConnectAborted) {
  FullListener full;
  TavrelRun r({"SCRIPT"}, "print('opening') local s, st = cvn_old.Open('127.0.0.1', " +
                              std::to_string(full.port) + ", 'cb') print('returned', s, st)");
  ASSERT_TRUE(wait_until([&] { return r.out().find("opening") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into connect
  kill(r.pid, SIGTERM);
  EXPECT_EQ(0, r.wait(2000)) << r.out();
  EXPECT_EQ(std::string::npos, r.out().find("returned")) << r.out();  // interrupted after Open
  EXPECT_EQ(std::string::npos, r.err().find(kNoForcedEnd)) << r.err();
}

TEST(Tavrel, CodeTheHookCannotReachEndsTheProcessAfterAGrace) {
  // A loop inside a coroutine made before the hook was set.
  TavrelRun r({"SCRIPT"}, "coroutine.wrap(function() print('running') while true do end end)()");
  ASSERT_TRUE(wait_until([&] { return r.out() == "running\n"; }));
  kill(r.pid, SIGTERM);
  EXPECT_EQ(0, r.wait(3000));
  EXPECT_NE(std::string::npos, r.err().find(kNoForcedEnd)) << r.err();
}

TEST(Tavrel, CtrlCInTheConsoleStopsTheLineAndReturnsToThePrompt) {
  FullListener full;
  Terminal term({CVN_TAVREL_PATH, "-i"});
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("print('looping') while true do end\r");
  ASSERT_TRUE(term.expect("looping\r\n")) << term.seen;
  term.type("\x03");
  EXPECT_TRUE(term.expect("interrupted!")) << term.seen;
  EXPECT_TRUE(term.expect("> ")) << term.seen;
  term.type("print('opening') s = cvn_old.Open('127.0.0.1', " + std::to_string(full.port) + ", 'cb') print('opened')\r");
  ASSERT_TRUE(term.expect("opening\r\n")) << term.seen;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into connect
  term.type("\x03");
  EXPECT_TRUE(term.expect("interrupted!")) << term.seen;
  EXPECT_TRUE(term.expect("> ")) << term.seen;
  EXPECT_EQ(std::string::npos, term.seen.find("opened"));
  term.type("6 * 7\r");
  EXPECT_TRUE(term.expect("42")) << term.seen;
  EXPECT_TRUE(term.expect("> ")) << term.seen;  // readline has the terminal again
  term.type("\x04");  // Ctrl-D
  EXPECT_EQ(0, term.wait(2000));
}
