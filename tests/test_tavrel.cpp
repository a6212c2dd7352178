// The stand-in host as a user runs it: exit codes, script errors, reload.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "harness.h"

extern char** environ;

using namespace cvn::test;

namespace {

struct TavrelRun {
  pid_t pid = -1;
  std::string out_path, err_path;
  int status = -1;

  TavrelRun(const std::vector<std::string>& args, const std::string& script_text) {
    char dir[] = "/tmp/cvn_tavrel_XXXXXX";
    std::string d = mkdtemp(dir);
    out_path = d + "/out";
    err_path = d + "/err";
    std::ofstream(d + "/s.lua") << script_text;
    std::vector<std::string> argv = {CVN_TAVREL_PATH};
    for (const auto& a : args) argv.push_back(a == "SCRIPT" ? d + "/s.lua" : a);
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
  }
  ~TavrelRun() {
    if (status == -1 && pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  int wait(int timeout_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  static std::string slurp(const std::string& p) {
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string out() const { return slurp(out_path); }
  std::string err() const { return slurp(err_path); }
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
