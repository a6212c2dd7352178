// Explains why a CCF code would not be sent as it was meant: what makes the
// plug-in refuse it (GlobalCache_SendCCF prints "Incorrect CCF Pattarn" and
// returns -1), and what a gateway refuses or plays otherwise in the sendir
// command the plug-in makes of it. The plug-in's own rule is ccf_accepted
// (script/ccf.h); this only puts its verdict into words. Used by ccf2sendir.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::ccfcheck {

struct Problem {
  bool plugin;  // the plug-in refuses the code; otherwise a gateway does
  std::string text;
};

// The numbers given with the code: module, connector and repeat count.
struct SendArgs {
  long module = 1;
  long connector = 1;
  long repeat = 1;
};

// At most this many problems of one kind (groups, separators, durations) are
// listed one by one for a code; the rest are counted in one more line.
constexpr std::size_t kListed = 6;

// Every problem of the code, the plug-in's first. Empty: the plug-in sends it and
// a gateway plays it as asked. `code` may hold any bytes, zero bytes included.
std::vector<Problem> check(std::string_view code, const SendArgs& args);

// The code without the white space around it (spaces, tabs, line ends).
std::string_view trim(std::string_view code);
// That white space in words ("ends with a line end (\"\\r\\n\")"), or "" when
// there is none. The plug-in refuses a code with any.
std::string around(std::string_view code);

// Printable ASCII as it is; other bytes as C escapes (\t, \r, \n, \xNN).
std::string escaped(std::string_view text);

}  // namespace cvn::ccfcheck
