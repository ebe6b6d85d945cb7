// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola voice packets: templates, field writers and readers.
#include "motorola/voice_packet.h"

#include <cstring>

#include "dmr/bits.h"
#include "dmr/full_lc.h"

// Fields that are written for every packet hold zero here (the voice header's
// marker, check bytes and EMB bytes show typical values; they are rewritten
// all the same).
#define MOTO_CALL_HEADER(call_info, marker, burst_type)                                                            \
  0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, call_info, \
      0x80, marker, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, burst_type
#define MOTO_FRAMES 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0
#define MOTO_TAG 0, 0, 0, 0, 0, 0, 0, 0, 0, 0

// One row per field group, as the packets are laid out.
// clang-format off
const uint8_t Voice_moto66[66] = {
    MOTO_CALL_HEADER(0x20, 0xDD, 0x01),
    0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // link control
    0x02, 0xF8, 0xC5, 0x00, 0x11, 0x01, 0x36, 0x04, 0xCD,
    MOTO_TAG};

const uint8_t Voice_moto64[64] = {
    MOTO_CALL_HEADER(0x60, 0x5E, 0x02),
    0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // link control
    0x0D, 0x7F, 0xCA, 0x00, 0x12, 0x05, 0x0C,
    MOTO_TAG};

const uint8_t Voice_moto_A[62] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A), 0x14, 0x40, MOTO_FRAMES,
                                  MOTO_TAG};
const uint8_t Voice_moto_B[67] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A), 0x19, 0x06, MOTO_FRAMES,
                                  0x00, 0x00, 0x00, 0x00, 0x12, MOTO_TAG};
const uint8_t Voice_moto_C[67] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A), 0x19, 0x06, MOTO_FRAMES,
                                  0x00, 0x00, 0x00, 0x00, 0x16, MOTO_TAG};
const uint8_t Voice_moto_D[67] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A), 0x19, 0x06, MOTO_FRAMES,
                                  0x00, 0x00, 0x00, 0x00, 0x16, MOTO_TAG};
const uint8_t Voice_moto_E[76] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A),
                                  0x22, 0x16, MOTO_FRAMES,
                                  0x00, 0x00, 0x00, 0x00,                    // embedded bits
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // link control
                                  0x14, MOTO_TAG};
const uint8_t Voice_moto_F[67] = {MOTO_CALL_HEADER(0x20, 0x5D, 0x8A), 0x19, 0x06, MOTO_FRAMES,
                                  0x00, 0x00, 0x00, 0x00, 0x10, MOTO_TAG};
// clang-format on

#undef MOTO_CALL_HEADER
#undef MOTO_FRAMES
#undef MOTO_TAG

const uint8_t MOTO_FRAME_SUBSTITUTE[49] = {1, 1, 1, 1};

namespace {

struct Shape {
  const uint8_t* tmpl;
  uint8_t sent_len;
};
const Shape SHAPES[MOTO_VOICE_KINDS] = {
    {Voice_moto66, sizeof Voice_moto66}, {Voice_moto64, sizeof Voice_moto64}, {Voice_moto_A, sizeof Voice_moto_A},
    {Voice_moto_B, sizeof Voice_moto_B}, {Voice_moto_C, sizeof Voice_moto_C}, {Voice_moto_D, sizeof Voice_moto_D},
    {Voice_moto_E, sizeof Voice_moto_E}, {Voice_moto_F, sizeof Voice_moto_F},
};

constexpr unsigned FRAMES_FIRST_BIT = 8 * 33;
constexpr unsigned SLOT_BITS = 50;
constexpr unsigned EMBEDDED_BYTE = 52;
constexpr unsigned HEADER_LC_BYTE = 38;  // voice header and terminator
constexpr unsigned BURST_E_LC_BYTE = 56;

void put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
uint32_t get24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | get24(p + 1);
}

}  // namespace

const uint8_t* moto_voice_template(MotoVoiceKind kind) {
  return SHAPES[kind].tmpl;
}
unsigned moto_voice_sent_len(MotoVoiceKind kind) {
  return SHAPES[kind].sent_len;
}
unsigned moto_voice_unsigned_len(MotoVoiceKind kind) {
  return SHAPES[kind].sent_len - AUTH_TAG_LEN;
}

unsigned moto_voice_begin(MotoVoiceKind kind, uint8_t* pkt) {
  std::memcpy(pkt, SHAPES[kind].tmpl, SHAPES[kind].sent_len);
  return SHAPES[kind].sent_len;
}

