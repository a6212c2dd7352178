// CCF validation and conversion, and GlobalCache_SendCCF on the wire.
#include <cstring>

#include "../net/registry.h"
#include "../script/ccf_send.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

namespace {

const char* kExample = "0000 006D 0002 0000 0158 00AC 0016 0041";

std::string groups(int n, const char* word = "0010") {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::string(i == 1 ? "006D" : word);
  return s;
}

std::string convert(const std::string& ccf, int m = 1, int c = 1, int r = 1, std::uint16_t id = 0) {
  char out[kSendirCommandSize];
  int n = ccf_to_sendir(ccf.c_str(), m, c, r, id, out, sizeof out);
  return n < 0 ? "<rejected>" : std::string(out, static_cast<std::size_t>(n));
}

}  // namespace

TEST(Ccf, WorkedExampleComesOutByteForByte) {
  std::string line = convert(kExample, 1, 2, 3, 0);
  EXPECT_EQ("sendir,1:2,0,38000,3,5,344,172,22,65\r", line);
  EXPECT_EQ(37u, line.size());
}

TEST(Ccf, ValidatorBoundaries) {
  EXPECT_FALSE(ccf_validate(groups(5).c_str()));
  EXPECT_TRUE(ccf_validate(groups(6).c_str()));
  EXPECT_EQ(29u, groups(6).size());
  EXPECT_TRUE(ccf_validate(groups(260).c_str()));
  EXPECT_EQ(1299u, groups(260).size());
  EXPECT_FALSE(ccf_validate(groups(261).c_str()));
  std::string ok = groups(8);
  for (const std::string& bad : std::vector<std::string>{" " + ok, ok + " ", "0000  006D 0002 0000 0158 00AC 0016 0041",
                          "000 006D 0002 0000 0158 00AC 0016 0041 0000",
                          "00000 006D 0002 0000 0158 00AC 0016 0041", "0000\t006D 0002 0000 0158 00AC 0016",
                          ok + "\r", ok + "\n", "0000 006D 0002 0000 0158 00AC 0016 00G1", std::string()})
    EXPECT_FALSE(ccf_validate(bad.c_str())) << '[' << bad << ']';
  EXPECT_FALSE(ccf_validate(nullptr));
}

TEST(Ccf, CaseOfHexDigitsDoesNotMatter) {
  EXPECT_EQ(convert("0000 006d 0002 0000 0158 00ac 0016 0041"), convert("0000 006D 0002 0000 0158 00AC 0016 0041"));
  EXPECT_EQ(convert("0000 006d 0002 0000 0158 00Ac 0016 0041"), convert(kExample));
  EXPECT_EQ(0xABCDu, hex_word("aBcD"));
}

TEST(Ccf, FrequencyFieldFollowsTheIntegerFormula) {
  const std::pair<const char*, const char*> table[] = {
      {"0001", "4145000"}, {"0067", "40000"}, {"0068", "40000"}, {"006D", "38000"},
      {"0071", "37000"},   {"0073", "36000"}, {"2062", "1000"},  {"2063", "0"}, {"FFFF", "0"}};
  for (auto [word, freq] : table) {
    std::string ccf = std::string("0000 ") + word + " 0000 0000 0001 0002";
    std::string line = convert(ccf);
    EXPECT_EQ(std::string("sendir,1:1,0,") + freq + ",1,1,1,2\r", line) << word;
  }
  EXPECT_EQ("<rejected>", convert("0000 0000 0000 0000 0001 0002"));  // no carrier
}

