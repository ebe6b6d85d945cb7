// SPDX-License-Identifier: GPL-2.0-or-later
// The open-master login (--open-master) on datagrams at its RDAC socket
// (62007) and its service socket (62005), with the RDAC worker's duties run
// after each.
//
// Each record is one datagram and one pass of each worker.  Flags: bit 0
// puts it on the RDAC socket (else the service socket), bit 1 sends it from
// a stranger, bit 2 receives nothing, bit 3 counts as a keep-alive answer on
// the DMR socket, bits 4-7 advance the clock by that many 500 ms steps
// first.
#include "core/config.h"
#include "core/link_status.h"
#include "fuzz/harness.h"
#include "master/open_master.h"

namespace {

constexpr int RDAC_SOCK = 7, SERVICE_SOCK = 8;
constexpr int MASTER_PORT = 50000;

bool sealed(const uint8_t* m, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i < len; i += 2) sum += m[i] << 8 | (i + 1 < len ? m[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF && (m[8] << 8 | m[9]) == static_cast<int>(len);
}

// Only the login's own datagrams leave, each to the master, well formed.
void check_send(int sock, const uint8_t* buf, size_t len, const sockaddr_in& to) {
  FUZZ_CHECK(to.sin_addr.s_addr == inet_addr(MasterIP));
  const int port = ntohs(to.sin_port);
  FUZZ_CHECK(port != 0);
  if (sock == SERVICE_SOCK) {
    FUZZ_CHECK(port == MASTER_PORT);
    FUZZ_CHECK((len == P2P_REQUEST_LEN && buf[20] >= P2P_REGISTER && buf[20] <= P2P_RDAC_PORT) ||
               (len == P2P_HEARTBEAT_LEN && buf[0] == 0x5A));
  } else if (sock == RDAC_SOCK) {
    FUZZ_CHECK((len == 1 && buf[0] == 0) || (len >= 12 && buf[0] == 0x7E && sealed(buf, len)));
    if (len > 12) FUZZ_CHECK(buf[len - 1] == 0x03 && buf[len - 2] == rdac_check_byte(buf, static_cast<int>(len)));
  } else {
    FUZZ_CHECK(sock == Local_Repeater_audio_srv_sock && len == 1 && buf[0] == 0);
    FUZZ_CHECK(port == master_voice_port);
  }
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
  OpenMasterPort = MASTER_PORT;
  fuzz::rdac_identity();
  Local_Repeater_rdac_srv_sock = RDAC_SOCK;
  Local_Repeater_srv_sock = SERVICE_SOCK;
  reset_open_master();
  static const sockaddr_in master = make_addr("192.0.2.3", 50200), stranger = make_addr("192.0.2.4", 50200);
  fuzz::Records in{data, size};
  fuzz::Record r;
  int64_t now = 1;
  const size_t before = fuzz::console_texts;
  while (in.next(r)) {
    now += (r.flags >> 4) * 500;
    const int sock = r.flags & 1 ? RDAC_SOCK : SERVICE_SOCK;
    if (!(r.flags & 4)) fuzz::offer(sock, r.data, r.len, r.flags & 2 ? stranger : master);
    if (r.flags & 8) note_master_heard(now);
    open_master_service_pass(now);
    open_master_rdac_pass(now);
    FUZZ_CHECK(master_online == 0 || (master_online == 1 && master_voice_port != 0));
    FUZZ_CHECK(open_master_wait_ms(now) >= 0 && open_master_wait_ms(now) <= 1000);
  }
  // Each kind of line at most once in 10 s, whatever arrives.
  FUZZ_CHECK(fuzz::console_texts - before <= 12 * (1 + static_cast<size_t>(now / OM_LOG_INTERVAL_MS)));
  return 0;
}
