// SPDX-License-Identifier: GPL-2.0-or-later
// Master-to-Motorola voice relay.
#include "relay/master_to_moto.h"

#include <netinet/in.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "auth/hmac_sha1.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/realtime.h"
#include "core/udp.h"
#include "dmr/burst.h"
#include "master/master_link.h"
#include "relay/burst_loss.h"
#include "relay/burst_recode.h"
#include "relay/pace_sleep.h"

int transmitting = 0;
int send_header = 0;
int v2m_seq_num = 0;
uint8_t flctrl[4];
uint32_t dmr_id = 0;
unsigned v2m_pac_num = 0;
unsigned old_v2m_pac_num = 0;
int rx[3];
uint32_t mot_time = MOT_TIME_START;
int64_t v2m_last_voice_us = 0;
int64_t v2m_last_send_us = 0;
uint8_t Voice_moto[V2M_WORK_LEN];

namespace {

uint8_t rxbuf[V2M_RX_LEN];
// This thread's own hashing context: the Motorola-side reader checks tags
// with a context of its own at the same time.
Sha1Context v2m_auth;

constexpr int SLOTS = 3;
constexpr int RELAYED_SLOT = 2;

// The record of a call on slot 1 or 2 (this thread writes both channels).
struct SlotRecord {
  uint32_t src;  // source of the call open in the record
  CallSeq seq;   // the call's latest sequence number
  int due;       // position 1..6 (A..F) of the burst due next; 0: not known
};
SlotRecord slot_record[2];

// When the send being paced is due (previous send + 60 ms); -1: not paced.
int64_t pace_due_us = -1;

// The packet in hand, as the master protocol read it.
MasterIn master_in;

// Streams of slot 2: the call's (0: none, or the protocol names none) and
// the one of the call ended last.
uint32_t v2m_stream = 0, v2m_ended_stream = 0;

// The unwrapped numbering of the latest stream of slots 1 and 2.
struct Numbering {
  bool known;
  uint32_t stream;
  uint16_t number;
};
Numbering numbering[2];

void end_stream() {
  if (v2m_stream != 0) v2m_ended_stream = v2m_stream;
  v2m_stream = 0;
}

}  // namespace

const V2mTiming v2m_timing_system = {mono_us, pace_sleep_us, wall_ms};
V2mTiming v2m_timing = v2m_timing_system;

void reset_master_to_moto() {
  transmitting = 0;
  send_header = 0;
  v2m_seq_num = 0;
  std::memset(flctrl, 0, sizeof flctrl);
  dmr_id = 0;
  v2m_pac_num = 0;
  old_v2m_pac_num = 0;
  std::memset(rx, 0, sizeof rx);
  mot_time = MOT_TIME_START;
  v2m_last_voice_us = 0;
  v2m_last_send_us = 0;
  std::memset(Voice_moto, 0, sizeof Voice_moto);
  std::memset(rxbuf, 0, sizeof rxbuf);
  v2m_auth = Sha1Context{};
  v2m_timing = v2m_timing_system;
  std::memset(slot_record, 0, sizeof slot_record);
  pace_due_us = -1;
  master_in = MasterIn{};
  v2m_stream = v2m_ended_stream = 0;
  std::memset(numbering, 0, sizeof numbering);
  reset_pace_sleep();
  reset_burst_recode();
}

