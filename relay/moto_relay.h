// SPDX-License-Identifier: GPL-2.0-or-later
// Where the Motorola-side reader hands over voice (0x80/0x81) and data
// (0x84) packets from the repeater, bound for the DMR master.
#pragma once
#include <cstdint>

// Each returns true when the reader's pass ends right after it (a repeated
// or skipped packet), false when the pass goes on.  now_ms: the reader's
// monotonic time, for the call record.
bool relay_moto_voice(const uint8_t* pkt, int len, int64_t now_ms);
bool relay_moto_data(const uint8_t* pkt, int len);

// Voice and data relay state back to the start of a run.
void reset_moto_relays();

// Hands the Motorola-side reader's voice and data packets to the relays
// above (and their reset to its start).
void install_moto_relays();
