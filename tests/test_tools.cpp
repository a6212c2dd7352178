// gcsim on its own, ccf2sendir, and every example and the demo run against gcsim
// in each of its reply families.
#include <sys/stat.h>

#include <fstream>

#include "../cli/options.h"
#include "ccf.h"
#include "harness.h"
#include "offline.h"

using namespace cvn::test;

namespace {

// A tool run with standard output and error in one file.
struct Process : Child {
  explicit Process(std::vector<std::string> argv) : Child(std::move(argv), temp_dir() + "/out") {}
};

// A gcsim on a free loopback port, and a line-reading client for it.
struct Sim {
  std::uint16_t port = free_port();
  Process proc;
  explicit Sim(const std::string& family = "tagged")
      : proc({CVN_GCSIM_PATH, "--port", std::to_string(port), "--family", family, "--log"}) {
    EXPECT_TRUE(wait_until([&] { return proc.out().find("listening") != std::string::npos; }));
  }
};

constexpr const char* kFamilies[] = {"tagged", "bare", "legacy"};

struct Client {
  Peer peer;
  std::string buffered;
  explicit Client(std::uint16_t port) : peer(connect_to(port)) {}
  void send(const std::string& s) { peer.send(s + "\r"); }
  std::string line(int timeout_ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto at = buffered.find('\r');
      if (at != std::string::npos) {
        std::string l = buffered.substr(0, at);
        buffered.erase(0, at + 1);
        return l;
      }
      if (std::chrono::steady_clock::now() > end) return "<timeout>";
      buffered += peer.recv_n(1, 100);
    }
  }
};

std::string example(const char* name) { return std::string(CVN_SOURCE_DIR) + "/examples/" + name; }

}  // namespace

TEST(Gcsim, DevicesVersionAndUnknownCommands) {
  Sim sim;
  Client c(sim.port);
  c.send("getdevices");
  EXPECT_EQ("device,0,0 ETHERNET", c.line());
  EXPECT_EQ("device,1,3 IR", c.line());
  EXPECT_EQ("endlistdevices", c.line());
  c.send("getversion");
  EXPECT_EQ(0u, c.line().rfind("version,0,", 0));
  c.send("frobnicate");
  EXPECT_EQ("ERR_0:0,001", c.line());
}

TEST(Gcsim, SendirValidationReportsTheFirstFailingField) {
  Sim sim;
  Client c(sim.port);
  const std::pair<const char*, const char*> cases[] = {
      {"sendir,2:1,1,38000,1,1,10,20,30,40", "ERR_2:1,002"},
      {"sendir,1:4,1,38000,1,1,10,20,30,40", "ERR_1:4,003"},
      {"sendir,1:1,70000,38000,1,1,10,20,30,40", "ERR_1:1,004"},
      {"sendir,1:1,1,1000,1,1,10,20,30,40", "ERR_1:1,005"},
      {"sendir,1:1,1,38000,51,1,10,20,30,40", "ERR_1:1,006"},
      {"sendir,1:1,1,38000,1,2,10,20,30,40", "ERR_1:1,007"},
      {"sendir,1:1,1,38000,1,0,10,20,30,40", "ERR_1:1,007"},
      {"sendir,1:1,1,38000,1,1", "ERR_1:1,008"},
      {"sendir,1:1,1,38000,1,1,10,0,30,40", "ERR_1:1,009"},
      {"sendir,1:1,1,38000,1,1,10,20,30", "ERR_1:1,010"},
      {"sendir,1:1,1,38000,1,1,10,x,30,40", "ERR_1:1,017"},
      {"sendir,junk", "ERR_0:0,017"},
  };
  for (auto [cmd, reply] : cases) {
    c.send(cmd);
    EXPECT_EQ(reply, c.line()) << cmd;
  }
}

