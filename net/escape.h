// Bytes shown as text: the escape the traffic trace and ccf2sendir --check both
// write. Pure.
#pragma once

#include <cstddef>

namespace cvn {

// The escaped form of byte c: CR, LF, tab and the backslash as \r, \n, \t and \\,
// `quote` (when non-zero) after a backslash, other control characters and bytes
// above 126 as \xNN, anything else as it is. Writes 1 to 4 characters to `out`
// and returns their count.
inline std::size_t escape_byte(unsigned char c, char out[4], char quote = 0) {
  static const char kHex[] = "0123456789ABCDEF";
  const char named = c == '\r' ? 'r' : c == '\n' ? 'n' : c == '\t' ? 't' : c == '\\' ? '\\' : 0;
  if (named != 0 || (quote != 0 && c == static_cast<unsigned char>(quote))) {
    out[0] = '\\';
    out[1] = named != 0 ? named : quote;
    return 2;
  }
  if (c < 0x20 || c > 0x7E) {
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 0xF];
    return 4;
  }
  out[0] = static_cast<char>(c);
  return 1;
}

}  // namespace cvn
