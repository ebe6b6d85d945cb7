// SPDX-License-Identifier: GPL-2.0-or-later
// SHA-1 (FIPS 180) and HMAC-SHA1 (RFC 2104) over a fixed hashing context,
// fed block by block. Used to sign every packet sent to the Motorola
// repeater with a 10-byte tag.
//
// Calling order for one computation:
//   init (sha1_init or hmac_init),
//   zero or more block calls of exactly 64 bytes,
//   one final block call of 0..63 bytes (it pads and finishes the hash),
//   done (sha1_done or hmac_done).
// A message whose length is a multiple of 64 ends with a final block of 0.
// The digest is then read from the first 20 bytes of `shadigest`
// (sha1_digest / shadigest_bytes) before the context is used again.
//
// No allocation, no exceptions: everything lives in the context.
//
// Misuse is refused rather than hashed wrongly. Any of the following puts
// the context into the failed phase, zeroes the digest words and makes the
// call (and every later block/done call up to the next init) return false:
//   - a block call with len > 64, or with data == nullptr and len > 0;
//   - a block call before any init or after the final block;
//   - a total length of 65536 bytes or more (the byte counter is 16 bits;
//     for HMAC the 64-byte key block counts, so data stays below 65472);
//   - a negative length in the *_once functions;
//   - hmac_block / hmac_done without a preceding hmac_init, or after an
//     hmac_init given key == nullptr with keylen > 0.
// Other choices:
//   - done without a final block hashes an empty final block first; every
//     byte given so far was in whole 64-byte blocks, so this is exactly the
//     digest of those bytes;
//   - done twice is harmless: the second call leaves the digest as it is;
//   - HMAC keys longer than 64 bytes are first hashed down to their 20-byte
//     SHA-1, as RFC 2104 prescribes, instead of overrunning the key block.
#pragma once

#include <cstdint>

enum class Sha1Phase : uint8_t {
  Idle = 0,  // never initialised (a zeroed context)
  Blocks,    // initialised, taking 64-byte blocks
  Finished,  // final block hashed, state words not yet turned into bytes
  Digest,    // shadigest holds the 20 digest bytes
  Failed,    // refused a call; digest bytes are zero
};

struct Sha1Context {
  // The block being hashed, word j = bytes 4j..4j+3 most significant first.
  // The compression uses it as its rolling message schedule.
  uint32_t message[16] = {};
  // Chaining state; after done, rewritten in place as the digest bytes.
  uint32_t shadigest[5] = {};
  // Bytes passed to the block operation since the last init.
  uint16_t count = 0;
  // HMAC key block: key ^ 0x36 after hmac_init, key ^ 0x5C after hmac_done.
  uint8_t hmackey[64] = {};

  Sha1Phase phase = Sha1Phase::Idle;
  bool hmac_active = false;   // between hmac_init and hmac_done
  uint16_t compressions = 0;  // compressions since the last public init
};

// ---- context API ----------------------------------------------------------

void sha1_init(Sha1Context& ctx);
// One block: len 64 = a full block, 0..63 = the final block. False if refused.
bool sha1_block(Sha1Context& ctx, const uint8_t* data, uint8_t len);
// One compression of ctx.message into the state words.
void sha1_compress(Sha1Context& ctx);
// Turns the state words into the digest bytes. False if the context failed.
bool sha1_done(Sha1Context& ctx);
// Init, the whole message block by block, done. len 0..65535.
bool sha1_once(Sha1Context& ctx, const uint8_t* data, int32_t len);

void hmac_init(Sha1Context& ctx, const uint8_t* key, uint8_t keylen);
bool hmac_block(Sha1Context& ctx, const uint8_t* data, uint8_t len);
// Completes the inner hash and runs the outer one; HMAC value in shadigest.
bool hmac_done(Sha1Context& ctx);
// hmac_init, the whole message block by block, hmac_done. len 0..65471.
bool hmac_once(Sha1Context& ctx, const uint8_t* key, uint8_t keylen, const uint8_t* data, int32_t len);

// The 20 digest bytes (valid after a successful done).
const uint8_t* sha1_digest(const Sha1Context& ctx);

// ---- process-wide context -------------------------------------------------
// Used by start-up signing and then by the master-to-Motorola relay alone;
// not reentrant. Any other thread takes a Sha1Context of its own.

extern Sha1Context sha_context;

void SHA1Init();
bool SHA1Block(const uint8_t* data, uint8_t len);
void SHA1();
bool SHA1Done();
bool SHA1Once(const uint8_t* data, int32_t len);
void HMACInit(const uint8_t* key, uint8_t keylen);
bool HMACBlock(const uint8_t* data, uint8_t len);
bool HMACDone();
bool HMACOnce(const uint8_t* key, uint8_t keylen, const uint8_t* data, int32_t len);
const uint8_t* shadigest_bytes();
// Back to the start-of-run state: everything zero, phase Idle.
void reset_sha_context();

// ---- packet tags ----------------------------------------------------------

constexpr uint32_t AUTH_KEY_LEN = 20;
constexpr uint32_t AUTH_TAG_LEN = 10;
// Longest data that fits the counter together with the HMAC key block.
constexpr uint32_t AUTH_MAX_DATA = 65535 - 64;

// out = first 10 bytes of HMAC-SHA1(key, data[0..len)). For len above
// AUTH_MAX_DATA, out is zeroed and false returned. `out` may directly follow
// the data in the same buffer.
bool auth_tag(Sha1Context& ctx, const uint8_t key[AUTH_KEY_LEN], const uint8_t* data, uint32_t len,
              uint8_t out[AUTH_TAG_LEN]);
// True when len >= 10 and the last 10 bytes are the tag over the rest.
// The tag comparison takes the same time wherever the bytes differ.
bool auth_tag_ok(Sha1Context& ctx, const uint8_t key[AUTH_KEY_LEN], const uint8_t* packet, uint32_t len);