TEST(Ccf, DurationWordsAreSentAsTheyAreWhateverTheCountsSay) {
  EXPECT_EQ("sendir,1:1,0,38000,1,1,1,2\r", convert("0000 006D 0000 0000 0001 0002"));
  EXPECT_EQ("sendir,1:1,0,38000,1,9,1,2,3\r", convert("0000 006D 0004 0009 0001 0002 0003"));
  EXPECT_EQ("sendir,-1:65535,65535,38000,-7,5,65535,0\r",
            convert("FFFF 006D 0002 0000 FFFF 0000", -1, 65535, -7, 65535));
  std::string longest = "0000 FFFF FFFF FFFF";
  for (int i = 4; i < 260; ++i) longest += " FFFF";
  std::string line = convert(longest, -2147483647 - 1, -2147483647 - 1, -2147483647 - 1, 65535);
  EXPECT_LT(line.size(), 1700u);
  EXPECT_EQ('\r', line.back());
}

TEST(Ccf, CounterWrapsAfter65535AndRejectedTextsTakeNoId) {
  char out[kSendirCommandSize];
  // Where the counter stands depends on earlier tests: find it from a conversion.
  ASSERT_GT(ccf_convert(kExample, 1, 1, 1, out, sizeof out), 0);
  unsigned start = static_cast<unsigned>(std::atoi(std::strchr(std::strchr(out, ',') + 1, ',') + 1));
  EXPECT_EQ(-1, ccf_convert("bad", 1, 1, 1, out, sizeof out));
  for (unsigned i = 1; i <= 65536; ++i) {
    ASSERT_GT(ccf_convert(kExample, 1, 1, 1, out, sizeof out), 0);
    unsigned id = static_cast<unsigned>(std::atoi(std::strchr(std::strchr(out, ',') + 1, ',') + 1));
    ASSERT_EQ((start + i) % 65536, id);
  }
}

class SendCcf : public ::testing::Test {
 protected:
  Plugin p;
};

TEST_F(SendCcf, TheGatewaySeesOneSendirLine) {
  PeerListener l;
  p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer gw = l.accept();
  EXPECT_EQ("0", p.run(std::string("return cvn_old.GlobalCache_SendCCF(s, '") + kExample + "', 1.9, 2, -1.9)"));
  std::string line = gw.recv_n(38, 500);
  ASSERT_GE(line.size(), 20u);
  EXPECT_EQ(0u, line.rfind("sendir,1:2,", 0)) << line;
  EXPECT_NE(std::string::npos, line.find(",38000,-1,5,344,172,22,65\r")) << line;
}

TEST_F(SendCcf, RejectedTextPrintsThePatternLineAndSendsNothing) {
  EXPECT_EQ("-1", p.run("return cvn_old.GlobalCache_SendCCF(3, '0000 006D', 1, 1, 1)"));
  EXPECT_EQ(std::vector<std::string>{"Incorrect CCF Pattarn\n"}, p.printed());
  p.clear_printed();
  EXPECT_EQ("-1", p.run("return cvn_old.GlobalCache_SendCCF(3, {}, 1, 1, 1)"));
  EXPECT_EQ("-1", p.run("return cvn_old.GlobalCache_SendCCF(3, 42, 1, 1, 1)"));
}

TEST_F(SendCcf, NonSocketPrintsThe10038LineAndUsesUpTheId) {
  PeerListener l;
  p.run("s = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb')");
  Peer gw = l.accept();
  auto id_of_next_send = [&] {
    p.run(std::string("cvn_old.GlobalCache_SendCCF(s, '") + kExample + "', 1, 1, 1)");
    std::string line;
    while (line.empty() || line.back() != '\r') {
      std::string c = gw.recv_n(1, 1000);
      if (c.empty()) break;
      line += c;
    }
    return std::atoi(line.c_str() + std::strlen("sendir,1:1,"));
  };
  int before = id_of_next_send();
  std::string call = std::string("return cvn_old.GlobalCache_SendCCF(987654, '") + kExample + "', 1, 1, 1)";
  EXPECT_EQ("-2", p.run(call));
  EXPECT_EQ(std::vector<std::string>{"WSAAsyncSelect failed: : Socket operation on non-socket (10038)"},
            p.printed());
  EXPECT_EQ((before + 2) % 65536, id_of_next_send());  // the failed send took an ID
}
