// SPDX-License-Identifier: GPL-2.0-or-later
// The gateway's peer role on the Motorola repeater's IP link: the reader of
// Corvane_sock, registration, keep-alive, peer list and answers to peers.
#pragma once
#include <cstdint>

// Keep-alive request and "A" to the master (classic login only) every this
// many milliseconds.
inline constexpr int64_t KEEPALIVE_INTERVAL_MS = 5000;
// At most one "Authentication failed" line in this many milliseconds.
inline constexpr int64_t AUTH_LOG_INTERVAL_MS = 10000;

// Where the reader hands voice (0x80/0x81) and data (0x84) packets from the
// repeater, bound for the DMR master; set before the reader starts.  Each
// returns true when the reader's pass ends right after it (a repeated or
// skipped packet), false when the pass goes on.  Null: the packet is dropped.
// The voice sink gets the pass's monotonic time (ms): it writes the
// repeater's calls into the call record, whose time-out the pass checks.
extern bool (*moto_voice_sink)(const uint8_t* pkt, int len, int64_t now_ms);
extern bool (*moto_data_sink)(const uint8_t* pkt, int len);
// Called when the reader starts, to bring the relays' state back to the start
// of a run.  Null when nothing needs it.
extern void (*moto_sinks_reset)();

// Registration request and start banner of the reader thread.
void moto_reader_start();

// One pass: the repeater's call in the record ended when it has been silent
// for 3 s, one receive attempt (without waiting) and its handling, then the
// keep-alive duty when it is due.  now_ms is monotonic time; the first pass
// after a reset starts the keep-alive clock.  Returns false when the gateway
// must stop (too many peers on the link).
//
// For the dashboard it notes each keep-alive reply (note_repeater_answer),
// the peers of each peer list (note_repeater_peers), the repeater's link
// coming up (metrics.logins) and datagrams whose tag fails.
bool moto_reader_pass(int64_t now_ms);

// How long the reader may wait for a datagram before its next duty is due:
// the keep-alive, or the time-out of the repeater's call in the record.
int moto_reader_wait_ms(int64_t now_ms);

// Thread entry: start, then for ever: wait until a datagram arrives or the
// keep-alive is due, and run a pass.  Ends the process with status 1 when a
// pass says stop.
void* send_voice_to_hytera(void*);

// Leaving the link: the de-registration request to the repeater, once.
void moto_leave();

// Reader state back to the start of a run.
void reset_moto_reader();
