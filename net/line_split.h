// The line splitter: bytes as a connection delivers them cut into the lines a
// callback receives. Pure: no state but what the caller passes in.
#pragma once

#include <cstddef>
#include <cstring>

namespace cvn {

// Longest text one callback receives; longer lines arrive in pieces of this size.
constexpr std::size_t kMaxLineText = 999;

namespace split_detail {

// Copies n bytes. A line is mostly a few dozen bytes: two overlapping moves of a
// fixed size copy it without a call.
inline void copy_run(char* to, const char* from, std::size_t n) {
  if (n >= 16 && n <= 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else {
    std::memcpy(to, from, n);
  }
}

}  // namespace split_detail

// Line assembly over bytes as they come: appends to buffer[length..] the bytes of
// `data` up to the first CR or LF that ends a non-empty line, consumes that
// terminator and the CRs and LFs right after it (or stops once the line has
// kMaxLineText characters), and says through *complete whether a line is whole.
// Returns the bytes of `data` consumed; `length` becomes the line's length. Empty
// lines are never complete. `hint`, when given, carries the terminator the stream
// used last from one call to the next; it changes only how fast the line end is
// found. Inline: the line reader's loop calls it for every line.
inline std::size_t split_line(int& length, char* buffer, const char* data, std::size_t n, bool* complete,
                              char* hint = nullptr) {
  *complete = false;
  char first = hint != nullptr ? *hint : '\r';
  int len = length;  // a local: writes through `buffer` could alias `length`
  std::size_t i = 0;
  while (i < n) {
    // Copy the run of line characters up to a line end or to the piece limit. The
    // terminator the stream used last is looked for first, the other one only
    // before it: a stream that ends its lines with one of them is never scanned
    // far past a line end for the other (memchr scans in wide words).
    std::size_t room = kMaxLineText - static_cast<std::size_t>(len);
    std::size_t limit = n - i < room ? n - i : room;
    const char* run = data + i;
    const char second = first == '\r' ? '\n' : '\r';
    std::size_t k = limit;
    if (const void* a = std::memchr(run, first, k)) k = static_cast<std::size_t>(static_cast<const char*>(a) - run);
    if (const void* b = std::memchr(run, second, k)) {
      k = static_cast<std::size_t>(static_cast<const char*>(b) - run);
      first = second;
    }
    split_detail::copy_run(buffer + len, run, k);
    len += static_cast<int>(k);
    i += k;
    if (len >= static_cast<int>(kMaxLineText)) {  // a long line goes out in pieces
      *complete = true;
      break;
    }
    if (i == n) break;
    ++i;  // the CR or LF
    if (len > 0) {
      // Line ends right after it would end only empty lines: taken with it.
      while (i < n && (data[i] == '\r' || data[i] == '\n')) ++i;
      *complete = true;
      break;
    }
    // empty lines are never delivered
  }
  if (hint != nullptr) *hint = first;
  length = len;
  return i;
}

}  // namespace cvn
