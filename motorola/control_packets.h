// SPDX-License-Identifier: GPL-2.0-or-later
// The fixed control packets the gateway sends on the Motorola link.
// Start-up writes the peer ID into bytes 1..4 and signs each once; after
// that they are only read.
#pragma once
#include <cstdint>

inline constexpr int START_LEN = 24, START2_LEN = 15, START_HB_LEN = 24, PEER_95_LEN = 19, PEER_99_LEN = 20,
                     DEREG_LEN = 15;

extern uint8_t start[START_LEN];        // 0x90 registration request
extern uint8_t start2[START2_LEN];      // 0x92 peer-list request
extern uint8_t start_hb[START_HB_LEN];  // 0x96 keep-alive request
extern uint8_t peer_95[PEER_95_LEN];    // 0x95 registration reply to another peer
extern uint8_t peer_99[PEER_99_LEN];    // 0x99 keep-alive reply to another peer
extern uint8_t dereg_9a[DEREG_LEN];     // 0x9A de-registration request (we leave the link)
extern uint8_t dereg_9b[DEREG_LEN];     // 0x9B de-registration reply (the repeater leaves)

// Copies the unsigned templates back (start-of-run state).
void reset_control_packets();

// Sets the bit of value 2 in byte 5 of start, peer_99 and start_hb, writes
// the peer ID and appends the 10-byte tag of each packet.
void sign_control_packets(const uint8_t peer_id[4], const uint8_t key[20]);
