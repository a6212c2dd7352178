// Keeps the examples and the scripts shown in the documentation in the Lua that
// 5.0 and 5.1 share: the host the plug-in is made for runs its scripts on Lua 5.0,
// while tavrel and these tests run Debian's 5.1. A small tokenizer drops comments
// and texts and reports, by file and line, the forms only 5.1 has.
//
// What it cannot see: types and meanings. A string method reached another way
// (s.sub(s, 1), a local alias), string.byte with a third argument, a %f pattern or
// a table as gsub's replacement, and library calls that exist in both but behave
// differently pass unnoticed. A table method named like a string function (t:find())
// is reported although it is harmless; rename it. Running the script under a real
// Lua 5.0 remains the full check.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Token {
  std::string text;  // a name, a number, a punctuation mark, or "<text>" for a string
  int line;
};

struct Finding {
  int line;
  std::string what;
};

bool is_name_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The level of a long bracket "[", "="*n, "[" starting at `at`, or -1 when there is none.
int long_bracket_level(const std::string& s, std::size_t at) {
  if (at >= s.size() || s[at] != '[') return -1;
  std::size_t i = at + 1;
  while (i < s.size() && s[i] == '=') ++i;
  return i < s.size() && s[i] == '[' ? static_cast<int>(i - at - 1) : -1;
}

class Lexer {
 public:
  Lexer(const std::string& src, std::vector<Finding>& out) : s_(src), out_(out) {
    if (s_.compare(0, 1, "#") == 0) skip_to_line_end();  // a first line "#!..." is skipped by both
  }

  std::vector<Token> tokens() {
    std::vector<Token> toks;
    while (i_ < s_.size()) {
      char c = s_[i_];
      if (c == '\n') {
        ++line_;
        ++i_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++i_;
      } else if (s_.compare(i_, 2, "--") == 0) {
        i_ += 2;
        if (long_bracket_level(s_, i_) >= 0) long_text(); else skip_to_line_end();
      } else if (long_bracket_level(s_, i_) >= 0) {
        toks.push_back({"<text>", line_});
        long_text();
      } else if (c == '"' || c == '\'') {
        toks.push_back({"<text>", line_});
        quoted(c);
      } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                 (c == '.' && i_ + 1 < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_ + 1])))) {
        toks.push_back({number(), line_});
      } else if (is_name_start(c)) {
        std::size_t from = i_;
        while (i_ < s_.size() && is_name_char(s_[i_])) ++i_;
        toks.push_back({s_.substr(from, i_ - from), line_});
      } else {
        std::size_t n = 1;
        if (s_.compare(i_, 3, "...") == 0) n = 3;
        else if (s_.compare(i_, 2, "..") == 0 || s_.compare(i_, 2, "==") == 0 || s_.compare(i_, 2, "~=") == 0 ||
                 s_.compare(i_, 2, "<=") == 0 || s_.compare(i_, 2, ">=") == 0) n = 2;
        toks.push_back({s_.substr(i_, n), line_});
        i_ += n;
      }
    }
    return toks;
  }

 private:
  void skip_to_line_end() {
    while (i_ < s_.size() && s_[i_] != '\n') ++i_;
  }

  // A long text or comment from its opening bracket to its matching close.
  void long_text() {
    int level = long_bracket_level(s_, i_);
    if (level > 0) out_.push_back({line_, "a long bracket with '=' (Lua 5.0 knows only [[ ]])"});
    std::string close = "]" + std::string(level, '=') + "]";
    i_ += level + 2;
    for (; i_ < s_.size() && s_.compare(i_, close.size(), close) != 0; ++i_) {
      if (s_[i_] == '\n') ++line_;
      if (level == 0 && s_.compare(i_, 2, "[[") == 0)
        out_.push_back({line_, "[[ inside a long text or comment (Lua 5.0 nests them, 5.1 refuses)"});
    }
    i_ += close.size();
  }

  void quoted(char quote) {
    for (++i_; i_ < s_.size() && s_[i_] != quote && s_[i_] != '\n'; ++i_) {
      if (s_[i_] != '\\' || i_ + 1 >= s_.size()) continue;
      if (s_[++i_] == '\n') ++line_;
    }
    if (i_ < s_.size() && s_[i_] == quote) ++i_;
  }

  std::string number() {
    std::size_t from = i_;
    while (i_ < s_.size() &&
           (is_name_char(s_[i_]) || s_[i_] == '.' ||
            ((s_[i_] == '+' || s_[i_] == '-') && (s_[i_ - 1] == 'e' || s_[i_ - 1] == 'E'))))
      ++i_;
    std::string n = s_.substr(from, i_ - from);
    if (n.size() > 1 && n[0] == '0' && (n[1] == 'x' || n[1] == 'X'))
      out_.push_back({line_, "a hexadecimal number (Lua 5.0 reads only decimal ones)"});
    return n;
  }

  const std::string& s_;
  std::vector<Finding>& out_;
  std::size_t i_ = 0;
  int line_ = 1;
};

