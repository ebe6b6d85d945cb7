// Voice from the master as the tests send it, and the Motorola packets they
// expect back, written out from the packet tables.
//
// Hytera packets start from the templates of master/hytera_table.h; their
// bursts hold three voice frames coded here (the coder of dmr/ is tested on
// its own), with bit errors put into chosen codewords.
#pragma once
#include <cstdint>
#include <vector>

#include "dmr/ambe_fec.h"
#include "master/hytera_table.h"

namespace mvoice {

using Bytes = std::vector<uint8_t>;

inline void set_bit(uint8_t* bytes, unsigned bit, int v) {
  const uint8_t m = static_cast<uint8_t>(0x80 >> (bit % 8));
  bytes[bit / 8] = static_cast<uint8_t>(v ? bytes[bit / 8] | m : bytes[bit / 8] & ~m);
}
inline int get_bit(const uint8_t* bytes, unsigned bit) {
  return (bytes[bit / 8] >> (7 - bit % 8)) & 1;
}

// Burst bits of coded frame k (0..2), entry i (0..71).
inline unsigned frame_bit(unsigned k, unsigned i) {
  if (k == 0) return i;
  if (k == 2) return 192 + i;
  return i < 36 ? 72 + i : 156 + (i - 36);
}

// The coded frame is the 72-entry sequence A codeword (24), whitened B
// codeword (23), C (25), written in 4 rows of 18 and sent by columns: entry
// s of the sequence is coded entry 4 * (s % 18) + s / 18. The last entry of
// the A codeword is its parity bit; errors are put before it.
inline unsigned coded_index(unsigned s) {
  return 4 * (s % 18) + s / 18;
}

struct Errors {
  unsigned a = 0, b = 0;  // bits flipped in the A codeword (at most 23) and the B codeword
};

// The 33-byte burst of three frames, coded, with the errors asked for, and
// centre[0..48) (bits) between.
inline Bytes make_burst(const uint8_t frames[3][49], const uint8_t* centre, const Errors errors[3]) {
  Bytes burst(33, 0);
  for (unsigned k = 0; k < 3; ++k) {
    uint8_t coded[72];
    codiere_AMBEplus2_33(coded, 2, frames[k]);
    for (unsigned s = 0; s < errors[k].a; ++s) coded[coded_index(s)] ^= 1;
    for (unsigned s = 0; s < errors[k].b; ++s) coded[coded_index(24 + 2 * s)] ^= 1;
    for (unsigned i = 0; i < 72; ++i) set_bit(burst.data(), frame_bit(k, i), coded[i]);
  }
  for (unsigned i = 0; i < 48; ++i) set_bit(burst.data(), 108 + i, centre[i]);
  return burst;
}

// Burst byte k stands at packet byte (26 + k) XOR 1.
inline Bytes burst_of(const Bytes& pkt) {
  Bytes b(33);
  for (unsigned k = 0; k < 33; ++k) b[k] = pkt[(26 + k) ^ 1];
  return b;
}
inline void put_burst(Bytes& pkt, const Bytes& burst) {
  for (unsigned k = 0; k < 33; ++k) pkt[(26 + k) ^ 1] = burst[k];
}

// The 48 centre bits of a template's burst (voice sync, or EMB around the
// template's embedded bits).
inline Bytes template_centre(const char* name) {
  const Bytes b = burst_of(hyt_table::bytes(name));
  Bytes c(48);
  for (unsigned i = 0; i < 48; ++i) c[i] = static_cast<uint8_t>(get_bit(b.data(), 108 + i));
  return c;
}

inline const char* const VOICE_NAMES[6] = {"Voice_hyt1", "Voice_hyt2", "Voice_hyt3",
                                           "Voice_hyt4", "Voice_hyt5", "Voice_hyt6"};

struct HytCall {
  uint32_t src = 2622101;
  uint32_t dst = 262;
  bool priv = false;
  int slot = 2;
};

// Template `name` with sequence number, slot word, call type and IDs.
inline Bytes hyt_packet(const char* name, const HytCall& c, uint16_t seq) {
  Bytes p = hyt_table::bytes(name);
  p[4] = static_cast<uint8_t>(seq);
  p[5] = static_cast<uint8_t>(seq >> 8);
  p[16] = p[17] = static_cast<uint8_t>(0x11 * c.slot);
  p[62] = c.priv ? 0x00 : 0x01;
  for (unsigned i = 0; i < 3; ++i) {
    p[64 + i] = static_cast<uint8_t>(c.dst >> (8 * i));
    p[68 + i] = static_cast<uint8_t>(c.src >> (8 * i));
  }
  return p;
}

inline Bytes hyt_header(const HytCall& c, uint16_t seq) {
  Bytes p = hyt_packet("start_hyt", c, seq);
  p[38] = static_cast<uint8_t>(c.src >> 16);
  p[40] = static_cast<uint8_t>(c.src >> 8);
  p[42] = static_cast<uint8_t>(c.src);
  return p;
}
inline Bytes hyt_terminator(const HytCall& c, uint16_t seq) {
  return hyt_packet("ende_hyt", c, seq);
}

// Burst letter 0..5 (A..F) of the call with the given frames, centre bits
// and errors.
inline Bytes hyt_burst(const HytCall& c, uint16_t seq, int letter, const uint8_t frames[3][49], const uint8_t* centre,
                       const Errors errors[3]) {
  Bytes p = hyt_packet(VOICE_NAMES[letter], c, seq);
  put_burst(p, make_burst(frames, centre, errors));
  return p;
}

// ---- Motorola packets ------------------------------------------------------

inline void push24(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 16));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

