// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola-to-master voice relay: every slot-2 voice packet from the
// Motorola repeater (opcode 0x80/0x81) becomes at most one Hytera voice
// packet, sent to the master at once from the reader's own pass.
//
//   voice header, first of a call (0xDD)  -> sync packet, "Moto RX+" line
//   voice header, further (0x5D)          -> voice LC header packet
//   voice burst                           -> burst A..F by the burst position,
//                                            frames re-coded, embedded LC in B..E
//   voice terminator                      -> terminator packet, "Moto RX-" line
// A packet that repeats the RTP sequence number of the packet accepted just
// before it is dropped and ends the reader's pass. Packets too short for
// what their kind is read from, with an unknown burst type, or a header with
// an unknown marker, are dropped and change nothing.
//
// The call record (CH_REPEATER_SLOT2) gets each call from its first header
// (the "Moto RX+" line) to its terminator; the Motorola-side reader ends it
// after 3 s without a burst.  Each burst adds the bursts lost before it
// (relay/burst_loss.h: gaps in the RTP sequence numbers, and the positions
// skipped before a burst A) and the frames the repeater marked bad.
// The entry point is relay_moto_voice (master/moto_relay.h).
#pragma once

#include <cstdint>

#include "master/hytera_packet.h"

// Relay state, used by the Motorola-side reader thread only.
// Burst position 1..6 (A..F) of the next voice burst: set to 1 by every
// accepted header and burst A, advanced by every burst built, carried over
// between calls.
extern int moto_burst_position;
// RTP sequence number of the last voice packet accepted, of any kind.
extern uint16_t moto_last_seq;
// The packet being built and sent.
extern uint8_t sendhyt[HYT_PACKET_LEN];
// Wall clock (ms since the epoch) of a call's start in the record; tests
// replace it.
extern int64_t (*m2m_wall_ms)();

// Burst position 1, last sequence number 0, sendhyt cleared, the record's
// counters of the call forgotten, the system wall clock.
void reset_moto_to_master();
