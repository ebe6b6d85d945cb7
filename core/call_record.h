// SPDX-License-Identifier: GPL-2.0-or-later
// What the relays record about calls, for whoever shows them (the web
// dashboard): the call on the air on each channel, live, and one event per
// call start, call end and link change.
//
// Voice threads never wait here.  Each channel has exactly one writer, the
// relay thread that carries it; its live figures sit behind a sequence
// counter (the writer never waits, a reader retries), and events go through
// a bounded lock-free queue that a full queue makes drop, never block.  One
// reader thread takes the events (call_record_pop).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Direction of a call: from the master to the repeater, or from the
// repeater to the master.
enum CallDir : uint8_t { DIR_TO_REPEATER = 0, DIR_TO_MASTER = 1, DIR_COUNT = 2 };

// Where a call runs; each has one writer thread.  The master-side reader
// writes both of the master's slots, the Motorola-side reader the repeater's.
enum CallChannel : uint8_t { CH_MASTER_SLOT1 = 0, CH_MASTER_SLOT2, CH_REPEATER_SLOT2, CH_COUNT };

enum CallEnd : uint8_t { END_NONE = 0, END_TERMINATOR = 1, END_TIMEOUT = 2 };

// A call silent for this long has ended (in the record; the relays keep
// their own rules for what they send).
inline constexpr int64_t CALL_RECORD_TIMEOUT_MS = 3000;

// Coded bits of one voice burst that the FEC checks: three frames of a
// 24-bit and a 23-bit Golay word (the BER line's denominator).
inline constexpr uint32_t BURST_CHECKED_BITS = 141;

struct CallFigures {
  int64_t start_ms;     // wall clock of the first packet, ms since the epoch (UTC)
  int64_t duration_ms;  // from the first packet to the latest (or the end)
  uint32_t src, dst;
  uint32_t bursts;       // voice bursts taken (headers and terminators not counted)
  uint32_t lost;         // bursts missing, from the call's sequence and burst positions
  uint32_t bit_errors;   // bits the FEC corrected (toward the repeater)
  uint32_t bits;         // bits the FEC checked
  uint32_t frames;       // voice frames taken
  uint32_t bad_frames;   // frames replaced (toward the repeater) or marked bad by the repeater
  uint8_t dir;           // CallDir
  uint8_t slot;          // 1 or 2
  uint8_t private_call;  // 1: unit to unit, 0: talkgroup
  uint8_t end;           // CallEnd; END_NONE while on the air
  uint8_t ber_byte;      // 1 when bit_errors/bits come from the sender's own figure
  uint8_t on_air;        // 1 while the call is open
  uint8_t pad[2];
};

// What one burst adds to its call.
struct BurstFigures {
  uint32_t lost;  // bursts missing before this one
  uint32_t bit_errors;
  uint32_t bits;
  uint32_t frames;
  uint32_t bad_frames;
};

CallDir channel_dir(CallChannel ch);
int channel_slot(CallChannel ch);

// ---- the writer of a channel --------------------------------------------------

// A call starts (ending the one before on the channel, as a time-out, when
// it was still open).  wall_ms: wall clock; mono_ms: the clock of intervals.
void call_record_start(CallChannel ch, uint32_t src, uint32_t dst, bool private_call, int64_t wall_ms, int64_t mono_ms);
// A burst of the open call (nothing without one).
void call_record_burst(CallChannel ch, const BurstFigures& b, int64_t mono_ms);
// Marks the open call's figures as the sender's own bit error count.
void call_record_sender_ber(CallChannel ch);
// Something of the call arrived that is no burst (a header repeated): the
// call is alive.
void call_record_touch(CallChannel ch, int64_t mono_ms);
// The open call ends (nothing without one).
void call_record_end(CallChannel ch, CallEnd how, int64_t mono_ms);
// True while a call is open on the channel.
bool call_record_open(CallChannel ch);
// Ends the open call as a time-out when it has been silent for
// CALL_RECORD_TIMEOUT_MS; true when it did.
bool call_record_expire(CallChannel ch, int64_t mono_ms);
// Milliseconds until the open call would time out (0 when due); -1 without one.
int64_t call_record_wait_ms(CallChannel ch, int64_t mono_ms);

// ---- readers -------------------------------------------------------------------

// The call on the air on the channel, as of now; false when there is none.
// Never waits for the writer.
bool call_record_live(CallChannel ch, CallFigures* out);

// ---- events --------------------------------------------------------------------

enum LinkId : uint8_t { LINK_REPEATER = 0, LINK_MASTER = 1, LINK_COUNT = 2 };

enum RecordEventType : uint8_t { EV_CALL_START = 1, EV_CALL_END = 2, EV_LINK = 3 };

struct RecordEvent {
  uint8_t type;  // RecordEventType
  uint8_t channel;
  uint8_t link;  // EV_LINK: LinkId
  uint8_t up;    // EV_LINK: 1 up, 0 down
  uint8_t pad[4];
  int64_t at_ms;  // wall clock of the event
  CallFigures call;
};

// Pushes an event; false (and counted) when the queue is full.  Any thread.
bool call_record_push(const RecordEvent& ev);
// Takes the oldest event; false when there is none.  One reader thread only.
bool call_record_pop(RecordEvent* out);
// Events pushed so far; moves with every push.
uint64_t call_record_events();
// Events dropped because the queue was full.
uint64_t call_record_dropped();
// An eventfd (or any descriptor) written with 1 after each push so that a
// sleeping reader wakes; -1 (the default): nobody is told.
void call_record_set_wake_fd(int fd);

// Start-of-run state: no call open on any channel, the queue empty, no
// wake descriptor.
void reset_call_record();
