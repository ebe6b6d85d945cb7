// The gateway's peer role on the Motorola repeater's IP link: the reader of
// Corvane_sock, registration, keep-alive, peer list and answers to peers.
#pragma once
#include <cstdint>

// Keep-alive request and "A" to the master every this many reader passes.
inline constexpr int KEEPALIVE_PASSES = 1000;
// Sleep of one reader pass.
inline constexpr int READER_PASS_US = 5000;
// At most one "Authentication failed" line in this many milliseconds.
inline constexpr int64_t AUTH_LOG_INTERVAL_MS = 10000;

// Registration request and start banner of the reader thread.
void moto_reader_start();

// One pass: one receive attempt and its handling, then the keep-alive duty.
// now_ms is monotonic time.  Returns false when the gateway must stop (too
// many peers on the link).
bool moto_reader_pass(int64_t now_ms);

// Thread entry: start, then passes for ever; ends the process with status 1
// when a pass says stop.
void* send_voice_to_hytera(void*);

// Reader state back to the start of a run.
void reset_moto_reader();
