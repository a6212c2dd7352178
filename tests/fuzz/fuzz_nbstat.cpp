// libFuzzer target: the node status reply parser on arbitrary datagrams.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../platform/posix/nbstat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy so any read past the end is caught.
  std::vector<unsigned char> copy(data, data + size);
  unsigned char mac[6];
  std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  cvn::nbstat_parse_reply(id, copy.data(), copy.size(), mac);
  return 0;
}