namespace {

// What every packet of the call carries: the master's packet as the
// protocol read it, and the console's time stamp.
struct Incoming {
  const MasterIn& m;
  uint16_t seq;  // the call's own number (HomeBrew's 8 bits unwrapped)
  uint32_t src, dst;
  TimeStamp ts;
};

// Copies the template of `kind` and fills the call fields (the IDs, and the
// link control of header, terminator and burst E).
void begin(MotoVoiceKind kind, const Incoming& in) {
  moto_voice_begin(kind, Voice_moto);
  MotoCall call{};
  call.private_call = in.m.private_call;
  std::memcpy(call.peer_id, MyBridgeID, sizeof call.peer_id);
  call.call_seq = static_cast<uint8_t>(v2m_seq_num);
  call.src_id = in.src;
  call.dst_id = in.dst;
  std::memcpy(call.call_tag, flctrl, sizeof call.call_tag);
  moto_write_call(Voice_moto, kind, call);
}

void stamp(uint16_t seq) {
  mot_time += MOT_TIME_STEP;
  moto_write_rtp(Voice_moto, seq, mot_time);
}

// Holds sends at least 58 ms apart: a shorter gap since the previous send is
// stretched to 60 ms. Returns the gap when it slept, else -1.
int64_t pace() {
  const int64_t gap = v2m_timing.now_us() - v2m_last_send_us;
  if (gap >= 0 && gap < V2M_MIN_GAP_US) {
    pace_due_us = v2m_last_send_us + V2M_PACED_GAP_US;
    v2m_timing.sleep_us(V2M_PACED_GAP_US - gap);
    return gap;
  }
  pace_due_us = -1;
  return -1;
}

void send_signed(MotoVoiceKind kind) {
  const unsigned len = moto_sign(v2m_auth, Key, Voice_moto, kind);
  const sockaddr_in to = get_fromUser2();
  // Before the repeater was first heard there is nowhere to send to.
  if (to.sin_family == AF_INET && send_repeater_link(Voice_moto, len, to))
    metrics_add(metrics.voice_packets[DIR_TO_REPEATER]);
  v2m_last_send_us = v2m_timing.now_us();
  if (pace_due_us >= 0 && v2m_last_send_us > pace_due_us + V2M_LATE_US) metrics_add(metrics.pacing_late);
  pace_due_us = -1;
}

void draw_call_tag() {
  // Seeded anew at every call start with the time in seconds, so calls
  // started within one second share their tag. A generator of the thread's
  // own: rand() is shared with the whole process.
  std::minstd_rand gen(static_cast<std::minstd_rand::result_type>(v2m_timing.wall_ms() / 1000));
  for (uint8_t& b : flctrl) b = static_cast<uint8_t>(gen() % 255);
}

// ---- the call record of slots 1 and 2 ----

CallChannel record_channel(int slot) {
  return slot == 1 ? CH_MASTER_SLOT1 : CH_MASTER_SLOT2;
}

// A packet of a call (no terminator) opens the slot's record unless it is the
// call already open there: at the call's first packet (the console's RX
// line), after the record's own time-out while the console still shows the
// call, and for another source.
void record_call(int slot, const Incoming& in, int64_t now_us) {
  SlotRecord& r = slot_record[slot - 1];
  const CallChannel ch = record_channel(slot);
  if (call_record_open(ch) && r.src == in.src) return;
  r = SlotRecord{in.src, {}, 0};
  call_record_start(ch, in.src, in.dst, in.m.private_call, v2m_timing.wall_ms(), now_us / 1000);
}

// A header (or call start) of the open call: it lives, its numbers go on from
// here, and burst A is due.
void record_header(int slot, const Incoming& in, int64_t now_us) {
  SlotRecord& r = slot_record[slot - 1];
  seq_advance(r.seq, in.seq);
  r.due = 1;
  call_record_touch(record_channel(slot), now_us / 1000);
}

// Bursts lost before the burst of `kind` with the packet's number, which
// becomes the call's latest.  False for the latest number again or an older
// one, which counts nothing, unless the relay took the burst all the same
// (`taken`): then the call's numbers go on from it.
bool record_lost(int slot, const Incoming& in, MotoVoiceKind kind, bool taken, uint32_t* lost) {
  SlotRecord& r = slot_record[slot - 1];
  int32_t missing = seq_advance(r.seq, in.seq);
  if (missing < 0) {
    if (!taken) return false;
    r.seq.last = in.seq;
    missing = 0;
  }
  const int position = kind - MOTO_BURST_A + 1;
  *lost = bursts_lost(static_cast<uint32_t>(missing), r.due == 0 ? -1 : positions_skipped(r.due, position));
  r.due = next_position(position);
  return true;
}

// The numbers the console shows: the sender's own width.
unsigned seq_mask(const Incoming& in) {
  return in.m.seq_bits >= 16 ? 0xFFFFu : (1u << in.m.seq_bits) - 1;
}

void relay_header(const Incoming& in, int64_t now_us) {
  const bool call_start = send_header == 0;
  if (call_start) {
    v2m_stream = in.m.stream;
    idshown = 0;
    send_header = 1;
    if (++v2m_seq_num > 255) v2m_seq_num = 0;
    transmitting = 1;
    dmr_id = 0;
    console_printf("%s SENDE EIN %d\n", in.ts.text, v2m_seq_num);
    draw_call_tag();
  }
  record_header(RELAYED_SLOT, in, now_us);
  begin(MOTO_VOICE_HEADER, in);
  moto_write_header_marker(Voice_moto, call_start);
  dmr_id = in.src;
  // A header is never dropped for its sequence number.
  v2m_pac_num = in.seq;
  old_v2m_pac_num = in.seq;
  stamp(in.seq);
  const int64_t gap = pace();
  if (gap >= 0)
    console_printf("%s add delay: %ld us at pacnum: %d\n", in.ts.text, static_cast<long>(gap),
                   static_cast<int>(v2m_pac_num & seq_mask(in)));
  send_signed(MOTO_VOICE_HEADER);
}

MotoVoiceKind burst_kind(int position) {
  return static_cast<MotoVoiceKind>(MOTO_BURST_A + position - 1);
}

void relay_burst(const Incoming& in, int64_t now_us) {
  send_header = 0;
  if (in.m.kind != MI_BURST) return;
  const MotoVoiceKind kind = burst_kind(in.m.position);
  begin(kind, in);
  v2m_pac_num = in.seq;
  if (v2m_pac_num <= old_v2m_pac_num && v2m_pac_num != 0) {
    count_drop(DROP_SEQUENCE);
    call_record_touch(CH_MASTER_SLOT2, now_us / 1000);
    return;
  }
  if (v2m_pac_num != old_v2m_pac_num + 1 && v2m_pac_num != 0)
    console_printf("Ferr: %d %d\n", static_cast<int>(old_v2m_pac_num & seq_mask(in)),
                   static_cast<int>(v2m_pac_num & seq_mask(in)));
  old_v2m_pac_num = v2m_pac_num;
  stamp(in.seq);
  uint8_t burst[DMR_BURST_BYTES];
  std::memcpy(burst, in.m.burst, sizeof burst);
  const RecodeFigures fec = recode_burst(kind, burst, Voice_moto, RELAYED_SLOT);
  metrics_add(metrics.fec_corrected_bits, fec.bit_errors);
  metrics_add(metrics.frames_replaced, fec.bad_frames);
  uint32_t lost = 0;
  record_lost(RELAYED_SLOT, in, kind, true, &lost);
  // Where the sender counted the burst's bit errors, the record shows its figure.
  const uint32_t bit_errors = in.m.has_ber ? in.m.ber : fec.bit_errors;
  call_record_burst(CH_MASTER_SLOT2,
                    BurstFigures{lost, bit_errors, BURST_CHECKED_BITS, MOTO_FRAME_SLOTS, fec.bad_frames},
                    now_us / 1000);
  if (in.m.has_ber) call_record_sender_ber(CH_MASTER_SLOT2);
  pace();
  send_signed(kind);
}

void relay_terminator(const Incoming& in, int64_t now_us) {
  console_printf("%s SENDE AUS %d\n", in.ts.text, v2m_seq_num);
  call_record_end(CH_MASTER_SLOT2, END_TERMINATOR, now_us / 1000);
  transmitting = 0;
  send_header = 0;
  dmr_id = 0;
  end_stream();
  v2m_pac_num = in.seq;
  if (v2m_pac_num <= old_v2m_pac_num) {
    count_drop(DROP_SEQUENCE);
    return;
  }
  old_v2m_pac_num = v2m_pac_num;
  begin(MOTO_VOICE_TERMINATOR, in);
  stamp(in.seq);
  pace();
  send_signed(MOTO_VOICE_TERMINATOR);
}

// Slot 1 is shown, not relayed: its record counts the bursts and those lost.
void record_slot1(const Incoming& in, int64_t now_us) {
  const int64_t now_ms = now_us / 1000;
  if (in.m.kind == MI_TERMINATOR) {
    call_record_end(CH_MASTER_SLOT1, END_TERMINATOR, now_ms);
    return;
  }
  record_call(1, in, now_us);
  uint32_t lost;
  if (in.m.kind != MI_BURST) {
    record_header(1, in, now_us);
  } else if (record_lost(1, in, burst_kind(in.m.position), false, &lost)) {
    call_record_burst(CH_MASTER_SLOT1, BurstFigures{lost, 0, 0, 0, 0}, now_ms);
  } else {
    call_record_touch(CH_MASTER_SLOT1, now_ms);
  }
}

bool call_timed_out(int64_t now) {
  return transmitting == 1 && now - v2m_last_voice_us >= V2M_CALL_TIMEOUT_US;
}

void end_by_timeout(int64_t now_us) {
  console_printf("%s SENDE TIMEOUT %d\n", current_ts().text, v2m_seq_num);
  call_record_end(CH_MASTER_SLOT2, END_TIMEOUT, now_us / 1000);
  transmitting = 0;
  send_header = 0;
  dmr_id = 0;
  end_stream();
  rx[RELAYED_SLOT] = 0;
}

// The calls in the record time out on their own: slot 1 always, slot 2 while
// the relay has no call of its own that times out.
void expire_records(int64_t now_us) {
  call_record_expire(CH_MASTER_SLOT1, now_us / 1000);
  if (transmitting == 0) call_record_expire(CH_MASTER_SLOT2, now_us / 1000);
}

// The sender's number as the call's own: 16 bits as they come; narrower
// ones (HomeBrew's 8 bits, wrapping after 255) unwrapped from the stream's
// first one, which counts as 256 plus its value.
uint16_t call_number(const MasterIn& m) {
  if (m.seq_bits >= 16) return m.seq;
  const int slot = m.slot == 1 ? 0 : 1;
  const uint16_t mask = static_cast<uint16_t>((1u << m.seq_bits) - 1);
  if (!numbering[slot].known || numbering[slot].stream != m.stream) {
    numbering[slot] = Numbering{true, m.stream, static_cast<uint16_t>(mask + 1 + (m.seq & mask))};
    return numbering[slot].number;
  }
  uint16_t& n = numbering[slot].number;
  const uint16_t step = static_cast<uint16_t>((m.seq - n) & mask);
  n = static_cast<uint16_t>(step <= mask / 2 ? n + step : n - (mask + 1 - step));
  return n;
}

// Streams (a protocol that names its calls): while a call is relayed only
// its own stream goes on; the stream of the call just ended starts no new
// one.  True when the packet may go on.
bool stream_allowed(const MasterIn& m) {
  if (m.stream == 0) return true;
  if (transmitting == 1) {
    if (m.stream == v2m_stream) return true;
    count_drop(DROP_STRANGER);
    return false;
  }
  if (m.stream == v2m_ended_stream || m.kind == MI_TERMINATOR) {
    count_drop(DROP_SEQUENCE);
    return false;
  }
  return true;
}

void handle(const MasterIn& m, int64_t now) {
  // A packet that begins with 'A' counts as slot 0.  No console flag for
  // slots beyond 2: such packets are neither shown nor relayed.
  const int slot = m.slot;
  if (slot >= SLOTS) {
    count_drop(DROP_SLOT);
    return;
  }
  if (slot == RELAYED_SLOT && !stream_allowed(m)) return;
  Incoming in{m, call_number(m), m.src, m.dst, refresh_ts()};

  if (rx[slot] == 0) {
    rx[slot] = 1;
    console_printf(
        "\n______________________________________________________________________________"
        "\n%s RX SLOT=%i DST_ID=%i SRC_ID=%i TYPE=Voice\n",
        in.ts.text, slot, static_cast<int>(in.dst), static_cast<int>(in.src));
    note_call(in.src, in.dst, slot, in.ts.text);
  }
  if (m.kind == MI_TERMINATOR) {
    console_printf("%s VOICE RX SLOT %i ENDE USER_ID=%i \n", in.ts.text, slot, static_cast<int>(in.src));
    rx[slot] = 0;
  }
  if (slot == 1) {
    count_drop(DROP_SLOT);
    record_slot1(in, now);
  }
  if (slot != RELAYED_SLOT) return;

  if (transmitting == 1) {
    if (dmr_id == 0) {
      dmr_id = in.src;
    } else if (dmr_id != in.src) {
      console_printf("DMR-ID change: %d %d\r\n", static_cast<int>(dmr_id), static_cast<int>(in.src));
      count_drop(DROP_STRANGER);
      return;
    }
  }
  if (m.kind != MI_TERMINATOR) record_call(RELAYED_SLOT, in, now);
  if (m.kind == MI_TERMINATOR) {
    relay_terminator(in, now);
  } else if (m.kind == MI_HEADER || m.kind == MI_BURST || m.kind == MI_VOICE_OTHER) {
    v2m_last_voice_us = now;
    if (m.kind == MI_HEADER) {
      relay_header(in, now);
    } else {
      // Late entry: a burst of a new stream gets the call's header first,
      // numbered just before it.
      if (m.stream != 0 && transmitting == 0 && m.kind == MI_BURST) {
        Incoming head{in.m, static_cast<uint16_t>(in.seq - 1), in.src, in.dst, in.ts};
        relay_header(head, now);
      }
      relay_burst(in, now);
    }
  }
}

}  // namespace

