// SPDX-License-Identifier: GPL-2.0-or-later
// The air-interface codings and the tag check, each on bits that came off
// the air or a socket.  The first byte picks the coding, the rest is its
// input; where a coding has an inverse the round trip must be exact.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "auth/hmac_sha1.h"
#include "dmr/ambe_fec.h"
#include "dmr/bits.h"
#include "dmr/emb.h"
#include "dmr/embedded_lc.h"
#include "dmr/golay.h"
#include "fuzz/harness.h"

namespace {

// Bit array of n entries from the input; entries other than 0 and 1 stay
// as they are (a bit array may hold any byte, only 1 counts as set).
void take(const uint8_t*& p, size_t& left, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = left ? (--left, *p++) : 0;
}

void ambe_decode_any(const uint8_t* p, size_t left) {
  uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], ea = 9, eb = 9;
  take(p, left, coded, sizeof coded);
  std::memset(frame, 0xEE, sizeof frame);
  decodiere_AMBEplus2_33(coded, &ea, &eb, AMBE_MODE_PLAIN, frame);
  FUZZ_CHECK(ea <= 4 && eb <= 3);
  if (ea == 4) return;
  // The corrected codewords are written back: re-coding the frame gives them.
  uint8_t again[AMBE_CODED_BITS];
  codiere_AMBEplus2_33(again, AMBE_MODE_PLAIN, frame);
  for (unsigned i = 0; i < AMBE_CODED_BITS; ++i) FUZZ_CHECK(again[i] == (coded[i] == 1));
}

// Up to three bit errors in each of the A and B codewords are corrected.
void ambe_round_trip(const uint8_t* p, size_t left) {
  if (left < 8) return;
  const uint8_t mode = p[0] & 1 ? AMBE_MODE_INTERLEAVED : AMBE_MODE_PLAIN;
  uint8_t frame[56], coded[AMBE_CODED_BITS];
  unpack_bits(p + 1, 7, frame);  // the first 49 bits are the frame
  codiere_AMBEplus2_33(coded, mode, frame);
  // Coded position of sequence index t (A codeword 0-23, B codeword 24-46).
  auto pos = [](unsigned t) { return 4 * (t % 18) + t / 18; };
  p += 8;
  left -= 8;
  const unsigned na = left ? p[0] % 4 : 0, nb = left > 1 ? p[1] % 4 : 0;
  bool flipped[AMBE_CODED_BITS] = {};
  for (unsigned i = 0; i < na + nb; ++i) {
    const unsigned t = i < na ? (left > 2 + i ? p[2 + i] : i) % 24 : 24 + (left > 2 + i ? p[2 + i] : i) % 23;
    if (flipped[pos(t)]) continue;  // the same bit twice would be no error
    flipped[pos(t)] = true;
    coded[pos(t)] ^= 1;
  }
  uint8_t out[AMBE_FRAME_BITS], ea, eb;
  decodiere_AMBEplus2_33(coded, &ea, &eb, mode, out);
  FUZZ_CHECK(ea <= na && eb <= nb);
  FUZZ_CHECK(std::memcmp(out, frame, AMBE_FRAME_BITS) == 0);
}

void emb_any(const uint8_t* p, size_t left) {
  uint8_t centre[48], emb[EMB_BITS];
  take(p, left, centre, sizeof centre);
  const int lcss = EMBdecode(centre, emb);
  FUZZ_CHECK(lcss >= -1 && lcss <= 3);
  if (lcss >= 0) FUZZ_CHECK(emb_codeword(static_cast<uint8_t>(bits_to_uint(emb, 7))) == bits_to_uint(emb, 16));
}

// Fragments with any LCSS in any order: the collector never reads or
// writes outside its set, and a set that decodes names the fields it held.
void embedded_collector(const uint8_t* p, size_t left) {
  reset_embedded_lc_collector();
  while (left > 0) {
    const int lcss = static_cast<int8_t>(*p++) % 6;  // 4 and 5, -1 .. -5 are no LCSS
    --left;
    uint8_t fragment[EMBEDDED_FRAGMENT_BITS];
    take(p, left, fragment, sizeof fragment);
    uint8_t c[3] = {}, d[3] = {}, s[3] = {};
    const int r = addData(fragment, lcss, c, d, s);
    FUZZ_CHECK(r >= 0 && r <= 2);
  }
}

void embedded_round_trip(const uint8_t* p, size_t left) {
  uint8_t f[9] = {};
  for (size_t i = 0; i < 9 && i < left; ++i) f[i] = p[i];
  uint8_t sent[EMBEDDED_LC_BITS];
  encode_MultiBlockEmbeddedLC(f, f + 3, f + 6, sent);
  reset_embedded_lc_collector();
  uint8_t c[3], d[3], s[3];
  const int lcss[4] = {LCSS_FIRST, LCSS_CONTINUATION, LCSS_CONTINUATION, LCSS_LAST};
  int r = 2;
  for (int n = 0; n < 4; ++n) r = addData(sent + 32 * n, lcss[n], c, d, s);
  FUZZ_CHECK(r == 1);
  FUZZ_CHECK(std::memcmp(c, f, 3) == 0 && std::memcmp(d, f + 3, 3) == 0 && std::memcmp(s, f + 6, 3) == 0);
}

// The tag check against an HMAC-SHA1 of its own.
void tag_check(const uint8_t* p, size_t left) {
  if (left < 20) return;
  const uint8_t* key = p;
  p += 20;
  left -= 20;
  static Sha1Context ctx;
  uint8_t md[20];
  unsigned mdlen = 0;
  const bool ok = auth_tag_ok(ctx, key, p, static_cast<uint32_t>(left));
  bool want = false;
  if (left >= AUTH_TAG_LEN) {
    HMAC(EVP_sha1(), key, 20, p, left - AUTH_TAG_LEN, md, &mdlen);
    want = std::memcmp(md, p + left - AUTH_TAG_LEN, AUTH_TAG_LEN) == 0;
  }
  FUZZ_CHECK(ok == want);
  uint8_t tag[AUTH_TAG_LEN];
  FUZZ_CHECK(auth_tag(ctx, key, p, static_cast<uint32_t>(left), tag));
  HMAC(EVP_sha1(), key, 20, p, left, md, &mdlen);
  FUZZ_CHECK(std::memcmp(md, tag, AUTH_TAG_LEN) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  init_Golay_23_12();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  void (*const codings[])(const uint8_t*, size_t) = {ambe_decode_any,    ambe_round_trip,     emb_any,
                                                     embedded_collector, embedded_round_trip, tag_check};
  codings[data[0] % (sizeof codings / sizeof codings[0])](data + 1, size - 1);
  return 0;
}
