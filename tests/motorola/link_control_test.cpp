// SPDX-License-Identifier: GPL-2.0-or-later
#include "motorola/link_control.h"

#include <gtest/gtest.h>

#include "core/call_record.h"
#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "master/master_link.h"
#include "motorola/control_packets.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/record_text.h"
#include "support/sign.h"
#include "support/test_site.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Sent = std::vector<std::string>;

class MotoLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_udp();
    reset_link_status();
    reset_moto_reader();
    reset_call_record();
    reset_metrics();
    use_test_site();
    reset_control_packets();
    sign_control_packets(MyBridgeID, Key);
    master_keepalive = CLASSIC_LINK.keepalive;  // the classic login's "A" goes with each keep-alive
  }
  void TearDown() override {
    moto_voice_sink = nullptr;
    master_keepalive = nullptr;
  }
  // Feeds `head`, zero-filled to `len` bytes with the tag, from ip:port;
  // with byte `forge` changed after signing.
  void feed(Bytes head, size_t len, const char* ip = "192.0.2.2", int port = 50000, int forge = -1) {
    head.resize(len - 10, 0);
    Bytes pkt = signed_packet(Key, head);
    if (forge >= 0) pkt[forge] ^= 1;
    net.feed(kSiteMotoSock, pkt, ip, port);
  }
  FakeNet net;
  ConsoleCapture console;
};

// The keep-alive duty: "A" to the master, registration (while the repeater is
// not alive) and keep-alive request to the repeater.
const Sent KEEPALIVE = {"12>192.0.2.3:62006 41/1", "11>192.0.2.2:50000 90/24", "11>192.0.2.2:50000 96/24"};

TEST_F(MotoLinkTest, RegistrationAndKeepAliveEveryFiveSeconds) {
  moto_reader_start();
  EXPECT_EQ(net.take_summary(), Sent{KEEPALIVE[1]});

  moto_reader_pass(100000);  // starts the keep-alive clock
  moto_reader_pass(104999);
  EXPECT_TRUE(net.take_sent().empty());
  // Repeater not alive: the registration goes out again with the keep-alive.
  moto_reader_pass(105000);
  EXPECT_EQ(net.take_summary(), KEEPALIVE);

  feed({0x97}, 16);  // too short to count
  moto_reader_pass(106000);
  EXPECT_EQ(motorola_repeater_online, 0);
  feed({0x97}, 17);
  moto_reader_pass(107000);
  EXPECT_EQ(motorola_repeater_online, 20);
  EXPECT_EQ(link_last_answer_ms(LINK_REPEATER), 107000);
  moto_reader_pass(110020);
  EXPECT_EQ(net.take_summary(), (Sent{KEEPALIVE[0], KEEPALIVE[2]}));
  EXPECT_EQ(moto_reader_wait_ms(110020), 4980) << "the rhythm holds";

  // Any 26-byte datagram draws a peer-list request.
  feed({0x97}, 26);
  moto_reader_pass(110021);
  EXPECT_EQ(net.take_summary(), Sent{"11>192.0.2.2:50000 92/15"});
  EXPECT_EQ(metrics_get(metrics.logins[LINK_REPEATER]), 1u) << "the link came up once";
  motorola_repeater_online = 1;  // and goes down: the next answer brings it up again
  feed({0x97}, 17);
  moto_reader_pass(110022);
  EXPECT_EQ(metrics_get(metrics.logins[LINK_REPEATER]), 2u);
  EXPECT_EQ(drops()[DROP_SHORT], 1u) << "the 16-byte datagram";
}