void send_voice_to_motorola_start() {
  v2m_last_send_us = v2m_last_voice_us = v2m_timing.now_us();
  console_printf("%s", "\033[0;33m");
  console_printf("Start Voice to Motorola Pthread\n\n");
  console_printf("%s", "\033[0;33m");
  console_printf("%s", "\033[0m");
  console_printf("%s", "\033[0m");
}

int v2m_wait_ms(int64_t now_us) {
  int64_t wait_us = -1;
  auto sooner = [&](int64_t us) {
    if (us < 0) return;
    if (wait_us < 0 || us < wait_us) wait_us = us;
  };
  if (transmitting == 1) sooner(std::max<int64_t>(0, v2m_last_voice_us + V2M_CALL_TIMEOUT_US - now_us));
  sooner(call_record_wait_ms(CH_MASTER_SLOT1, now_us / 1000) * 1000);
  if (transmitting == 0) sooner(call_record_wait_ms(CH_MASTER_SLOT2, now_us / 1000) * 1000);
  return wait_us < 0 ? -1 : static_cast<int>((wait_us + 999) / 1000);
}

void send_voice_to_motorola_pass() {
  int64_t now = v2m_timing.now_us();
  if (call_timed_out(now)) {
    end_by_timeout(now);
    return;
  }
  expire_records(now);
  const MasterLink& link = master_link();
  if (link.pass != nullptr) link.pass(now / 1000);
  int wait_ms = v2m_wait_ms(now);
  if (link.wait_ms != nullptr) {
    const int link_wait = link.wait_ms(now / 1000);
    if (link_wait >= 0 && (wait_ms < 0 || link_wait < wait_ms)) wait_ms = link_wait;
  }
  sockaddr_in from{};
  worker_idle(WORKER_MASTER_READER);  // waiting is not being stuck
  const ssize_t len = link.receive(rxbuf, sizeof rxbuf, &from, wait_ms);
  worker_busy(WORKER_MASTER_READER, mono_ms());
  if (len < 0) return;
  now = v2m_timing.now_us();
  // A call that went silent ends before anything new is looked at.
  if (call_timed_out(now)) end_by_timeout(now);
  expire_records(now);
  if (link.take(rxbuf, static_cast<size_t>(len), from, now / 1000, &master_in)) handle(master_in, now);
}

void* send_voice_to_motorola(void*) {
  // The pacing sleeps should end on time: the default 50 us of timer slack
  // would let the kernel add that much to each of them. This thread only.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  voice_thread_realtime();
  send_voice_to_motorola_start();
  worker_started(WORKER_MASTER_READER);
  FloodGuard flood;
  for (;;) {
    // Without its socket the reader would spin; start-up reports that case.
    if (Local_Repeater_audio_srv_sock < 0) {
      sleep(1);
      continue;
    }
    worker_busy(WORKER_MASTER_READER, mono_ms());
    send_voice_to_motorola_pass();
    worker_idle(WORKER_MASTER_READER);
    if (const int64_t pause = flood.after_pass(mono_us())) usleep(static_cast<useconds_t>(pause));
  }
}
