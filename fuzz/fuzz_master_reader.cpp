// SPDX-License-Identifier: GPL-2.0-or-later
// The master-side reader's pass (audio socket, port 62006: keep-alive bytes
// and Hytera voice, relayed to the repeater) on a sequence of datagrams.
//
// Each record is one datagram and one pass.  Flags: bit 0 sends it from a
// stranger instead of the master, bit 1 receives nothing, bit 2 forgets the
// repeater's address (nowhere to send), bits 4-7 advance the clock by that
// many 250 ms steps first (a call times out after 3 s).
#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "dmr/full_lc.h"
#include "dmr/golay.h"
#include "fuzz/harness.h"
#include "relay/master_to_moto.h"

namespace {

constexpr int MOTO_SOCK = 5, AUDIO_SOCK = 6;
int64_t clock_us;
int64_t last_send_us;
Sha1Context checker;

// Only signed slot-2 voice packets of our peer ID, to the repeater, paced.
void check_send(int sock, const uint8_t* buf, size_t len, const sockaddr_in& to) {
  FUZZ_CHECK(sock == MOTO_SOCK);
  const sockaddr_in rpt = get_fromUser2();
  FUZZ_CHECK(rpt.sin_family == AF_INET && to.sin_addr.s_addr == rpt.sin_addr.s_addr && to.sin_port == rpt.sin_port);
  bool known = false;
  for (unsigned k = 0; k < MOTO_VOICE_KINDS; ++k) known |= len == moto_voice_sent_len(static_cast<MotoVoiceKind>(k));
  FUZZ_CHECK(known);
  FUZZ_CHECK(auth_tag_ok(checker, Key, buf, static_cast<uint32_t>(len)));
  FUZZ_CHECK(buf[0] == MOTO_OP_GROUP_VOICE || buf[0] == MOTO_OP_PRIVATE_VOICE);
  FUZZ_CHECK(std::memcmp(buf + 1, MyBridgeID, 4) == 0 && moto_slot2(buf));
  const uint8_t type = moto_burst_type(buf);
  FUZZ_CHECK(type == MOTO_BURST_TYPE_HEADER || type == MOTO_BURST_TYPE_TERMINATOR || type == MOTO_BURST_TYPE_VOICE);
  if (type != MOTO_BURST_TYPE_VOICE) {
    // The link control names the call's IDs and carries its check bytes.
    FUZZ_CHECK(std::memcmp(buf + 41, buf + 9, 3) == 0 && std::memcmp(buf + 44, buf + 6, 3) == 0);
    uint8_t check[3];
    full_lc_check(buf + 38, type == MOTO_BURST_TYPE_HEADER ? RS129_MASK_VOICE_LC_HEADER : RS129_MASK_TERMINATOR_LC,
                  check);
    FUZZ_CHECK(std::memcmp(check, buf + 47, 3) == 0);
  }
  FUZZ_CHECK(last_send_us < 0 || clock_us - last_send_us >= V2M_MIN_GAP_US);
  last_send_us = clock_us;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  fuzz::fake_net();
  fuzz::on_send = check_send;
  init_Golay_23_12();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::new_input();
  reset_master_to_moto();
  Corvane_sock = MOTO_SOCK;
  Local_Repeater_audio_srv_sock = AUDIO_SOCK;
  master_online = 1;
  master_timer = 20;
  const sockaddr_in repeater = make_addr("192.0.2.2", 50000);
  set_fromUser2(repeater);

  clock_us = 5000000;
  last_send_us = -1;
  v2m_timing.now_us = [] { return clock_us; };
  v2m_timing.sleep_us = [](int64_t us) {
    FUZZ_CHECK(us > 0 && us <= V2M_PACED_GAP_US);
    clock_us += us;
  };
  v2m_timing.wall_ms = [] { return clock_us / 1000; };
  send_voice_to_motorola_start();

  static const sockaddr_in master = make_addr("192.0.2.3", 62006), stranger = make_addr("192.0.2.4", 62006);
  fuzz::Records in{data, size};
  fuzz::Record r;
  while (in.next(r)) {
    clock_us += (r.flags >> 4) * 250000;
    if (r.flags & 4) set_fromUser2(sockaddr_in{});
    if (!(r.flags & 2)) fuzz::offer(AUDIO_SOCK, r.data, r.len, r.flags & 1 ? stranger : master);
    send_voice_to_motorola_pass();
    FUZZ_CHECK(master_timer >= 0 && master_timer <= 20);
  }
  return 0;
}
