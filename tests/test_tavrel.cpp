// The stand-in host as a user runs it: exit codes, script errors, reload, and
// running code stopped by signals, the time-out and Ctrl-C in the console.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>

#include "harness.h"
#include "offline.h"

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

// tavrel on a pseudo-terminal of 80 columns, as a user at a terminal runs it,
// with a home directory of its own (for the history).
struct Terminal {
  int master = -1;
  pid_t pid = -1;
  std::string seen;
  std::string home;
  explicit Terminal(std::vector<std::string> argv, std::string home_dir = temp_dir()) : home(std::move(home_dir)) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
      setenv("TERM", "xterm", 1);
      setenv("HOME", home.c_str(), 1);
      execv(args[0], args.data());
      _exit(127);
    }
    // Never blocked on either side: a write waiting for room while the program
    // waits for its screen to be read would hold both for good.
    if (master >= 0) fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Terminal() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (master >= 0) ::close(master);
  }
  // Reads what the program shows for up to `ms`, stopping early once `until` holds.
  void read_screen(int ms, const std::function<bool()>& until) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!until()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) {
        if (left <= 0) return;
        continue;
      }
      char buf[4096];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) return;
      seen.append(buf, static_cast<std::size_t>(n));
    }
  }
  // Types `keys`, reading the screen meanwhile so that a long echo cannot stall it.
  // A program that has gone, or that takes no keys for a while, fails the test.
  void type(const std::string& keys) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::size_t at = 0; at < keys.size();) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "the terminal takes the keys too slowly";
      pollfd p[2] = {{master, POLLOUT, 0}, {master, POLLIN, 0}};
      ASSERT_GT(::poll(p, 2, 5000), 0) << "the terminal takes no keys";
      if (p[1].revents & POLLIN) read_screen(0, [] { return false; });
      ASSERT_FALSE((p[0].revents | p[1].revents) & (POLLHUP | POLLERR | POLLNVAL) && !(p[0].revents & POLLOUT))
          << "the program has gone";
      if (!(p[0].revents & POLLOUT)) continue;
      ssize_t n = ::write(master, keys.data() + at, std::min<std::size_t>(4096, keys.size() - at));
      if (n < 0 && errno == EAGAIN) continue;
      ASSERT_GT(n, 0);
      at += static_cast<std::size_t>(n);
    }
  }
  // True once `text` has appeared on the screen after what earlier calls consumed.
  bool expect(const std::string& text, int timeout_ms = 3000) {
    read_screen(timeout_ms, [&] { return seen.find(text) != std::string::npos; });
    auto at = seen.find(text);
    if (at == std::string::npos) return false;
    seen.erase(0, at + text.size());
    return true;
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
  TavrelRun t({"--timeout", "0.2", "SCRIPT"}, "print('up') tavrel.sleep(60)");
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
  EXPECT_EQ(143, r.wait());
  EXPECT_EQ("tavrel: interrupted!\n", r.err());
}

// tavrel.reload() does what SIGHUP does, from the script itself (and on Windows,
// which has no SIGHUP): the running chunk stops, the state with its listener
// goes, and the script runs again in a new one.
TEST(Tavrel, ReloadFromTheScriptRunsItAgainInANewState) {
  std::uint16_t port = free_port();
  TavrelRun r({"--timeout", "20", "SCRIPT"},
              "local runs = string.gsub(arg[0], 's.lua$', 'runs') "
              "local f = io.open(runs) local n = f and tonumber(f:read('*a')) or 0 if f then f:close() end "
              "n = n + 1 f = io.open(runs, 'w') f:write(n) f:close() "
              "local s, st = cvn_old.Listen(" + std::to_string(port) + ", 'cb') print('run', n, st) "
              "if n == 1 then tavrel.reload() print('not reached') end tavrel.exit(5)");
  EXPECT_EQ(5, r.wait());
  EXPECT_EQ("run\t1\t0\nrun\t2\t0\n", r.out());
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
    EXPECT_EQ(143, r.wait(2000)) << sig;
    EXPECT_EQ(std::string::npos, r.out().find("woke")) << r.out();
    EXPECT_NE(std::string::npos, r.out().find("interrupted!")) << r.out();
    EXPECT_EQ("tavrel: interrupted!\n", r.err());  // no sanitizer report, no forced end
  }
}

