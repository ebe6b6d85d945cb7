// SPDX-License-Identifier: GPL-2.0-or-later
// Voice packets of the Motorola link: voice header, voice burst A to F and
// voice terminator, built from constant templates and read back.
//
// Every number is big-endian; packet bit 8i + j is bit 7 - j of byte i. All
// packets share the 31-byte call header:
//    0     opcode      0x80 group call, 0x81 private call
//    1- 4  peer_id     sender's peer ID
//    5     call_seq    the same in every packet of a call, +1 per call
//    6- 8  src_id
//    9-11  dst_id      talkgroup or called radio
//   12     0x02
//   13-16  call_tag    random per call
//   17     call_info   0x20 header and bursts, 0x60 terminator; bit 0x20 = slot 2
//   18-29  RTP fixed header: 0x80; marker + payload type (0xDD first header,
//          0x5D further header and bursts, 0x5E terminator); sequence number;
//          timestamp; SSRC 0
//   30     burst_type  low six bits: 1 header, 2 terminator, 10 voice burst
// Header (66 bytes) and terminator (64) then carry a DMR full link control in
// bytes 38-46 (control, destination, source) with its RS(12,9) check in
// 47-49. A voice burst carries burst_len (31), burst_flags (32; 0x40 marks
// burst A), three 50-bit frame slots in 33-51 (49 frame bits in plain AMBE+2
// order, then the bad-frame bit; two zero bits close byte 51), and in B-F the
// 32 embedded-signalling bits (52-55) and the EMB byte (colour code, PI,
// LCSS, 0). Burst E also repeats the link control in 56-64. Every packet ends
// in the 10-byte authentication tag over the bytes before it.
//
// Pure functions over the caller's buffers: both relay threads use them.
#pragma once

#include <cstdint>

#include "auth/hmac_sha1.h"

enum MotoVoiceKind : uint8_t {
  MOTO_VOICE_HEADER,
  MOTO_VOICE_TERMINATOR,
  MOTO_BURST_A,
  MOTO_BURST_B,
  MOTO_BURST_C,
  MOTO_BURST_D,
  MOTO_BURST_E,
  MOTO_BURST_F,
};
inline constexpr unsigned MOTO_VOICE_KINDS = 8;

inline constexpr uint8_t MOTO_OP_GROUP_VOICE = 0x80;
inline constexpr uint8_t MOTO_OP_PRIVATE_VOICE = 0x81;
inline constexpr uint8_t MOTO_CALL_INFO_SLOT2 = 0x20;
inline constexpr uint8_t MOTO_MARKER_FIRST_HEADER = 0xDD;
inline constexpr uint8_t MOTO_MARKER_HEADER = 0x5D;
inline constexpr uint8_t MOTO_BURST_TYPE_HEADER = 1;
inline constexpr uint8_t MOTO_BURST_TYPE_TERMINATOR = 2;
inline constexpr uint8_t MOTO_BURST_TYPE_VOICE = 10;
inline constexpr uint8_t MOTO_BURST_FLAG_A = 0x40;

// Bytes a reader needs: the call header, and a voice burst's frames.
inline constexpr unsigned MOTO_CALL_HEADER_LEN = 31;
inline constexpr unsigned MOTO_BURST_READ_LEN = 52;
// Longest packet (burst E with its tag).
inline constexpr unsigned MOTO_VOICE_MAX_LEN = 76;
inline constexpr unsigned MOTO_FRAME_SLOTS = 3;

// Templates, each of its sent length, holding every fixed byte.
extern const uint8_t Voice_moto66[66];
extern const uint8_t Voice_moto64[64];
extern const uint8_t Voice_moto_A[62];
extern const uint8_t Voice_moto_B[67];
extern const uint8_t Voice_moto_C[67];
extern const uint8_t Voice_moto_D[67];
extern const uint8_t Voice_moto_E[76];
extern const uint8_t Voice_moto_F[67];

