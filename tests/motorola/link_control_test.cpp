#include "motorola/link_control.h"

#include <gtest/gtest.h>

#include <cstring>

#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "motorola/control_packets.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/reference_hmac.h"
#include "support/test_site.h"

namespace {

constexpr int kMotoSock = kSiteMotoSock, kAudioSock = kSiteAudioSock;
using Bytes = std::vector<uint8_t>;

class MotoLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_moto_reader();
    reset_sha_context();
    use_test_site();
    reset_control_packets();
    sign_control_packets(MyBridgeID, Key);
  }
  void TearDown() override {
    reset_udp();
    reset_link_status();
    reset_config();
  }
  // A signed packet of `len` bytes in all (tag included) starting with `head`.
  Bytes packet(Bytes head, size_t len) {
    head.resize(len - 10, 0);
    return signed_packet(Key, head);
  }
  void feed(const Bytes& b, const char* ip = "192.0.2.2", int port = 50000) { net.feed(kMotoSock, b, ip, port); }
  bool pass(int64_t now = 0) { return moto_reader_pass(now); }

  FakeNet net;
  ConsoleCapture console;
};

Bytes with_tag(const uint8_t key[20], Bytes body) {
  return signed_packet(key, body);
}

TEST_F(MotoLinkTest, ControlPacketsAreLaidOutAndSigned) {
  const uint8_t id[4] = {0x00, 0xAB, 0xCD, 0xEF};
  auto expect = [&](const uint8_t* pkt, size_t len, Bytes body) {
    Bytes want = with_tag(Key, body);
    ASSERT_EQ(want.size(), len);
    EXPECT_EQ(Bytes(pkt, pkt + len), want);
  };
  Bytes idb(id, id + 4);
  auto cat = [&](uint8_t op, Bytes tail) {
    Bytes b{op};
    b.insert(b.end(), idb.begin(), idb.end());
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  };
  expect(start, START_LEN, cat(0x90, {0x62, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00}));
  expect(start2, START2_LEN, cat(0x92, {}));
  expect(start_hb, START_HB_LEN, cat(0x96, {0x62, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00}));
  expect(peer_95, PEER_95_LEN, cat(0x95, {0x04, 0x04, 0x04, 0x00}));
  expect(peer_99, PEER_99_LEN, cat(0x99, {0x62, 0x00, 0x00, 0xE0, 0x1C}));
}

TEST_F(MotoLinkTest, StartRegistersAndPrintsBanner) {
  moto_reader_start();
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sock, kMotoSock);
  EXPECT_EQ(sent[0].ip(), "192.0.2.2");
  EXPECT_EQ(sent[0].port(), 50000);
  EXPECT_EQ(sent[0].bytes, Bytes(start, start + START_LEN));
  EXPECT_EQ(console.str(), "\033[0;33mStart Moto           Modul  V0.01\n\033[0;33m\033[0m\033[0m");
}

TEST_F(MotoLinkTest, KeepAliveRepliesAndTheirLength) {
  feed(packet({0x97}, 16));
  pass();
  EXPECT_EQ(motorola_repeater_online, 0) << "16 bytes or less is not dispatched";
  feed(packet({0x97}, 17));
  pass();
  EXPECT_EQ(motorola_repeater_online, 20);
  EXPECT_TRUE(net.sent_list().empty());
}

TEST_F(MotoLinkTest, TwentySixBytesDrawOnePeerListRequest) {
  for (uint8_t op : {0x00, 0x97, 0x42}) {
    feed(packet({op}, 26));
    pass();
    auto sent = net.take_sent();
    ASSERT_EQ(sent.size(), 1u) << int(op);
    EXPECT_EQ(sent[0].bytes, Bytes(start2, start2 + START2_LEN));
    EXPECT_EQ(sent[0].ip(), "192.0.2.2");
  }
  feed(packet({0x00}, 25));
  feed(packet({0x00}, 27));
  pass();
  pass();
  EXPECT_TRUE(net.sent_list().empty());
}