// The names of Lua 5.1's string functions: s:name() on a text works only there.
const std::set<std::string> kStringFunctions = {"byte", "char", "dump",   "find",  "format", "gfind", "gmatch",
                                                 "gsub", "len",  "lower", "match", "rep",    "reverse", "sub",
                                                 "upper"};

// Library names only one of the two has, or that mean different things in each.
const std::set<std::string> kLibraryOnlyOne = {
    "string.match", "string.gmatch", "string.reverse", "string.gfind", "math.fmod",      "math.mod",
    "math.modf",    "math.huge",     "math.cosh",      "math.sinh",    "math.tanh",      "table.maxn",
    "table.setn",   "coroutine.running"};
const std::set<std::string> kGlobalsOnlyOne = {"select", "require", "module", "package", "load", "newproxy",
                                                "collectgarbage"};

std::vector<Finding> check_lua(const std::string& source) {
  std::vector<Finding> out;
  std::vector<Token> t = Lexer(source, out).tokens();
  std::vector<std::set<std::string>> repeat_locals;  // the locals of each open repeat body
  auto text_at = [&](std::size_t k) { return k < t.size() ? t[k].text : std::string(); };
  for (std::size_t k = 0; k < t.size(); ++k) {
    const std::string& x = t[k].text;
    const int line = t[k].line;
    const std::string before = k > 0 ? t[k - 1].text : "";
    if (x == "#") out.push_back({line, "the length operator # (use table.getn or string.len)"});
    if (x == "%") out.push_back({line, "the % operator (use a - math.floor(a / b) * b)"});
    if (x == "...") out.push_back({line, "a vararg ... (Lua 5.0 has it only as the arg table; pass plain parameters)"});
    if (x == ":" && kStringFunctions.count(text_at(k + 1))) {
      const std::string f = "string." + text_at(k + 1);
      out.push_back({line, "a string method :" + text_at(k + 1) + " (Lua 5.0 texts have no methods; use " +
                               (kLibraryOnlyOne.count(f) ? std::string("string.find with captures") : f + "(s, ...)") +
                               ")"});
    }
    if (x == "." && k > 0 && kLibraryOnlyOne.count(before + "." + text_at(k + 1)))
      out.push_back({line, before + "." + text_at(k + 1) + " (not in both Lua 5.0 and 5.1)"});
    if (kGlobalsOnlyOne.count(x) && before != "." && before != ":")
      out.push_back({line, x + " (not in both Lua 5.0 and 5.1, or not alike)"});

    // Lua 5.0's until does not see the locals of the loop body; 5.1's does, so the
    // same name means a global in one and the local in the other.
    if (x == "repeat") repeat_locals.emplace_back();
    if (x == "local" && !repeat_locals.empty()) {
      std::size_t n = k + 1;
      if (text_at(n) == "function") ++n;
      for (; n < t.size() && is_name_start(t[n].text[0]); n += 2) {
        repeat_locals.back().insert(t[n].text);
        if (text_at(n + 1) != ",") break;
      }
    }
    if (x == "until" && !repeat_locals.empty()) {
      std::set<std::string> body = std::move(repeat_locals.back());
      repeat_locals.pop_back();
      for (std::size_t n = k + 1; n < t.size() && t[n].line == line; ++n)
        if (body.count(t[n].text) && t[n - 1].text != "." && t[n - 1].text != ":")
          out.push_back({line, "until tests " + t[n].text +
                                   ", a local of the loop body (Lua 5.0 reads the global; declare it before repeat)"});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Finding& a, const Finding& b) { return a.line < b.line; });
  return out;
}