TEST(Gcsim, EachFamilyWordsItsVersionAndErrors) {
  const struct {
    const char* family;
    const char* version;
    const char* unknown;
    const char* bad_connector;
  } cases[] = {
      {"tagged", "version,0,3.0-gcsim", "ERR_0:0,001", "ERR_1:9,003"},
      {"bare", "3.0-gcsim", "ERR 001", "ERR IR003"},
      {"legacy", "version,0,3.0-gcsim", "unknowncommand,1", "unknowncommand,3"},
  };
  for (const auto& f : cases) {
    Sim sim(f.family);
    Client c(sim.port);
    c.send("getversion");
    EXPECT_EQ(f.version, c.line()) << f.family;
    c.send("frobnicate");
    EXPECT_EQ(f.unknown, c.line()) << f.family;
    c.send("sendir,1:9,1,38000,1,1,10,20,30,40");
    EXPECT_EQ(f.bad_connector, c.line()) << f.family;
  }
  Process bad({CVN_GCSIM_PATH, "--family", "nonesuch"});
  EXPECT_EQ(2, bad.wait());
}

TEST(Gcsim, AcceptsWhatThePluginMakesOfWellFormedCodes) {
  Sim sim;
  Client c(sim.port);
  const struct {
    const char* ccf;
    int repeat;
  } codes[] = {
      {"0000 006D 0002 0000 0158 00AC 0016 0041", 3},  // all once: offset 5 after 4 durations
      {"0000 006D 0000 0002 0158 00AC 0016 0041", 2},  // all repeat: offset 1
      {"0000 006D 0022 0002 0158 00AC 0016 0041", 1},  // announces 34 pairs, gives 2
      {"0000 0073 0001 0000 0158 00AC", 1},            // one burst pair, the shortest code
      {"0000 006D 0002 0002 0158 00AC 0016 0041 0016 0016 0016 0E6C", 2},
  };
  std::uint16_t id = 0;
  for (const auto& code : codes) {
    char out[cvn::kSendirCommandSize];
    int n = cvn::ccf_to_sendir(code.ccf, 1, 2, code.repeat, id, out, sizeof out);
    ASSERT_GT(n, 1) << code.ccf;
    c.send(std::string(out, static_cast<std::size_t>(n - 1)));  // without its CR
    EXPECT_EQ("completeir,1:2," + std::to_string(id), c.line()) << out;
    ++id;
  }
  EXPECT_NE(std::string::npos, sim.proc.out().find("offset 5 is past the last of 4 durations: no repeat part"))
      << sim.proc.out();
}

TEST(Gcsim, CompleteirComesWhenTheCodeHasBeenSentBusyAndStop) {
  Sim sim;
  Client a(sim.port), b(sim.port);
  // 38000 periods at 38 kHz: one second, and a short code on another connector.
  a.send("sendir,1:1,7,38000,1,1,9500,9500,9500,9500");
  b.send("sendir,1:2,8,38000,1,1,190,190,190,190");
  b.send("getversion");
  EXPECT_EQ(0u, b.line().rfind("version", 0));  // answered at once, before either completes
  EXPECT_EQ("completeir,1:2,8", b.line());      // different connectors run at the same time
  b.send("sendir,1:1,9,38000,1,1,190,190,190,190");
  EXPECT_EQ("busyIR,1:1,9", b.line());
  b.send("stopir,1:1");
  EXPECT_EQ("stopir,1:1", b.line());
  EXPECT_EQ("<timeout>", a.line(1300));  // stopped: no completeir for its originator
  a.send("sendir,1:3,10,38000,3,3,380,380,380,380");
  EXPECT_EQ("completeir,1:3,10", a.line());
  EXPECT_NE(std::string::npos, sim.proc.out().find("<- sendir,1:1,7,38000"));
}

