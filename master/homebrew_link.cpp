// SPDX-License-Identifier: GPL-2.0-or-later
// HomeBrew voice behind the master link.
#include "master/homebrew_link.h"

#include <algorithm>
#include <random>

#include "core/config.h"
#include "core/udp.h"
#include "master/homebrew.h"
#include "master/master_link.h"

namespace {

// The sending side: the Motorola-side reader's own.
struct TxCall {
  uint32_t stream;    // 0: no call open
  uint32_t previous;  // the stream of the call before
  uint8_t seq;        // of the latest frame sent
};
TxCall tx;
// A generator of this thread's own: rand() is shared with the whole process.
std::minstd_rand stream_gen;

void seed() {
  std::random_device rd;
  stream_gen.seed(rd());
}

uint32_t new_stream() {
  uint32_t s;
  do {
    s = static_cast<uint32_t>(stream_gen()) ^ (static_cast<uint32_t>(stream_gen()) << 16);
  } while (s == 0 || s == tx.previous);
  return s;
}

ssize_t hb_receive(uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms) {
  // Every datagram goes to the login, which checks address and port.
  return udp_ops.recv(Local_Repeater_audio_srv_sock, buf, cap, from, wait_ms);
}

bool hb_take(const uint8_t* buf, size_t len, const sockaddr_in& from, int64_t now_ms, MasterIn* in) {
  if (!homebrew_input(buf, len, from, now_ms)) return false;
  HbDmrd d;
  if (!hb_dmrd_parse(buf, len, &d)) return false;
  switch (d.frame_type) {
    case HB_FT_DATA_SYNC:
      if (d.dtype == HB_DT_VOICE_HEADER) {
        in->kind = MI_HEADER;
      } else if (d.dtype == HB_DT_TERMINATOR) {
        in->kind = MI_TERMINATOR;
      } else {
        return false;  // CSBK, data: not voice
      }
      in->position = 0;
      break;
    case HB_FT_VOICE_SYNC:
      in->kind = MI_BURST;
      in->position = 1;
      break;
    case HB_FT_VOICE:
      in->kind = MI_BURST;
      in->position = static_cast<uint8_t>(d.dtype + 1);  // B..F
      break;
  }
  in->slot = d.slot;
  in->private_call = d.private_call;
  in->src = d.src;
  in->dst = d.dst;
  in->seq = d.seq;
  in->seq_bits = 8;
  in->has_ber = len == HB_DMRD_LEN;
  in->ber = d.ber;
  in->stream = d.stream;
  std::copy(buf + HB_BURST_OFFSET, buf + HB_BURST_OFFSET + HB_BURST_LEN, in->burst);
  return true;
}

bool hb_send(const MasterOut& out) {
  if (tx.stream == 0) {
    tx.stream = new_stream();
    tx.seq = 0;
  } else if (out.kind == MO_CALL_START) {
    // A call start over an open call: a call of its own.
    tx.previous = tx.stream;
    tx.stream = new_stream();
    tx.seq = 0;
  } else {
    ++tx.seq;
  }
  HbDmrd d{};
  d.seq = tx.seq;
  d.src = out.src;
  d.dst = out.dst;
  d.repeater = RptrID;
  d.slot = 2;
  d.private_call = out.private_call;
  d.stream = tx.stream;
  switch (out.kind) {
    case MO_CALL_START:
    case MO_HEADER:
      d.frame_type = HB_FT_DATA_SYNC;
      d.dtype = HB_DT_VOICE_HEADER;
      break;
    case MO_TERMINATOR:
      d.frame_type = HB_FT_DATA_SYNC;
      d.dtype = HB_DT_TERMINATOR;
      break;
    case MO_BURST:
      d.frame_type = out.position == 1 ? HB_FT_VOICE_SYNC : HB_FT_VOICE;
      d.dtype = out.position == 1 ? 0 : static_cast<uint8_t>(out.position - 1);
      break;
  }
  if (out.kind == MO_TERMINATOR) {
    tx.previous = tx.stream;
    tx.stream = 0;
  }
  uint8_t dmrd[HB_DMRD_LEN];
  if (!hb_dmrd_build(d, out.burst, dmrd)) return false;
  return homebrew_send(dmrd, sizeof dmrd);
}

}  // namespace

uint32_t homebrew_tx_stream() {
  return tx.stream;
}

uint32_t homebrew_tx_previous_stream() {
  return tx.previous;
}

void reset_homebrew_link() {
  tx = TxCall{};
  seed();
}

// The login keeps its own time on the master-side reader; it pings on its
// own, so the repeater's keep-alive carries nothing for it.
const MasterLink HOMEBREW_LINK = {
    "homebrew",     nullptr, nullptr, hb_receive, homebrew_wait_ms,
    homebrew_pass,  hb_take, hb_send, nullptr,    "Position reports are not sent to a HomeBrew master",
    homebrew_close,
};
