// SPDX-License-Identifier: GPL-2.0-or-later
// Master-to-Motorola voice relay.
#include "relay/master_to_moto.h"

#include <netinet/in.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <random>

#include "auth/hmac_sha1.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/realtime.h"
#include "core/udp.h"
#include "dmr/burst.h"
#include "master/hytera_packet.h"
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

int64_t wall_seconds() {
  return static_cast<int64_t>(time(nullptr));
}

uint8_t rxbuf[V2M_RX_LEN];
// This thread's own hashing context: the Motorola-side reader checks tags
// with a context of its own at the same time.
Sha1Context v2m_auth;

constexpr int SLOTS = 3;
constexpr int RELAYED_SLOT = 2;
constexpr uint8_t TYPE_VOICE = 1, TYPE_TERMINATOR = 3;

}  // namespace

const V2mTiming v2m_timing_system = {mono_us, pace_sleep_us, wall_seconds};
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
  reset_pace_sleep();
  reset_burst_recode();
}

namespace {

// What every packet of the call carries, from the master's packet.
struct Incoming {
  const uint8_t* pkt;
  uint16_t seq;
  uint32_t src, dst;
  TimeStamp ts;
};

// Copies the template of `kind` and fills the call fields (the IDs, and the
// link control of header, terminator and burst E).
void begin(MotoVoiceKind kind, const Incoming& in) {
  moto_voice_begin(kind, Voice_moto);
  MotoCall call{};
  call.private_call = hyt_private(in.pkt);
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
    v2m_timing.sleep_us(V2M_PACED_GAP_US - gap);
    return gap;
  }
  return -1;
}

void send_signed(MotoVoiceKind kind) {
  const unsigned len = moto_sign(v2m_auth, Key, Voice_moto, kind);
  const sockaddr_in to = get_fromUser2();
  // Before the repeater was first heard there is nowhere to send to.
  if (to.sin_family == AF_INET) send_repeater_link(Voice_moto, len, to);
  v2m_last_send_us = v2m_timing.now_us();
}

void draw_call_tag() {
  // Seeded anew at every call start with the time in seconds, so calls
  // started within one second share their tag. A generator of the thread's
  // own: rand() is shared with the whole process.
  std::minstd_rand gen(static_cast<std::minstd_rand::result_type>(v2m_timing.wall_s()));
  for (uint8_t& b : flctrl) b = static_cast<uint8_t>(gen() % 255);
}

void relay_header(const Incoming& in) {
  const bool call_start = send_header == 0;
  if (call_start) {
    idshown = 0;
    send_header = 1;
    if (++v2m_seq_num > 255) v2m_seq_num = 0;
    transmitting = 1;
    dmr_id = 0;
    console_printf("%s SENDE EIN %d\n", in.ts.text, v2m_seq_num);
    draw_call_tag();
  }
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
                   static_cast<int>(v2m_pac_num));
  send_signed(MOTO_VOICE_HEADER);
}

bool burst_kind(uint8_t frame_type, MotoVoiceKind* kind) {
  switch (frame_type) {
    case 0x77:
      *kind = MOTO_BURST_A;
      return true;
    case 0x88:
      *kind = MOTO_BURST_B;
      return true;
    case 0x99:
      *kind = MOTO_BURST_C;
      return true;
    case 0xAA:
      *kind = MOTO_BURST_D;
      return true;
    case 0xBB:
      *kind = MOTO_BURST_E;
      return true;
    case 0xCC:
      *kind = MOTO_BURST_F;
      return true;
    default:
      return false;
  }
}

void relay_burst(const Incoming& in) {
  send_header = 0;
  MotoVoiceKind kind;
  if (!burst_kind(hyt_frame_type(in.pkt), &kind)) return;
  begin(kind, in);
  v2m_pac_num = in.seq;
  if (v2m_pac_num <= old_v2m_pac_num && v2m_pac_num != 0) return;
  if (v2m_pac_num != old_v2m_pac_num + 1 && v2m_pac_num != 0)
    console_printf("Ferr: %d %d\n", static_cast<int>(old_v2m_pac_num), static_cast<int>(v2m_pac_num));
  old_v2m_pac_num = v2m_pac_num;
  stamp(in.seq);
  uint8_t burst[DMR_BURST_BYTES];
  hyt_read_burst(in.pkt, burst);
  recode_burst(kind, burst, Voice_moto, RELAYED_SLOT);
  pace();
  send_signed(kind);
}