TEST(Gcsim, AtMostEightConnections) {
  Sim sim;
  std::vector<Client> clients;
  for (int i = 0; i < 8; ++i) clients.emplace_back(sim.port);
  for (auto& c : clients) {
    c.send("getversion");
    EXPECT_EQ(0u, c.line().rfind("version", 0));
  }
  Client ninth(sim.port);
  EXPECT_TRUE(ninth.peer.sees_eof());
}

TEST(Ccf2sendir, PrintsTheLineAndRejectsBadCodes) {
  Process ok({CVN_CCF2SENDIR_PATH, "--connector", "2", "--repeat=2", "0000 006D 0001 0001 0158 00AC 0016 0041"});
  EXPECT_EQ(0, ok.wait());
  EXPECT_EQ("sendir,1:2,0,38000,2,3,344,172,22,65\n", ok.out());
  Process bad({CVN_CCF2SENDIR_PATH, "0000 006D"});
  EXPECT_EQ(1, bad.wait());
  EXPECT_EQ("ccf2sendir: code 1: plug-in: Incorrect CCF Pattarn: only 2 groups; a code has 6 to 260\n", bad.out());
}

// Codes one a line from files and standard input; each problem on a line of its
// own that names where the code came from; the status says whether any had one.
// A check takes each line as it is, white space and CR included.
TEST(Ccf2sendir, ChecksCodesFromFilesAndStandardInput) {
  std::string dir = temp_dir();
  std::ofstream(dir + "/codes") << "  0000 006D 0002 0000 0158 00AC 0016 0041 \r\n\n"
                                   "0000 006D 0022 0000 0158 00AC 0016 0041\n"
                                   "0000 006D 0002 0000 0158  00AC 0016 0041";
  Process check({CVN_CCF2SENDIR_PATH, "--check", "--file", dir + "/codes"});
  EXPECT_EQ(1, check.wait());
  EXPECT_EQ(dir + "/codes:1: plug-in: Incorrect CCF Pattarn: begins with 2 spaces\n" +
                dir + "/codes:1: plug-in: Incorrect CCF Pattarn: ends with white space with a line end (\" \\r\")\n" +
                dir + "/codes:3: gateway: words 2 and 3 announce 34 + 0 burst pairs (68 durations), but the code "
                      "has 4 durations\n" +
                dir + "/codes:4: plug-in: Incorrect CCF Pattarn: 2 spaces between groups 5 and 6 (character 25); "
                      "groups are separated by one space\n",
            check.out());
  // Converted from standard input, IDs counting up as the plug-in's do.
  Process piped({"/bin/sh", "-c", std::string("printf '0000 006D 0002 0000 0158 00AC 0016 0041\\n\\n"
                                              "0000 006D 0001 0001 0158 00AC 0016 0041\\n' | ") +
                                      CVN_CCF2SENDIR_PATH + " --id 65535"});
  EXPECT_EQ(0, piped.wait());
  EXPECT_EQ("sendir,1:1,65535,38000,1,5,344,172,22,65\nsendir,1:1,0,38000,1,3,344,172,22,65\n", piped.out());
}

// The code as a script would hand it over, with what a copy brings around it:
// --check refuses exactly what GlobalCache_SendCCF refuses; a conversion leaves
// the white space out and says so.
TEST(Ccf2sendir, CheckAgreesWithThePluginOnCodesAsCopied) {
  Plugin p;
  const std::string code = "0000 006D 0002 0000 0158 00AC 0016 0041";
  auto lua_text = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
    return out + "\"";
  };
  for (const std::string& copied : {code, " " + code, code + " ", code + "\n", code + "\r\n", "\t" + code, code + "\r"}) {
    // -1: refused; -2: sent, towards a number that names no socket.
    std::string status = p.run("return cvn_old.GlobalCache_SendCCF(-1, " + lua_text(copied) + ", 1, 1, 1)");
    Process check({CVN_CCF2SENDIR_PATH, "--check", copied});
    EXPECT_EQ(status == "-1" ? 1 : 0, check.wait()) << lua_text(copied) << " " << status << "\n" << check.out();
  }
  Process converted({CVN_CCF2SENDIR_PATH, code + "\r\n"});
  EXPECT_EQ(1, converted.wait());
  EXPECT_EQ("ccf2sendir: code 1: plug-in: Incorrect CCF Pattarn: the code ends with a line end (\"\\r\\n\"); "
            "converted here without that\nsendir,1:1,0,38000,1,5,344,172,22,65\n",
            converted.out());
}

