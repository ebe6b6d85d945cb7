// SPDX-License-Identifier: GPL-2.0-or-later
// Position report relay: position data that radios send through the
// Motorola repeater (opcode 0x84, slot 2) reaches the master as a 66-byte
// position report on its port 62006.
//
// A data header (type 6) clears the collection; the first data block (type
// 8) after it only arms it, each further block adds its 16 payload bytes
// (38-53) to a 96-byte accumulator (bytes beyond 96 are not kept). From the
// fourth block on, every block looks for the position text (a '.' in bytes
// 5-43 of the accumulator and another 11 bytes after it: latitude from 5
// before the first, longitude from 5 after it, speed from 16 after it),
// prints it when found, and sends the report:
//    0-    "%i6.6" of the peer ID, with its zero byte; then "Q" at 6
//    9-11  destination ID (where the text does not reach)
//   25-27  source ID
//   43-51  latitude text, 53-61 longitude text (9 bytes each)
//   62     "2"
//   63     mode: "4" Auto Time+Dist, "1" Manual, "2" Auto Time, "0" unknown
// The dot position and the texts carry over between reports, so a payload
// without a position repeats the last one decoded. Bytes the report does not
// set are zero, and so are the texts before the first decode.
// The master protocol sends it (classic: to the master's port 62006); an
// open master (it would take the report for voice) and a HomeBrew master get
// none, and the first one dropped is said once on the console.
// The entry point is relay_moto_data (master/moto_relay.h).
#pragma once

#include <cstdint>

inline constexpr int POS_ACCU_LEN = 96;
inline constexpr int POS_REPORT_LEN = 66;
inline constexpr int POS_BLOCK_PAYLOAD = 16;

// Relay state, used by the Motorola-side reader thread only.
extern uint8_t pos_accu[POS_ACCU_LEN];
// Runs POS_BLOCK_PAYLOAD ahead of the bytes stored; 0 after a data header.
extern int pos_accu_len;
// Index of the '.' that places the position text; kept between reports.
extern int pos_dot;
// Texts of the last successful decode (not zero-terminated).
extern char pos_lat[10];
extern char pos_lon[10];
extern char pos_speed[4];
// IDs of the latest stored block.
extern uint32_t pos_peer_id;
extern uint32_t pos_src_id;
// The report being written; cleared by every stored block, so bytes that
// the report does not set are zero.
extern uint8_t pos_report[POS_REPORT_LEN];
// Set once the console was told that reports are not sent to an open master.
extern bool pos_drop_told;

// Everything zero.
void reset_position_relay();