// The reader ends the repeater's call in the record after 3 s without a
// burst, and its wait wakes for that.
TEST_F(MotoLinkTest, RepeaterCallsTimeOutInTheRecord) {
  // A stand-in for the voice relay: a packet opens a call or adds a burst.
  moto_voice_sink = [](const uint8_t*, int, int64_t now_ms) {
    if (call_record_open(CH_REPEATER_SLOT2))
      call_record_burst(CH_REPEATER_SLOT2, BurstFigures{0, 0, 0, 3, 0}, now_ms);
    else
      call_record_start(CH_REPEATER_SLOT2, 1, 2, false, 0, now_ms);
    return false;
  };
  moto_reader_pass(100000);  // the keep-alive is due at 105000
  feed({0x80}, 40);
  moto_reader_pass(101000);
  feed({0x80}, 40);
  moto_reader_pass(101500);
  EXPECT_EQ(moto_reader_wait_ms(101500), 3000) << "before the keep-alive";
  moto_reader_pass(104499);
  EXPECT_TRUE(call_record_open(CH_REPEATER_SLOT2));
  moto_reader_pass(104500);
  EXPECT_EQ(moto_reader_wait_ms(104500), 500) << "the keep-alive only";
  EXPECT_EQ(take_event_texts(), (std::vector<std::string>{"start 2 1>2 s2 b0 l0 e0/0 f0/0 end0 0ms",
                                                          "end 2 1>2 s2 b1 l0 e0/0 f0/3 end2 500ms"}));
}

TEST_F(MotoLinkTest, OnlyTaggedDatagramsCount) {
  feed({0x94, 0, 0, 0, 1}, 26, "192.0.2.2", 50000, 0);   // the tag covers the first byte
  feed({0x94, 0, 0, 0, 1}, 26, "192.0.2.2", 50000, 15);  // and the last before it
  net.feed(kSiteMotoSock, {0x97, 1, 2}, "192.0.2.4", 7);
  net.feed(kSiteMotoSock, {}, "192.0.2.4", 7);
  for (int64_t t : {1000, 2000, 3000, 11000}) moto_reader_pass(t);
  EXPECT_EQ(net.take_summary(), KEEPALIVE) << "no answer to the forged 0x94";
  EXPECT_EQ(get_fromUser2().sin_addr.s_addr, 0u);
  EXPECT_EQ(console.str(),
            "Authentication failed: packet from 192.0.2.2:50000 dropped\n"
            "Authentication failed: packet from 192.0.2.4:7 dropped\n");
  EXPECT_EQ(drops()[DROP_AUTH], 4u) << "every one counted, not only those shown";

  // Authentic: the repeater's address, behind a NAT any port, is where voice
  // goes; other peers are answered where they are and never draw the voice.
  feed({0x97}, 20, "192.0.2.2", 50001);
  feed({0x94, 0x00, 0x00, 0x30, 0x39}, 20, "198.51.100.9", 40001);
  feed({0x98, 0x00, 0x00, 0x30, 0x39}, 20, "198.51.100.9", 40002);
  console.clear();
  for (int64_t t : {12000, 12001, 12002}) moto_reader_pass(t);
  EXPECT_EQ(net.take_summary(), (Sent{"11>198.51.100.9:40001 95/19", "11>198.51.100.9:40002 99/20"}));
  EXPECT_EQ(console.str(), "Login PEER-ID:12345 from IP:198.51.100.9\nSend 99 PEER-ID:12345 IP:198.51.100.9\n");
  EXPECT_EQ(get_fromUser2().sin_addr.s_addr, inet_addr("192.0.2.2"));
  EXPECT_EQ(ntohs(get_fromUser2().sin_port), 50001);
}

// A peer list that announces `list_len` bytes of entries and holds `present`
// (the first one the gateway itself when `us_first`).
void feed_peer_list(FakeNet& net, uint8_t list_len, int present, bool us_first = false) {
  Bytes b{0x93, 0x00, 0x01, 0x02, 0x03, 0x00, list_len};
  for (uint8_t k = 1; k <= present; ++k) {
    Bytes e{0x00, 0x00, 0x10, k, 192, 0, 2, static_cast<uint8_t>(9 + k), 0xC3, 0x50, 0};
    if (k == 1 && us_first) std::copy_n(MyBridgeID, 4, e.begin());
    b.insert(b.end(), e.begin(), e.end());
  }
  net.feed(kSiteMotoSock, signed_packet(Key, b), "192.0.2.2", 50000);
}

