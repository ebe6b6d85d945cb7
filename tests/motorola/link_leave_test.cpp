// SPDX-License-Identifier: GPL-2.0-or-later
// Leaving and re-joining the repeater's link, and signed datagrams longer
// than a short control packet.
#include <gtest/gtest.h>

#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "motorola/control_packets.h"
#include "motorola/link_control.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/sign.h"
#include "support/test_site.h"

namespace {

using Bytes = std::vector<uint8_t>;

class LinkLeaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_moto_reader();
    use_test_site();
    reset_control_packets();
    sign_control_packets(MyBridgeID, Key);
  }
  void TearDown() override {
    reset_udp();
    reset_link_status();
    reset_config();
  }
  static Bytes sign(Bytes body, const uint8_t* key = Key) { return signed_packet(key, std::move(body)); }
  static bool signed_by_us(const FakeDatagram& d) {
    Sha1Context ctx;
    return auth_tag_ok(ctx, Key, d.bytes.data(), static_cast<uint32_t>(d.bytes.size()));
  }
  FakeNet net;
  ConsoleCapture console;
};

TEST_F(LinkLeaveTest, LeavingSendsOneSignedDeregistrationToTheRepeater) {
  moto_leave();
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].ip(), "192.0.2.2");
  EXPECT_EQ(sent[0].port(), 50000);
  EXPECT_EQ(Bytes(sent[0].bytes.begin(), sent[0].bytes.begin() + 5), (Bytes{0x9A, 0x00, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(sent[0].bytes.size(), 15u);
  EXPECT_TRUE(signed_by_us(sent[0]));
}

TEST_F(LinkLeaveTest, RepeaterLeavingIsAnsweredAndRegisteredAgainAtOnce) {
  motorola_repeater_online = 20;
  master_online = 1;
  const Bytes leave = sign({0x9A, 0x00, 0x00, 0x00, 0x01});
  uint8_t other_key[20] = {1};
  // Unsigned, wrongly signed, or from another address: dropped.
  net.feed(kSiteMotoSock, Bytes{0x9A, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "192.0.2.2", 50000);
  net.feed(kSiteMotoSock, sign({0x9A, 0, 0, 0, 1}, other_key), "192.0.2.2", 50000);
  net.feed(kSiteMotoSock, leave, "192.0.2.9", 50000);
  for (int i = 0; i < 3; ++i) moto_reader_pass(0);
  EXPECT_EQ(net.take_sent().size(), 0u);
  EXPECT_EQ(motorola_repeater_online, 20);

  net.feed(kSiteMotoSock, leave, "192.0.2.2", 50000);
  moto_reader_pass(0);
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes[0], 0x9B);
  EXPECT_EQ(sent[0].bytes.size(), 15u);
  EXPECT_TRUE(signed_by_us(sent[0]));
  EXPECT_EQ(sent[1].bytes, Bytes(start, start + START_LEN));
  EXPECT_EQ(motorola_repeater_online, 0);
  EXPECT_NE(console.str().find("registering again"), std::string::npos);

  // Then with each keep-alive until the repeater answers.
  moto_reader_pass(KEEPALIVE_INTERVAL_MS);
  sent = net.take_sent();
  ASSERT_EQ(sent.size(), 3u);  // "A" to the master, registration, keep-alive
  EXPECT_EQ(sent[1].bytes, Bytes(start, start + START_LEN));
}

TEST_F(LinkLeaveTest, LongSignedPeerListsAreReadWholeWithTheirSixteenBitLength) {
  for (int peers : {20, 24}) {
    console.clear();
    Bytes list{0x93, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(peers * 11 >> 8), static_cast<uint8_t>(peers * 11)};
    for (int k = 1; k <= peers; ++k)
      list.insert(list.end(), {0, 0, 0, static_cast<uint8_t>(k), 192, 0, 2, 9, 0xC3, 0x50, 0});
    net.feed(kSiteMotoSock, sign(list), "192.0.2.2", 50000);
    EXPECT_FALSE(moto_reader_pass(0)) << peers;
    const std::string out = console.str();
    EXPECT_EQ(out.find("Authentication failed"), std::string::npos) << peers;
    EXPECT_NE(out.find("PEER" + std::to_string(peers) + "-ID:" + std::to_string(peers) + "\n"), std::string::npos);
    EXPECT_NE(out.find("TOO MANY PEERS IN NETWORK! (" + std::to_string(peers) + ")"), std::string::npos) << out;
  }
}

}  // namespace
