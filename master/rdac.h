// SPDX-License-Identifier: GPL-2.0-or-later
// The repeater identity announced to the DMR master over RDAC, and the
// drain of the service socket.  With an open master (OpenMasterPort) both
// workers run its login instead (master/open_master.h): the identity then
// goes out only as answers to the master's requests.
#pragma once
#include <cstdint>

inline constexpr int RDAC225_LEN = 225, RDAC71_LEN = 71;
inline constexpr int RDAC_PORT = 62007;
inline constexpr int64_t RDAC_STEP_MS = 6000;  // between announcements
inline constexpr int RDAC_REPLY_LEN = 24;      // the master's reply that ends a cycle

extern uint8_t rdac225[RDAC225_LEN];
extern uint8_t rdac71[RDAC71_LEN];
extern const char RptrModel[6];

// Fills call sign, firmware, model, IDs and frequencies into both messages
// and recomputes their check byte and check word.  For an open master bytes
// 18-21 of the 71-byte message are RptrID as 32 bits, like those of the 225.
void rdac_fill();

// Check byte (before the closing 0x03) and check word (bytes 10..11) of an
// RDAC message, as the master verifies them.
uint8_t rdac_check_byte(const uint8_t* msg, int len);
uint16_t rdac_check_word(const uint8_t* msg, int len);

// One pass of the announcer at monotonic time now_ms: starts an announcement
// step when a cycle is requested, sends the pair when its step is due, then
// one receive attempt on the RDAC socket.
void repeater_rdac_pass(int64_t now_ms);
// How long the announcer may wait for a datagram before its next duty:
// until the pending announcement is due, at once when a cycle was requested,
// and without limit (-1) when idle.
int repeater_rdac_wait_ms(int64_t now_ms);

// Wakes the announcer at once (called at each login).
void repeater_rdac_wake();

// At most one line of the service-socket drain in this many milliseconds.
inline constexpr int64_t SERVICE_LOG_INTERVAL_MS = 10000;

// One pass of the service-socket drain at monotonic time now_ms: one receive
// without waiting; a datagram from the master is dropped and shown by a
// line, at most one every SERVICE_LOG_INTERVAL_MS however many arrive.
void localrepeater_pass(int64_t now_ms);

void* repeater_rdac(void*);
void* localrepeater_handler(void*);

// Templates back into both messages, no step pending.
void reset_rdac();
// The service-socket drain back to its start (nothing shown yet).
void reset_service_drain();
