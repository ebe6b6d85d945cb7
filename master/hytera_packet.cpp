// SPDX-License-Identifier: GPL-2.0-or-later
// Hytera voice packets: templates, burst area, field writers and readers.
#include "master/hytera_packet.h"

#include "dmr/bits.h"
#include "dmr/bptc196.h"
#include "dmr/burst.h"
#include "dmr/full_lc.h"

namespace {

constexpr unsigned BURST_AREA = 26;
// Packet bytes 26-59: the burst in exchanged byte pairs, pad byte 58 included.
constexpr unsigned BURST_AREA_BYTES = 34;
constexpr uint8_t HYT_FRAME_BURST_E = HYT_FRAME_BURST_A + 0x44;

// What sets the nine templates apart: packet type, frame type and the burst
// area as it is carried.
struct TemplateRow {
  uint8_t type, frame;
  uint8_t area[BURST_AREA_BYTES];
};
constexpr unsigned TEMPLATE_COUNT = 9;
constexpr TemplateRow TEMPLATE_ROWS[TEMPLATE_COUNT] = {
    // Call start: burst zero but for the source ID at 38, 40, 42.
    {HYT_TYPE_SYNC, HYT_FRAME_SYNC, {}},
    // Voice LC header; 38, 40, 42 hold slot type and data sync, the link control is written per call.
    {HYT_TYPE_VOICE, HYT_FRAME_HEADER, {0xEA, 0x00, 0x7E, 0x09, 0x8C, 0x0D, 0xB0, 0x17, 0x40, 0x1E, 0x80, 0x70,
                                        0x6D, 0x84, 0x57, 0xFF, 0x5D, 0xD7, 0xDE, 0xF5, 0xC4, 0x31, 0x88, 0x05,
                                        0xC0, 0x27, 0xA0, 0x11, 0x81, 0x10, 0x00, 0x06, 0x00, 0x99}},
    // Terminator with LC; the link control is written per call.
    {HYT_TYPE_TERMINATOR, HYT_FRAME_TERMINATOR, {0x85, 0x00, 0xAA, 0x09, 0x3C, 0x0D, 0xC8, 0x17, 0x30, 0x1E, 0x20, 0x70,
                                                 0xAD, 0x84, 0x57, 0xFF, 0x5D, 0xD7, 0xD9, 0xF5, 0xD0, 0x64, 0xB0, 0x06,
                                                 0xA0, 0x20, 0xE0, 0x1D, 0x81, 0x18, 0x00, 0x1F, 0x00, 0xAA}},
    // Burst A: base-station voice sync in the centre.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A, {0x98, 0xC4, 0x9C, 0xD0, 0x4B, 0x05, 0xF0, 0xD4, 0x39, 0x05, 0xBB, 0x6F,
                                         0x37, 0x36, 0xFD, 0x55, 0xF7, 0x7D, 0x76, 0x5F, 0xCB, 0x16, 0xFD, 0xCE,
                                         0x8E, 0xDF, 0x70, 0xE0, 0xA3, 0x22, 0x72, 0xC5, 0x00, 0x19}},
    // Burst B: EMB with LCSS 1.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x11, {0xA8, 0xFB, 0x56, 0xC5, 0x6B, 0x22, 0x3E, 0xC1, 0xCA, 0xD1, 0xE5, 0x98,
                                                0x61, 0x32, 0x60, 0x30, 0xA0, 0x00, 0x17, 0x09, 0x95, 0x6F, 0xD1, 0x2E,
                                                0xB8, 0xEA, 0x56, 0xC5, 0x6B, 0x23, 0x2E, 0xC1, 0x00, 0xF3}},
    // Burst C: EMB with LCSS 3.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x22, {0xBE, 0xEE, 0x76, 0xC2, 0x87, 0x07, 0x62, 0x95, 0xEC, 0x3B, 0xE0, 0x9C,
                                                0x41, 0x56, 0x00, 0x70, 0x00, 0xA0, 0x45, 0x37, 0xC5, 0xE3, 0x3B, 0x62,
                                                0x9C, 0xEC, 0x56, 0xE0, 0xE3, 0x45, 0x62, 0xC5, 0x00, 0x19}},
    // Burst D: EMB with LCSS 3.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x33, {0xBE, 0xEE, 0x14, 0xC0, 0xA7, 0x67, 0x62, 0x91, 0xDB, 0x19, 0xE5, 0x88,
                                                0x61, 0x32, 0x90, 0x70, 0xB0, 0x01, 0x47, 0xC7, 0x95, 0x6F, 0xF3, 0x2E,
                                                0x98, 0xCA, 0x32, 0xE5, 0x6F, 0x67, 0x2E, 0x85, 0x00, 0xF3}},
    // Burst E: EMB with LCSS 2.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_E, {0x88, 0xDB, 0x32, 0xE5, 0x6F, 0x67, 0x2E, 0x85, 0xDB, 0xF3, 0xE5, 0x88,
                                         0x61, 0x32, 0x31, 0x50, 0x21, 0x81, 0x77, 0x40, 0x94, 0x6F, 0xF3, 0x2E,
                                         0x98, 0xCA, 0x32, 0xE5, 0x6F, 0x67, 0x2C, 0x84, 0x00, 0xF3}},
    // Burst F: EMB with LCSS 0, no embedded signalling.
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x55, {0x98, 0xCA, 0x32, 0xE5, 0x6F, 0x67, 0x2C, 0x94, 0xCA, 0xF3, 0xE5, 0x98,
                                                0x61, 0x32, 0x00, 0x10, 0x00, 0x00, 0x26, 0x0E, 0x95, 0x6F, 0xF3, 0x2C,
                                                0x98, 0xCA, 0x32, 0xE5, 0x6F, 0x67, 0x2C, 0x95, 0x00, 0xF3}},
};