struct MotoWant {
  bool priv = false;
  Bytes peer{0x00, 0xAB, 0xCD, 0xEF};
  uint8_t call_seq = 1;
  uint32_t src = 0, dst = 0;
  Bytes tag{0, 0, 0, 0};
  uint16_t seq = 0;
  uint32_t timestamp = 0;
};

// Bytes 0-30.
inline Bytes moto_call_header(const MotoWant& w, uint8_t call_info, uint8_t marker, uint8_t burst_type) {
  Bytes b{static_cast<uint8_t>(w.priv ? 0x81 : 0x80)};
  b.insert(b.end(), w.peer.begin(), w.peer.end());
  b.push_back(w.call_seq);
  push24(b, w.src);
  push24(b, w.dst);
  b.push_back(0x02);
  b.insert(b.end(), w.tag.begin(), w.tag.end());
  b.push_back(call_info);
  b.push_back(0x80);
  b.push_back(marker);
  b.push_back(static_cast<uint8_t>(w.seq >> 8));
  b.push_back(static_cast<uint8_t>(w.seq));
  b.push_back(static_cast<uint8_t>(w.timestamp >> 24));
  push24(b, w.timestamp);
  for (int i = 0; i < 4; ++i) b.push_back(0);
  b.push_back(burst_type);
  return b;
}

// Link control: FLCO 3 for a private call, else 0; destination; source.
inline Bytes moto_lc(const MotoWant& w) {
  Bytes b{static_cast<uint8_t>(w.priv ? 0x03 : 0x00), 0x00, 0x00};
  push24(b, w.dst);
  push24(b, w.src);
  return b;
}

// Voice header up to its check bytes (bytes 0-46); bytes 47-49 are the
// RS(12,9) check, 50-55 fixed.
inline Bytes moto_header_head(const MotoWant& w, bool first) {
  Bytes b = moto_call_header(w, 0x20, first ? 0xDD : 0x5D, 0x01);
  for (uint8_t x : {0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60}) b.push_back(x);
  Bytes lc = moto_lc(w);
  b.insert(b.end(), lc.begin(), lc.end());
  return b;
}
inline const Bytes HEADER_TAIL{0x00, 0x11, 0x01, 0x36, 0x04, 0xCD};

inline Bytes moto_terminator_head(const MotoWant& w) {
  Bytes b = moto_call_header(w, 0x60, 0x5E, 0x02);
  for (uint8_t x : {0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60}) b.push_back(x);
  Bytes lc = moto_lc(w);
  b.insert(b.end(), lc.begin(), lc.end());
  return b;
}
inline const Bytes TERMINATOR_TAIL{0x00, 0x12, 0x05, 0x0C};

// The frame substitute: 1111 and 45 zero bits.
inline const uint8_t* substitute() {
  static const uint8_t s[49] = {1, 1, 1, 1};
  return s;
}

// Unsigned voice burst packet of letter 0..5: frames (bare, 49 bits each)
// with their bad-frame bits, then for B to E the embedded bits (32 entries)
// and the EMB byte; burst E also carries the link control.
inline Bytes moto_burst(const MotoWant& w, int letter, const uint8_t* const frames[3], const bool bad[3],
                        const uint8_t* embedded, uint8_t emb_byte) {
  const uint8_t len[] = {0x14, 0x19, 0x19, 0x19, 0x22, 0x19};
  const uint8_t flags[] = {0x40, 0x06, 0x06, 0x06, 0x16, 0x06};
  Bytes b = moto_call_header(w, 0x20, 0x5D, 0x8A);
  b.push_back(len[letter]);
  b.push_back(flags[letter]);
  Bytes f(19, 0);
  for (unsigned k = 0; k < 3; ++k) {
    for (unsigned i = 0; i < 49; ++i) set_bit(f.data(), 50 * k + i, frames[k][i]);
    set_bit(f.data(), 50 * k + 49, bad[k] ? 1 : 0);
  }
  b.insert(b.end(), f.begin(), f.end());
  if (letter == 0) return b;
  if (letter == 5) {
    for (uint8_t x : {0x00, 0x00, 0x00, 0x00, 0x10}) b.push_back(x);
    return b;
  }
  Bytes e(4, 0);
  for (unsigned i = 0; i < 32; ++i) set_bit(e.data(), i, embedded[i]);
  b.insert(b.end(), e.begin(), e.end());
  if (letter == 4) {
    Bytes lc = moto_lc(w);
    b.insert(b.end(), lc.begin(), lc.end());
  }
  b.push_back(emb_byte);
  return b;
}

// EMB byte of centre bits: colour code, PI, LCSS (EMB entries 0-6) in bits
// 7..1.
inline uint8_t emb_byte_of(const uint8_t* centre) {
  uint8_t v = 0;
  for (unsigned i = 0; i < 7; ++i) v = static_cast<uint8_t>(v | (centre[i] & 1) << (7 - i));
  return v;
}

}  // namespace mvoice
