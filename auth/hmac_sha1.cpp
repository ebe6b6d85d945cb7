// SPDX-License-Identifier: GPL-2.0-or-later
// SHA-1 and HMAC-SHA1 over a fixed context, one block per call.
#include "auth/hmac_sha1.h"

#include <cstring>

Sha1Context sha_context;

namespace {

constexpr uint32_t SHA1_IV[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
constexpr uint32_t MAX_TOTAL = 65535;  // the byte counter is 16 bits

inline uint32_t rol(uint32_t x, unsigned n) {
  return (x << n) | (x >> (32 - n));
}

// Refuse the computation: no digest must survive that could pass as valid.
void fail(Sha1Context& ctx) {
  std::memset(ctx.message, 0, sizeof ctx.message);
  std::memset(ctx.shadigest, 0, sizeof ctx.shadigest);
  ctx.phase = Sha1Phase::Failed;
  ctx.hmac_active = false;
}

// Fresh SHA-1 state; the compression count is left to the public inits so
// that an HMAC reports all compressions it took.
void restart(Sha1Context& ctx) {
  std::memcpy(ctx.shadigest, SHA1_IV, sizeof ctx.shadigest);
  ctx.count = 0;
  ctx.phase = Sha1Phase::Blocks;
}

// Hashes `len` bytes of any length as whole blocks plus one final block.
bool hash_blocks(Sha1Context& ctx, const uint8_t* data, int32_t len) {
  int32_t remaining = len;
  const uint8_t* p = data;
  while (remaining >= 0) {
    const uint8_t n = remaining >= 64 ? 64 : static_cast<uint8_t>(remaining);
    if (!sha1_block(ctx, p, n)) return false;
    remaining -= 64;
    if (n == 64) p += 64;
  }
  return true;
}

}  // namespace

void sha1_init(Sha1Context& ctx) {
  ctx.compressions = 0;
  ctx.hmac_active = false;
  restart(ctx);
}

void sha1_compress(Sha1Context& ctx) {
  uint32_t* w = ctx.message;
  uint32_t a = ctx.shadigest[0], b = ctx.shadigest[1], c = ctx.shadigest[2];
  uint32_t d = ctx.shadigest[3], e = ctx.shadigest[4];
  for (unsigned t = 0; t < 80; ++t) {
    if (t >= 16) {
      // Schedule word t replaces word t-16 in the 16-word window.
      w[t & 15] = rol(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    }
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const uint32_t tmp = rol(a, 5) + f + e + k + w[t & 15];
    e = d;
    d = c;
    c = rol(b, 30);
    b = a;
    a = tmp;
  }
  ctx.shadigest[0] += a;
  ctx.shadigest[1] += b;
  ctx.shadigest[2] += c;
  ctx.shadigest[3] += d;
  ctx.shadigest[4] += e;
  ++ctx.compressions;
}

bool sha1_block(Sha1Context& ctx, const uint8_t* data, uint8_t len) {
  if (ctx.phase != Sha1Phase::Blocks || len > 64 || (data == nullptr && len > 0) ||
      uint32_t{ctx.count} + len > MAX_TOTAL) {
    fail(ctx);
    return false;
  }

  // Load the block most significant byte first; only the len given bytes
  // are read, everything after them is zero.
  std::memset(ctx.message, 0, sizeof ctx.message);
  for (unsigned i = 0; i < len; ++i) ctx.message[i / 4] |= uint32_t{data[i]} << (24 - 8 * (i % 4));
  ctx.count = static_cast<uint16_t>(ctx.count + len);

  if (len == 64) {
    sha1_compress(ctx);
    return true;
  }

  // Final block: the 0x80 marker right after the data, then the message
  // length in bits in the last word (the word before it stays 0 since the
  // length is below 2^32 bits). If the marker leaves no room for the length
  // (len 56..63), the length goes into a second block of its own.
  const uint32_t bits = uint32_t{ctx.count} * 8;
  ctx.message[len / 4] |= 0x80u << (24 - 8 * (len % 4));
  if (len < 56) ctx.message[15] = bits;
  sha1_compress(ctx);
  if (len >= 56) {
    std::memset(ctx.message, 0, sizeof ctx.message);
    ctx.message[15] = bits;
    sha1_compress(ctx);
  }
  ctx.phase = Sha1Phase::Finished;
  return true;
}

bool sha1_done(Sha1Context& ctx) {
  switch (ctx.phase) {
    case Sha1Phase::Digest:
      return true;
    case Sha1Phase::Blocks:
      // Everything so far came in whole blocks: pad with an empty block.
      if (!sha1_block(ctx, nullptr, 0)) return false;
      break;
    case Sha1Phase::Finished:
      break;
    case Sha1Phase::Idle:
    case Sha1Phase::Failed:
      fail(ctx);
      return false;
  }
  uint8_t bytes[20];
  for (unsigned i = 0; i < 5; ++i) {
    const uint32_t v = ctx.shadigest[i];
    bytes[4 * i + 0] = static_cast<uint8_t>(v >> 24);
    bytes[4 * i + 1] = static_cast<uint8_t>(v >> 16);
    bytes[4 * i + 2] = static_cast<uint8_t>(v >> 8);
    bytes[4 * i + 3] = static_cast<uint8_t>(v);
  }
  std::memcpy(ctx.shadigest, bytes, sizeof bytes);
  ctx.phase = Sha1Phase::Digest;
  return true;
}

bool sha1_once(Sha1Context& ctx, const uint8_t* data, int32_t len) {
  sha1_init(ctx);
  if (len < 0 || len > static_cast<int32_t>(MAX_TOTAL) || (data == nullptr && len > 0)) {
    fail(ctx);
    return false;
  }
  return hash_blocks(ctx, data, len) && sha1_done(ctx);
}

void hmac_init(Sha1Context& ctx, const uint8_t* key, uint8_t keylen) {
  ctx.compressions = 0;
  uint8_t short_key[20];
  if (key == nullptr && keylen > 0) {
    fail(ctx);  // hmac_block / hmac_done refuse until the next init
    return;
  }
  if (keylen > 64) {
    // RFC 2104: a key longer than the block is replaced by its hash.
    restart(ctx);
    hash_blocks(ctx, key, keylen);  // at most 255 bytes: cannot be refused
    sha1_done(ctx);
    std::memcpy(short_key, sha1_digest(ctx), sizeof short_key);
    key = short_key;
    keylen = sizeof short_key;
  }
  for (unsigned i = 0; i < 64; ++i) ctx.hmackey[i] = static_cast<uint8_t>((i < keylen ? key[i] : 0) ^ 0x36);
  restart(ctx);
  sha1_block(ctx, ctx.hmackey, 64);
  ctx.hmac_active = true;
}

bool hmac_block(Sha1Context& ctx, const uint8_t* data, uint8_t len) {
  if (!ctx.hmac_active) {
    fail(ctx);
    return false;
  }
  return sha1_block(ctx, data, len);
}

bool hmac_done(Sha1Context& ctx) {
  if (!ctx.hmac_active || !sha1_done(ctx)) {
    fail(ctx);
    return false;
  }
  uint8_t inner[20];
  std::memcpy(inner, sha1_digest(ctx), sizeof inner);
  // key ^ 0x36 ^ 0x6A = key ^ 0x5C: the inner pad becomes the outer pad.
  for (uint8_t& b : ctx.hmackey) b ^= 0x6A;
  restart(ctx);
  sha1_block(ctx, ctx.hmackey, 64);
  sha1_block(ctx, inner, sizeof inner);
  ctx.hmac_active = false;
  return sha1_done(ctx);
}

bool hmac_once(Sha1Context& ctx, const uint8_t* key, uint8_t keylen, const uint8_t* data, int32_t len) {
  hmac_init(ctx, key, keylen);
  if (len < 0 || len > static_cast<int32_t>(AUTH_MAX_DATA) || (data == nullptr && len > 0)) {
    fail(ctx);
    return false;
  }
  return hash_blocks(ctx, data, len) && hmac_done(ctx);
}

const uint8_t* sha1_digest(const Sha1Context& ctx) {
  return reinterpret_cast<const uint8_t*>(ctx.shadigest);
}

// ---- process-wide context -------------------------------------------------

void SHA1Init() {
  sha1_init(sha_context);
}
bool SHA1Block(const uint8_t* data, uint8_t len) {
  return sha1_block(sha_context, data, len);
}
void SHA1() {
  sha1_compress(sha_context);
}
bool SHA1Done() {
  return sha1_done(sha_context);
}
bool SHA1Once(const uint8_t* data, int32_t len) {
  return sha1_once(sha_context, data, len);
}
void HMACInit(const uint8_t* key, uint8_t keylen) {
  hmac_init(sha_context, key, keylen);
}
bool HMACBlock(const uint8_t* data, uint8_t len) {
  return hmac_block(sha_context, data, len);
}
bool HMACDone() {
  return hmac_done(sha_context);
}
bool HMACOnce(const uint8_t* key, uint8_t keylen, const uint8_t* data, int32_t len) {
  return hmac_once(sha_context, key, keylen, data, len);
}
const uint8_t* shadigest_bytes() {
  return sha1_digest(sha_context);
}
void reset_sha_context() {
  sha_context = Sha1Context{};
}

// ---- packet tags ----------------------------------------------------------

bool auth_tag(Sha1Context& ctx, const uint8_t key[AUTH_KEY_LEN], const uint8_t* data, uint32_t len,
              uint8_t out[AUTH_TAG_LEN]) {
  if (len > AUTH_MAX_DATA || !hmac_once(ctx, key, AUTH_KEY_LEN, data, static_cast<int32_t>(len))) {
    std::memset(out, 0, AUTH_TAG_LEN);
    return false;
  }
  std::memcpy(out, sha1_digest(ctx), AUTH_TAG_LEN);
  return true;
}

bool auth_tag_ok(Sha1Context& ctx, const uint8_t key[AUTH_KEY_LEN], const uint8_t* packet, uint32_t len) {
  if (packet == nullptr || len < AUTH_TAG_LEN) return false;
  const uint32_t body = len - AUTH_TAG_LEN;
  uint8_t expect[AUTH_TAG_LEN];
  if (!auth_tag(ctx, key, packet, body, expect)) return false;
  uint8_t diff = 0;
  for (uint32_t i = 0; i < AUTH_TAG_LEN; ++i) diff |= expect[i] ^ packet[body + i];
  return diff == 0;
}
