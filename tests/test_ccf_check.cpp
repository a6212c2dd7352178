// ccf2sendir's explanations: every code the plug-in refuses gets a reason, no code
// it accepts gets a plug-in reason, and each gateway refusal is named.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../script/ccf.h"
#include "../tools/ccf_check.h"

using cvn::ccfcheck::check;
using cvn::ccfcheck::Problem;
using cvn::ccfcheck::SendArgs;

namespace {

const std::string kExample = "0000 006D 0002 0000 0158 00AC 0016 0041";

bool plugin_refuses(const std::vector<Problem>& ps) {
  for (const auto& p : ps)
    if (p.plugin) return true;
  return false;
}

std::string joined(const std::vector<Problem>& ps) {
  std::string s;
  for (const auto& p : ps) s += (p.plugin ? "P: " : "G: ") + p.text + "\n";
  return s;
}

bool mentions(const std::vector<Problem>& ps, const std::string& text) {
  return joined(ps).find(text) != std::string::npos;
}

}  // namespace

// The explanation agrees with the plug-in's own validation on codes damaged in
// every way a hand or an editor damages them, and on random bytes.
TEST(CcfCheck, ARefusalAlwaysHasAReasonAndOnlyARefusal) {
  std::mt19937 rng(12345);
  const std::string alphabet = "0123456789abcdefABCDEF   \t\r\nG\x00\xff";
  std::vector<std::string> codes = {kExample, "", " ", "0000", kExample + " ", " " + kExample,
                                    "0000 0000 0002 0000 0158 00AC 0016 0041"};
  for (int i = 0; i < 20000; ++i) {
    std::string c = kExample;
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = rng() % (c.size() + 1);
      char ch = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0: c.insert(at, 1, ch); break;
        case 1: if (at < c.size()) c.erase(at, 1); break;
        default: if (at < c.size()) c[at] = ch; break;
      }
    }
    codes.push_back(c);
  }
  for (int i = 0; i < 2000; ++i) {
    std::string c(rng() % 64, '\0');
    for (auto& ch : c) ch = static_cast<char>(rng());
    codes.push_back(c);
  }
  for (const auto& c : codes) {
    bool accepted = c.find('\0') == std::string::npos && cvn::ccf_validate(c.c_str()) &&
                    cvn::hex_word(c.c_str() + 5) != 0;
    auto problems = check(c, SendArgs{});
    EXPECT_EQ(!accepted, plugin_refuses(problems)) << '[' << cvn::ccfcheck::escaped(c) << "]\n" << joined(problems);
    for (const auto& p : problems) EXPECT_FALSE(p.text.empty());
  }
}

TEST(CcfCheck, TheSlipsOfHandsAreNamed) {
  const std::pair<std::string, const char*> cases[] = {
      {"0000  006D 0002 0000 0158 00AC 0016 0041", "2 spaces between groups 1 and 2 (character 5)"},
      {"0000 006D\t0002 0000 0158 00AC 0016 0041", "a tab between groups 2 and 3"},
      {"0000 006D 0002 0000 0158 00AC 0016 0041\n", "ends with a line end (\"\\n\")"},
      {"0000 006D 0002 0000 0158 00AC 0016 0041\r\n", "ends with a line end (\"\\r\\n\")"},
      {"0000 006D 0002 0000 0158 00AC 0016 0041 \r", "ends with white space with a line end (\" \\r\")"},
      {" 0000 006D 0002 0000 0158 00AC 0016 0041", "begins with a space"},
      {"0000 006D 0002 0000 0158 00AC 016 0041", "group 7 (\"016\") has 3 characters, not 4"},
      {"0000 006D 0002 0000 0158 00AC 0016 00G1", "group 8 (\"00G1\") holds 'G', not a hex digit"},
      {"0000 006D", "only 2 groups; a code has 6 to 260"},
      {"0000 0000 0002 0000 0158 00AC 0016 0041", "frequency word (group 2) is 0000"},
      {std::string("0000 006D 0002 0000 0158 00AC 0016 00\0" "1", 39), "holds '\\x00'"},
  };
  for (const auto& [code, reason] : cases) {
    auto ps = check(code, SendArgs{});
    EXPECT_TRUE(plugin_refuses(ps)) << code;
    EXPECT_TRUE(mentions(ps, reason)) << reason << "\n" << joined(ps);
  }
  std::string many;
  for (int i = 0; i < 300; ++i) many += (i ? " " : "") + std::string("0016");
  EXPECT_TRUE(mentions(check(many, SendArgs{}), "300 groups; the plug-in takes at most 260"));
  // Garbage is summed up, not listed without end.
  std::string garbage(5000, 'x');
  for (std::size_t i = 3; i < garbage.size(); i += 4) garbage[i] = ' ';
  auto ps = check(garbage, SendArgs{});
  EXPECT_LE(ps.size(), 2 * cvn::ccfcheck::kListed + 3) << joined(ps);
  EXPECT_TRUE(mentions(ps, "more groups that are not four hex digits")) << joined(ps);
}

