// The stand-in host as a user runs it: exit codes, script errors, reload.
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