// The bare frame that stands in for one with too many bit errors: 1111 then
// 45 zero bits.
extern const uint8_t MOTO_FRAME_SUBSTITUTE[49];

const uint8_t* moto_voice_template(MotoVoiceKind kind);
unsigned moto_voice_sent_len(MotoVoiceKind kind);
// Sent length without the tag.
unsigned moto_voice_unsigned_len(MotoVoiceKind kind);

// ---- building ---------------------------------------------------------------

// What is the same in every packet of one call.
struct MotoCall {
  bool private_call;
  uint8_t peer_id[4];
  uint8_t call_seq;
  uint32_t src_id;  // 24 bits
  uint32_t dst_id;  // 24 bits
  uint8_t call_tag[4];
};

// Copies the template of `kind` into pkt (room for its sent length);
// returns the sent length.
unsigned moto_voice_begin(MotoVoiceKind kind, uint8_t* pkt);

// Opcode, peer_id, call_seq, src_id, dst_id, call_tag, and the link control
// that the kind carries: bytes 38-49 (with the check bytes of a voice LC
// header or a terminator) or burst E's bytes 56-64. A private call's link
// control says unit-to-unit voice (FLCO 3), a group call's group voice.
void moto_write_call(uint8_t* pkt, MotoVoiceKind kind, const MotoCall& call);

// Byte 19 of a voice header: 0xDD for the first header of a call, else 0x5D.
void moto_write_header_marker(uint8_t* pkt, bool first_header);

void moto_write_rtp(uint8_t* pkt, uint16_t seq, uint32_t timestamp);

// Frame slot 0..2 = frame[0..49) (plain order) and the bad-frame bit;
// also clears the two bits after the last slot.
void moto_write_frame(uint8_t* pkt, unsigned slot, const uint8_t* frame, bool bad);

// Bytes 52-55 = bits[0..32). Bursts B to E.
void moto_write_embedded(uint8_t* pkt, const uint8_t* bits);

// The EMB byte of bursts B to E = emb[0..7) (colour code, PI, LCSS) in bits
// 7..1, bit 0 zero. Burst F keeps its template's 0x10; other kinds have no
// EMB byte and are left alone.
void moto_write_emb_byte(uint8_t* pkt, MotoVoiceKind kind, const uint8_t* emb);

// Appends the tag over the unsigned packet; returns the sent length.
unsigned moto_sign(Sha1Context& ctx, const uint8_t* key, uint8_t* pkt, MotoVoiceKind kind);

// ---- reading (the caller has checked the length) ------------------------------

inline uint8_t moto_opcode(const uint8_t* pkt) {
  return pkt[0];
}
inline bool moto_private(const uint8_t* pkt) {
  return pkt[0] == MOTO_OP_PRIVATE_VOICE;
}
uint32_t moto_peer_id(const uint8_t* pkt);
uint8_t moto_call_seq(const uint8_t* pkt);
uint32_t moto_src_id(const uint8_t* pkt);
uint32_t moto_dst_id(const uint8_t* pkt);
inline bool moto_slot2(const uint8_t* pkt) {
  return (pkt[17] & MOTO_CALL_INFO_SLOT2) != 0;
}
inline uint8_t moto_marker(const uint8_t* pkt) {
  return pkt[19];
}
uint16_t moto_rtp_seq(const uint8_t* pkt);
uint32_t moto_rtp_timestamp(const uint8_t* pkt);
inline uint8_t moto_burst_type(const uint8_t* pkt) {
  return pkt[30] & 0x3F;
}
// Voice bursts only.
inline bool moto_burst_a(const uint8_t* pkt) {
  return (pkt[32] & MOTO_BURST_FLAG_A) != 0;
}

// frame[0..49) = the bare frame of slot 0..2 (plain order).
void moto_read_frame(const uint8_t* pkt, unsigned slot, uint8_t* frame);
bool moto_frame_bad(const uint8_t* pkt, unsigned slot);
// bits[0..32) = bytes 52-55 (bursts B to F).
void moto_read_embedded(const uint8_t* pkt, uint8_t* bits);
