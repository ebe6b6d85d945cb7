#include "auth/hmac_sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string ref_sha1(const Bytes& m) {
  uint8_t md[20];
  ::SHA1(m.data(), m.size(), md);
  return hex(md, 20);
}

std::string ref_hmac(const Bytes& k, const Bytes& m) {
  uint8_t md[20];
  unsigned len = 0;
  HMAC(EVP_sha1(), k.data(), static_cast<int>(k.size()), m.data(), m.size(), md, &len);
  return hex(md, len);
}

std::string digest(const Sha1Context& ctx) {
  return hex(sha1_digest(ctx), 20);
}

Bytes counting(size_t n) {  // 0x01, 0x02, ...
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + 1);
  return b;
}

Bytes pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

const std::string kZero40(40, '0');

}  // namespace

TEST(Sha1, FipsExamples) {
  const struct {
    std::string msg, md;
  } cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
       "klmnopqrlmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
  };
  for (const auto& c : cases) {
    Sha1Context ctx;
    const Bytes m = bytes_of(c.msg);
    ASSERT_TRUE(sha1_once(ctx, m.data(), static_cast<int32_t>(m.size())));
    EXPECT_EQ(digest(ctx), c.md) << c.msg;
  }
}

TEST(Hmac, Rfc2202) {
  const struct {
    Bytes key;
    Bytes data;
    std::string md;
  } cases[] = {
      {Bytes(20, 0x0b), bytes_of("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {counting(25), Bytes(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {Bytes(20, 0x0c), bytes_of("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      // Keys longer than a block are hashed down first.
      {Bytes(80, 0xaa), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {Bytes(80, 0xaa), bytes_of("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    Sha1Context ctx;
    ASSERT_TRUE(hmac_once(ctx, c.key.data(), static_cast<uint8_t>(c.key.size()), c.data.data(),
                          static_cast<int32_t>(c.data.size())));
    EXPECT_EQ(digest(ctx), c.md) << "case " << i + 1;
  }
}

// One compression per whole block, one for a final block below 56 bytes,
// two for 56..63; HMAC adds the key block and two for the outer hash.
TEST(Sha1, BlockBoundaries) {
  const Bytes key = pattern(20, 0x40);
  for (size_t n : {0, 1, 55, 56, 57, 63, 64, 65, 66, 119, 120, 127, 128, 1000}) {
    const Bytes m = pattern(n);
    const unsigned final_cost = (n % 64) < 56 ? 1 : 2;
    Sha1Context ctx;
    ASSERT_TRUE(sha1_once(ctx, m.data(), static_cast<int32_t>(n)));
    EXPECT_EQ(digest(ctx), ref_sha1(m)) << n;
    EXPECT_EQ(ctx.compressions, n / 64 + final_cost) << n;

    ASSERT_TRUE(hmac_once(ctx, key.data(), 20, m.data(), static_cast<int32_t>(n)));
    EXPECT_EQ(digest(ctx), ref_hmac(key, m)) << n;
    EXPECT_EQ(ctx.compressions, 1 + n / 64 + final_cost + 2) << n;
  }
}

TEST(Sha1, RandomCrossCheckAgainstOpenSsl) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 3000; ++i) {
    // Keys up to 80 bytes also cover the hashed-down long-key path.
    Bytes key(rng() % 81), msg(rng() % 1001);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    for (auto& b : msg) b = static_cast<uint8_t>(rng());
    Sha1Context ctx;
    ASSERT_TRUE(sha1_once(ctx, msg.data(), static_cast<int32_t>(msg.size())));
    ASSERT_EQ(digest(ctx), ref_sha1(msg)) << "case " << i;
    ASSERT_TRUE(
        hmac_once(ctx, key.data(), static_cast<uint8_t>(key.size()), msg.data(), static_cast<int32_t>(msg.size())));
    ASSERT_EQ(digest(ctx), ref_hmac(key, msg)) << "case " << i;
  }
}

TEST(Sha1, CounterLimit) {
  const Bytes m = pattern(65536);
  Sha1Context ctx;
  ASSERT_TRUE(sha1_once(ctx, m.data(), 65535));
  EXPECT_EQ(digest(ctx), ref_sha1(Bytes(m.begin(), m.end() - 1)));
  EXPECT_FALSE(sha1_once(ctx, m.data(), 65536));
  EXPECT_EQ(digest(ctx), kZero40);

  const Bytes key = pattern(20, 9);
  ASSERT_TRUE(hmac_once(ctx, key.data(), 20, m.data(), 65471));
  EXPECT_EQ(digest(ctx), ref_hmac(key, Bytes(m.begin(), m.begin() + 65471)));
  EXPECT_FALSE(hmac_once(ctx, key.data(), 20, m.data(), 65472));
  EXPECT_FALSE(sha1_once(ctx, m.data(), -1));
  EXPECT_EQ(digest(ctx), kZero40);

  // Fed block by block, the block that would wrap the counter is refused.
  for (uint8_t last : {63, 64}) {
    sha1_init(ctx);
    for (int i = 0; i < 1023; ++i) ASSERT_TRUE(sha1_block(ctx, m.data() + 64 * i, 64));
    EXPECT_EQ(sha1_block(ctx, m.data() + 65472, last), last == 63);
  }
}

TEST(Sha1, MisuseIsRefused) {
  const Bytes m = pattern(200);
  Sha1Context ctx;
  EXPECT_FALSE(sha1_block(ctx, m.data(), 10)) << "block before any init";

  sha1_init(ctx);
  EXPECT_FALSE(sha1_block(ctx, m.data(), 65)) << "more than one block";
  EXPECT_FALSE(sha1_done(ctx)) << "failure sticks until the next init";
  EXPECT_EQ(digest(ctx), kZero40);

  sha1_init(ctx);
  ASSERT_TRUE(sha1_block(ctx, m.data(), 10));
  EXPECT_FALSE(sha1_block(ctx, m.data(), 10)) << "block after the final block";

  EXPECT_FALSE(hmac_block(ctx, m.data(), 10)) << "no hmac_init";
  sha1_init(ctx);
  EXPECT_FALSE(hmac_done(ctx)) << "no hmac_init";
  hmac_init(ctx, nullptr, 5);
  EXPECT_FALSE(hmac_done(ctx)) << "null key";
}

TEST(Sha1, DoneCompletesWholeBlocksAndIsIdempotent) {
  const Bytes m = pattern(128);
  Sha1Context ctx;
  sha1_init(ctx);
  ASSERT_TRUE(sha1_block(ctx, m.data(), 64));
  ASSERT_TRUE(sha1_block(ctx, m.data() + 64, 64));
  ASSERT_TRUE(sha1_done(ctx));
  EXPECT_EQ(digest(ctx), ref_sha1(m));
  ASSERT_TRUE(sha1_done(ctx));
  EXPECT_EQ(digest(ctx), ref_sha1(m));
}

TEST(Hmac, ProcessWideMatchesContextApi) {
  reset_sha_context();
  const Bytes key = pattern(20, 0x11);
  const Bytes burst = pattern(66, 0x80);  // voice burst E: 64 + final 2

  HMACInit(key.data(), 20);
  for (size_t i = 0; i < 64; ++i) {
    const uint8_t k = i < 20 ? key[i] : 0;
    ASSERT_EQ(sha_context.hmackey[i], k ^ 0x36) << i;
  }
  ASSERT_TRUE(HMACBlock(burst.data(), 64));
  ASSERT_TRUE(HMACBlock(burst.data() + 64, 2));
  ASSERT_TRUE(HMACDone());
  for (size_t i = 0; i < 64; ++i) ASSERT_EQ(sha_context.hmackey[i], (i < 20 ? key[i] : 0) ^ 0x5C);
  const std::string global = hex(shadigest_bytes(), 20);
  EXPECT_EQ(global, ref_hmac(key, burst));

  Sha1Context ctx;
  ASSERT_TRUE(hmac_once(ctx, key.data(), 20, burst.data(), 66));
  EXPECT_EQ(digest(ctx), global);
  ASSERT_TRUE(HMACOnce(key.data(), 20, burst.data(), 66));
  EXPECT_EQ(hex(shadigest_bytes(), 20), global);

  ASSERT_TRUE(SHA1Once(burst.data(), 66));
  EXPECT_EQ(hex(shadigest_bytes(), 20), ref_sha1(burst));

  // Empty key: the key block is all pad bytes.
  ASSERT_TRUE(HMACOnce(nullptr, 0, burst.data(), 66));
  EXPECT_EQ(hex(shadigest_bytes(), 20), ref_hmac(Bytes{}, burst));

  reset_sha_context();
  EXPECT_EQ(sha_context.phase, Sha1Phase::Idle);
  EXPECT_EQ(hex(shadigest_bytes(), 20), kZero40);
  EXPECT_FALSE(SHA1Block(burst.data(), 1));
  reset_sha_context();
}

TEST(AuthTag, SignAndVerify) {
  const Bytes key = pattern(20, 0x33);
  Sha1Context ctx;
  for (uint32_t body : {0u, 5u, 9u, 14u, 53u, 54u, 56u, 64u, 66u, 200u}) {
    Bytes pkt = pattern(body + 10, 0x21);
    ASSERT_TRUE(auth_tag(ctx, key.data(), pkt.data(), body, pkt.data() + body));
    EXPECT_EQ(hex(pkt.data() + body, 10), ref_hmac(key, Bytes(pkt.begin(), pkt.begin() + body)).substr(0, 20));
    ASSERT_TRUE(auth_tag_ok(ctx, key.data(), pkt.data(), body + 10)) << body;
    for (size_t i = 0; i < pkt.size(); ++i) {
      pkt[i] ^= 0x01;
      EXPECT_FALSE(auth_tag_ok(ctx, key.data(), pkt.data(), body + 10)) << body << "/" << i;
      pkt[i] ^= 0x01;
    }
    Bytes other = key;
    other[19] ^= 0x80;
    EXPECT_FALSE(auth_tag_ok(ctx, other.data(), pkt.data(), body + 10));
  }
}

TEST(AuthTag, BadLengths) {
  const Bytes key = pattern(20, 0x33);
  const Bytes pkt = pattern(70000);
  Sha1Context ctx;
  for (uint32_t n = 0; n < 10; ++n) EXPECT_FALSE(auth_tag_ok(ctx, key.data(), pkt.data(), n));

  uint8_t out[10];
  std::memset(out, 0xee, sizeof out);
  EXPECT_FALSE(auth_tag(ctx, key.data(), pkt.data(), AUTH_MAX_DATA + 1, out));
  EXPECT_EQ(hex(out, 10), std::string(20, '0'));
  EXPECT_TRUE(auth_tag(ctx, key.data(), pkt.data(), AUTH_MAX_DATA, out));
  EXPECT_FALSE(auth_tag_ok(ctx, key.data(), pkt.data(), AUTH_MAX_DATA + 11));
}