void moto_write_call(uint8_t* pkt, MotoVoiceKind kind, const MotoCall& call) {
  pkt[0] = call.private_call ? MOTO_OP_PRIVATE_VOICE : MOTO_OP_GROUP_VOICE;
  std::memcpy(pkt + 1, call.peer_id, 4);
  pkt[5] = call.call_seq;
  put24(pkt + 6, call.src_id);
  put24(pkt + 9, call.dst_id);
  std::memcpy(pkt + 13, call.call_tag, 4);

  uint8_t* lc = nullptr;
  if (kind == MOTO_VOICE_HEADER || kind == MOTO_VOICE_TERMINATOR) lc = pkt + HEADER_LC_BYTE;
  if (kind == MOTO_BURST_E) lc = pkt + BURST_E_LC_BYTE;
  if (!lc) return;
  full_lc_build(call.private_call, call.dst_id, call.src_id, lc);
  if (kind == MOTO_BURST_E) return;
  full_lc_check(lc, kind == MOTO_VOICE_HEADER ? RS129_MASK_VOICE_LC_HEADER : RS129_MASK_TERMINATOR_LC,
                lc + FULL_LC_BYTES);
}

void moto_write_header_marker(uint8_t* pkt, bool first_header) {
  pkt[19] = first_header ? MOTO_MARKER_FIRST_HEADER : MOTO_MARKER_HEADER;
}

void moto_write_rtp(uint8_t* pkt, uint16_t seq, uint32_t timestamp) {
  pkt[20] = static_cast<uint8_t>(seq >> 8);
  pkt[21] = static_cast<uint8_t>(seq);
  pkt[22] = static_cast<uint8_t>(timestamp >> 24);
  put24(pkt + 23, timestamp);
}

void moto_write_frame(uint8_t* pkt, unsigned slot, const uint8_t* frame, bool bad) {
  if (slot >= MOTO_FRAME_SLOTS) return;
  const unsigned first = FRAMES_FIRST_BIT + SLOT_BITS * slot;
  write_bits(pkt, first, 49, frame);
  const uint8_t tail[3] = {static_cast<uint8_t>(bad ? 1 : 0), 0, 0};
  // The last slot's bad-frame bit is followed by the two closing zero bits.
  write_bits(pkt, first + 49, slot == MOTO_FRAME_SLOTS - 1 ? 3 : 1, tail);
}

void moto_write_embedded(uint8_t* pkt, const uint8_t* bits) {
  pack_bits(bits, 32, pkt + EMBEDDED_BYTE);
}

void moto_write_emb_byte(uint8_t* pkt, MotoVoiceKind kind, const uint8_t* emb) {
  if (kind < MOTO_BURST_B || kind > MOTO_BURST_E) return;
  pkt[moto_voice_unsigned_len(kind) - 1] = static_cast<uint8_t>(bits_to_uint(emb, 7) << 1);
}

unsigned moto_sign(Sha1Context& ctx, const uint8_t* key, uint8_t* pkt, MotoVoiceKind kind) {
  const unsigned n = moto_voice_unsigned_len(kind);
  auth_tag(ctx, key, pkt, n, pkt + n);
  return n + AUTH_TAG_LEN;
}

uint32_t moto_peer_id(const uint8_t* pkt) {
  return get32(pkt + 1);
}
uint8_t moto_call_seq(const uint8_t* pkt) {
  return pkt[5];
}
uint32_t moto_src_id(const uint8_t* pkt) {
  return get24(pkt + 6);
}
uint32_t moto_dst_id(const uint8_t* pkt) {
  return get24(pkt + 9);
}
uint16_t moto_rtp_seq(const uint8_t* pkt) {
  return static_cast<uint16_t>(pkt[20] << 8 | pkt[21]);
}
uint32_t moto_rtp_timestamp(const uint8_t* pkt) {
  return get32(pkt + 22);
}

void moto_read_frame(const uint8_t* pkt, unsigned slot, uint8_t* frame) {
  if (slot >= MOTO_FRAME_SLOTS) return;
  read_bits(pkt, FRAMES_FIRST_BIT + SLOT_BITS * slot, 49, frame);
}

bool moto_frame_bad(const uint8_t* pkt, unsigned slot) {
  if (slot >= MOTO_FRAME_SLOTS) return false;
  uint8_t bit;
  read_bits(pkt, FRAMES_FIRST_BIT + SLOT_BITS * slot + 49, 1, &bit);
  return bit == 1;
}

void moto_read_embedded(const uint8_t* pkt, uint8_t* bits) {
  unpack_bits(pkt + EMBEDDED_BYTE, 4, bits);
}