// Garbage in, a clear word out: never a crash, a hang or a status of 0.
TEST(Ccf2sendir, BadInputGetsAClearMessageAndAStatus) {
  Process garbage({"/bin/sh", "-c", std::string("head -c 300000 /dev/urandom | ") + CVN_CCF2SENDIR_PATH + " >/dev/null"});
  EXPECT_EQ(1, garbage.wait(20000));
  Process endless({"/bin/sh", "-c", std::string("head -c 1000000 /dev/zero | ") + CVN_CCF2SENDIR_PATH});
  EXPECT_EQ(1, endless.wait(20000));
  EXPECT_EQ("stdin:1: longer than 65536 characters; not a CCF code\n", endless.out());
  Process missing({CVN_CCF2SENDIR_PATH, "--file", "/nonexistent/codes"});
  EXPECT_EQ(2, missing.wait());
  EXPECT_EQ("ccf2sendir: cannot open /nonexistent/codes: No such file or directory\n", missing.out());
  Process directory({CVN_CCF2SENDIR_PATH, "--file", "/"});
  EXPECT_EQ(2, directory.wait());
  EXPECT_NE(std::string::npos, directory.out().find("cannot read /: Is a directory")) << directory.out();
}

// Every program parses its command line alike: --opt=value and --opt value, help on
// standard output with status 0, --version, and status 2 with a word on what was wrong.
TEST(CommandLines, AreParsedAlikeAndTheirErrorsNamed) {
  for (const char* tool : {CVN_TAVREL_PATH, CVN_GCSIM_PATH, CVN_CCF2SENDIR_PATH}) {
    std::string name = std::string(tool).substr(std::string(tool).rfind('/') + 1);
    for (const char* help : {"-h", "--help"}) {
      Process p({tool, help});
      EXPECT_EQ(0, p.wait()) << name;
      EXPECT_EQ(0u, p.out().find("usage: " + name + " ")) << p.out();
    }
    Process version({tool, "--version"});
    EXPECT_EQ(0, version.wait()) << name;
    EXPECT_EQ(0u, version.out().find(name + " (Corvane) 1.0\n")) << version.out();
    Process unknown({tool, "--nonesuch=1"});
    EXPECT_EQ(2, unknown.wait());
    EXPECT_EQ(0u, unknown.out().find(name + ": unknown option '--nonesuch'\nTry '" + name + " --help'")) << unknown.out();
  }
  const std::pair<std::vector<std::string>, const char*> errors[] = {
      {{CVN_TAVREL_PATH, "--timeout"}, "tavrel: option '--timeout' needs a value"},
      {{CVN_TAVREL_PATH, "--timeout=soon", "x.lua"}, "tavrel: --timeout takes a positive number of seconds, not 'soon'"},
      {{CVN_TAVREL_PATH, "--debug=yes", "x.lua"}, "tavrel: option '--debug' takes no value"},
      {{CVN_GCSIM_PATH, "--port", "99999"}, "gcsim: --port takes a number from 1 to 65535 (0: any free port), not '99999'"},
      {{CVN_GCSIM_PATH, "--port=-1"}, "gcsim: --port takes a number from 1 to 65535 (0: any free port), not '-1'"},
      {{CVN_GCSIM_PATH, "--family"}, "gcsim: option '--family' needs a value"},
      {{CVN_GCSIM_PATH, "stray"}, "gcsim: unexpected argument 'stray'"},
      {{CVN_CCF2SENDIR_PATH, "--id=65536", "0000"}, "ccf2sendir: --id takes a number from 0 to 65535, not '65536'"},
      {{CVN_CCF2SENDIR_PATH, "-r"}, "ccf2sendir: option '-r' needs a value"},
  };
  for (const auto& [argv, message] : errors) {
    Process p(argv);
    EXPECT_EQ(2, p.wait()) << argv[1];
    EXPECT_EQ(0u, p.out().find(message)) << p.out();
  }
  Process timed({"/bin/sh", "-c", std::string("echo 'tavrel.sleep(60)' | ") + CVN_TAVREL_PATH +
                                      " --timeout=0.2 --plugin " CVN_BINARY_DIR "/libcorvane.so -"});
  EXPECT_EQ(124, timed.wait());
}

