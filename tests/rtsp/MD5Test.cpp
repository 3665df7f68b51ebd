#include "rtsp/MD5.h"

#include <gtest/gtest.h>

#include <cstring>

using kestrum::CMD5;

namespace {

TEST(MD5, TestSuiteOfRfc1321) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", CMD5::Hex(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", CMD5::Hex("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", CMD5::Hex("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", CMD5::Hex("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", CMD5::Hex("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            CMD5::Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            CMD5::Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"));
}

TEST(MD5, PiecewiseUpdatesEqualOneUpdate) {
  const std::string text(1000, 'q');
  for (size_t split : {0, 1, 55, 56, 63, 64, 65, 500, 999}) {
    CMD5 md5;
    md5.Update(text.substr(0, split));
    md5.Update(text.substr(split));
    uint8_t a[16];
    md5.Final(a);
    CMD5 whole;
    whole.Update(text);
    uint8_t b[16];
    whole.Final(b);
    EXPECT_EQ(0, std::memcmp(a, b, 16)) << "split at " << split;
  }
}

TEST(MD5, DigestAuthenticationExampleOfRfc2617) {
  // RFC 2617, 3.5: Mufasa / Circle Of Life, qop=auth.
  const std::string ha1 = CMD5::Hex("Mufasa:testrealm@host.com:Circle Of Life");
  const std::string ha2 = CMD5::Hex("GET:/dir/index.html");
  EXPECT_EQ("6629fae49393a05397450978507c4ef1",
            CMD5::Hex(ha1 + ":dcd98b7102dd2f0e8b11d0f600bfb0c093:00000001:0a4f113b:auth:" + ha2));
}

}  // namespace
