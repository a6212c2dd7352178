// gcsim on its own, ccf2sendir, and every example and the demo run against gcsim.
#include "harness.h"

using namespace cvn::test;

namespace {

// A tool run with standard output and error in one file.
struct Process : Child {
  explicit Process(std::vector<std::string> argv) : Child(std::move(argv), temp_dir() + "/out") {}
};

// A gcsim on a free loopback port, and a line-reading client for it.
struct Sim {
  std::uint16_t port = free_port();
  Process proc{{CVN_GCSIM_PATH, "--port", std::to_string(port), "--log"}};
  Sim() { EXPECT_TRUE(wait_until([&] { return proc.out().find("listening") != std::string::npos; })); }
};

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
      {"sendir,1:1,1,38000,1,5,10,20,30,40", "ERR_1:1,007"},
      {"sendir,1:1,1,38000,1,1,10,20", "ERR_1:1,008"},
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
  Process ok({CVN_CCF2SENDIR_PATH, "--connector", "2", "--repeat", "3",
              "0000 006D 0002 0000 0158 00AC 0016 0041"});
  EXPECT_EQ(0, ok.wait());
  EXPECT_EQ("sendir,1:2,0,38000,3,5,344,172,22,65\n", ok.out());
  Process bad({CVN_CCF2SENDIR_PATH, "0000 006D"});
  EXPECT_EQ(1, bad.wait());
  EXPECT_EQ("Incorrect CCF Pattarn\n", bad.out());
}

TEST(Examples, EachRunsCleanlyAgainstTheSimulator) {
  Sim sim;
  std::string port = std::to_string(sim.port);
  for (const char* name : {"ir_demo.lua", "ir_remote.lua", "line_client.lua", "keepalive.lua"}) {
    Process run({CVN_TAVREL_PATH, "--timeout", "20", example(name), "127.0.0.1", port});
    EXPECT_EQ(0, run.wait(25000)) << name << "\n" << run.out();
  }
  Process lookups({CVN_TAVREL_PATH, "--timeout", "20", example("lookups.lua")});
  EXPECT_EQ(0, lookups.wait(25000));
  EXPECT_NE(std::string::npos, lookups.out().find("Nslookup(\"127.1\") -> 127.0.0.1, 0"));
  EXPECT_NE(std::string::npos, lookups.out().find("900150983cd24fb0d6963f7d28e17f72"));
}

TEST(Examples, LineServerServesSeveralClients) {
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

// tools/demo.sh, the last step of tools/setup.sh: a demo that went well exits 0,
// although the simulator it started ends by a signal.
TEST(Demo, ScriptExitsZeroAfterASuccessfulDemo) {
  std::string bin = CVN_TAVREL_PATH;
  bin.erase(bin.rfind('/'));
  Process demo({"/usr/bin/env", "GCSIM_PORT=" + std::to_string(free_port()),
                std::string(CVN_SOURCE_DIR) + "/tools/demo.sh", bin});
  EXPECT_EQ(0, demo.wait(40000)) << demo.out();
  EXPECT_NE(std::string::npos, demo.out().find("demo finished")) << demo.out();
}