// A signal ends the run as it ends a shell's command, 128 + its number, and says
// "interrupted!" as lua does: with where it stopped when a chunk was running.
TEST(Tavrel, SignalsAndTheTimeOutStopRunningCode) {
  // Plain loops, one that swallows errors with pcall, and a long sleep.
  for (const char* code : {"while true do end",
                           "while true do pcall(function() while true do end end) end",
                           "tavrel.sleep(600)"}) {
    for (int sig : {SIGTERM, SIGINT}) {
      TavrelRun r({"SCRIPT"}, std::string("tavrel.atclose(function() print('closed') end) print('running') ") + code);
      ASSERT_TRUE(wait_until([&] { return r.out() == "running\n"; })) << code;
      kill(r.pid, sig);
      EXPECT_EQ(128 + sig, r.wait(2000)) << code << " " << sig;
      EXPECT_EQ("running\nclosed\n", r.out()) << code;  // the closing hook is not interrupted
      // Stopped by the hook, not ended by force; told once.
      std::string err = r.err();
      EXPECT_EQ(0u, err.find("tavrel: ")) << err;
      EXPECT_NE(std::string::npos, err.find("interrupted!\nstack traceback:\n")) << err;
      EXPECT_NE(std::string::npos, err.find("s.lua:1: in main chunk")) << err;
      EXPECT_EQ(err.find("interrupted!"), err.rfind("interrupted!")) << err;
    }
  }
  // Nothing running, the script serving: the word alone.
  std::uint16_t port = free_port();
  TavrelRun serving({"SCRIPT"}, "cvn_old.Listen(" + std::to_string(port) + ", 'cb') print('serving')");
  ASSERT_TRUE(wait_until([&] { return serving.out() == "serving\n"; }));
  kill(serving.pid, SIGINT);
  EXPECT_EQ(130, serving.wait(2000));
  EXPECT_EQ("tavrel: interrupted!\n", serving.err());
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
  EXPECT_EQ(143, r.wait(2000)) << r.out();
  EXPECT_EQ(std::string::npos, r.out().find("returned")) << r.out();  // interrupted after Open
  EXPECT_EQ(std::string::npos, r.err().find(kNoForcedEnd)) << r.err();
}