std::string slurp_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A Markdown file with every line outside its ```lua blocks emptied, so that lines
// keep their numbers.
std::string lua_blocks(const std::string& markdown) {
  std::istringstream in(markdown);
  std::string line, out;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!inside && line == "```lua") {
      inside = true;
      line.clear();
    } else if (inside && line.rfind("```", 0) == 0) {
      inside = false;
    }
    out += (inside ? line : std::string()) + "\n";
  }
  return out;
}

std::string report(const std::string& name, const std::vector<Finding>& found) {
  std::string r;
  for (const Finding& f : found) r += name + ":" + std::to_string(f.line) + ": " + f.what + "\n";
  return r;
}

}  // namespace

TEST(LuaSubset, ExamplesAndDocumentedScriptsUseOnlyWhatLua50And51Share) {
  namespace fs = std::filesystem;
  const fs::path root = CVN_SOURCE_DIR;
  std::vector<fs::path> scripts = {root / "tests/wine/boundary.lua", root / "tests/wine/common.lua"};
  for (const auto& e : fs::directory_iterator(root / "tests/wine/checks")) scripts.push_back(e.path());
  std::vector<fs::path> docs = {root / "README.md"};
  for (const auto& e : fs::directory_iterator(root / "examples"))
    if (e.path().extension() == ".lua") scripts.push_back(e.path());
  for (const auto& e : fs::directory_iterator(root / "docs"))
    if (e.path().extension() == ".md") docs.push_back(e.path());
  ASSERT_GE(scripts.size(), 8u);
  std::sort(scripts.begin(), scripts.end());
  std::sort(docs.begin(), docs.end());

  std::string problems;
  for (const fs::path& p : scripts)
    problems += report(fs::relative(p, root).string(), check_lua(slurp_file(p)));
  for (const fs::path& p : docs)
    problems += report(fs::relative(p, root).string(), check_lua(lua_blocks(slurp_file(p))));
  EXPECT_EQ("", problems);
}

TEST(LuaSubset, EachFormOnlyLua51HasIsNamedWithItsLine) {
  const std::string script = R"lua(#!/usr/bin/env tavrel
local n = #list
local r = a % b
local function f(...) return ... end
if line:match("^ok") then print(s:sub(2)) end
local m = string.match(line, "x")
local k = math.fmod(7, 3) + select("#", 1)
repeat local line = next() until line == "end"
local hex = 0x1F
local s = [==[ level one ]==]
print("# % ... :match string.gmatch [==[ select") -- # % ... line:sub() select
--[[ a comment with # and [[ inside ]]
local fine = string.find(line, "^(%d+)$") .. table.getn(list) .. gw:send("x")
repeat local inner = 1 until done
)lua";
  std::vector<Finding> found = check_lua(script);
  std::vector<int> lines;
  for (const Finding& f : found) lines.push_back(f.line);
  EXPECT_EQ((std::vector<int>{2, 3, 4, 4, 5, 5, 6, 7, 7, 8, 9, 10, 12}), lines) << report("script", found);

  // Markdown: only the ```lua blocks count, and lines keep their numbers.
  EXPECT_EQ("", report("md", check_lua(lua_blocks("# Title\nuse `#t`\n```sh\necho $#\n```\n"))));
  std::vector<Finding> md = check_lua(lua_blocks("text #\n```lua\nprint(#t)\n```\n#\n"));
  ASSERT_EQ(1u, md.size());
  EXPECT_EQ(3, md[0].line);
}
