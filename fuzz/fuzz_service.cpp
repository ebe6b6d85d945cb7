// SPDX-License-Identifier: GPL-2.0-or-later
// The service socket's drain (port 62005) on datagrams from the master and
// from strangers: each record is one datagram and one pass (flags bit 0:
// from a stranger; bits 4-7: the clock advances by that many seconds first).
#include "core/config.h"
#include "fuzz/harness.h"
#include "master/rdac.h"

namespace {
constexpr int SERVICE_SOCK = 8;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  fuzz::fake_net();
  fuzz::on_send = [](int, const uint8_t*, size_t, const sockaddr_in&) { FUZZ_CHECK(!"the drain sends nothing"); };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::new_input();
  reset_service_drain();
  Local_Repeater_srv_sock = SERVICE_SOCK;
  static const sockaddr_in master = make_addr("192.0.2.3", 62005), stranger = make_addr("192.0.2.4", 62005);
  fuzz::Records in{data, size};
  fuzz::Record r;
  int64_t now = 0;
  size_t before = fuzz::console_texts;
  while (in.next(r)) {
    now += (r.flags >> 4) * 1000;
    fuzz::offer(SERVICE_SOCK, r.data, r.len, r.flags & 1 ? stranger : master);
    localrepeater_pass(now);
  }
  // However many datagrams came, at most one line per 10 s (and the first).
  FUZZ_CHECK(fuzz::console_texts - before <= 1 + static_cast<size_t>(now / SERVICE_LOG_INTERVAL_MS));
  return 0;
}