TEST(Tavrel, CodeTheHookCannotReachEndsTheProcessAfterAGrace) {
  // A loop inside a coroutine made before the hook was set.
  TavrelRun r({"SCRIPT"}, "coroutine.wrap(function() print('running') while true do end end)()");
  ASSERT_TRUE(wait_until([&] { return r.out() == "running\n"; }));
  kill(r.pid, SIGTERM);
  EXPECT_EQ(143, r.wait(3000));
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

// The console as the stand-alone interpreter's: a banner, chunks continued on
// ">>", "=expr", Ctrl-C clearing the line (and an unfinished chunk), Ctrl-D
// quitting, and the history kept in $HOME for the next run.
TEST(Console, ContinuesChunksClearsLinesAndKeepsItsHistory) {
  std::string home = temp_dir();
  {
    Terminal term({CVN_TAVREL_PATH}, home);  // no script, a terminal: the console
    ASSERT_TRUE(term.expect("Corvane 1.0, tavrel 1.0, Lua 5.1")) << term.seen;
    ASSERT_TRUE(term.expect("> ")) << term.seen;
    term.type("function f()\r");
    EXPECT_TRUE(term.expect(">> ")) << term.seen;
    term.type("  return 6 * 7\rend\r");
    EXPECT_TRUE(term.expect("end\r\n")) << term.seen;
    term.type("=f()\r");
    EXPECT_TRUE(term.expect("=f()\r\n")) << term.seen;
    EXPECT_TRUE(term.expect("42\r\n")) << term.seen;
    EXPECT_TRUE(term.expect("> ")) << term.seen;
    term.type("x = {\r");
    EXPECT_TRUE(term.expect(">> ")) << term.seen;
    term.type("\x03");  // drops the unfinished chunk
    EXPECT_TRUE(term.expect("^C")) << term.seen;
    // Ctrl-C comes back through the signal watcher; keys typed before the fresh
    // prompt shows would race it, as no typist does.
    EXPECT_TRUE(term.expect("> ")) << term.seen;
    term.type("half a line");
    EXPECT_TRUE(term.expect("half a line")) << term.seen;
    term.type("\x03");
    EXPECT_TRUE(term.expect("^C")) << term.seen;
    EXPECT_TRUE(term.expect("> ")) << term.seen;
    term.type("=x\r");
    EXPECT_TRUE(term.expect("=x\r\n")) << term.seen;
    EXPECT_TRUE(term.expect("nil\r\n")) << term.seen;
    EXPECT_TRUE(term.expect("> ")) << term.seen;  // keys typed before it go to the running line
    term.type("\x04");
    EXPECT_EQ(0, term.wait(3000));
  }
  std::string history = slurp(home + "/.tavrel_history");
  EXPECT_NE(std::string::npos, history.find("\nfunction f()\n  return 6 * 7\nend\n")) << history;
  Terminal again({CVN_TAVREL_PATH, "-i"}, home);
  ASSERT_TRUE(again.expect("> ")) << again.seen;
  again.type("\x1b[A\x1b[A\x1b[A\r");  // Up: "=x", "=f()", then the three lines defining f, as one
  EXPECT_TRUE(again.expect("end\r\n")) << again.seen;
  again.type("=f()\r");
  EXPECT_TRUE(again.expect("42\r\n")) << again.seen;
  EXPECT_TRUE(again.expect("> ")) << again.seen;
  again.type("\x04");
  EXPECT_EQ(0, again.wait(3000));
}

// A line arriving on a connection while a line is being typed shows above it, and
// the line, with the cursor where it was, is drawn again below.
TEST(Console, CallbackOutputAppearsAboveTheLineBeingTyped) {
  PeerListener l;
  Terminal term({CVN_TAVREL_PATH, "-i"});
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("function cb(line) print('got', line) end s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) +
            ", 'cb')\r");
  Peer peer = l.accept();
  ASSERT_GE(peer.fd, 0);
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("print('typed')\x1b[D\x1b[D");  // the cursor before "')"
  ASSERT_TRUE(term.expect("print('typed')")) << term.seen;
  peer.send("hello\r\n");
  EXPECT_TRUE(term.expect("got\thello\r\n")) << term.seen;
  EXPECT_TRUE(term.expect("> print('typed')")) << term.seen;  // drawn again under it
  term.type("X\r");
  EXPECT_TRUE(term.expect("typedX\r\n")) << term.seen;
  EXPECT_TRUE(term.expect("> ")) << term.seen;
  term.type("\x04");
  EXPECT_EQ(0, term.wait(3000));
}

TEST(Console, TabCompletesGlobalsFieldsAndMethods) {
  Terminal term({CVN_TAVREL_PATH, "-i"});
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  const std::pair<const char*, const char*> cases[] = {
      {"cvn_old.Op", "en("}, {"tavrel.sl", "eep("}, {"cvn_", "old."}, {"_VERSION:up", "per("}, {"whi", "le"}};
  for (auto [typed, completed] : cases) {
    term.type(std::string(typed) + "\t");
    EXPECT_TRUE(term.expect(std::string(typed).substr(std::string(typed).size() - 2) + completed)) << typed << "\n"
                                                                                                   << term.seen;
    term.type("\x15");  // Ctrl-U: an empty line again
  }
  term.type("\x04");
  EXPECT_EQ(0, term.wait(3000));
}

// A megabyte typed or piped as one line: a clear message, and no hang. Typed, the
// line is dropped and the console goes on; piped, the run ends with status 1.
TEST(Console, AnOverlongLineIsRefusedWithAMessage) {
  Terminal term({CVN_TAVREL_PATH, "-i"});
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("x = '" + std::string(1 << 20, 'a') + "'\r");
  EXPECT_TRUE(term.expect("tavrel: the line is longer than 65536 characters; it is dropped", 20000));
  term.type("=x, 1 + 1\r");
  EXPECT_TRUE(term.expect("nil\t2\r\n", 10000)) << term.seen.substr(term.seen.size() - std::min<std::size_t>(term.seen.size(), 300));
  EXPECT_TRUE(term.expect("> ")) << term.seen;
  term.type("\x04");
  EXPECT_EQ(0, term.wait(3000));

  std::string dir = temp_dir();
  std::ofstream(dir + "/in") << "print('first')\n" << std::string(1 << 20, 'b') << "\nprint('never')\n";
  Child piped({"/bin/sh", "-c", std::string(CVN_TAVREL_PATH) + " -i < " + dir + "/in"}, dir + "/out");
  EXPECT_EQ(1, piped.wait(10000));
  EXPECT_EQ("first\ntavrel: console line 2 is longer than 65536 bytes; the run ends\n", piped.out());
}

// A script read from standard input, as `lua5.1 -` and `echo code | lua5.1` read one.
TEST(Tavrel, ReadsTheScriptFromStandardInput) {
  std::string dir = temp_dir();
  auto run = [&](const std::string& input, const std::string& args) {
    std::ofstream(dir + "/in") << input;
    Child c({"/bin/sh", "-c", std::string(CVN_TAVREL_PATH) + " --timeout 10 " + args + " < " + dir + "/in"},
            dir + "/out");
    int status = c.wait(15000);
    return std::to_string(status) + ":" + c.out();
  };
  EXPECT_EQ("3:x\ty\tnil\n", run("print(arg[1], arg[2], arg[3]) tavrel.exit(3)", "- x y"));
  EXPECT_EQ("0:table\n", run("print(type(cvn_old)) tavrel.exit()", ""));
  EXPECT_EQ("1:tavrel: stdin:1: unexpected symbol near '+'\n", run("+", ""));
  EXPECT_EQ("1:tavrel: stdin: precompiled code is not run\n", run("\x1bLua\x51garbage", "-"));
}

// os.exit ends the run at once with its status, wherever it is called, and the
// run still ends cleanly: the plug-in is told (the atclose hook runs).
TEST(Tavrel, OsExitEndsTheRunAtOnceWithItsStatus) {
  const std::string closing = "tavrel.atclose(function() print('closed') end) ";
  TavrelRun chunk({"SCRIPT"}, closing + "print('a') os.exit(3) print('b')");
  EXPECT_EQ(3, chunk.wait());
  EXPECT_EQ("a\nclosed\n", chunk.out());
  EXPECT_EQ("", chunk.err());
  TavrelRun caught({"SCRIPT"}, closing + "pcall(os.exit, 4) print('after')");
  EXPECT_EQ(4, caught.wait());
  EXPECT_EQ("closed\n", caught.out());
  PeerListener l;
  TavrelRun callback({"--timeout", "20", "SCRIPT"},
                     closing + "function cb(line) os.exit(5) print('after') end "
                               "s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') tavrel.sleep(30)");
  Peer peer = l.accept();
  peer.send("go\r\n");
  EXPECT_EQ(5, callback.wait());
  EXPECT_EQ(std::string::npos, callback.out().find("after")) << callback.out();
  EXPECT_NE(std::string::npos, callback.out().find("closed\n")) << callback.out();
}

TEST(Console, OsExitEndsTheRunWithItsStatusAndKeepsTheHistory) {
  std::string home = temp_dir();
  Terminal term({CVN_TAVREL_PATH}, home);
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("x = 1\r");
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("os.exit(3)\r");
  EXPECT_EQ(3, term.wait(3000)) << term.seen;
  term.read_screen(200, [] { return false; });
  EXPECT_EQ(std::string::npos, term.seen.find("terminate")) << term.seen;
  std::string history = slurp(home + "/.tavrel_history");
  EXPECT_NE(std::string::npos, history.find("\nx = 1\n")) << history;
  EXPECT_NE(std::string::npos, history.find("\nos.exit(3)\n")) << history;
}

// A script ends by itself, with status 0, once its main chunk has returned and
// nothing is left that could call it: no connection, no listener, no event or
// tick still to come. What is still to come is delivered first.
TEST(Tavrel, AScriptEndsWhenNothingCanCallItBack) {
  TavrelRun plain({"SCRIPT"}, "print('hi')");
  EXPECT_EQ(0, plain.wait());
  EXPECT_EQ("hi\n", plain.out());
  EXPECT_EQ("", plain.err());

  // Every line of a peer that sends and closes, then the close itself; the last
  // line closes the socket from its callback (the peer has gone already), so the
  // close comes as an event posted after the socket is gone.
  for (const char* last : {"bye", "stay"}) {
    PeerListener l;
    TavrelRun r({"--timeout", "20", "SCRIPT"},
                "local n = 0 function cb(line, s, status) "
                "  if status == 0 then n = n + 1 if line == 'bye' then cvn_old.Close(s) end end "
                "  if status == 1 then print(n, line) end end "
                "cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
    Peer peer = l.accept();
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    peer.send(lines + last + "\r\n");
    peer.close();
    EXPECT_EQ(0, r.wait()) << last;
    EXPECT_EQ("2001\tConnection Closed.\n", r.out()) << last;
  }

  // A keep-alive with a limit closes the connection; the peer's close ends it.
  PeerListener l;
  TavrelRun ka({"--timeout", "20", "SCRIPT"},
               "function cb(line, s, status) print(line, status) end "
               "local s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') "
               "cvn_old.KeepAlive(s, 20, 'ka\\r', 3)");
  Peer peer = l.accept();
  EXPECT_EQ("ka\rka\rka\r", peer.recv_n(9));
  EXPECT_TRUE(peer.sees_eof());
  EXPECT_EQ(-1, ka.wait(300));  // half-closed: the peer's close is still to come
  peer.close();
  EXPECT_EQ(0, ka.wait());
  EXPECT_EQ("Connection Closed.\t1\n", ka.out());
}

// A listener, or a console, can always be called again: they run on.
TEST(Tavrel, AServingScriptRunsOn) {
  std::uint16_t port = free_port();
  TavrelRun r({"--timeout", "1", "SCRIPT"},
              "local busy = cvn_old.Listen(" + std::to_string(port) + ", 'cb') "
              "local s, st = cvn_old.Listen(" + std::to_string(port) + ", 'cb') print('second', st)");
  EXPECT_EQ(124, r.wait(5000));  // the first listens; the second, which cannot bind, would not keep it
  EXPECT_EQ("second\t-3\n", r.out());
  TavrelRun failed({"SCRIPT"},
                   "local busy = cvn_old.Listen(" + std::to_string(port) + ", 'cb') "
                   "local s, st = cvn_old.Listen(" + std::to_string(port) + ", 'cb') cvn_old.CloseListen(busy)");
  EXPECT_EQ(0, failed.wait());
}

// Without --debug, one line on standard error for each likely mistake, naming
// the call, its socket, host and port; the plug-in's own texts and results are
// what they always were.
TEST(Tavrel, AScriptAuthorsLikelyMistakesAreToldWithoutDebug) {
  PeerListener l;
  const std::string port = std::to_string(l.port);
  TavrelRun r({"--timeout", "20", "SCRIPT"},
              "print(cvn_old.Open('127.0.0.1', " + port + ")) "  // the callback forgotten
              "local ls = cvn_old.Listen(0, print) "              // a function for a name
              "s = cvn_old.Open('127.0.0.1', " + port + ", 'OnDevcie') "
              "function OnDevice(line) print(line) end "
              "local t = cvn_old:Open('127.0.0.1', " + port + ", 'OnDevice') "  // read from the last: fine
              "tavrel.sleep(30)");
  Peer misspelt = l.accept();
  Peer fine = l.accept();
  misspelt.send("one\r\ntwo\r\n");
  fine.send("three\r\n");
  ASSERT_TRUE(wait_until([&] { return r.out().find("three\n") != std::string::npos; })) << r.out();
  ASSERT_TRUE(wait_until([&] { return r.err().find("OnDevcie\" is not") != std::string::npos; })) << r.err();
  kill(r.pid, SIGTERM);
  EXPECT_EQ(143, r.wait());
  EXPECT_EQ("Lookup failed: : Host not found (11001)\nnil\t-1\nthree\n", r.out());
  const std::string err = r.err();
  EXPECT_NE(std::string::npos,
            err.find("tavrel: Open(\"127.0.0.1\", " + port + "): too few arguments for Open(host, port, callback), "
                     "which reads the last 3: the host was missing, the port \"127.0.0.1\" and the callback " +
                     port + "\n"))
      << err;
  EXPECT_NE(std::string::npos, err.find("tavrel: Listen(0, function) socket ")) << err;
  EXPECT_NE(std::string::npos, err.find(": the callback is a function; Listen takes the name of the function")) << err;
  std::string misspelling = "tavrel: Open(\"127.0.0.1\", " + port + ", \"OnDevcie\") socket ";
  EXPECT_NE(std::string::npos, err.find(misspelling)) << err;
  EXPECT_EQ(err.find(misspelling), err.rfind(misspelling)) << "told once:\n" << err;
  EXPECT_NE(std::string::npos, err.find("\"OnDevcie\" is not a function, so nothing is called for its events\n"));
  EXPECT_EQ(std::string::npos, err.find("OnDevice")) << err;
  EXPECT_EQ(std::string::npos, err.find("[debug]")) << err;
}

// A host that is a number: its lookup is refused by the name service the test
// has (tests/offline.sh), never by a resolver somewhere.
TEST(Tavrel, ALookupOfAHostThatIsANumberIsTold) {
  if (!offline()) GTEST_SKIP() << kNeedsOffline;
  TavrelRun number({"SCRIPT"}, "print(cvn_old.Open(-1, 80, 'cb'))");
  EXPECT_EQ(0, number.wait());
  EXPECT_EQ("Lookup failed: : Host not found (11001)\nnil\t-1\n", number.out());
  EXPECT_EQ("tavrel: Open(-1, 80, \"cb\"): the host is a number, -1, and was not found; a host is a text, a name "
            "or a dotted address such as \"192.168.1.70\"\n",
            number.err());
}

// --debug shows the plug-in's debugger lines as they are, and marks the ones every
// normal run has.
TEST(Tavrel, DebugMarksTheNormalLinesOfAGracefulClose) {
  PeerListener l;
  const std::string port = std::to_string(l.port);
  TavrelRun r({"--debug", "--timeout", "20", "SCRIPT"},
              "function OnLine(line, s, status) if status == 0 then cvn_old.Close(s) end end "
              "local ls = cvn_old.Listen(0, 'OnListen') "
              "a = cvn_old.Open('127.0.0.1', " + port + ", 'OnLine') "
              "b = cvn_old.Open('127.0.0.1', " + port + ", 'OnDevcie')");
  Peer closed_by_script = l.accept();
  Peer misspelt = l.accept();
  closed_by_script.send("x\r\n");  // its callback closes it while this side stays open
  misspelt.send("y\r\n");
  ASSERT_TRUE(wait_until([&] {
    return r.err().find("nothing is called for its events") != std::string::npos &&
           r.err().find("a2 failed") != std::string::npos;
  })) << r.err();
  kill(r.pid, SIGTERM);  // the listener would keep it running; at the end it is closed
  EXPECT_EQ(143, r.wait());
  const std::string err = r.err();
  for (const char* line : {"[debug] a2 failed (normal: the peer had not closed its side yet)\n",
                           "[debug] a failed (normal: a listening socket, or a connection that had ended)\n",
                           "[debug] Callback \"OnDevcie\" of socket ", " is not a function; nothing is called\n",
                           "[debug] Loading "})
    EXPECT_NE(std::string::npos, err.find(line)) << line << "\n" << err;
}

// --debug at the console: the debugger lines, the console's own output and its
// prompt share the terminal as without it.
TEST(Console, DebugLinesShowAboveThePrompt) {
  PeerListener l;
  Terminal term({CVN_TAVREL_PATH, "--debug", "-i"});
  ASSERT_TRUE(term.expect("[debug] Loading ")) << term.seen;
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  term.type("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'OnDevcie')\r");
  Peer peer = l.accept();
  ASSERT_TRUE(term.expect("> ")) << term.seen;
  peer.send("hello\r\n");
  EXPECT_TRUE(term.expect("\"OnDevcie\" is not a function, so nothing is called for its events")) << term.seen;
  EXPECT_TRUE(term.expect("[debug] Callback \"OnDevcie\" of socket")) << term.seen;
  term.type("print(6 * 7)\r");
  EXPECT_TRUE(term.expect("42\r\n")) << term.seen;
  EXPECT_TRUE(term.expect("> ")) << term.seen;
  term.type("\x04");
  EXPECT_EQ(0, term.wait(3000));
}
