// What tavrel, gcsim and ccf2sendir share on their command lines: getopt_long's
// failures told in one wording, numbers and ports checked to their ranges, and the
// --version text. Every command-line error exits with status 2.
#pragma once

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef CVN_VERSION
#error "CVN_VERSION is set by the build"
#endif

namespace cvn::cli {

constexpr int kUsageStatus = 2;

// getopt_long returned '?' or ':' (the option string starts with ':'); says what
// was wrong with the option just read and returns kUsageStatus.
inline int option_error(const char* prog, char** argv, int c) {
  const char* arg = argv[optind - 1];
  std::string name;
  if (std::strncmp(arg, "--", 2) == 0) {
    name = arg;
    name = name.substr(0, name.find('='));
  } else {
    name = std::string("-") + static_cast<char>(optopt != 0 ? optopt : '?');
  }
  // "--opt=value" for an option without one: glibc's getopt_long says '?' with
  // optopt set, MinGW's ':'.
  bool valued = std::strchr(arg, '=') != nullptr && name.size() > 2;
  if (c == ':' && !valued)
    std::fprintf(stderr, "%s: option '%s' needs a value\n", prog, name.c_str());
  else if (valued && (c == ':' || optopt != 0))
    std::fprintf(stderr, "%s: option '%s' takes no value\n", prog, name.c_str());
  else
    std::fprintf(stderr, "%s: unknown option '%s'\n", prog, name.c_str());
  std::fprintf(stderr, "Try '%s --help' for more information.\n", prog);
  return kUsageStatus;
}

// A whole decimal number in [lo, hi], nothing else in the text.
inline bool parse_long(const char* text, long lo, long hi, long& out) {
  // strtol would also take leading blanks and a plus sign.
  if (text == nullptr || !((*text >= '0' && *text <= '9') || *text == '-')) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

// A TCP port, 1 to 65535; 0 too with `zero_ok` (any free port).
inline bool parse_port(const char* text, bool zero_ok, long& out) {
  return parse_long(text, zero_ok ? 0 : 1, 65535, out);
}

// A positive number of seconds (fractions allowed), at most a year.
inline bool parse_seconds(const char* text, double& out) {
  if (text == nullptr || !((*text >= '0' && *text <= '9') || *text == '.')) return false;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (*end != '\0' || !(v > 0) || v > 366.0 * 86400) return false;
  out = v;
  return true;
}

// --version's first lines, as GNU programs word them: the version, the copyright
// and the licence (the LICENSE file; the package's copyright file).
inline void print_version(const char* prog) {
  std::printf("%s (Corvane) %s\n"
              "Copyright (C) 2026 The Corvane developers\n"
              "License MIT <https://opensource.org/licenses/MIT>.\n"
              "This is free software: you are free to change and redistribute it.\n"
              "There is NO WARRANTY, to the extent permitted by law.\n",
              prog, CVN_VERSION);
}

}  // namespace cvn::cli