// getopt_long's failures as the C libraries report them: glibc says '?' for a
// value given to an option that takes none, MinGW's (the Windows programs')
// ':', as for a value missing; each is named for what it is.
TEST(CommandLines, OptionErrorsAreNamedWhicheverWayGetoptReportsThem) {
  const struct {
    const char* arg;
    int c;
    int optopt;
    const char* said;
  } cases[] = {
      {"--cr=1", '?', 256, "x: option '--cr' takes no value\n"},
      {"--cr=1", ':', 0, "x: option '--cr' takes no value\n"},
      {"--timeout", ':', 256, "x: option '--timeout' needs a value\n"},
      {"-r", ':', 'r', "x: option '-r' needs a value\n"},
      {"--nonesuch=1", '?', 0, "x: unknown option '--nonesuch'\n"},
      {"-q", '?', 'q', "x: unknown option '-q'\n"},
  };
  for (const auto& c : cases) {
    char prog[] = "x";
    std::string arg = c.arg;
    char* argv[] = {prog, arg.data(), nullptr};
    optind = 2;
    optopt = c.optopt;
    testing::internal::CaptureStderr();
    EXPECT_EQ(2, cvn::cli::option_error("x", argv, c.c));
    EXPECT_EQ(std::string(c.said) + "Try 'x --help' for more information.\n", testing::internal::GetCapturedStderr())
        << c.arg << " " << c.c;
  }
}

// A name for --bind is looked up; the address is what the simulator reports.
TEST(CommandLines, GcsimLooksUpTheNameItBindsTo) {
  if (!offline()) GTEST_SKIP() << kNeedsOffline;
  Process sim({CVN_GCSIM_PATH, "--bind=localhost", "--port=0"});
  EXPECT_TRUE(wait_until([&] { return sim.out().find("gcsim listening on 127.0.0.1:") == 0; })) << sim.out();
  Process nonesuch({CVN_GCSIM_PATH, "--bind", "nonesuch.invalid"});
  EXPECT_EQ(2, nonesuch.wait());
  EXPECT_EQ(0u, nonesuch.out().find("gcsim: cannot resolve --bind nonesuch.invalid: ")) << nonesuch.out();
}

TEST(Examples, EachRunsCleanlyAgainstEveryReplyFamily) {
  for (const char* family : kFamilies) {
    Sim sim(family);
    std::string port = std::to_string(sim.port);
    for (const char* name : {"ir_demo.lua", "ir_remote.lua", "line_client.lua", "keepalive.lua"}) {
      Process run({CVN_TAVREL_PATH, "--timeout", "20", example(name), "127.0.0.1", port});
      EXPECT_EQ(0, run.wait(25000)) << family << " " << name << "\n" << run.out();
    }
  }
}

