// SPDX-License-Identifier: GPL-2.0-or-later
// Hytera voice packets, the 72-byte datagrams of voice on the master's port
// 62006, built from nine constant templates and read back.
//
//    0- 3  leading bytes (EE EE 11 11 in burst E, else zero)
//    4- 5  sequence number, least significant byte first
//    8     packet type: 1 voice (header and bursts), 2 sync (call start), 3 terminator
//   16-17  slot word, 22 22 for time slot 2
//   18-19  frame type, both bytes alike: EE sync, 11 header, 22 terminator,
//          77 88 99 AA BB CC bursts A to F
//   26-59  the 33-byte DMR burst in exchanged byte pairs: burst byte k at
//          packet byte (26 + k) XOR 1; packet byte 58 is a pad
//   62     call type: 1 group, 0 private
//   64-66  destination ID, least significant byte first
//   68-70  source ID, least significant byte first
// Everything else is fixed by the template.
//
// Pure functions over the caller's buffers: both relay threads use them.
#pragma once

#include <cstdint>

inline constexpr unsigned HYT_PACKET_LEN = 72;

inline constexpr uint8_t HYT_TYPE_VOICE = 0x01;
inline constexpr uint8_t HYT_TYPE_SYNC = 0x02;
inline constexpr uint8_t HYT_TYPE_TERMINATOR = 0x03;

inline constexpr uint8_t HYT_FRAME_SYNC = 0xEE;
inline constexpr uint8_t HYT_FRAME_HEADER = 0x11;
inline constexpr uint8_t HYT_FRAME_TERMINATOR = 0x22;
inline constexpr uint8_t HYT_FRAME_BURST_A = 0x77;  // B to F follow in steps of 0x11

// Call start (burst all zero but the source ID at 38, 40, 42), voice LC
// header, terminator with LC, bursts A to F.
extern const uint8_t (&sync_hyt)[HYT_PACKET_LEN];
extern const uint8_t (&start_hyt)[HYT_PACKET_LEN];
extern const uint8_t (&ende_hyt)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt1)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt2)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt3)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt4)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt5)[HYT_PACKET_LEN];
extern const uint8_t (&Voice_hyt6)[HYT_PACKET_LEN];

// Template of burst position 1..6 (A..F); null for anything else.
const uint8_t* hyt_voice_template(int position);

// Exchanges the bytes of each of the 36 pairs (0,1) .. (70,71); its own inverse.
void hyt_swap_pairs(uint8_t* pkt);

// burst[0..33) = the DMR burst of the packet, in air order.
void hyt_read_burst(const uint8_t* pkt, uint8_t* burst);
// The packet's burst area = burst[0..33); the pad byte keeps its value.
void hyt_write_burst(uint8_t* pkt, const uint8_t* burst);

// ---- field writers ---------------------------------------------------------

void hyt_write_seq(uint8_t* pkt, uint16_t seq);
void hyt_write_dst(uint8_t* pkt, uint32_t dst);  // 24 bits
void hyt_write_src(uint8_t* pkt, uint32_t src);  // 24 bits
void hyt_write_call_type(uint8_t* pkt, bool private_call);
// The sync packet's copy of the source ID: bytes 38, 40, 42, most
// significant first.
void hyt_write_sync_src(uint8_t* pkt, uint32_t src);

// The link-control bits of a voice LC header or terminator burst (burst bits
// 0-97 and 166-263): lc[0..9) with its RS(12,9) check under `mask`, coded
// with BPTC(196,96). Slot type and sync stay as they are.
void hyt_write_lc_burst(uint8_t* pkt, const uint8_t* lc, uint8_t mask);

// ---- field readers (on the packet as received) ------------------------------

inline uint8_t hyt_packet_type(const uint8_t* pkt) {
  return pkt[8] & 0x0F;
}
// Slot number; a packet that begins with 'A' counts as slot 0.
inline uint8_t hyt_slot(const uint8_t* pkt) {
  return pkt[0] == 0x41 ? 0 : pkt[16] & 0x0F;
}
inline uint8_t hyt_frame_type(const uint8_t* pkt) {
  return pkt[19];
}
inline bool hyt_private(const uint8_t* pkt) {
  return pkt[62] == 0;
}
uint16_t hyt_seq(const uint8_t* pkt);
uint32_t hyt_dst(const uint8_t* pkt);
uint32_t hyt_src(const uint8_t* pkt);
