// MD5 as RFC 1321 defines it: four 32-bit state words, a 64-bit bit count, a
// 64-byte block buffer, padding with 0x80 and zeros to 56 bytes modulo 64.
#include "md5.h"

#include <cstdio>
#include <cstring>

namespace cvn {
namespace {

constexpr std::uint32_t kT[64] = {  // RFC 1321 3.4: floor(abs(sin(i)) * 2^32)
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

void transform(std::uint32_t state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = static_cast<std::uint32_t>(block[4 * i]) |
           static_cast<std::uint32_t>(block[4 * i + 1]) << 8 |
           static_cast<std::uint32_t>(block[4 * i + 2]) << 16 |
           static_cast<std::uint32_t>(block[4 * i + 3]) << 24;
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    std::uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + kT[i] + x[g], kShift[i]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5_init(Md5Context& ctx) {
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  ctx.bits = 0;
}

void md5_update(Md5Context& ctx, const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t have = static_cast<std::size_t>((ctx.bits >> 3) & 63);
  ctx.bits += static_cast<std::uint64_t>(len) << 3;
  if (have) {
    std::size_t need = 64 - have;
    if (len < need) {
      std::memcpy(ctx.buffer + have, p, len);
      return;
    }
    std::memcpy(ctx.buffer + have, p, need);
    transform(ctx.state, ctx.buffer);
    p += need;
    len -= need;
  }
  for (; len >= 64; p += 64, len -= 64) transform(ctx.state, p);
  if (len) std::memcpy(ctx.buffer, p, len);
}

void md5_final(Md5Context& ctx, unsigned char digest[16]) {
  unsigned char count[8];
  for (int i = 0; i < 8; ++i) count[i] = static_cast<unsigned char>(ctx.bits >> (8 * i));
  static const unsigned char kPad[64] = {0x80};
  std::size_t have = static_cast<std::size_t>((ctx.bits >> 3) & 63);
  md5_update(ctx, kPad, have < 56 ? 56 - have : 120 - have);
  md5_update(ctx, count, 8);
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(ctx.state[i / 4] >> (8 * (i % 4)));
  std::memset(&ctx, 0, sizeof ctx);
}

void md5_hex(const void* data, std::size_t len, char out[33]) {
  Md5Context ctx;
  md5_init(ctx);
  md5_update(ctx, data, len);
  unsigned char d[16];
  md5_final(ctx, d);
  for (int i = 0; i < 16; ++i) std::snprintf(out + 2 * i, 3, "%02x", d[i]);
}

}  // namespace cvn