TEST(Examples, ARefusalInAnyFamilyEndsTheRunAndIsNamed) {
  const std::pair<const char*, const char*> refusals[] = {
      {"tagged", "ERR_1:9,003"}, {"bare", "ERR IR003"}, {"legacy", "unknowncommand,3"}};
  for (auto [family, refusal] : refusals) {
    Sim sim(family);
    for (const char* name : {"ir_demo.lua", "ir_remote.lua"}) {  // connector 9 does not exist
      Process run({CVN_TAVREL_PATH, "--timeout", "20", example(name), "127.0.0.1", std::to_string(sim.port), "9"});
      EXPECT_EQ(1, run.wait(25000)) << family << " " << name << "\n" << run.out();
      EXPECT_NE(std::string::npos, run.out().find(std::string("refused (") + refusal + ")")) << run.out();
    }
  }
}

TEST(Examples, AWaitThatRunsOutSaysWhatItWaitedFor) {
  PeerListener silent;  // accepts and never answers
  Process run({CVN_TAVREL_PATH, "--timeout", "20", example("ir_demo.lua"), "127.0.0.1", std::to_string(silent.port)});
  Peer peer = silent.accept();
  EXPECT_EQ(1, run.wait(25000)) << run.out();
  EXPECT_NE(std::string::npos, run.out().find("gave up waiting for the answer to getversion after 3 s")) << run.out();
}

// Its own names, one of which no one has, where no lookup can leave the machine;
// elsewhere only a dotted address, which is never looked up.
TEST(Examples, LookupsNeedNoConnection) {
  std::vector<std::string> argv = {CVN_TAVREL_PATH, "--timeout", "20", example("lookups.lua")};
  if (!offline()) argv.push_back("127.1");
  Process lookups(argv);
  EXPECT_EQ(0, lookups.wait(25000));
  std::string out = lookups.out();
  EXPECT_NE(std::string::npos, out.find("Nslookup(\"127.1\") -> 127.0.0.1, 0")) << out;
  EXPECT_NE(std::string::npos, out.find("900150983cd24fb0d6963f7d28e17f72")) << out;
  if (!offline()) return;
  EXPECT_NE(std::string::npos, out.find("Nslookup(\"localhost\") -> 127.0.0.1, 0")) << out;
  EXPECT_NE(std::string::npos, out.find("Nslookup(\"no-such-host.invalid\") -> nil, -1")) << out;
}

TEST(Examples, TheReadmesScriptRunsCleanAgainstTheSimulator) {
  std::string readme = slurp(std::string(CVN_SOURCE_DIR) + "/README.md");
  auto start = readme.find("```lua\n");
  ASSERT_NE(std::string::npos, start);
  start += 7;
  std::string script = readme.substr(start, readme.find("```", start) - start);
  Sim sim;
  auto at = script.find("4998");
  ASSERT_NE(std::string::npos, at);
  script.replace(at, 4, std::to_string(sim.port));
  std::string path = temp_dir() + "/version.lua";
  std::ofstream(path) << script;
  Process run({CVN_TAVREL_PATH, "--timeout", "20", path});
  EXPECT_EQ(0, run.wait(25000)) << run.out();
  EXPECT_EQ("127.0.0.1 says: version,0,3.0-gcsim\nconnection closed\n", run.out());
}

// tools/demo.sh as the README's first command (tools/setup.sh) ends: the demo's
// transcript, and a status that is the demo's own.
TEST(Demo, ExitsWithTheDemosStatus) {
  const std::string demo = std::string(CVN_SOURCE_DIR) + "/tools/demo.sh";
  const std::string port = "GCSIM_PORT=" + std::to_string(free_port());
  Process good({"/usr/bin/env", port, "bash", demo, CVN_BINARY_DIR});
  EXPECT_EQ(0, good.wait(40000)) << good.out();
  for (const char* seen : {"<- completeir,1:1,0", "demo finished", "== what the gateway saw", "-> completeir,1:1,0"})
    EXPECT_NE(std::string::npos, good.out().find(seen)) << seen << "\n" << good.out();

  // A demo script that fails: its status comes through the simulator's shutdown.
  std::string dir = temp_dir();
  ASSERT_EQ(0, symlink(CVN_GCSIM_PATH, (dir + "/gcsim").c_str()));
  std::ofstream(dir + "/tavrel") << "#!/bin/sh\necho failing demo\nexit 3\n";
  chmod((dir + "/tavrel").c_str(), 0755);
  Process failing({"/usr/bin/env", port, "bash", demo, dir});
  EXPECT_EQ(3, failing.wait(40000)) << failing.out();
  EXPECT_NE(std::string::npos, failing.out().find("failing demo"));

  Process no_sim({"/usr/bin/env", port, "GCSIM_FAMILY=nonesuch", "bash", demo, CVN_BINARY_DIR});
  EXPECT_EQ(1, no_sim.wait(40000)) << no_sim.out();
}

