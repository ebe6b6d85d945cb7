// The master-side reader with an open master: one or two bytes answer our
// keep-alive, only 72 bytes are voice.
#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "master_voice.h"
#include "relay/master_to_moto.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/test_site.h"

namespace {

using namespace mvoice;

class OpenMasterReader : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_master_to_moto();
    use_test_site();
    OpenMasterPort = 50000;
  }
  void TearDown() override {
    reset_master_to_moto();
    reset_udp();
    reset_link_status();
    reset_config();
  }
  void from_master(const Bytes& b) {
    net.feed(kSiteAudioSock, b, "192.0.2.3", 50100);
    send_voice_to_motorola_pass();
  }
  FakeNet net;
  ConsoleCapture console;
};

TEST_F(OpenMasterReader, ShortAnswersKeepTheLinkAndOnly72BytesAreVoice) {
  master_timer = 7;
  from_master(Bytes{0x41, 0x00});
  EXPECT_EQ(master_timer, 15);
  EXPECT_GT(master_heard_ms(), 0) << "heard on the DMR socket";
  Bytes header = hyt_header(HytCall{}, 50);
  header.push_back(0x00);
  from_master(header);
  EXPECT_EQ(console.str(), "") << "73 bytes are not voice from an open master";
  header.pop_back();
  from_master(header);
  EXPECT_NE(console.str().find("RX SLOT=2"), std::string::npos);
}

}  // namespace
