// NBSTAT request building and reply parsing (RFC 1001 section 14.1 name encoding,
// RFC 1002 node status request and response).
#include "nbstat.h"

#include <cstring>

namespace cvn {
namespace {

constexpr std::uint16_t kTypeNbstat = 0x0021;
constexpr std::uint16_t kClassIn = 0x0001;
constexpr std::size_t kEncodedName = 34;  // length byte 0x20, 32 letters, empty scope
constexpr std::size_t kHeader = 12;
constexpr std::size_t kNameEntry = 18;    // 15-byte name, suffix, two flag bytes
constexpr std::size_t kUnitId = 6;

std::uint16_t be16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v & 0xFF);
}

// Skips an encoded name at data[pos]; compression pointers are allowed for the
// answer's name. Returns the position after it, or 0 when it runs past the end.
std::size_t skip_name(const unsigned char* data, std::size_t len, std::size_t pos) {
  while (pos < len) {
    unsigned char n = data[pos];
    if (n == 0) return pos + 1;
    if ((n & 0xC0) == 0xC0) return pos + 2 <= len ? pos + 2 : 0;
    if (n & 0xC0) return 0;
    pos += 1 + n;
  }
  return 0;
}

}  // namespace

void nbstat_build_request(std::uint16_t transaction_id, const unsigned char name[16],
                          unsigned char out[kNbstatRequestSize]) {
  std::memset(out, 0, kNbstatRequestSize);
  put16(out, transaction_id);
  put16(out + 4, 1);  // QDCOUNT
  unsigned char* q = out + kHeader;
  q[0] = 0x20;
  for (int i = 0; i < 16; ++i) {
    q[1 + 2 * i] = static_cast<unsigned char>('A' + (name[i] >> 4));
    q[2 + 2 * i] = static_cast<unsigned char>('A' + (name[i] & 0x0F));
  }
  q[33] = 0;
  put16(out + kHeader + kEncodedName, kTypeNbstat);
  put16(out + kHeader + kEncodedName + 2, kClassIn);
}

bool nbstat_parse_reply(std::uint16_t transaction_id, const unsigned char* data, std::size_t len,
                        unsigned char mac[6]) {
  if (data == nullptr || len < kHeader) return false;
  if (be16(data) != transaction_id) return false;
  std::uint16_t flags = be16(data + 2);
  if (!(flags & 0x8000) || (flags & 0x000F) != 0) return false;  // a response, RCODE 0
  std::uint16_t qd = be16(data + 4);
  std::uint16_t an = be16(data + 6);
  if (an < 1) return false;
  std::size_t pos = kHeader;
  for (std::uint16_t i = 0; i < qd; ++i) {  // responders normally echo no question
    pos = skip_name(data, len, pos);
    if (pos == 0 || pos + 4 > len) return false;
    pos += 4;
  }
  pos = skip_name(data, len, pos);
  if (pos == 0 || pos + 10 > len) return false;
  if (be16(data + pos) != kTypeNbstat) return false;
  std::size_t rdlength = be16(data + pos + 8);
  pos += 10;
  if (rdlength > len - pos) return false;
  const unsigned char* rd = data + pos;
  if (rdlength < 1) return false;
  std::size_t names = rd[0];
  std::size_t stats = 1 + names * kNameEntry;
  if (stats + kUnitId > rdlength) return false;
  std::memcpy(mac, rd + stats, kUnitId);
  return true;
}

}  // namespace cvn
