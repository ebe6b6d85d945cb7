// SPDX-License-Identifier: GPL-2.0-or-later
// What the master protocol chosen at start-up changes in the supervision loop.
#include "gateway/master_protocols.h"

#include <gtest/gtest.h>

#include "core/link_status.h"
#include "core/udp.h"
#include "gateway/supervision.h"
#include "support/fake_net.h"
#include "support/test_site.h"

namespace {

class MasterProtocols : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_link_status();
    use_test_site();
  }
  void TearDown() override {
    select_master_protocol("classic");
    master_keepalive = nullptr;
    reset_link_status();
  }
  FakeNet net;
};

TEST_F(MasterProtocols, OnlyTheClassicLoginRunsFromTheSupervisionLoop) {
  for (const char* mode : {"open_master", "homebrew"}) {
    select_master_protocol(mode);
    motorola_repeater_online = 20;
    supervision_pass();
    EXPECT_TRUE(net.take_sent().empty()) << mode;
    EXPECT_EQ(std::make_pair(master_online.load(), motorola_repeater_online.load()), std::make_pair(0, 19)) << mode;
  }
  select_master_protocol("classic");
  supervision_pass();
  EXPECT_EQ(net.take_summary(), std::vector<std::string>{"12>192.0.2.3:62006 41/1"});
  EXPECT_EQ(master_online, 1);
}

}  // namespace
