// MD5 message digest (RFC 1321). Pure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

struct Md5Context {
  std::uint32_t state[4];
  std::uint64_t bits;
  unsigned char buffer[64];
};

void md5_init(Md5Context& ctx);
void md5_update(Md5Context& ctx, const void* data, std::size_t len);
void md5_final(Md5Context& ctx, unsigned char digest[16]);  // clears the context
// 32 lower-case hex digits and a terminator.
void md5_hex(const void* data, std::size_t len, char out[33]);

}  // namespace cvn
