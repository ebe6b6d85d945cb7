// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/supervision.h"

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "relay/master_to_moto.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/record_text.h"
#include "support/test_site.h"

namespace {

using Sent = std::vector<std::string>;
int woken;

class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_link_status();
    reset_master_to_moto();
    reset_call_record();
    reset_metrics();
    use_test_site();
    woken = 0;
    on_login = [] { ++woken; };
  }
  void TearDown() override { on_login = nullptr; }
  // The passes 1..n that sent a login, the repeater answering throughout and
  // the master sending a keep-alive byte before every `keepalive`-th pass.
  std::vector<int> logins(int n, int keepalive) {
    std::vector<int> at;
    for (int i = 1; i <= n; ++i) {
      motorola_repeater_online = 20;
      if (keepalive && i % keepalive == 0) {
        net.feed(kSiteAudioSock, {'A'}, "192.0.2.3", 62006);
        send_voice_to_motorola_pass();
      }
      supervision_pass();
      if (!net.take_sent().empty()) at.push_back(i);
    }
    return at;
  }
  FakeNet net;
  ConsoleCapture console;
};

TEST_F(SupervisionTest, LoginOnlyWhileTheRepeaterIsAlive) {
  for (int i = 0; i < 40; ++i) supervision_pass();
  EXPECT_TRUE(net.take_sent().empty()) << "the repeater never answered";

  motorola_repeater_online = 20;
  supervision_pass();
  EXPECT_EQ(net.take_summary(), Sent{"12>192.0.2.3:62006 41/1"});
  EXPECT_EQ(console.str().substr(24), " Sende Anmeldung an DMR Master  IP:192.0.2.3\n") << "after the time stamp";
  EXPECT_EQ(master_timer, 29);
  EXPECT_EQ(Start_rdac, 1);
  EXPECT_EQ(woken, 1);

  // The repeater's credit (now 19) runs out: below 2 the link is down.
  for (int i = 0; i < 17; ++i) supervision_pass();
  EXPECT_EQ(master_online, 1);
  supervision_pass();
  EXPECT_EQ(master_online, 0);
}

TEST_F(SupervisionTest, MasterTimerRunsFromTheLoginAndEachKeepAlive) {
  EXPECT_EQ(logins(90, 0), (std::vector<int>{1, 30, 59, 88})) << "a silent master: 29 passes per login";
  reset_link_status();
  EXPECT_EQ(logins(200, 13), std::vector<int>{1}) << "a keep-alive gives 15 more seconds";
  reset_link_status();
  EXPECT_EQ(logins(60, 14), (std::vector<int>{1, 28, 56})) << "one pass too late each time";
  EXPECT_EQ(metrics_get(metrics.logins[LINK_MASTER]), 8u) << "every login counted";
}

TEST_F(SupervisionTest, EachLinkChangeIsOneEvent) {
  supervision_pass();
  EXPECT_EQ(take_event_texts(), (std::vector<std::string>{"link 0 down", "link 1 down"})) << "the first pass says both";
  supervision_pass();
  EXPECT_TRUE(take_event_texts().empty());
  // The login brings both up; the master that never answers goes down
  // after 29 passes, and up again with the next login.
  EXPECT_EQ(logins(30, 0), (std::vector<int>{1, 30}));
  EXPECT_EQ(take_event_texts(), (std::vector<std::string>{"link 0 up", "link 1 up", "link 1 down", "link 1 up"}));
  EXPECT_GT(link_since_ms(LINK_MASTER), 1700000000000) << "the wall clock of the change";
}

}  // namespace
