// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/udp.h"

#include <gtest/gtest.h>

#include "core/metrics.h"
#include "support/fake_net.h"
#include "support/test_site.h"

namespace {

TEST(Udp, DestinationsAndTheMasterOnlyRule) {
  FakeNet net;
  use_test_site();
  reset_metrics();
  SEND(1, reinterpret_cast<const uint8_t*>("A"));
  send_to_master(reinterpret_cast<const uint8_t*>("A"), 1);
  EXPECT_EQ(net.take_summary(), (std::vector<std::string>{"11>192.0.2.2:50000 41/1", "12>192.0.2.3:62006 41/1"}));

  // On the master-side sockets a stranger's datagram is as if nothing came.
  net.feed(9, {1}, "192.0.2.4", 62006);
  net.feed(9, {2, 2}, "192.0.2.3", 40000);
  uint8_t buf[8];
  sockaddr_in from{};
  EXPECT_EQ(recv_from_master(9, buf, sizeof buf, &from, 0), -1);
  EXPECT_EQ(recv_from_master(9, buf, sizeof buf, &from, 0), 2);
  EXPECT_EQ(metrics_get(metrics.dropped[DROP_STRANGER]), 1u) << "the stranger counted";
}

}  // namespace