Bytes peer_list(uint8_t list_len, int entries_present) {
  Bytes b{0x93, 0x00, 0x01, 0x02, 0x03, 0x00, list_len};
  for (int k = 0; k < entries_present; ++k) {
    Bytes e{0x00, 0x00, 0x10, static_cast<uint8_t>(k + 1), 192, 0, 2, static_cast<uint8_t>(10 + k), 0xC3, 0x50, 0};
    b.insert(b.end(), e.begin(), e.end());
  }
  return b;
}

TEST_F(MotoLinkTest, PeerListIsPrintedAndTooManyPeersStop) {
  feed(signed_packet(Key, peer_list(10, 0)));
  EXPECT_TRUE(pass());
  std::string out = console.str();
  EXPECT_EQ(out, "len master peer 17\nMaster peer list reply\nLen 17\nSRC-ID:66051\n");

  console.clear();
  feed(signed_packet(Key, peer_list(22, 2)));
  EXPECT_TRUE(pass());
  out = console.str();
  EXPECT_NE(out.find("SRC-ID:66051\nPEER1-ID:4097\nPEER1-IP = 192.0.2.10 \nPEER1-Port = 50000\n\n"
                     "PEER2-ID:4098\nPEER2-IP = 192.0.2.11 \nPEER2-Port = 50000\n\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("TOO MANY"), std::string::npos);

  console.clear();
  feed(signed_packet(Key, peer_list(33, 3)));
  EXPECT_FALSE(pass());
  out = console.str();
  EXPECT_NE(out.find("PEER3-Port = 50000\n\n\nTOO MANY PEERS IN NETWORK! (3)\nProgram stopped.\n"), std::string::npos)
      << out;
}

TEST_F(MotoLinkTest, PeerEntriesBeyondTheDatagramAreNotRead) {
  // The list claims four entries, the datagram holds one.
  feed(signed_packet(Key, peer_list(44, 1)));
  EXPECT_FALSE(pass());
  std::string out = console.str();
  EXPECT_NE(out.find("PEER1-ID"), std::string::npos);
  EXPECT_EQ(out.find("PEER2-ID"), std::string::npos);
  EXPECT_NE(out.find("TOO MANY PEERS IN NETWORK! (4)"), std::string::npos);
}

TEST_F(MotoLinkTest, OtherPeersAreAnsweredWhereTheyAre) {
  feed(packet({0x94, 0x00, 0x00, 0x30, 0x39}, 20), "198.51.100.9", 40001);
  feed(packet({0x98, 0x00, 0x00, 0x30, 0x39}, 20), "198.51.100.9", 40002);
  pass();
  pass();
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, Bytes(peer_95, peer_95 + PEER_95_LEN));
  EXPECT_EQ(sent[0].ip(), "198.51.100.9");
  EXPECT_EQ(sent[0].port(), 40001);
  EXPECT_EQ(sent[1].bytes, Bytes(peer_99, peer_99 + PEER_99_LEN));
  EXPECT_EQ(sent[1].port(), 40002);
  EXPECT_EQ(console.str(), "Login PEER-ID:12345 from IP:198.51.100.9\nSend 99 PEER-ID:12345 IP:198.51.100.9\n");
  // A peer's traffic never moves the voice away from the repeater.
  EXPECT_EQ(get_fromUser2().sin_addr.s_addr, 0u);
}

TEST_F(MotoLinkTest, VoiceAddressFollowsOnlyTheRepeater) {
  feed(packet({0x97}, 20), "192.0.2.2", 50001);  // the repeater behind a NAT: any port
  pass();
  EXPECT_EQ(ntohs(get_fromUser2().sin_port), 50001);
  feed(packet({0x97}, 20), "192.0.2.99", 50000);
  pass();
  EXPECT_EQ(ntohs(get_fromUser2().sin_port), 50001);
  EXPECT_EQ(get_fromUser2().sin_addr.s_addr, inet_addr("192.0.2.2"));
}

TEST_F(MotoLinkTest, UnauthenticatedDatagramsAreDroppedAndReportedSparingly) {
  Bytes forged = packet({0x94, 0, 0, 0, 1}, 26);
  forged[3] ^= 1;
  feed(forged, "192.0.2.2", 50000);
  feed(Bytes{0x97, 1, 2}, "192.0.2.4", 7);
  feed(Bytes{}, "192.0.2.4", 7);
  Bytes wrong_key_97 = packet({0x97}, 20);
  wrong_key_97.back() ^= 0x80;
  feed(wrong_key_97, "192.0.2.2", 50000);
  pass(1000);
  pass(2000);
  pass(3000);
  pass(11000);
  for (const FakeDatagram& d : net.sent_list())  // only the keep-alive duty went out
    EXPECT_TRUE(d.bytes[0] == 'A' || d.bytes[0] == 0x90 || d.bytes[0] == 0x96) << "answer or peer-list request";
  EXPECT_EQ(motorola_repeater_online, 0);
  EXPECT_EQ(get_fromUser2().sin_addr.s_addr, 0u);
  EXPECT_EQ(console.str(),
            "Authentication failed: packet from 192.0.2.2:50000 dropped\n"
            "Authentication failed: packet from 192.0.2.2:50000 dropped\n");
}

TEST_F(MotoLinkTest, CallTrafficShowsTheRepeaterIsAlive) {
  for (uint8_t op : {0x80, 0x81, 0x84}) {
    motorola_repeater_online = 3;
    feed(packet({op}, 60), "192.0.2.2", 50000);
    pass();
    EXPECT_EQ(motorola_repeater_online, 20) << int(op);
    motorola_repeater_online = 3;
    feed(packet({op}, 60), "192.0.2.77", 50000);
    pass();
    EXPECT_EQ(motorola_repeater_online, 3) << "not from the repeater";
  }
}

TEST_F(MotoLinkTest, KeepAliveEveryFiveSecondsRegistersWhileRepeaterIsDown) {
  pass(100000);  // the first pass starts the keep-alive clock
  EXPECT_EQ(moto_reader_wait_ms(100000), 5000);
  pass(104999);
  EXPECT_TRUE(net.sent_list().empty());
  EXPECT_EQ(moto_reader_wait_ms(104999), 1);
  pass(105000);
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].sock, kAudioSock);
  EXPECT_EQ(sent[0].bytes, Bytes{'A'});
  EXPECT_EQ(sent[0].ip(), "192.0.2.3");
  EXPECT_EQ(sent[0].port(), 62006);
  EXPECT_EQ(sent[1].bytes, Bytes(start, start + START_LEN));
  EXPECT_EQ(sent[2].bytes, Bytes(start_hb, start_hb + START_HB_LEN));
  EXPECT_EQ(sent[2].ip(), "192.0.2.2");

  motorola_repeater_online = 2;  // alive: the plain exchange, on the same rhythm
  pass(109990);
  EXPECT_TRUE(net.sent_list().empty());
  pass(110020);
  sent = net.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, Bytes{'A'});
  EXPECT_EQ(sent[1].bytes, Bytes(start_hb, start_hb + START_HB_LEN));
  EXPECT_EQ(moto_reader_wait_ms(110020), 4980);

  // After a long stall one keep-alive goes out, not a burst of missed ones.
  pass(200000);
  pass(200001);
  EXPECT_EQ(net.take_sent().size(), 2u);
  EXPECT_EQ(moto_reader_wait_ms(200001), 4999);
}

TEST_F(MotoLinkTest, KeepAliveRequestOnTheLinkIsOnlyPrinted) {
  feed(packet({0x96}, 24));
  pass();
  EXPECT_EQ(console.str(), "Master keep alive request from master\nLen 24\n");
  EXPECT_TRUE(net.sent_list().empty());
}

}  // namespace
