// The line splitter against a reference that reads one byte at a time: the same
// lines, pieces of long lines and unfinished line, whichever way the bytes are
// cut into receives and whether the terminator hint is carried or not. The first
// input byte chooses the hint; every byte after it below 8 (and not a line end)
// also ends a receive there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../../net/line_split.h"

namespace {

struct Lines {
  std::vector<std::string> whole;
  std::string unfinished;
};

Lines reference(const std::string& bytes) {
  Lines r;
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      if (!r.unfinished.empty()) r.whole.push_back(r.unfinished);
      r.unfinished.clear();
      continue;
    }
    r.unfinished += c;
    if (r.unfinished.size() == cvn::kMaxLineText) {
      r.whole.push_back(r.unfinished);
      r.unfinished.clear();
    }
  }
  return r;
}

Lines split(const std::string& bytes, const std::vector<std::size_t>& cuts, bool hinted) {
  Lines r;
  char buffer[cvn::kMaxLineText + 1];
  int length = 0;
  char hint = '\r';
  std::size_t at = 0;
  for (std::size_t end : cuts) {
    while (at < end) {
      bool complete = false;
      std::size_t n = cvn::split_line(length, buffer, bytes.data() + at, end - at, &complete,
                                      hinted ? &hint : nullptr);
      if (n == 0 && !complete) std::abort();  // no progress on bytes left
      at += n;
      if (length < 0 || static_cast<std::size_t>(length) > cvn::kMaxLineText) std::abort();
      if (complete) {
        r.whole.emplace_back(buffer, static_cast<std::size_t>(length));
        length = 0;
      }
    }
  }
  r.unfinished.assign(buffer, static_cast<std::size_t>(length));
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  bool hinted = (data[0] & 1) != 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (static_cast<unsigned char>(bytes[i]) < 8) cuts.push_back(i);
  cuts.push_back(bytes.size());
  Lines want = reference(bytes);
  Lines got = split(bytes, cuts, hinted);
  if (got.whole != want.whole || got.unfinished != want.unfinished) std::abort();
  return 0;
}
