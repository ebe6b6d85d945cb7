#include "master/rdac.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "support/console_capture.h"
#include "support/fake_net.h"

namespace {

constexpr int kAudioSock = 12, kRdacSock = 13, kServiceSock = 14;
using Bytes = std::vector<uint8_t>;

class RdacTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_rdac();
    reset_service_drain();
    snprintf(RptrCall, sizeof RptrCall, "ABC1DEF");
    RptrID = 1193046;
    const uint8_t id[4] = {0x00, 0xAB, 0xCD, 0xEF};
    memcpy(MyBridgeID, id, 4);
    RptrQRGtx = 439000000;
    RptrQRGrx = 431400000;
    snprintf(MasterIP, sizeof MasterIP, "192.0.2.3");
    snprintf(RptrFw, sizeof RptrFw, "Zolt CV 0.92");
    Local_Repeater_audio_srv_sock = kAudioSock;
    Local_Repeater_rdac_srv_sock = kRdacSock;
    Local_Repeater_srv_sock = kServiceSock;
    rdac_fill();
  }
  void TearDown() override {
    reset_udp();
    reset_link_status();
    reset_config();
    reset_rdac();
    reset_service_drain();
  }
  FakeNet net;
  ConsoleCapture console;
};

// Reads a UTF-16LE slot back as text, checking that every high byte is 0.
std::string slot(const uint8_t* msg, int at, int chars) {
  std::string s;
  for (int i = 0; i < chars; ++i) {
    EXPECT_EQ(msg[at + 2 * i + 1], 0) << "high byte of character " << i;
    if (msg[at + 2 * i])
      s += static_cast<char>(msg[at + 2 * i]);
    else
      s += '.';
  }
  return s;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

TEST_F(RdacTest, IdentityMessagesCarryTheConfiguration) {
  EXPECT_EQ(slot(rdac225, 24, 16), "D5.05.09.005....");
  EXPECT_EQ(slot(rdac225, 56, 16), "Zolt CV 0.92....");
  EXPECT_EQ(slot(rdac225, 88, 16), "ABC1DEF.........");
  EXPECT_EQ(slot(rdac225, 120, 32), "ZizOz-000G0000-001000-U1-0-B....");
  EXPECT_EQ(slot(rdac225, 184, 16), "00000Z0000......");
  EXPECT_EQ(le32(rdac225 + 18), 1193046u);
  EXPECT_EQ(le32(rdac225 + 216), 1193046u);
  const Bytes head225{0x7E, 0x04, 0x00, 0x00, 0x10, 0x20, 0x00, 0x03, 0x00, 0xE1};
  EXPECT_EQ(Bytes(rdac225, rdac225 + 10), head225);
  EXPECT_EQ(rdac225[224], 0x03);

  EXPECT_EQ(slot(rdac71, 37, 16), "ABC1DEF.........");
  EXPECT_EQ((Bytes(rdac71 + 18, rdac71 + 22)), (Bytes{0x56, 0x34, 0x12, 0xEF}));
  EXPECT_EQ((Bytes(rdac71 + 29, rdac71 + 33)), (Bytes{0xC0, 0x9B, 0x2A, 0x1A}));
  EXPECT_EQ(le32(rdac71 + 33), 431400000u);
  EXPECT_EQ(rdac71[8] << 8 | rdac71[9], 71);
  EXPECT_EQ(rdac71[70], 0x03);
}

TEST_F(RdacTest, CheckByteAndWordAreRecomputedAfterFilling) {
  EXPECT_EQ(rdac225[223], 0xBB);
  EXPECT_EQ(rdac225[10], 0xFC);
  EXPECT_EQ(rdac225[11], 0x20);
  EXPECT_EQ(rdac71[69], 0x02);
  EXPECT_EQ(rdac71[10], 0x08);
  EXPECT_EQ(rdac71[11], 0xBA);
  // The one's-complement sum over a sealed message, check word included, is 0xFFFF.
  for (auto [m, len] : {std::pair<const uint8_t*, int>{rdac225, 225}, {rdac71, 71}}) {
    uint32_t sum = 0;
    for (int i = 0; i < len; i += 2) sum += m[i] << 8 | (i + 1 < len ? m[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(sum, 0xFFFFu) << len;
  }
}

TEST_F(RdacTest, EightCharacterCallSignFillsEightSlots) {
  snprintf(RptrCall, sizeof RptrCall, "ABCDEFGH");
  rdac_fill();
  EXPECT_EQ(slot(rdac225, 88, 16), "ABCDEFGH........");
  EXPECT_EQ(slot(rdac71, 37, 16), "ABCDEFGH........");
}

std::vector<std::string> steps_printed(const std::string& out) {
  std::vector<std::string> v;
  size_t p = 0;
  while ((p = out.find("Local_Repeater_rdac ", p)) != std::string::npos) {
    size_t e = out.find('\n', p);
    v.push_back(out.substr(p + 20, e - p - 20));
    p = e;
  }
  return v;
}

TEST_F(RdacTest, LoginStartsFourPairsSixSecondsApart) {
  Start_rdac = 1;
  master_online = 1;
  std::vector<int64_t> sent_at;
  for (int64_t t = 0; t <= 40000; t += 10) {
    size_t before = net.sent_list().size();
    repeater_rdac_pass(t);
    if (net.sent_list().size() > before) sent_at.push_back(t);
  }
  EXPECT_EQ(sent_at, (std::vector<int64_t>{6000, 12010, 18020, 24030}));
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 8u);
  for (size_t i = 0; i < 8; i += 2) {
    EXPECT_EQ(sent[i].bytes, Bytes(rdac225, rdac225 + 225));
    EXPECT_EQ(sent[i + 1].bytes, Bytes(rdac71, rdac71 + 71));
    EXPECT_EQ(sent[i].sock, kAudioSock);
    EXPECT_EQ(sent[i].ip(), "192.0.2.3");
    EXPECT_EQ(sent[i].port(), 62007);
  }
  EXPECT_EQ(steps_printed(console.str()), (std::vector<std::string>{"2", "3", "4", "0"}));
  EXPECT_EQ(Start_rdac, 0);
}

TEST_F(RdacTest, AnnouncerSleepsUntilItsNextDuty) {
  EXPECT_EQ(repeater_rdac_wait_ms(0), -1) << "idle: wait for a datagram or a login";
  Start_rdac = 1;
  EXPECT_EQ(repeater_rdac_wait_ms(0), 0) << "a login is served at once";
  repeater_rdac_pass(1000);
  EXPECT_EQ(repeater_rdac_wait_ms(1000), 6000);
  EXPECT_EQ(repeater_rdac_wait_ms(6999), 1);
  EXPECT_EQ(repeater_rdac_wait_ms(9000), 0);
}

TEST_F(RdacTest, ReplyWhileLoggedInEndsTheCycleAtOnce) {
  Start_rdac = 1;
  master_online = 1;
  int64_t t = 0;
  for (; net.sent_list().empty(); t += 10) repeater_rdac_pass(t);
  net.feed(kRdacSock, Bytes(24, 0x11), "192.0.2.3", 62007);
  for (int64_t end = t + 30000; t < end; t += 10) repeater_rdac_pass(t);
  EXPECT_EQ(net.sent_list().size(), 2u);
  EXPECT_EQ(Start_rdac, 0);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac 2\nLocal_Repeater_rdac \n");
}

TEST_F(RdacTest, RepliesThatDoNotCountAreIgnored) {
  Start_rdac = 1;
  master_online = 0;  // logged out: even a right-sized reply is ignored
  net.feed(kRdacSock, Bytes(24, 0), "192.0.2.3", 62007);
  repeater_rdac_pass(0);
  master_online = 1;
  net.feed(kRdacSock, Bytes(23, 0), "192.0.2.3", 62007);
  net.feed(kRdacSock, Bytes(24, 0), "192.0.2.4", 62007);  // not the master
  for (int64_t t = 10; t <= 30000; t += 10) repeater_rdac_pass(t);
  EXPECT_EQ(net.sent_list().size(), 8u);
}

TEST_F(RdacTest, ServiceSocketDatagramsAreDroppedAndShownSparingly) {
  net.feed(kServiceSock, Bytes{1}, "192.0.2.4", 62005);  // not the master: not shown
  localrepeater_pass(0);
  EXPECT_EQ(console.str(), "");
  net.feed(kServiceSock, Bytes{1, 2, 3}, "192.0.2.3", 62005);
  for (int i = 0; i < 1000; ++i) net.feed(kServiceSock, Bytes(300, 9), "192.0.2.3", 62005);
  for (int i = 0; i < 1001; ++i) localrepeater_pass(1000 + 9 * i);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac \n") << "one line for a burst within 10 s";
  net.feed(kServiceSock, Bytes{1}, "192.0.2.3", 62005);
  localrepeater_pass(11000);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac \nLocal_Repeater_rdac \n");
  EXPECT_TRUE(net.sent_list().empty());
}

}  // namespace
