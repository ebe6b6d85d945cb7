// SPDX-License-Identifier: GPL-2.0-or-later
// Master-to-Motorola voice relay: the reader of the audio socket (port
// 62006), on which the DMR master's voice, keep-alives and (HomeBrew) login
// answers arrive.  The master protocol (master/master_link.h) receives each
// datagram, handles its own (keep-alives, login answers) and reads a packet
// of a call into a burst and its facts (MasterIn); its timed duties run at
// the start of each pass, and the reader waits no longer than they allow.
//
//   a packet of a call           -> console record of the call on any slot;
//                                   slot 2 relayed to the repeater:
//     voice LC header            -> voice header (0xDD at a call start, 0x5D repeated)
//     voice burst A..F           -> voice burst packet, frames re-coded
//                                   (motorola/burst_recode.h)
//     terminator                 -> voice terminator
// Every packet is signed and sent on Corvane_sock to the repeater's address
// (fromUser2), at least 58 ms after the previous one: a shorter gap is
// stretched to 60 ms. A call silent for 3 s ends ("SENDE TIMEOUT"), noticed
// on time: the reader waits with a time-out while a call is open, and tests
// the time-out again before it handles what arrived, so the next call's
// header is never taken for a stranger's packet. Nothing is sent then.
//
// The call record (core/call_record.h) gets every call of slots 1 and 2,
// from its first packet (the console's RX line; a terminator starts none) to
// its terminator, or another source's packet on the slot, or its time-out:
// slot 2's is the relay's own (a call the relay never started, for want of a
// header, ends in the record after 3 s without a burst), slot 1's the
// record's 3 s without a burst.  Each burst adds the bursts lost before it
// (relay/burst_loss.h, from the call's own sequence numbers and the bursts'
// positions A to F) and, on slot 2, what the FEC found in its three frames.
//
// Protocols that name their calls by a stream (HomeBrew): while a call is
// relayed, another stream is dropped (a stranger); the stream of the call
// just ended starts none; a burst of a new stream without a header (late
// entry) gets a voice header built from its IDs first and starts the call.
// Their 8-bit sequence numbers are unwrapped per stream (mod 256) into the
// call's own numbering, which the rules above compare as 16-bit ones.  A
// sender's own bit-error figure goes into the record instead of ours.
//
// All state is the relay thread's own.
#pragma once

#include <cstdint>

#include "master/master_link.h"
#include "motorola/voice_packet.h"

inline constexpr int V2M_RX_LEN = 224;
inline constexpr unsigned V2M_WORK_LEN = 80;
inline constexpr int64_t V2M_CALL_TIMEOUT_US = 3000000;
inline constexpr int64_t V2M_MIN_GAP_US = 58000;
inline constexpr int64_t V2M_PACED_GAP_US = 60000;
inline constexpr uint32_t MOT_TIME_START = 1000000000u;
inline constexpr uint32_t MOT_TIME_STEP = 480;  // 60 ms at 8 kHz
// A paced send this much after its 60-ms slot counts as late
// (metrics.pacing_late).
inline constexpr int64_t V2M_LATE_US = 500;

// ---- relay state -------------------------------------------------------------

// 1 from the header that starts a call to its terminator or time-out.
extern int transmitting;
// 1 from that header to the next burst, terminator or time-out: a further
// header then repeats the call start instead of starting a new call.
extern int send_header;
// call_seq of the current or latest call: +1 per call, 0 after 255.
extern int v2m_seq_num;
// call_tag of the current or latest call.
extern uint8_t flctrl[4];
// Source of the call being relayed; 0 = none yet.
extern uint32_t dmr_id;
// Sequence number of the packet in hand, and of the latest accepted one
// (kept from call to call).
extern unsigned v2m_pac_num;
extern unsigned old_v2m_pac_num;
// Console flags of slots 0, 1, 2: set at the first packet shown, cleared at
// the slot's terminator (slot 2: also at a time-out).
extern int rx[3];
// RTP timestamp of the latest packet sent; +480 before every send.
extern uint32_t mot_time;
// Monotonic times of the latest accepted slot-2 voice packet and of the
// latest send, microseconds.
extern int64_t v2m_last_voice_us;
extern int64_t v2m_last_send_us;
// The packet being built.
extern uint8_t Voice_moto[V2M_WORK_LEN];

// Time seam of the relay: tests drive the clock and see the pacing sleeps.
struct V2mTiming {
  int64_t (*now_us)();           // monotonic microseconds
  void (*sleep_us)(int64_t us);  // the pacing delay
  int64_t (*wall_ms)();          // wall-clock ms since the epoch: a call's start; its seconds seed the call tag
};
extern V2mTiming v2m_timing;
extern const V2mTiming v2m_timing_system;

// Start of the thread: both times taken now, start banner.
void send_voice_to_motorola_start();

// One pass: the time-out checks, then at most one datagram received and
// handled (waiting as v2m_wait_ms says).
void send_voice_to_motorola_pass();

// How long the pass may wait for a datagram at monotonic time now_us, in
// milliseconds: until the relayed call or a call in the record would time
// out; -1 (without limit) when there is none.
int v2m_wait_ms(int64_t now_us);

// Thread entry: start, then passes for ever.
void* send_voice_to_motorola(void*);

// Everything above (and the re-coding state) back to the start of a run;
// the system timing.
void reset_master_to_moto();
