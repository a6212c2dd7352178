// CCF codes put into words: the shape the plug-in insists on, told group by group
// and gap by gap, and the sendir fields a gateway checks (gateway_limits.h).
#include "ccf_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../net/escape.h"
#include "../script/ccf.h"
#include "gateway_limits.h"

namespace cvn::ccfcheck {
namespace {

constexpr std::size_t kShownGroup = 12;  // characters of a bad group quoted

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool is_line_end(char c) { return c == '\r' || c == '\n'; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// Collects the problems of one kind, listing the first kListed.
struct Listing {
  std::vector<std::string> lines;
  std::size_t more = 0;
  void add(std::string line) {
    if (lines.size() < kListed)
      lines.push_back(std::move(line));
    else
      ++more;
  }
  void append_to(std::vector<Problem>& out, bool plugin, const char* what) const {
    for (const auto& l : lines) out.push_back({plugin, l});
    if (more > 0) out.push_back({plugin, format("and %zu more %s", more, what)});
  }
};

// White space as a script author sees it: spaces, a tab, a line end (what a
// copy from a document or a line read from a file brings along).
std::string describe_gap(std::string_view run) {
  if (run.find_first_not_of(' ') == std::string_view::npos)
    return run.size() == 1 ? "a space" : format("%zu spaces", run.size());
  if (run == "\t") return "a tab";
  bool line_end = false, only_line_ends = true;
  for (char c : run) {
    line_end = line_end || is_line_end(c);
    only_line_ends = only_line_ends && is_line_end(c);
  }
  if (only_line_ends) return "a line end (\"" + escaped(run) + "\")";
  return (line_end ? "white space with a line end (\"" : "white space (\"") + escaped(run) + "\")";
}

// The shape problems: groups of four hex digits, one space between groups, 6 to
// 260 groups, a frequency word that is not 0000.
std::vector<Problem> shape(std::string_view s) {
  std::vector<Problem> out;
  if (s.empty()) {
    out.push_back({true, "the code is empty"});
    return out;
  }
  Listing gaps, groups;
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t j = i;
    if (is_space(s[i])) {
      while (j < s.size() && is_space(s[j])) ++j;
      std::string_view run = s.substr(i, j - i);
      if (i == 0)
        gaps.add("begins with " + describe_gap(run));
      else if (j == s.size())
        gaps.add("ends with " + describe_gap(run));
      else if (run != " ")
        gaps.add(format("%s between groups %zu and %zu (character %zu); groups are separated by one space",
                        describe_gap(run).c_str(), count, count + 1, i + 1));
    } else {
      while (j < s.size() && !is_space(s[j])) ++j;
      ++count;
      std::string_view g = s.substr(i, j - i);
      std::size_t bad = 0;
      while (bad < g.size() && ccf_is_hex(g[bad])) ++bad;
      std::string shown = escaped(g.substr(0, kShownGroup)) + (g.size() > kShownGroup ? "..." : "");
      std::string what;
      if (g.size() != kCcfGroupDigits) what = format("has %zu characters, not %zu", g.size(), kCcfGroupDigits);
      if (bad < g.size())
        what += (what.empty() ? "holds '" : ", and holds '") + escaped(g.substr(bad, 1)) + "', not a hex digit";
      if (!what.empty()) groups.add(format("group %zu (\"%s\") %s", count, shown.c_str(), what.c_str()));
    }
    i = j;
  }
  groups.append_to(out, true, "groups that are not four hex digits");
  gaps.append_to(out, true, "gaps that are not one space");
  if (count < kCcfMinGroups)
    out.push_back({true, format("only %zu group%s; a code has %zu to %zu", count, count == 1 ? "" : "s",
                                kCcfMinGroups, kCcfMaxGroups)});
  if (count > kCcfMaxGroups)
    out.push_back({true, format("%zu groups; the plug-in takes at most %zu", count, kCcfMaxGroups)});
  if (out.empty() && ccf_word(s.data(), kCcfFrequencyGroup) == 0)
    out.push_back({true, "the frequency word (group 2) is 0000, which gives no carrier frequency"});
  return out;
}

// What a gateway makes of the sendir command of a code the plug-in accepts.
std::vector<Problem> gateway(const std::string& code, const SendArgs& a) {
  namespace gw = cvn::gateway;
  std::vector<Problem> out;
  auto add = [&](std::string text) { out.push_back({false, std::move(text)}); };
  std::size_t groups = (code.size() + 1) / (kCcfGroupDigits + 1);
  auto word = [&](std::size_t k) { return ccf_word(code.c_str(), k); };
  std::size_t durations = groups - kCcfHeaderGroups;
  unsigned w0 = word(0), w1 = word(kCcfFrequencyGroup), once = word(kCcfOnceGroup);
  unsigned repeat_pairs = word(kCcfRepeatGroup);
  unsigned long frequency = ccf_frequency(w1);
  unsigned long offset = ccf_repeat_offset(once);

  if (w0 != 0)
    add(format("word 0 is %04X, not 0000: not a raw code, so its words are not burst durations and a "
               "gateway would send something else; convert it to a raw (0000) code first", w0));
  if (frequency < gw::kMinFrequency || frequency > gw::kMaxFrequency)
    add(format("the frequency word %04X gives %lu Hz; a gateway takes %lu to %lu Hz (error %03d)", w1,
               frequency, gw::kMinFrequency, gw::kMaxFrequency, gw::kErrFrequency));
  if (durations % 2 != 0)
    add(format("an odd number of durations (%zu); each burst pair is an on time and an off time (error %03d)",
               durations, gw::kErrOddDurations));
  if (2ul * (once + repeat_pairs) != durations)
    add(format("words 2 and 3 announce %u + %u burst pairs (%lu durations), but the code has %zu durations",
               once, repeat_pairs, 2ul * (once + repeat_pairs), durations));
  Listing zeros;
  for (std::size_t k = kCcfHeaderGroups; k < groups; ++k)
    if (word(k) < gw::kMinDuration)
      zeros.add(format("duration %zu (group %zu) is 0000; a gateway takes %lu to %lu (error %03d)", k - kCcfHeaderGroups + 1, k + 1,
                       gw::kMinDuration, gw::kMaxDuration, gw::kErrDuration));
  zeros.append_to(out, false, "durations of 0000");
  // An offset inside the durations is never past the gateway's limit (kMaxOffset,
  // gateway_limits.h); one past them means there is no repeat part.
  if (offset > durations && a.repeat > 1)
    add(format("there is no repeat part (it would start at duration %lu of %zu), so a repeat count of %ld "
               "sends the code once", offset, durations, a.repeat));
  if (a.repeat < static_cast<long>(gw::kMinRepeat) || a.repeat > static_cast<long>(gw::kMaxRepeat))
    add(format("repeat count %ld; a gateway takes %lu to %lu (error %03d)", a.repeat, gw::kMinRepeat,
               gw::kMaxRepeat, gw::kErrRepeat));
  if (a.module < 1) add(format("module %ld; modules are counted from 1 (error %03d)", a.module, gw::kErrModule));
  if (a.connector < 1)
    add(format("connector %ld; connectors are counted from 1 (error %03d)", a.connector, gw::kErrConnector));
  else if (static_cast<unsigned long>(a.connector) > gw::kConnectors)
    add(format("connector %ld; the gateways here have connectors 1 to %lu (error %03d)", a.connector,
               gw::kConnectors, gw::kErrConnector));
  return out;
}

}  // namespace

std::string_view trim(std::string_view code) {
  std::size_t b = 0, e = code.size();
  while (b < e && is_space(code[b])) ++b;
  while (e > b && is_space(code[e - 1])) --e;
  return code.substr(b, e - b);
}

std::string around(std::string_view code) {
  std::string_view kept = trim(code);
  if (kept.size() == code.size()) return "";
  if (kept.empty()) return "is only " + describe_gap(code);
  std::size_t b = static_cast<std::size_t>(kept.data() - code.data());
  std::size_t e = b + kept.size();
  std::string begins = b > 0 ? "begins with " + describe_gap(code.substr(0, b)) : "";
  std::string ends = e < code.size() ? "ends with " + describe_gap(code.substr(e)) : "";
  return begins + (!begins.empty() && !ends.empty() ? " and " : "") + ends;
}

std::string escaped(std::string_view text) {
  std::string out;
  char e[4];
  for (char ch : text) out.append(e, escape_byte(static_cast<unsigned char>(ch), e, '"'));
  return out;
}

std::vector<Problem> check(std::string_view code, const SendArgs& args) {
  std::vector<Problem> problems = shape(code);
  if (!problems.empty()) return problems;
  // The plug-in's verdict is its own validation's; shape() only words it. (A zero
  // byte, which would end the text the plug-in sees, is a bad group there.)
  std::string text(code);
  if (!ccf_accepted(text.c_str()))
    return {{true, "not groups of four hex digits separated by single spaces"}};
  return gateway(text, args);
}

}  // namespace cvn::ccfcheck
