// ccf2sendir: prints the sendir line the plug-in sends for a CCF code, so script
// authors can see what a code becomes. Uses the plug-in's own conversion.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../script/ccf.h"

namespace {

void usage(FILE* to) {
  std::fputs(
      "usage: ccf2sendir [--module M] [--connector C] [--repeat R] [--id N] [--cr] \"CCF\"\n"
      "Prints the sendir command for a CCF (Pronto hex) code: groups of four hex\n"
      "digits separated by single spaces. Defaults: module 1, connector 1, repeat 1,\n"
      "ID 0. The line goes to standard output without its carriage return unless\n"
      "--cr is given. A code the plug-in would reject exits with status 1.\n",
      to);
}

bool integer(const char* text, long min, long max, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && out >= min && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  long module = 1, connector = 1, repeat = 1, id = 0;
  bool cr = false;
  const char* ccf = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    long* target = a == "--module" ? &module : a == "--connector" ? &connector
                 : a == "--repeat" ? &repeat : a == "--id" ? &id : nullptr;
    if (target && i + 1 < argc) {
      long lo = target == &id ? 0 : -2147483647L - 1, hi = target == &id ? 65535 : 2147483647L;
      if (!integer(argv[++i], lo, hi, *target)) {
        std::fprintf(stderr, "ccf2sendir: %s needs a whole number from %ld to %ld\n", a.c_str(), lo, hi);
        return 2;
      }
    } else if (a == "--cr") {
      cr = true;
    } else if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (ccf == nullptr && (a.empty() || a[0] != '-' || a.size() == 1)) {
      ccf = argv[i];
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (ccf == nullptr) {
    usage(stderr);
    return 2;
  }
  char out[cvn::kSendirCommandSize];
  int n = cvn::ccf_to_sendir(ccf, static_cast<std::int32_t>(module), static_cast<std::int32_t>(connector),
                             static_cast<std::int32_t>(repeat), static_cast<std::uint16_t>(id), out, sizeof out);
  if (n < 0) {
    std::fputs("Incorrect CCF Pattarn\n", stderr);
    return 1;
  }
  if (!cr) out[--n] = '\0';
  std::fwrite(out, 1, static_cast<std::size_t>(n), stdout);
  std::fputs(cr ? "" : "\n", stdout);
  return 0;
}