void relay_terminator(const Incoming& in) {
  console_printf("%s SENDE AUS %d\n", in.ts.text, v2m_seq_num);
  transmitting = 0;
  send_header = 0;
  dmr_id = 0;
  v2m_pac_num = in.seq;
  if (v2m_pac_num <= old_v2m_pac_num) return;
  old_v2m_pac_num = v2m_pac_num;
  begin(MOTO_VOICE_TERMINATOR, in);
  stamp(in.seq);
  pace();
  send_signed(MOTO_VOICE_TERMINATOR);
}

void keepalive_from_master() {
  // Only a login that is still running is refreshed; the supervision loop
  // may count it down to 0 at the same moment.
  int32_t v = master_timer.load();
  while (v > 0 && !master_timer.compare_exchange_weak(v, MASTER_KEEPALIVE_SECONDS)) {
  }
}

bool call_timed_out(int64_t now) {
  return transmitting == 1 && now - v2m_last_voice_us >= V2M_CALL_TIMEOUT_US;
}

void end_by_timeout() {
  console_printf("%s SENDE TIMEOUT %d\n", current_ts().text, v2m_seq_num);
  transmitting = 0;
  send_header = 0;
  dmr_id = 0;
  rx[RELAYED_SLOT] = 0;
}

void handle(ssize_t len, int64_t now) {
  if (OpenMasterPort != 0) {
    // An open master: 1-2 bytes answer our keep-alive, exactly 72 are voice.
    if (len == 1 || len == 2) keepalive_from_master();
    if (len != static_cast<ssize_t>(HYT_PACKET_LEN)) return;
  }
  if (len == 1) {
    keepalive_from_master();
    return;
  }
  if (len == 73) len = 72;
  if (len != static_cast<ssize_t>(HYT_PACKET_LEN)) return;

  // The fields are read at their offsets as received; hyt_read_burst undoes
  // the exchanged byte pairs of the burst. A packet beginning with 'A'
  // counts as slot 0.
  Incoming in{rxbuf, hyt_seq(rxbuf), hyt_src(rxbuf), hyt_dst(rxbuf), refresh_ts()};
  const uint8_t type = hyt_packet_type(rxbuf);
  const int slot = hyt_slot(rxbuf);
  // No console flag for slots beyond 2: such packets are neither shown nor relayed.
  if (slot >= SLOTS) return;

  if (rx[slot] == 0) {
    rx[slot] = 1;
    console_printf(
        "\n______________________________________________________________________________"
        "\n%s RX SLOT=%i DST_ID=%i SRC_ID=%i TYPE=Voice\n",
        in.ts.text, slot, static_cast<int>(in.dst), static_cast<int>(in.src));
    note_call(in.src, in.dst, slot, in.ts.text);
  }
  if (type == TYPE_TERMINATOR) {
    console_printf("%s VOICE RX SLOT %i ENDE USER_ID=%i \n", in.ts.text, slot, static_cast<int>(in.src));
    rx[slot] = 0;
  }
  if (slot != RELAYED_SLOT) return;

  if (transmitting == 1) {
    if (dmr_id == 0) {
      dmr_id = in.src;
    } else if (dmr_id != in.src) {
      console_printf("DMR-ID change: %d %d\r\n", static_cast<int>(dmr_id), static_cast<int>(in.src));
      return;
    }
  }
  if (type == TYPE_TERMINATOR) {
    relay_terminator(in);
  } else if (type == TYPE_VOICE) {
    v2m_last_voice_us = now;
    if (hyt_frame_type(rxbuf) == HYT_FRAME_HEADER)
      relay_header(in);
    else
      relay_burst(in);
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

void send_voice_to_motorola_pass() {
  int64_t now = v2m_timing.now_us();
  if (call_timed_out(now)) {
    end_by_timeout();
    return;
  }
  int wait_ms = -1;
  if (transmitting == 1) {
    const int64_t left_us = v2m_last_voice_us + V2M_CALL_TIMEOUT_US - now;
    wait_ms = static_cast<int>((left_us + 999) / 1000);
  }
  sockaddr_in from{};
  worker_idle(WORKER_MASTER_READER);  // waiting is not being stuck
  const ssize_t len = recv_from_master(Local_Repeater_audio_srv_sock, rxbuf, sizeof rxbuf, &from, wait_ms);
  worker_busy(WORKER_MASTER_READER, mono_ms());
  if (len < 0) return;
  now = v2m_timing.now_us();
  note_master_heard(now / 1000);
  // A call that went silent ends before anything new is looked at.
  if (call_timed_out(now)) end_by_timeout();
  handle(len, now);
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
