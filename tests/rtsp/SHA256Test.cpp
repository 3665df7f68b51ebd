// SHA-256 against the FIPS 180-4 examples (checked with coreutils' sha256sum).
#include "rtsp/SHA256.h"

#include <gtest/gtest.h>

#include <string>

using kestrum::CSHA256;

namespace {

TEST(SHA256, StandardExamples) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", CSHA256::Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", CSHA256::Hex("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            CSHA256::Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", CSHA256::Hex(std::string(1000000, 'a')));
}

TEST(SHA256, PiecesGiveTheSameDigestAsTheWhole) {
  // Every split of a text that crosses the 55/56/64-byte padding edges.
  std::string text;
  for (int i = 0; i < 130; ++i) text += static_cast<char>('a' + i % 26);
  for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 130u}) {
    const std::string whole = CSHA256::Hex(text.substr(0, length));
    for (size_t split = 0; split <= length; ++split) {
      CSHA256 hash;
      hash.Update(text.substr(0, split));
      hash.Update(text.substr(split, length - split));
      uint8_t digest[32];
      hash.Final(digest);
      char hex[65];
      for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
      ASSERT_EQ(whole, std::string(hex)) << length << " split at " << split;
    }
  }
}

}  // namespace