// A script read from standard input has no place of its own: the examples then
// find gateway.lua under the current directory.
TEST(Examples, RunFromStandardInputTheyFindWhatTheyShare) {
  Sim sim;
  Process run({"/bin/sh", "-c", std::string("cd " CVN_SOURCE_DIR " && ") + CVN_TAVREL_PATH +
                                    " --timeout 20 - 127.0.0.1 " + std::to_string(sim.port) +
                                    " < examples/ir_remote.lua"});
  EXPECT_EQ(0, run.wait(25000)) << run.out();
  EXPECT_NE(std::string::npos, run.out().find("done: completeir")) << run.out();
}

TEST(Examples, LineServerServesSeveralClients) {
  Process wrong({CVN_TAVREL_PATH, "--timeout", "20", example("line_server.lua"), "70000"});
  EXPECT_EQ(1, wrong.wait());
  EXPECT_EQ("the port is a whole number from 1 to 65535, not 70000\n", wrong.out());
  std::uint16_t port = free_port();
  Process server({CVN_TAVREL_PATH, "--timeout", "20", example("line_server.lua"), std::to_string(port)});
  ASSERT_TRUE(wait_until([&] { return server.out().find("listening") != std::string::npos; }));
  Peer a = connect_to(port), b = connect_to(port);
  EXPECT_EQ("welcome\r\n", a.recv_n(9));
  EXPECT_EQ("welcome\r\n", b.recv_n(9));
  a.send("hello\r\n");
  EXPECT_EQ("echo: hello\r\n", a.recv_n(13));
  std::string told = b.recv_n(100, 300);
  EXPECT_NE(std::string::npos, told.find(" said hello\r\n")) << told;
  b.send("quit\r\n");
  EXPECT_TRUE(b.sees_eof());
  a.send("shutdown\r\n");
  EXPECT_EQ(0, server.wait());
}

// tavrel --trace in front of a gateway: what goes out and what comes back, on
// standard error; without it, nothing there.
TEST(Tavrel, TraceShowsTheTrafficWithAGateway) {
  Sim sim;
  std::string dir = temp_dir();
  std::ofstream(dir + "/t.lua") << "function cb(line, s, status) print(line) tavrel.exit(0) end "
                                   "s = cvn_old.Open('127.0.0.1', " << sim.port << ", 'cb') cvn_old.Send(s, 'getversion\\r')";
  const std::string at = " [";
  for (bool trace : {true, false}) {
    std::vector<std::string> argv = {CVN_TAVREL_PATH, "--timeout=20", dir + "/t.lua"};
    if (trace) argv.insert(argv.begin() + 1, "--trace");
    Child run(argv, dir + "/out", dir + "/err");
    EXPECT_EQ(0, run.wait(25000));
    EXPECT_EQ("version,0,3.0-gcsim\n", run.out());
    std::string err = run.err();
    if (!trace) {
      EXPECT_EQ("", err);
      continue;
    }
    for (const char* line : {" 127.0.0.1] -- connected to port ", " 127.0.0.1] -> getversion\\r\n",
                             " 127.0.0.1] <- version,0,3.0-gcsim\n"})
      EXPECT_NE(std::string::npos, err.find(line)) << line << "\n" << err;
  }
}