TEST_F(MotoLinkTest, PeerListIsShownAndThreePeersStop) {
  feed_peer_list(net, 22, 2);
  EXPECT_TRUE(moto_reader_pass(0));
  EXPECT_EQ(repeater_peers(), 2);
  EXPECT_EQ(console.str(),
            "len master peer 39\nMaster peer list reply\nLen 39\nSRC-ID:66051\n"
            "PEER1-ID:4097\nPEER1-IP = 192.0.2.10 \nPEER1-Port = 50000\n\n"
            "PEER2-ID:4098\nPEER2-IP = 192.0.2.11 \nPEER2-Port = 50000\n\n");
  console.clear();
  feed_peer_list(net, 33, 3);
  EXPECT_FALSE(moto_reader_pass(0));
  EXPECT_NE(console.str().find("PEER3-Port = 50000\n\n\nTOO MANY PEERS IN NETWORK! (3)\nProgram stopped.\n"),
            std::string::npos);

  // A torn list: four announced, one there.
  console.clear();
  feed_peer_list(net, 44, 1, true);
  EXPECT_FALSE(moto_reader_pass(0));
  EXPECT_NE(console.str().find("PEER1-Port = 50000\n\n\nTOO MANY PEERS IN NETWORK! (4)\n"), std::string::npos);
  EXPECT_EQ(repeater_peers(), 0) << "the gateway is no peer of its own";
}

// Leaving the link, and a repeater that leaves it (it restarts).
TEST_F(MotoLinkTest, LeaveAndQuickReturn) {
  motorola_repeater_online = 20;
  feed({0x9A, 0, 0, 0, 1}, 15, "192.0.2.2", 50000, 14);  // wrongly signed
  feed({0x9A, 0, 0, 0, 1}, 15, "192.0.2.9");             // not the repeater
  moto_reader_pass(0);
  moto_reader_pass(0);
  EXPECT_TRUE(net.take_sent().empty());
  EXPECT_EQ(motorola_repeater_online, 20);
  feed({0x9A, 0, 0, 0, 1}, 15, "192.0.2.2", 40000);
  moto_reader_pass(0);
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, signed_packet(Key, {0x9B, 0x00, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(sent[0].port(), 40000) << "answered where it came from";
  EXPECT_EQ(sent[1].bytes, Bytes(start, start + START_LEN)) << "registration at once";
  EXPECT_EQ(motorola_repeater_online, 0);
  EXPECT_NE(console.str().find(" Repeater left the link (de-registration), registering again\n"), std::string::npos);
  moto_reader_pass(KEEPALIVE_INTERVAL_MS);
  EXPECT_EQ(net.take_summary(), KEEPALIVE) << "and again with each keep-alive";

  // Our own leave: one signed de-registration, and nothing more on the link.
  moto_leave();
  sent = net.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, signed_packet(Key, {0x9A, 0x00, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(sent[0].ip() + ":" + std::to_string(sent[0].port()), "192.0.2.2:50000");
  feed({0x94}, 20, "192.0.2.5", 50002);
  moto_reader_pass(2 * KEEPALIVE_INTERVAL_MS);
  EXPECT_EQ(net.take_summary(), Sent{KEEPALIVE[0]}) << "only the master's keep-alive";
}

// Signed datagrams longer than the old 224-byte buffer are read whole; the
// list's length is the 16-bit value of bytes 5-6 (24 peers are 0x0108).
TEST_F(MotoLinkTest, LongPeerListsAreReadWhole) {
  for (int peers : {20, 24}) {
    Bytes list{0x93, 0, 0, 0, 1, static_cast<uint8_t>(peers * 11 >> 8), static_cast<uint8_t>(peers * 11)};
    for (int k = 1; k <= peers; ++k) list.insert(list.end(), {0, 0, 0, static_cast<uint8_t>(k), 192, 0, 2, 9, 1, 2, 0});
    feed(list, list.size() + 10);
    console.clear();
    EXPECT_FALSE(moto_reader_pass(0)) << peers;
    const std::string out = console.str(), n = std::to_string(peers);
    EXPECT_EQ(out.find("Authentication failed"), std::string::npos) << out;
    EXPECT_NE(out.find("PEER" + n + "-ID:" + n + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("TOO MANY PEERS IN NETWORK! (" + n + ")"), std::string::npos) << out;
  }
}

}  // namespace
