// MD5 against the RFC 1321 test suite and, for random inputs, md5sum.
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "../script/md5.h"

using cvn::md5_hex;

namespace {
std::string md5(const std::string& s) {
  char out[33];
  md5_hex(s.data(), s.size(), out);
  return out;
}
}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", md5("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", md5("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            md5("1234567890123456789012345678901234567890123456789012345678901234567890"
                "1234567890"));
}

TEST(Md5, RandomInputsAgreeWithMd5sum) {
  std::mt19937 rng(1321);
  for (std::size_t len : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u, 4097u}) {
    std::string data(len, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    char path[] = "/tmp/cvn_md5_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(len), write(fd, data.data(), len));
    close(fd);
    FILE* p = popen((std::string("md5sum ") + path).c_str(), "r");
    char expected[40] = {};
    ASSERT_EQ(1, std::fscanf(p, "%32s", expected));
    pclose(p);
    unlink(path);
    EXPECT_EQ(expected, md5(data)) << len;
  }
}