TEST(CcfCheck, WhatAGatewayRefusesIsNamedWithItsErrorCode) {
  const struct {
    std::string code;
    SendArgs args;
    const char* reason;
  } cases[] = {
      {"0000 006D 0022 0000 0158 00AC 0016 0041", {}, "announce 34 + 0 burst pairs (68 durations), but the code has 4"},
      {"0000 006D 0002 0000 0158 00AC 0016 0041 0016", {}, "an odd number of durations (5)"},
      {"0000 FFFF 0002 0000 0158 00AC 0016 0041", {}, "gives 0 Hz; a gateway takes 15000 to 500000 Hz (error 005)"},
      {"0000 0001 0002 0000 0158 00AC 0016 0041", {}, "gives 4145000 Hz"},
      {"5000 0073 0000 0001 0001 0001", {}, "word 0 is 5000, not 0000: not a raw code"},
      {kExample, {1, 1, 3}, "no repeat part (it would start at duration 5 of 4), so a repeat count of 3"},
      {"0000 006D 0001 0001 0158 0000 0016 0041", {}, "duration 2 (group 6) is 0000; a gateway takes 1 to 65535 (error 009)"},
      {"0000 006D 0000 0002 0158 00AC 0016 0041", {1, 1, 51}, "repeat count 51; a gateway takes 1 to 50 (error 006)"},
      {"0000 006D 0000 0002 0158 00AC 0016 0041", {1, 0, 1}, "connector 0; connectors are counted from 1"},
      {"0000 006D 0000 0002 0158 00AC 0016 0041", {1, 9, 1}, "connector 9; the gateways here have connectors 1 to 3"},
  };
  for (const auto& c : cases) {
    auto ps = check(c.code, c.args);
    EXPECT_FALSE(plugin_refuses(ps)) << c.code;
    EXPECT_TRUE(mentions(ps, c.reason)) << c.reason << "\n" << joined(ps);
  }
  // A sound code, once and with a repeat part, asked as it can be played: nothing.
  EXPECT_EQ("", joined(check(kExample, SendArgs{})));
  EXPECT_EQ("", joined(check("0000 006D 0001 0001 0158 00AC 0016 0041", {1, 2, 3})));
}

TEST(CcfCheck, TrimTakesOnlyTheWhiteSpaceAroundAndAroundSaysWhatItWas) {
  EXPECT_EQ(kExample, cvn::ccfcheck::trim(" \t" + kExample + " \r\n"));
  EXPECT_EQ("a  b", cvn::ccfcheck::trim("  a  b\n"));
  EXPECT_EQ("", cvn::ccfcheck::trim(" \t\r\n"));
  EXPECT_EQ("", cvn::ccfcheck::around(kExample));
  EXPECT_EQ("begins with a space", cvn::ccfcheck::around(" " + kExample));
  EXPECT_EQ("begins with a tab and ends with a line end (\"\\r\\n\")",
            cvn::ccfcheck::around("\t" + kExample + "\r\n"));
  EXPECT_EQ("is only 2 spaces", cvn::ccfcheck::around("  "));
}
