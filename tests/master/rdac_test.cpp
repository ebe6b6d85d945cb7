// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/rdac.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/test_site.h"

namespace {

constexpr int kRdacSock = 13, kServiceSock = 14;
using Bytes = std::vector<uint8_t>;

class RdacTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_link_status();
    reset_rdac();
    reset_service_drain();
    use_test_site();
    snprintf(RptrCall, sizeof RptrCall, "ABC1DEF");
    RptrID = 0x123456;
    RptrQRGtx = 439000000;
    RptrQRGrx = 431400000;
    snprintf(RptrFw, sizeof RptrFw, "Zolt CV 0.92");
    Local_Repeater_rdac_srv_sock = kRdacSock;
    Local_Repeater_srv_sock = kServiceSock;
    rdac_fill();
  }
  FakeNet net;
  ConsoleCapture console;
};

std::string at(const uint8_t* msg, int from, int n) {
  return std::string(msg + from, msg + from + n);
}
// A text slot: UTF-16LE, zero-filled to `chars` characters.
std::string utf16(const std::string& text, size_t chars) {
  std::string s(2 * chars, '\0');
  for (size_t i = 0; i < text.size(); ++i) s[2 * i] = text[i];
  return s;
}

TEST_F(RdacTest, MessagesCarryTheConfiguration) {
  EXPECT_EQ(at(rdac225, 56, 64), utf16("Zolt CV 0.92", 16) + utf16("ABC1DEF", 16));
  EXPECT_EQ(at(rdac225, 120, 10), utf16("ZizOz", 5));
  EXPECT_EQ(at(rdac225, 18, 4), std::string("\x56\x34\x12\0", 4));
  EXPECT_EQ(at(rdac71, 37, 32), utf16("ABC1DEF", 16));
  EXPECT_EQ(at(rdac71, 18, 4), "\x56\x34\x12\xEF");
  EXPECT_EQ(at(rdac71, 29, 8), "\xC0\x9B\x2A\x1A\x40\xA4\xB6\x19") << "tx, rx";
  // Check byte and check word over the filled messages, as the master expects them.
  EXPECT_EQ(at(rdac225, 223, 1) + at(rdac225, 10, 2), "\xBB\xFC\x20");
  EXPECT_EQ(at(rdac71, 69, 1) + at(rdac71, 10, 2), "\x02\x08\xBA");
}

TEST_F(RdacTest, LoginStartsFourPairsSixSecondsApart) {
  Start_rdac = 1;
  master_online = 1;
  std::vector<int64_t> sent_at;
  for (int64_t t = 0; t <= 40000; t += 10) {
    repeater_rdac_pass(t);
    for (const std::string& s : net.take_summary()) {
      sent_at.push_back(t);
      EXPECT_EQ(s, sent_at.size() % 2 ? "12>192.0.2.3:62007 7E/225" : "12>192.0.2.3:62007 7E/71");
    }
  }
  EXPECT_EQ(sent_at, (std::vector<int64_t>{6000, 6000, 12010, 12010, 18020, 18020, 24030, 24030}));
  EXPECT_EQ(console.str(),
            "Local_Repeater_rdac 2\nLocal_Repeater_rdac 3\nLocal_Repeater_rdac 4\nLocal_Repeater_rdac 0\n");

  // Only a 24-byte reply of the master while logged in ends a cycle at once.
  console.clear();
  Start_rdac = 1;
  master_online = 0;
  net.feed(kRdacSock, Bytes(24, 0), "192.0.2.3", 62007);
  repeater_rdac_pass(50000);
  master_online = 1;
  net.feed(kRdacSock, Bytes(23, 0), "192.0.2.3", 62007);
  net.feed(kRdacSock, Bytes(24, 0), "192.0.2.4", 62007);
  for (int64_t t = 50010; t <= 56000; t += 10) repeater_rdac_pass(t);
  EXPECT_EQ(net.take_sent().size(), 2u);
  net.feed(kRdacSock, Bytes(24, 0), "192.0.2.3", 62007);
  for (int64_t t = 56010; t <= 90000; t += 10) repeater_rdac_pass(t);
  EXPECT_TRUE(net.take_sent().empty());
  EXPECT_EQ(Start_rdac, 0);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac 2\nLocal_Repeater_rdac \n");
}

TEST_F(RdacTest, ServiceSocketLinesAreRateLimited) {
  net.feed(kServiceSock, {1}, "192.0.2.4", 62005);  // a stranger: not shown
  localrepeater_pass(0);
  EXPECT_EQ(console.str(), "");
  for (int i = 0; i < 100; ++i) net.feed(kServiceSock, Bytes(300, 9), "192.0.2.3", 62005);
  for (int i = 0; i < 100; ++i) localrepeater_pass(1000 + 101 * i);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac \n") << "one line in 10 s";
  net.feed(kServiceSock, {1}, "192.0.2.3", 62005);
  localrepeater_pass(11000);
  EXPECT_EQ(console.str(), "Local_Repeater_rdac \nLocal_Repeater_rdac \n");
  EXPECT_TRUE(net.take_sent().empty());
}

}  // namespace
