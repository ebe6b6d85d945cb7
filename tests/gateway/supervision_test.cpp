#include "gateway/supervision.h"

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/udp.h"
#include "support/console_capture.h"
#include "support/fake_net.h"

namespace {

class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_link_status();
    reset_udp();
    reset_config();
    snprintf(MasterIP, sizeof MasterIP, "192.0.2.3");
    Local_Repeater_audio_srv_sock = 7;
  }
  void TearDown() override {
    reset_link_status();
    reset_udp();
    reset_config();
  }
  // Runs one pass and tells whether it sent a login.
  bool pass() {
    size_t before = net.sent_list().size();
    supervision_pass();
    return net.sent_list().size() > before;
  }
  FakeNet net;
  ConsoleCapture console;
};

TEST_F(SupervisionTest, NoReplyFromRepeaterNeverLogsIn) {
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(pass());
  EXPECT_EQ(Start_rdac, 0);
  EXPECT_EQ(console.str(), "");
}

TEST_F(SupervisionTest, FirstReplyLogsInAtOnce) {
  motorola_repeater_online = 20;
  ASSERT_TRUE(pass());
  const FakeDatagram& d = net.sent_list().back();
  EXPECT_EQ(d.sock, 7);
  EXPECT_EQ(d.bytes, std::vector<uint8_t>{'A'});
  EXPECT_EQ(d.ip(), "192.0.2.3");
  EXPECT_EQ(d.port(), 62006);
  EXPECT_EQ(master_online, 1);
  EXPECT_EQ(master_timer, 29);
  EXPECT_EQ(Start_rdac, 1);
  EXPECT_EQ(motorola_repeater_online, 19);
  std::string out = console.str();
  ASSERT_EQ(out.size(), 24 + std::string(" Sende Anmeldung an DMR Master  IP:192.0.2.3\n").size());
  EXPECT_EQ(out.substr(24), " Sende Anmeldung an DMR Master  IP:192.0.2.3\n");
}

TEST_F(SupervisionTest, SilentMasterIsLoggedInAgainEvery29Passes) {
  std::vector<int> logins;
  for (int i = 0; i < 90; ++i) {
    motorola_repeater_online = 20;  // the repeater keeps answering
    if (pass()) logins.push_back(i);
    if (i == 28) {
      EXPECT_EQ(master_online, 0);
    }
    if (i == 27) {
      EXPECT_EQ(master_online, 1);
    }
  }
  EXPECT_EQ(logins, (std::vector<int>{0, 29, 58, 87}));
}

TEST_F(SupervisionTest, MasterKeepAlivesHoldTheLogin) {
  int logins = 0;
  for (int i = 0; i < 200; ++i) {
    motorola_repeater_online = 20;
    if (i % 13 == 12 && master_timer > 0) master_timer = 15;  // what the master-side reader does
    logins += pass();
  }
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(master_online, 1);
}

TEST_F(SupervisionTest, RepeaterGoingSilentDropsTheLinkAndStopsLogins) {
  motorola_repeater_online = 20;
  std::vector<int> logins;
  for (int i = 0; i < 40; ++i) {
    if (pass()) logins.push_back(i);
    if (i == 18) {
      EXPECT_EQ(master_online, 0) << "19th pass after the reply";
    }
    if (i == 17) {
      EXPECT_EQ(master_online, 1);
    }
  }
  // One more login in the 20th pass (counter 1), dropped in that same pass.
  EXPECT_EQ(logins, (std::vector<int>{0, 19}));
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(motorola_repeater_online, 0);
}

TEST_F(SupervisionTest, KeepAliveByteAfterTimeoutDoesNotRevive) {
  motorola_repeater_online = 1;
  pass();  // login, then dropped at once: repeater below 2
  master_timer = 0;
  master_online = 0;
  for (int i = 0; i < 5; ++i) {
    if (master_timer > 0) master_timer = 15;  // keep-alive bytes while down
    EXPECT_FALSE(pass());
  }
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(master_timer, 0);
}

TEST_F(SupervisionTest, LoginWakesTheAnnouncer) {
  static int woken;
  woken = 0;
  on_login = [] { ++woken; };
  motorola_repeater_online = 20;
  pass();
  pass();
  on_login = nullptr;
  EXPECT_EQ(woken, 1);
}

}  // namespace
