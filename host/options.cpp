// tavrel's command line (options.h): one option table, one --help and one set of
// refusals for tavrel and tavrel.exe; tavrel_os.h supplies the few lines of
// --help that differ between the platforms.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../cli/options.h"
#include "host_lua.h"
#include "tavrel_os.h"

namespace {

void print_usage() {
  std::printf(
      "usage: tavrel [OPTIONS] [SCRIPT.lua | -] [ARGS...]\n"
      "\n"
      "Loads a plug-in the way the home-automation host does, runs SCRIPT.lua in a\n"
      "fresh Lua state and serves the plug-in's events (callbacks) until one of:\n"
      "  - the script calls tavrel.exit(code) or os.exit(code);\n"
      "  - nothing is left that could call it back: its main chunk has returned and\n"
      "    it has no connection or listener, and no event is still to come (a script\n"
      "    that serves runs on; so does the console);\n"
      "%s"
      "The script is read from standard input when it is - or, without a script,\n"
      "when standard input is not a terminal.\n"
      "\n"
      "  -i, --interactive   a console after the script (the default without a script\n"
      "                      on a terminal): Ctrl-C stops the running line or clears\n"
      "                      the one being typed, %s quits, Tab completes names\n"
      "      --plugin PATH   plug-in to load (default: %s)\n"
      "      --timeout SECONDS  end the run after SECONDS (exit status 124)\n"
      "      --debug         show the plug-in's debugger lines on standard error,\n"
      "                      the ones every normal run has marked as normal\n"
      "      --trace         show every line each connection sends and receives,\n"
      "                      time-stamped, on standard error\n"
      "      --info          print the plug-in's name, version and description\n"
      "  -h, --help          this text\n"
      "  -v, --version       tavrel's version and licence, and its Lua's version\n"
      "\n"
      "in scripts:\n"
      "  tavrel.exit([code])   end the run once the running chunk or callback returns\n"
      "  os.exit([code])       end the run at once; the plug-in is still told\n"
      "  tavrel.sleep(seconds) wait; in the script's main chunk or a console line\n"
      "                        without holding the script lock, so callbacks run\n"
      "  tavrel.clock()        seconds since tavrel started, as a float\n"
      "  tavrel.atclose(fn)    call fn once the plug-in has been told the state\n"
      "                        closes (event 8), just before it is closed\n"
      "  tavrel.reload()       stop the running code and reload: the plug-in is told\n"
      "                        the state closes, and the script runs in a new state\n"
      "  arg                   the script's name (arg[0]) and its arguments\n"
      "\n"
      "A script's likely mistakes (a callback that names no function, too few\n"
      "arguments) are told on standard error, one line each, without --debug too.\n"
      "\n"
      "exit status:\n"
      "  the code given to tavrel.exit or os.exit;\n"
      "  0 when nothing is left to call the script back, or the console ends;\n"
      "  %s (\"interrupted!\" on standard error);\n"
      "  1 for an error in the script;\n"
      "  2 for a wrong option, or a plug-in that cannot be loaded or opened;\n"
      "  124 on time-out.\n",
      host_os::kHelpStops, host_os::kQuitKey, host_os::kHelpPlugin, host_os::kHelpInterrupted);
}

// Standard input, whole, as the script. False (with a message) when it cannot be read.
bool read_script(Options& o) {
  char buf[65536];
  for (;;) {
    std::size_t n = std::fread(buf, 1, sizeof buf, stdin);
    o.script_text.append(buf, n);
    if (n == sizeof buf) continue;
    if (!std::ferror(stdin)) return true;
    if (errno == EINTR) {
      std::clearerr(stdin);
      continue;
    }
    std::fprintf(stderr, "tavrel: cannot read the script from standard input: %s\n", std::strerror(errno));
    return false;
  }
}

}  // namespace

bool parse_options(int argc, char** argv, Options& o, int& status) {
  enum { kOptPlugin = 256, kOptTimeout, kOptDebug, kOptTrace, kOptInfo };
  const option longs[] = {{"interactive", no_argument, nullptr, 'i'},
                          {"plugin", required_argument, nullptr, kOptPlugin},
                          {"timeout", required_argument, nullptr, kOptTimeout},
                          {"debug", no_argument, nullptr, kOptDebug},
                          {"trace", no_argument, nullptr, kOptTrace},
                          {"info", no_argument, nullptr, kOptInfo},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  status = 0;
  opterr = 0;
  // "+": the options end at the script; what follows it is the script's.
  for (int c; (c = getopt_long(argc, argv, "+:ihv", longs, nullptr)) != -1;) {
    switch (c) {
      case 'i':
        o.console = true;
        break;
      case kOptPlugin:
        o.plugin = optarg;
        break;
      case kOptTimeout:
        if (!cvn::cli::parse_seconds(optarg, o.timeout)) {
          std::fprintf(stderr, "tavrel: --timeout takes a positive number of seconds, not '%s'\n", optarg);
          status = cvn::cli::kUsageStatus;
          return false;
        }
        break;
      case kOptDebug:
        o.debug = true;
        break;
      case kOptTrace:
        o.trace = true;
        break;
      case kOptInfo:
        o.info = true;
        break;
      case 'h':
        print_usage();
        return false;
      case 'v':
        cvn::cli::print_version("tavrel");
        std::printf("%s\n", host_lua_version());
        return false;
      default:
        status = cvn::cli::option_error("tavrel", argv, c);
        return false;
    }
  }
  int i = optind;
  if (i < argc) o.script = argv[i++];
  for (; i < argc; ++i) o.args.emplace_back(argv[i]);
  if (o.plugin.empty()) o.plugin = host_os::default_plugin();
  if (o.script.empty() && !o.info && !o.console) {
    if (host_os::stdin_is_terminal())
      o.console = true;
    else
      o.script = "-";  // a script piped in, as the stand-alone interpreter reads one
  }
  if (o.script == "-" && !o.info && !read_script(o)) {
    status = 1;
    return false;
  }
  return true;
}