// Every template is the same frame around its row.
struct Templates {
  uint8_t pkt[TEMPLATE_COUNT][HYT_PACKET_LEN] = {};
  constexpr Templates() {
    for (unsigned t = 0; t < TEMPLATE_COUNT; ++t) {
      const TemplateRow& row = TEMPLATE_ROWS[t];
      uint8_t* p = pkt[t];
      if (row.frame == HYT_FRAME_BURST_E) {
        p[0] = p[1] = 0xEE;
        p[2] = p[3] = 0x11;
      }
      p[8] = row.type;
      p[10] = 0x05;
      p[11] = 0x01;
      p[12] = 0x02;
      p[16] = p[17] = 0x22;  // time slot 2
      p[18] = p[19] = row.frame;
      p[20] = p[21] = 0x11;
      if (row.frame == HYT_FRAME_SYNC) {
        p[22] = p[23] = 0x11;
      } else {
        p[24] = 0x10;
        p[60] = 0x02;
      }
      for (unsigned i = 0; i < BURST_AREA_BYTES; ++i) p[BURST_AREA + i] = row.area[i];
      p[62] = 0x01;  // group call
    }
  }
};
constexpr Templates TEMPLATES;

// The 196 link-control bits of a data burst: burst bits 0-97, then 166-263.
constexpr unsigned LC_FIRST_HALF = 98, LC_SECOND_START = 166;

void put24le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
uint32_t get24le(const uint8_t* p) {
  return p[0] | p[1] << 8 | static_cast<uint32_t>(p[2]) << 16;
}

}  // namespace

const uint8_t (&sync_hyt)[HYT_PACKET_LEN] = TEMPLATES.pkt[0];
const uint8_t (&start_hyt)[HYT_PACKET_LEN] = TEMPLATES.pkt[1];
const uint8_t (&ende_hyt)[HYT_PACKET_LEN] = TEMPLATES.pkt[2];
const uint8_t (&Voice_hyt1)[HYT_PACKET_LEN] = TEMPLATES.pkt[3];
const uint8_t (&Voice_hyt2)[HYT_PACKET_LEN] = TEMPLATES.pkt[4];
const uint8_t (&Voice_hyt3)[HYT_PACKET_LEN] = TEMPLATES.pkt[5];
const uint8_t (&Voice_hyt4)[HYT_PACKET_LEN] = TEMPLATES.pkt[6];
const uint8_t (&Voice_hyt5)[HYT_PACKET_LEN] = TEMPLATES.pkt[7];
const uint8_t (&Voice_hyt6)[HYT_PACKET_LEN] = TEMPLATES.pkt[8];

const uint8_t* hyt_voice_template(int position) {
  return position >= 1 && position <= 6 ? TEMPLATES.pkt[2 + position] : nullptr;
}

void hyt_swap_pairs(uint8_t* pkt) {
  for (unsigned i = 0; i < HYT_PACKET_LEN; i += 2) {
    const uint8_t t = pkt[i];
    pkt[i] = pkt[i + 1];
    pkt[i + 1] = t;
  }
}

void hyt_read_burst(const uint8_t* pkt, uint8_t* burst) {
  for (unsigned k = 0; k < DMR_BURST_BYTES; ++k) burst[k] = pkt[(BURST_AREA + k) ^ 1];
}

void hyt_write_burst(uint8_t* pkt, const uint8_t* burst) {
  for (unsigned k = 0; k < DMR_BURST_BYTES; ++k) pkt[(BURST_AREA + k) ^ 1] = burst[k];
}

void hyt_write_seq(uint8_t* pkt, uint16_t seq) {
  pkt[4] = static_cast<uint8_t>(seq);
  pkt[5] = static_cast<uint8_t>(seq >> 8);
}

void hyt_write_dst(uint8_t* pkt, uint32_t dst) {
  put24le(pkt + 64, dst);
}
void hyt_write_src(uint8_t* pkt, uint32_t src) {
  put24le(pkt + 68, src);
}
void hyt_write_call_type(uint8_t* pkt, bool private_call) {
  pkt[62] = private_call ? 0x00 : 0x01;
}

void hyt_write_sync_src(uint8_t* pkt, uint32_t src) {
  pkt[38] = static_cast<uint8_t>(src >> 16);
  pkt[40] = static_cast<uint8_t>(src >> 8);
  pkt[42] = static_cast<uint8_t>(src);
}

void hyt_write_lc_burst(uint8_t* pkt, const uint8_t* lc, uint8_t mask) {
  uint8_t data[BPTC196_DATA_BYTES];
  for (unsigned i = 0; i < FULL_LC_BYTES; ++i) data[i] = lc[i];
  full_lc_check(lc, mask, data + FULL_LC_BYTES);
  uint8_t coded[BPTC196_BITS];
  bptc196_encode(data, coded);

  uint8_t burst[DMR_BURST_BYTES];
  hyt_read_burst(pkt, burst);
  write_bits(burst, 0, LC_FIRST_HALF, coded);
  write_bits(burst, LC_SECOND_START, BPTC196_BITS - LC_FIRST_HALF, coded + LC_FIRST_HALF);
  hyt_write_burst(pkt, burst);
}

uint16_t hyt_seq(const uint8_t* pkt) {
  return static_cast<uint16_t>(pkt[4] | pkt[5] << 8);
}
uint32_t hyt_dst(const uint8_t* pkt) {
  return get24le(pkt + 64);
}
uint32_t hyt_src(const uint8_t* pkt) {
  return get24le(pkt + 68);
}
