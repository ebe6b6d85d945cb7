// SPDX-License-Identifier: GPL-2.0-or-later
#include "motorola/control_packets.h"

#include <cstring>

#include "auth/hmac_sha1.h"

namespace {
const uint8_t start_template[START_LEN] = {0x90, 0, 0, 0, 0, 0x60, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00};
const uint8_t start2_template[START2_LEN] = {0x92};
const uint8_t start_hb_template[START_HB_LEN] = {0x96, 0,    0,    0,    0,    0x60, 0x00,
                                                 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00};
const uint8_t peer_95_template[PEER_95_LEN] = {0x95, 0, 0, 0, 0, 0x04, 0x04, 0x04, 0x00};
const uint8_t peer_99_template[PEER_99_LEN] = {0x99, 0, 0, 0, 0, 0x60, 0x00, 0x00, 0xE0, 0x1C};
const uint8_t dereg_9a_template[DEREG_LEN] = {0x9A};
const uint8_t dereg_9b_template[DEREG_LEN] = {0x9B};
}  // namespace

uint8_t start[START_LEN];
uint8_t start2[START2_LEN];
uint8_t start_hb[START_HB_LEN];
uint8_t peer_95[PEER_95_LEN];
uint8_t peer_99[PEER_99_LEN];
uint8_t dereg_9a[DEREG_LEN];
uint8_t dereg_9b[DEREG_LEN];

void reset_control_packets() {
  memcpy(start, start_template, sizeof start);
  memcpy(start2, start2_template, sizeof start2);
  memcpy(start_hb, start_hb_template, sizeof start_hb);
  memcpy(peer_95, peer_95_template, sizeof peer_95);
  memcpy(peer_99, peer_99_template, sizeof peer_99);
  memcpy(dereg_9a, dereg_9a_template, sizeof dereg_9a);
  memcpy(dereg_9b, dereg_9b_template, sizeof dereg_9b);
}

void sign_control_packets(const uint8_t peer_id[4], const uint8_t key[20]) {
  start[5] |= 0x02;
  peer_99[5] |= 0x02;
  start_hb[5] |= 0x02;
  struct {
    uint8_t* pkt;
    uint8_t signed_len;
  } const packets[] = {{start, 14},   {start2, 5},   {start_hb, 14}, {peer_95, 9},
                       {peer_99, 10}, {dereg_9a, 5}, {dereg_9b, 5}};
  for (const auto& p : packets) {
    memcpy(p.pkt + 1, peer_id, 4);
    HMACInit(key, 20);
    HMACBlock(p.pkt, p.signed_len);
    HMACDone();
    memcpy(p.pkt + p.signed_len, shadigest_bytes(), 10);
  }
}
