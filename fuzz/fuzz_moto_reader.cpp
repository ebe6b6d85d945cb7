// SPDX-License-Identifier: GPL-2.0-or-later
// The Motorola-side reader's pass (link control, and the voice and data
// relays toward the master) on a sequence of datagrams.
//
// Each record is one datagram and one pass.  Flags: bit 0 appends the tag of
// the network key (without it nearly everything is dropped at the door),
// bits 1-2 pick the sender (the repeater, a stranger, a second peer, the
// repeater's address on another port), bit 3 makes the pass receive nothing,
// bits 4-7 advance the clock by that many 700 ms steps first.
#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/golay.h"
#include "fuzz/harness.h"
#include "master/hytera_packet.h"
#include "motorola/control_packets.h"
#include "motorola/link_control.h"
#include "relay/moto_relay.h"
#include "relay/position_relay.h"

namespace {

constexpr int MOTO_SOCK = 5, AUDIO_SOCK = 6;
Sha1Context tagger, checker;
int sends_this_pass;

// What may leave the gateway while it reads the Motorola link.
void check_send(int sock, const uint8_t* buf, size_t len, const sockaddr_in& to) {
  ++sends_this_pass;
  if (sock == MOTO_SOCK) {
    // Control packets only, each signed.
    FUZZ_CHECK(len == START_LEN || len == START2_LEN || len == PEER_95_LEN || len == PEER_99_LEN);
    FUZZ_CHECK(auth_tag_ok(checker, Key, buf, static_cast<uint32_t>(len)));
    return;
  }
  FUZZ_CHECK(sock == AUDIO_SOCK);
  FUZZ_CHECK(to.sin_addr.s_addr == inet_addr(MasterIP) && ntohs(to.sin_port) == 62006);
  if (len == 1) return;  // the keep-alive "A"
  if (len == POS_REPORT_LEN) {
    FUZZ_CHECK(buf[6] == 'Q' && buf[62] == '2');
    return;
  }
  FUZZ_CHECK(len == HYT_PACKET_LEN);
  FUZZ_CHECK(buf[16] == 0x22 && buf[17] == 0x22);
  const uint8_t type = hyt_packet_type(buf), frame = hyt_frame_type(buf);
  FUZZ_CHECK(type >= HYT_TYPE_VOICE && type <= HYT_TYPE_TERMINATOR);
  if (frame < HYT_FRAME_BURST_A || frame > 0xCC || (frame - HYT_FRAME_BURST_A) % 0x11 != 0) return;
  // A voice burst carries three frames that are exact codewords.
  uint8_t burst[DMR_BURST_BYTES];
  hyt_read_burst(buf, burst);
  for (unsigned k = 0; k < 3; ++k) {
    uint8_t coded[AMBE_CODED_BITS], bare[AMBE_FRAME_BITS], ea, eb;
    burst_read_voice_frame(burst, k, coded);
    decodiere_AMBEplus2_33(coded, &ea, &eb, AMBE_MODE_PLAIN, bare);
    FUZZ_CHECK(ea == 0 && eb == 0);
  }
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
  reset_moto_reader();
  reset_moto_relays();
  install_moto_relays();
  reset_control_packets();
  sign_control_packets(MyBridgeID, Key);
  Corvane_sock = MOTO_SOCK;
  Local_Repeater_audio_srv_sock = AUDIO_SOCK;

  static const sockaddr_in senders[4] = {make_addr("192.0.2.2", 50000), make_addr("192.0.2.4", 50000),
                                         make_addr("192.0.2.5", 50001), make_addr("192.0.2.2", 40000)};
  static uint8_t dgram[1600];
  fuzz::Records in{data, size};
  fuzz::Record r;
  int64_t now = 1000;
  while (in.next(r)) {
    now += (r.flags >> 4) * 700;
    if (!(r.flags & 8)) {
      size_t n = r.len < 1500 ? r.len : 1500;
      std::memcpy(dgram, r.data, n);
      if (r.flags & 1) {
        auth_tag(tagger, Key, dgram, static_cast<uint32_t>(n), dgram + n);
        n += AUTH_TAG_LEN;
      }
      fuzz::offer(MOTO_SOCK, dgram, n, senders[(r.flags >> 1) & 3]);
    }
    sends_this_pass = 0;
    const bool go_on = moto_reader_pass(now);
    // One datagram draws at most one relayed packet or answer (a leaving
    // repeater: the answer and a registration), plus the keep-alive duty
    // (login, registration, keep-alive) and a peer-list request.
    FUZZ_CHECK(sends_this_pass <= 6);
    if (!go_on) {
      // Only a signed peer list that names three or more peers stops the gateway.
      FUZZ_CHECK(!(r.flags & 8) && (r.flags & 1) && dgram[0] == 0x93 && (dgram[5] << 8 | dgram[6]) >= 33);
      break;
    }
  }
  return 0;
}
