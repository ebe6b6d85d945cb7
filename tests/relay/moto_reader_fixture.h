// Drives the Motorola-side reader's pass with datagrams from a repeater
// stand-in and collects what reaches the master; Motorola voice and data
// packets are written out here from their tables.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "motorola/control_packets.h"
#include "motorola/link_control.h"
#include "relay/moto_relay.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/reference_hmac.h"
#include "support/test_site.h"

namespace moto_in {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t PEER_ID = 3101234;  // the repeater's peer ID

inline void push24(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 16));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// Bytes 0-30, the call header shared by voice and data packets.
inline Bytes call_header(uint8_t opcode, uint32_t src, uint32_t dst, uint16_t seq, uint8_t call_info, uint8_t marker,
                         uint8_t burst_type, uint32_t peer = PEER_ID) {
  Bytes b{opcode, static_cast<uint8_t>(peer >> 24)};
  push24(b, peer);
  b.push_back(0x11);  // call_seq
  push24(b, src);
  push24(b, dst);
  for (uint8_t x : {0x02, 0x5A, 0x6B, 0x7C, 0x8D}) b.push_back(x);
  b.push_back(call_info);
  b.push_back(0x80);
  b.push_back(marker);
  b.push_back(static_cast<uint8_t>(seq >> 8));
  b.push_back(static_cast<uint8_t>(seq));
  for (uint8_t x : {0x00, 0x01, 0xE2, 0x40, 0, 0, 0, 0}) b.push_back(x);
  b.push_back(burst_type);
  return b;
}

struct Call {
  bool priv = false;
  uint32_t src = 2622101;
  uint32_t dst = 9;
  uint8_t call_info = 0x20;
  uint8_t opcode() const { return priv ? 0x81 : 0x80; }
};

// Voice header (marker 0xDD or 0x5D), unsigned 56 bytes.
inline Bytes header(const Call& c, uint16_t seq, uint8_t marker) {
  Bytes b = call_header(c.opcode(), c.src, c.dst, seq, c.call_info, marker, 0x01);
  for (uint8_t x : {0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60, 0x00, 0x00, 0x00}) b.push_back(x);
  push24(b, c.dst);
  push24(b, c.src);
  for (uint8_t x : {0x02, 0xF8, 0xC5, 0x00, 0x11, 0x01, 0x36, 0x04, 0xCD}) b.push_back(x);
  return b;
}

// Voice terminator, unsigned 54 bytes.
inline Bytes terminator(const Call& c, uint16_t seq) {
  Bytes b = call_header(c.opcode(), c.src, c.dst, seq, c.call_info | 0x40, 0x5E, 0x02);
  for (uint8_t x : {0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60, 0x00, 0x00, 0x00}) b.push_back(x);
  push24(b, c.dst);
  push24(b, c.src);
  for (uint8_t x : {0x0D, 0x7F, 0xCA, 0x00, 0x12, 0x05, 0x0C}) b.push_back(x);
  return b;
}

// Voice burst 0 (A) to 5 (F): frames in slots of 50 bits from byte 33,
// unsigned 52 (A), 66 (E) or 57 bytes. The embedded bits hold noise: the
// relay must not take anything from them.
inline Bytes burst(const Call& c, uint16_t seq, int letter, const uint8_t frames[3][49]) {
  const uint8_t len[] = {0x14, 0x19, 0x19, 0x19, 0x22, 0x19};
  const uint8_t flags[] = {0x40, 0x06, 0x06, 0x06, 0x16, 0x06};
  Bytes b = call_header(c.opcode(), c.src, c.dst, seq, c.call_info, 0x5D, 0x8A);
  b.push_back(len[letter]);
  b.push_back(flags[letter]);
  Bytes f(19, 0);
  for (unsigned k = 0; k < 3; ++k)
    for (unsigned i = 0; i < 49; ++i) {
      const unsigned bit = 50 * k + i;
      f[bit / 8] |= static_cast<uint8_t>((frames[k][i] & 1) << (7 - bit % 8));
    }
  b.insert(b.end(), f.begin(), f.end());
  if (letter == 0) return b;
  for (uint8_t x : {0xC3, 0x3C, 0xA5, 0x5A}) b.push_back(x);
  if (letter == 4) {
    for (uint8_t x : {0x00, 0x00, 0x00}) b.push_back(x);
    push24(b, c.dst);
    push24(b, c.src);
  }
  b.push_back(letter == 5 ? 0x10 : 0x12);
  return b;
}

}  // namespace moto_in

class MotoReaderFixture : public ::testing::Test {
 protected:
  static constexpr int kMotoSock = kSiteMotoSock, kAudioSock = kSiteAudioSock;
  using Bytes = std::vector<uint8_t>;

  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_moto_reader();
    reset_moto_relays();
    install_moto_relays();
    reset_sha_context();
    use_test_site();
    reset_control_packets();
    sign_control_packets(MyBridgeID, Key);
  }
  void TearDown() override {
    reset_moto_relays();
    reset_udp();
    reset_link_status();
    reset_config();
  }

  // One pass with the signed datagram of `body`; returns what went to the
  // master's port 62006 (the login byte aside).
  std::vector<Bytes> relay(const Bytes& body) {
    net.feed(kMotoSock, signed_packet(Key, body), "192.0.2.2", 50000);
    moto_reader_pass(0);
    std::vector<Bytes> out;
    for (const FakeDatagram& d : net.take_sent()) {
      EXPECT_EQ(d.sock, kAudioSock);
      EXPECT_EQ(d.ip(), "192.0.2.3");
      EXPECT_EQ(d.port(), 62006);
      if (d.bytes.size() != 1) out.push_back(d.bytes);
    }
    return out;
  }

  // True when the relay ends the reader's pass right after this datagram:
  // the keep-alive duty due in that pass is then put off to the next one.
  bool ends_pass_early(const Bytes& body) {
    reset_moto_reader();
    moto_reader_pass(0);  // the keep-alive falls due at KEEPALIVE_INTERVAL_MS
    net.take_sent();
    net.feed(kMotoSock, signed_packet(Key, body), "192.0.2.2", 50000);
    moto_reader_pass(KEEPALIVE_INTERVAL_MS);
    bool login_sent = false;
    for (const FakeDatagram& d : net.take_sent()) login_sent |= d.bytes == Bytes{'A'};
    moto_reader_pass(KEEPALIVE_INTERVAL_MS);  // the duty is never lost
    bool login_next = false;
    for (const FakeDatagram& d : net.take_sent()) login_next |= d.bytes == Bytes{'A'};
    EXPECT_TRUE(login_sent || login_next);
    return !login_sent;
  }

  FakeNet net;
  ConsoleCapture console;
};
