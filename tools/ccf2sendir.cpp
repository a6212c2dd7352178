// ccf2sendir: prints the sendir line the plug-in sends for each CCF code and says
// why a code would be refused, by the plug-in or by a gateway; --check only says
// why. Codes come from the arguments, from files or from standard input, one a
// line. Uses the plug-in's own conversion. The same source on POSIX and Windows
// (tool_os.h), with the same output to the byte.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../script/ccf.h"
#include "ccf_check.h"
#include "../cli/options.h"
#include "tool_os.h"

namespace {

using cvn::ccfcheck::Problem;

constexpr const char* kUsage =
    "usage: ccf2sendir [OPTIONS] [\"CCF\"...]\n"
    "Prints the sendir command the plug-in makes of each CCF (Pronto hex) code:\n"
    "groups of four hex digits separated by single spaces. Codes come from the\n"
    "arguments, from --file, or else from standard input, one a line. Every reason\n"
    "the plug-in (\"Incorrect CCF Pattarn\") or a gateway would refuse a code is told\n"
    "on standard error, one line each; white space around a code (spaces, a line\n"
    "end) is one, and is left out for the conversion.\n"
    "\n"
    "  -m, --module M      module number (default 1)\n"
    "  -c, --connector C   connector number (default 1)\n"
    "  -r, --repeat R      repeat count (default 1)\n"
    "      --id N          ID of the first command, 0-65535 (default 0); the next\n"
    "                      code takes the next ID, as in the plug-in\n"
    "      --cr            end each line with its carriage return, as sent\n"
    "  -f, --file FILE     read codes from FILE, one a line (- for standard input)\n"
    "      --check         print only the problems, on standard output; the code\n"
    "                      is taken exactly as given, as the plug-in takes it\n"
    "  -h, --help          this text\n"
    "  -v, --version       the program's version and licence\n"
    "\n"
    "Exit status: 0 every code is sent as asked, 1 some code has a problem,\n"
    "2 a wrong option or a file that cannot be read.\n";

// Longer lines are not read whole: no CCF code comes near this.
constexpr std::size_t kMaxLine = 65536;

struct Run {
  cvn::ccfcheck::SendArgs send;
  long id = 0;
  bool cr = false;
  bool check = false;
  int status = 0;
};

// One code: its problems, then (unless checking) its sendir line. A check takes
// the code exactly as given, as GlobalCache_SendCCF would; a conversion takes it
// without the white space around it, and says that the plug-in would not.
void handle(Run& r, std::string_view raw, const std::string& where) {
  FILE* to = r.check ? stdout : stderr;
  std::string code(r.check ? raw : cvn::ccfcheck::trim(raw));
  if (code.size() != raw.size()) {
    std::fprintf(to, "%s: plug-in: Incorrect CCF Pattarn: the code %s; converted here without that\n", where.c_str(),
                 cvn::ccfcheck::around(raw).c_str());
    r.status = 1;
  }
  std::vector<Problem> problems = cvn::ccfcheck::check(code, r.send);
  bool refused = false;
  for (const Problem& p : problems) {
    std::fprintf(to, "%s: %s%s\n", where.c_str(), p.plugin ? "plug-in: Incorrect CCF Pattarn: " : "gateway: ",
                 p.text.c_str());
    refused = refused || p.plugin;
  }
  if (!problems.empty()) r.status = 1;
  if (r.check || refused) return;
  char out[cvn::kSendirCommandSize];
  int n = cvn::ccf_to_sendir(code.c_str(), static_cast<std::int32_t>(r.send.module),
                             static_cast<std::int32_t>(r.send.connector), static_cast<std::int32_t>(r.send.repeat),
                             static_cast<std::uint16_t>(r.id), out, sizeof out);
  r.id = (r.id + 1) & 0xFFFF;
  if (n <= 0) return;  // cannot happen for a code check() passes
  if (!r.cr) out[--n] = '\0';
  std::fwrite(out, 1, static_cast<std::size_t>(n), stdout);
  if (!r.cr) std::fputc('\n', stdout);
}

// Codes one a line; blank lines are skipped. False when the stream cannot be read.
bool read_codes(Run& r, FILE* f, const std::string& name) {
  std::string line;
  std::size_t number = 0;
  bool overlong = false;
  auto finish_line = [&] {
    ++number;
    std::string where = name + ":" + std::to_string(number);
    if (overlong) {
      std::fprintf(r.check ? stdout : stderr, "%s: longer than %zu characters; not a CCF code\n", where.c_str(),
                   kMaxLine);
      r.status = 1;
    } else if (!cvn::ccfcheck::trim(line).empty()) {
      handle(r, line, where);
    }
    line.clear();
    overlong = false;
  };
  for (int c; (c = std::getc(f)) != EOF;) {
    if (c == '\n')
      finish_line();
    else if (line.size() < kMaxLine)
      line += static_cast<char>(c);
    else
      overlong = true;
  }
  if (std::ferror(f)) {
    std::fprintf(stderr, "ccf2sendir: cannot read %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
  }
  if (!line.empty() || overlong) finish_line();
  return true;
}

bool read_file(Run& r, const std::string& path) {
  if (path == "-") return read_codes(r, stdin, "stdin");
  // POSIX opens a directory and fails to read it; Windows fails to open it.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR) {
    std::fprintf(stderr, "ccf2sendir: cannot read %s: %s\n", path.c_str(), std::strerror(EISDIR));
    return false;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "ccf2sendir: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = read_codes(r, f, path);
  std::fclose(f);
  return ok;
}

int usage_error(const char* text, const char* value) {
  std::fprintf(stderr, "ccf2sendir: %s, not '%s'\nTry 'ccf2sendir --help' for more information.\n", text, value);
  return cvn::cli::kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
  cvn::tools::start_streams();
  Run r;
  std::vector<std::string> files;
  enum { kOptId = 256, kOptCr, kOptCheck };
  const option longs[] = {{"module", required_argument, nullptr, 'm'},
                          {"connector", required_argument, nullptr, 'c'},
                          {"repeat", required_argument, nullptr, 'r'},
                          {"id", required_argument, nullptr, kOptId},
                          {"cr", no_argument, nullptr, kOptCr},
                          {"file", required_argument, nullptr, 'f'},
                          {"check", no_argument, nullptr, kOptCheck},
                          {"help", no_argument, nullptr, 'h'},
                          {"version", no_argument, nullptr, 'v'},
                          {nullptr, 0, nullptr, 0}};
  constexpr long kMin32 = -2147483647L - 1, kMax32 = 2147483647L;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":m:c:r:f:hv", longs, nullptr)) != -1;) {
    switch (c) {
      case 'm':
        if (!cvn::cli::parse_long(optarg, kMin32, kMax32, r.send.module))
          return usage_error("--module takes a whole number", optarg);
        break;
      case 'c':
        if (!cvn::cli::parse_long(optarg, kMin32, kMax32, r.send.connector))
          return usage_error("--connector takes a whole number", optarg);
        break;
      case 'r':
        if (!cvn::cli::parse_long(optarg, kMin32, kMax32, r.send.repeat))
          return usage_error("--repeat takes a whole number", optarg);
        break;
      case kOptId:
        if (!cvn::cli::parse_long(optarg, 0, 65535, r.id)) return usage_error("--id takes a number from 0 to 65535", optarg);
        break;
      case kOptCr:
        r.cr = true;
        break;
      case 'f':
        files.emplace_back(optarg);
        break;
      case kOptCheck:
        r.check = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case 'v':
        cvn::cli::print_version("ccf2sendir");
        return 0;
      default:
        return cvn::cli::option_error("ccf2sendir", argv, c);
    }
  }
  if (optind == argc && files.empty()) {
    if (cvn::tools::stdin_is_terminal()) {
      std::fputs("ccf2sendir: no code given\nTry 'ccf2sendir --help' for more information.\n", stderr);
      return cvn::cli::kUsageStatus;
    }
    files.emplace_back("-");
  }
  for (int i = optind; i < argc; ++i) handle(r, argv[i], "ccf2sendir: code " + std::to_string(i - optind + 1));
  bool read_all = true;
  for (const auto& f : files) read_all = read_file(r, f) && read_all;
  std::fflush(stdout);
  return read_all ? r.status : cvn::cli::kUsageStatus;
}
