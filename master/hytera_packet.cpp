// SPDX-License-Identifier: GPL-2.0-or-later
// Hytera voice packets: templates, burst area, field writers and readers.
#include "master/hytera_packet.h"

#include "dmr/bits.h"
#include "dmr/bptc196.h"
#include "dmr/burst.h"
#include "dmr/burst_templates.h"
#include "dmr/full_lc.h"

namespace {

constexpr unsigned BURST_AREA = 26;
constexpr uint8_t HYT_FRAME_BURST_E = HYT_FRAME_BURST_A + 0x44;

// What sets the nine templates apart: packet type, frame type and the DMR
// burst carried (none in the call start).
struct TemplateRow {
  uint8_t type, frame;
  int burst;  // BurstTemplate, or -1: all zero
};
constexpr unsigned TEMPLATE_COUNT = 9;
constexpr TemplateRow TEMPLATE_ROWS[TEMPLATE_COUNT] = {
    // Call start: burst zero but for the source ID at 38, 40, 42, written per call.
    {HYT_TYPE_SYNC, HYT_FRAME_SYNC, -1},
    {HYT_TYPE_VOICE, HYT_FRAME_HEADER, BT_HEADER},
    {HYT_TYPE_TERMINATOR, HYT_FRAME_TERMINATOR, BT_TERMINATOR},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A, BT_A},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x11, BT_B},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x22, BT_C},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x33, BT_D},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_E, BT_E},
    {HYT_TYPE_VOICE, HYT_FRAME_BURST_A + 0x55, BT_F},
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
      // The burst in exchanged byte pairs; packet byte 58 is a zero pad.
      if (row.burst >= 0)
        for (unsigned k = 0; k < DMR_BURST_BYTES; ++k) p[(BURST_AREA + k) ^ 1] = BURST_TEMPLATES[row.burst][k];
      p[62] = 0x01;  // group call
    }
  }
};
constexpr Templates TEMPLATES;

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
  uint8_t burst[DMR_BURST_BYTES];
  hyt_read_burst(pkt, burst);
  full_lc_write_burst(burst, lc, mask);
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
