// SPDX-License-Identifier: GPL-2.0-or-later
// Hytera voice on the master link, and the classic login.
#include "master/hytera_link.h"

#include <cstring>

#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"

uint8_t sendhyt[HYT_PACKET_LEN];

void reset_hytera_link() {
  std::memset(sendhyt, 0, sizeof sendhyt);
}

namespace {

void keepalive_from_master() {
  // Only a login that is still running is refreshed; the supervision loop
  // may count it down to 0 at the same moment.
  int32_t v = master_timer.load();
  while (v > 0 && !master_timer.compare_exchange_weak(v, MASTER_KEEPALIVE_SECONDS)) {
  }
}

MasterInKind kind_of(const uint8_t* pkt, uint8_t* position) {
  switch (hyt_packet_type(pkt)) {
    case HYT_TYPE_TERMINATOR:
      return MI_TERMINATOR;
    case HYT_TYPE_VOICE: {
      const uint8_t frame = hyt_frame_type(pkt);
      if (frame == HYT_FRAME_HEADER) return MI_HEADER;
      // Bursts A to F: 77 88 99 AA BB CC.
      if (frame >= HYT_FRAME_BURST_A && frame <= HYT_FRAME_BURST_A + 0x55 && frame % 0x11 == 0) {
        *position = static_cast<uint8_t>((frame - HYT_FRAME_BURST_A) / 0x11 + 1);
        return MI_BURST;
      }
      return MI_VOICE_OTHER;
    }
    default:
      return MI_OTHER;
  }
}

}  // namespace

bool hytera_take(const uint8_t* buf, size_t len, bool open_master, int64_t, MasterIn* in) {
  if (open_master) {
    // An open master: 1-2 bytes answer our keep-alive, exactly 72 are voice.
    if (len == 1 || len == 2) {
      keepalive_from_master();
      return false;
    }
    if (len != HYT_PACKET_LEN) {
      count_drop(DROP_SHORT);
      return false;
    }
  }
  if (len == 1) {
    keepalive_from_master();
    return false;
  }
  if (len == 73) len = 72;
  if (len != HYT_PACKET_LEN) {
    count_drop(DROP_SHORT);
    return false;
  }
  // The fields are read at their offsets as received; hyt_read_burst undoes
  // the exchanged byte pairs of the burst.
  in->position = 0;
  in->kind = kind_of(buf, &in->position);
  in->slot = hyt_slot(buf);
  in->private_call = hyt_private(buf);
  in->src = hyt_src(buf);
  in->dst = hyt_dst(buf);
  in->seq = hyt_seq(buf);
  in->seq_bits = 16;
  in->has_ber = false;
  in->ber = 0;
  in->stream = 0;
  hyt_read_burst(buf, in->burst);
  return true;
}

ssize_t hytera_receive(uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms) {
  return recv_from_master(Local_Repeater_audio_srv_sock, buf, cap, from, wait_ms);
}

bool hytera_send(const MasterOut& out, int32_t port) {
  const uint8_t* tmpl = out.kind == MO_CALL_START   ? sync_hyt
                        : out.kind == MO_HEADER     ? start_hyt
                        : out.kind == MO_TERMINATOR ? ende_hyt
                                                    : hyt_voice_template(out.position);
  if (tmpl == nullptr) return false;
  std::memcpy(sendhyt, tmpl, HYT_PACKET_LEN);
  hyt_write_call_type(sendhyt, out.private_call);
  hyt_write_seq(sendhyt, out.rtp_seq);
  hyt_write_dst(sendhyt, out.dst);
  hyt_write_src(sendhyt, out.src);
  if (out.kind == MO_CALL_START)
    hyt_write_sync_src(sendhyt, out.src);
  else
    hyt_write_burst(sendhyt, out.burst);
  if (port == 0) return false;
  send_to(Local_Repeater_audio_srv_sock, MasterIP, port, sendhyt, HYT_PACKET_LEN);
  return true;
}

// ---- the classic login -------------------------------------------------------------

namespace {

const uint8_t LOGIN[1] = {'A'};

// The login: "A" to the master's port 62006 while the repeater is alive and
// the master is not logged in; 30 s of credit, 15 more at each keep-alive
// byte of the master.
void classic_supervise() {
  if (master_online == 0 && motorola_repeater_online > 0) {
    TimeStamp t = refresh_ts();
    console_printf("%s Sende Anmeldung an DMR Master  IP:%s\n", t.text, MasterIP);
    send_to_master(LOGIN, sizeof LOGIN);
    metrics_add(metrics.logins[LINK_MASTER]);
    master_timer = 30;
    master_online = 1;
    Start_rdac = 1;
    if (on_login != nullptr) on_login();
  }
  if (master_online > 0) --master_timer;
  if (master_timer < 2) {
    master_timer = 0;
    master_online = 0;
  }
  // The repeater's credit, counted down after this, falls below 2: the
  // master link goes with it.
  if (motorola_repeater_online < 3) master_online = 0;
}

void classic_keepalive() {
  send_to_master(LOGIN, sizeof LOGIN);
}

bool classic_take(const uint8_t* buf, size_t len, const sockaddr_in&, int64_t now_ms, MasterIn* in) {
  note_master_heard(now_ms);
  return hytera_take(buf, len, false, now_ms, in);
}

bool classic_send(const MasterOut& out) {
  return hytera_send(out, LISTEN_REPEATER_AUDIO_PORT);
}

bool classic_position(const uint8_t* report, size_t len) {
  return send_to_master(report, len);
}

}  // namespace

const MasterLink CLASSIC_LINK = {
    "classic",    classic_supervise, classic_keepalive, hytera_receive, nullptr, nullptr,
    classic_take, classic_send,      classic_position,  nullptr,        nullptr,
};
