// tavrel's command line, the same for tavrel and tavrel.exe: the options, --help,
// --version, and the refusals of a wrong option (status 2).
#pragma once

#include <string>
#include <vector>

struct Options {
  std::string plugin;
  std::string script;       // a path, or "-" for standard input
  std::string script_text;  // the script read from standard input
  std::vector<std::string> args;
  double timeout = 0;
  bool debug = false;
  bool trace = false;
  bool console = false;
  bool info = false;
};

// Reads the command line and, for "-" or a script piped in, the script from
// standard input. False when the run ends here, with `status`: 0 after --help or
// --version, 2 for a wrong option, 1 when standard input cannot be read. Main
// thread, at the start.
bool parse_options(int argc, char** argv, Options& o, int& status);
