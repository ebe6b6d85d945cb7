// SPDX-License-Identifier: GPL-2.0-or-later
#include "auth/hmac_sha1.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/coding_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes key = bytes_of(HASH_KEY);
const Bytes message = [] {
  Bytes m(65536);
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(7 * i + 1);
  return m;
}();

Bytes digest(const uint8_t* d) {
  return Bytes(d, d + 20);
}

// FIPS 180 and RFC 2202 examples (keys longer than a block hashed down first), then lengths around the block
// and the 16-bit counter limits; a final block of 56 to 63 bytes takes a second compression.
TEST(Sha1, PublishedVectorsBlockBoundariesAndLengthLimits) {
  Sha1Context ctx;
  for (const auto& v : PUBLISHED_HASHES) {
    const Bytes k = bytes_of(v[0] ? v[0] : ""), data = bytes_of(v[1]);
    const auto len = static_cast<int32_t>(data.size());
    ASSERT_TRUE(v[0] ? hmac_once(ctx, k.data(), static_cast<uint8_t>(k.size()), data.data(), len)
                     : sha1_once(ctx, data.data(), len));
    EXPECT_EQ(digest(sha1_digest(ctx)), bytes_of(v[2])) << v[1];
  }
  for (const auto& v : LENGTH_HASHES) {
    const int32_t len = std::atoi(v[0]);
    ASSERT_TRUE(sha1_once(ctx, message.data(), len));
    EXPECT_EQ(digest(sha1_digest(ctx)), bytes_of(v[1])) << len;
    EXPECT_EQ(ctx.compressions, len / 64 + (len % 64 < 56 ? 1 : 2)) << len;
    EXPECT_EQ(hmac_once(ctx, key.data(), 20, message.data(), len), *v[2] != 0);  // "": past the HMAC limit
    EXPECT_EQ(digest(sha1_digest(ctx)), *v[2] ? bytes_of(v[2]) : Bytes(20, 0)) << len;
  }
  EXPECT_FALSE(hmac_once(ctx, key.data(), 20, message.data(), 65472));
  EXPECT_FALSE(sha1_once(ctx, message.data(), 65536));
  for (uint8_t last : {64, 63}) {  // fed block by block, the block that would wrap the counter is refused
    sha1_init(ctx);
    for (int i = 0; i < 1023; ++i) ASSERT_TRUE(sha1_block(ctx, message.data() + 64 * i, 64));
    EXPECT_EQ(sha1_block(ctx, message.data() + 65472, last), last == 63);
  }
}

// The process-wide context signing voice burst E (64 + 2 bytes).
TEST(Hmac, ProcessWideContext) {
  HMACInit(key.data(), 20);
  ASSERT_TRUE(HMACBlock(message.data(), 64) && HMACBlock(message.data() + 64, 2) && HMACDone());
  EXPECT_EQ(digest(shadigest_bytes()), bytes_of(LENGTH_HASHES[4][2]));
  reset_sha_context();
  EXPECT_FALSE(SHA1Block(message.data(), 1));
}

TEST(AuthTag, SignsAndRejectsAnyFlippedBitOrShortPacket) {
  Sha1Context ctx;
  for (const auto& v : LENGTH_HASHES) {
    const uint32_t len = std::atoi(v[0]);
    if (len > 100) continue;
    Bytes pkt(message.begin(), message.begin() + len + 10);
    ASSERT_TRUE(auth_tag(ctx, key.data(), pkt.data(), len, pkt.data() + len));
    EXPECT_EQ(Bytes(pkt.begin() + len, pkt.end()), bytes_of(std::string(v[2], 20).c_str()));
    EXPECT_TRUE(auth_tag_ok(ctx, key.data(), pkt.data(), len + 10));
    for (size_t bit = 0; bit < 8 * pkt.size(); ++bit) {
      pkt[bit / 8] ^= static_cast<uint8_t>(0x80 >> bit % 8);
      ASSERT_FALSE(auth_tag_ok(ctx, key.data(), pkt.data(), len + 10)) << len << " bit " << bit;
      pkt[bit / 8] ^= static_cast<uint8_t>(0x80 >> bit % 8);
    }
  }
  for (uint32_t n = 0; n < 10; ++n) EXPECT_FALSE(auth_tag_ok(ctx, key.data(), message.data(), n));
  uint8_t out[10] = {0xEE};
  EXPECT_FALSE(auth_tag(ctx, key.data(), message.data(), AUTH_MAX_DATA + 1, out));
  EXPECT_EQ(Bytes(out, out + 10), Bytes(10, 0));
}

}  // namespace
