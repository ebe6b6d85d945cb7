// SPDX-License-Identifier: GPL-2.0-or-later
// The RDAC announcer's pass on datagrams at its socket (port 62007).
//
// Each record is one datagram and one pass.  Flags: bit 0 sends it from a
// stranger instead of the master, bit 1 receives nothing, bit 2 toggles the
// login, bit 3 requests a cycle (as a login does), bits 4-7 advance the
// clock by that many 500 ms steps first.
#include "core/config.h"
#include "core/link_status.h"
#include "fuzz/harness.h"
#include "master/rdac.h"

namespace {

constexpr int RDAC_SOCK = 7, AUDIO_SOCK = 6;

// Only the two identity messages go out, to the master's RDAC port, intact.
void check_send(int sock, const uint8_t* buf, size_t len, const sockaddr_in& to) {
  FUZZ_CHECK(sock == AUDIO_SOCK);
  FUZZ_CHECK(to.sin_addr.s_addr == inet_addr(MasterIP) && ntohs(to.sin_port) == RDAC_PORT);
  FUZZ_CHECK((len == RDAC225_LEN && std::memcmp(buf, rdac225, len) == 0) ||
             (len == RDAC71_LEN && std::memcmp(buf, rdac71, len) == 0));
  FUZZ_CHECK(buf[len - 2] == rdac_check_byte(buf, static_cast<int>(len)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  fuzz::fake_net();
  fuzz::on_send = check_send;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::new_input();
  fuzz::rdac_identity();
  Local_Repeater_rdac_srv_sock = RDAC_SOCK;
  Local_Repeater_audio_srv_sock = AUDIO_SOCK;
  static const sockaddr_in master = make_addr("192.0.2.3", 62007), stranger = make_addr("192.0.2.4", 62007);
  fuzz::Records in{data, size};
  fuzz::Record r;
  int64_t now = 0;
  while (in.next(r)) {
    now += (r.flags >> 4) * 500;
    if (r.flags & 4) master_online = master_online ? 0 : 1;
    if (r.flags & 8) Start_rdac = 1;
    if (!(r.flags & 2)) fuzz::offer(RDAC_SOCK, r.data, r.len, r.flags & 1 ? stranger : master);
    repeater_rdac_pass(now);
    FUZZ_CHECK(Start_rdac >= 0 && Start_rdac <= 4);
  }
  return 0;
}
