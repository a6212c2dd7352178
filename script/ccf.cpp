// CCF validation and conversion to a sendir command line. Pure: tools and tests
// use it directly.
#include "ccf.h"

#include <cstdio>
#include <cstring>

namespace cvn {
namespace {

constexpr int kMinCount = 29;     // six groups
constexpr int kCountLimit = 1300;  // the space after the 260th group

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool ccf_validate(const char* text) {
  if (text == nullptr) return false;
  int count = 0;
  const char* p = text;
  for (;;) {
    for (int i = 0; i < 4; ++i)
      if (!is_hex(p[i])) return false;  // the terminator included
    p += 4;
    count += 4;
    if (*p == '\0') return count >= kMinCount;
    if (*p != ' ') return false;
    if (++count >= kCountLimit) return false;
    ++p;
  }
}

unsigned hex_word(const char* p) {
  unsigned v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = p[i];
    v *= 16;
    if (c >= '0' && c <= '9')
      v += static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v += static_cast<unsigned>(c - 'a' + 10);
    else
      v += static_cast<unsigned>(c - 'A' + 10);
  }
  return v;
}

int ccf_to_sendir(const char* ccf, std::int32_t module, std::int32_t connector,
                  std::int32_t repeat, std::uint16_t id, char* out, std::size_t cap) {
  if (!ccf_validate(ccf)) return -1;
  unsigned w = hex_word(ccf + 5);
  if (w == 0) return -1;
  unsigned frequency = ((41450 / w + 5) / 10) * 1000;
  unsigned once = hex_word(ccf + 10);
  int n = std::snprintf(out, cap, "sendir,%d:%d,%u,%u,%d,%u", module, connector,
                        static_cast<unsigned>(id), frequency, repeat, 2 * once + 1);
  std::size_t len = std::strlen(ccf);
  for (std::size_t at = 20; at + 4 <= len && n > 0 && static_cast<std::size_t>(n) < cap; at += 5)
    n += std::snprintf(out + n, cap - static_cast<std::size_t>(n), ",%u", hex_word(ccf + at));
  if (n < 0 || static_cast<std::size_t>(n) + 2 > cap) return -1;
  out[n++] = '\r';
  out[n] = '\0';
  return n;
}

}  // namespace cvn
