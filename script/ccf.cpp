// CCF validation and conversion to a sendir command line. Pure: tools and tests
// use it directly.
#include "ccf.h"

#include <cstdio>
#include <cstring>

namespace cvn {
namespace {

// The running count of the validator: a code of n groups ends at 5n - 1
// characters, and the space after the 260th group would be the 1300th.
constexpr std::size_t kMinCount = ccf_length(kCcfMinGroups);
constexpr std::size_t kCountLimit = ccf_length(kCcfMaxGroups) + 1;
static_assert(kMinCount == 29 && kCountLimit == 1300, "6 to 260 groups");

}  // namespace

bool ccf_validate(const char* text) {
  if (text == nullptr) return false;
  std::size_t count = 0;
  const char* p = text;
  for (;;) {
    for (std::size_t i = 0; i < kCcfGroupDigits; ++i)
      if (!ccf_is_hex(p[i])) return false;  // the terminator included
    p += kCcfGroupDigits;
    count += kCcfGroupDigits;
    if (*p == '\0') return count >= kMinCount;
    if (*p != ' ') return false;
    if (++count >= kCountLimit) return false;
    ++p;
  }
}

unsigned hex_word(const char* p) {
  unsigned v = 0;
  for (std::size_t i = 0; i < kCcfGroupDigits; ++i) {
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

bool ccf_accepted(const char* text) { return ccf_validate(text) && ccf_word(text, kCcfFrequencyGroup) != 0; }

int ccf_to_sendir(const char* ccf, std::int32_t module, std::int32_t connector,
                  std::int32_t repeat, std::uint16_t id, char* out, std::size_t cap) {
  if (!ccf_accepted(ccf)) return -1;
  unsigned frequency = ccf_frequency(ccf_word(ccf, kCcfFrequencyGroup));
  unsigned offset = ccf_repeat_offset(ccf_word(ccf, kCcfOnceGroup));
  int n = std::snprintf(out, cap, "sendir,%d:%d,%u,%u,%d,%u", module, connector,
                        static_cast<unsigned>(id), frequency, repeat, offset);
  std::size_t len = std::strlen(ccf);
  for (std::size_t at = ccf_group_start(kCcfHeaderGroups);
       at + kCcfGroupDigits <= len && n > 0 && static_cast<std::size_t>(n) < cap; at += kCcfGroupDigits + 1)
    n += std::snprintf(out + n, cap - static_cast<std::size_t>(n), ",%u", hex_word(ccf + at));
  if (n < 0 || static_cast<std::size_t>(n) + 2 > cap) return -1;
  out[n++] = '\r';
  out[n] = '\0';
  return n;
}

}  // namespace cvn
