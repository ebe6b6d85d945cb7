// SPDX-License-Identifier: GPL-2.0-or-later
// The login into an open DMR master, against the datagrams of a login that
// such a master accepted: the master's M1-M14 go in, the repeater's R1-R13
// must come out byte for byte.
#include "master/open_master.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "support/console_capture.h"
#include "support/fake_net.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kAudioSock = 12, kRdacSock = 13, kServiceSock = 14;
constexpr const char* kMaster = "192.0.2.3";

// clang-format off
const std::map<std::string, std::string> kVectors = {
  {"R1", "503250000000000000000000000000000000000010000000"},
  {"R2", "503250000000000000000000000000000000000012000000"},
  {"R3", "503250000000000000000000000000000000000011000000"},
  {"R4", "00"},
  {"R5", "7e0400fd10200000000c70d2"},
  {"R6", "7e04001010200001000c71be"},
  {"R7", "7e040000102000010019837702048006000056341200010b03"},
  {"R8", "7e040000102000020019837602048006000056341200010b03"},
  {"R9", "7e040000102000050019837302058006000056341200010a03"},
  {"R10", "7e0400fa10200016000c70bf"},
  {"R11", "5a5a5a5a0a00000014000000055a595a00000000"},
  {"R12", "7e0400001020000300e127f502d482ce0000563412000200440035002e00300035002e00300039002e0030003000350000000000000000005a006f006c007400200043005600200030002e003900320000000000000000004e003000430041004c004c0000000000000000000000000000000000000000005a0069007a004f007a002d00300030003000470030003000300030002d003000300031003000300030002d00550031002d0030002d0042000000000000000000300030003000300030005a00300030003000300000000000000000000000000056341200010000e703"},
  {"R13", "7e04000010200004004709ba02d4823400005634120002010000000000c09b2a1a40a4b6194e003000430041004c004c0000000000000000000000000000000000000000001d03"},
  {"M1", "50325000010000000000000000010000000000001000000001"},
  {"M2", "50325000010000000000000000010000000000001200000001"},
  {"M3", "503250000b00000000000000ffff01000000000012000000ff0118c4"},
  {"M4", "503250000b0000000000000000ff01000000000011000000ff01b4c3"},
  {"M5", "41"},
  {"M6", "7e0400fe20100000000c60e1"},
  {"M7", "7e0400002010000100189b6002040005006400000001c403"},
  {"M8", "7e04001020100001000c61ce"},
  {"M9", "7e04000020100002001958a002d4020600640000000200f003"},
  {"M10", "7e040000201000030019738402d68206000064000000026e03"},
  {"M11", "7e040000201000040019579f02d4020600640000000201ef03"},
  {"M12", "7e0400002010001500189c4b02050005006400000001c303"},
  {"M13", "7e0400fb20100016000c60ce"},
  {"M14", "5a5a5a5a0a00000014000000065a595a00000000"},
};
// clang-format on

Bytes v(const std::string& name) {
  const std::string& h = kVectors.at(name);
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}
// The master's DATA_ACK for another pn differs from M8 in bytes 7 and 11.
Bytes master_ack(uint8_t pn) {
  Bytes b = v("M8");
  b[7] = pn;
  b[11] = static_cast<uint8_t>(0xCE - (pn - 1));
  return b;
}
// The sum over a sealed HRNP datagram, check word included, is 0xFFFF.
bool sealed(const Bytes& m) {
  uint32_t sum = 0;
  for (size_t i = 0; i < m.size(); i += 2) sum += m[i] << 8 | (i + 1 < m.size() ? m[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF && (m[8] << 8 | m[9]) == static_cast<int>(m.size());
}

class OpenMaster : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_rdac();
    reset_open_master();
    reset_metrics();
    snprintf(RptrCall, sizeof RptrCall, "N0CALL");
    RptrID = 1193046;
    const uint8_t bridge[4] = {0x00, 0xAB, 0xCD, 0xEF};
    memcpy(MyBridgeID, bridge, 4);
    RptrQRGtx = 439000000;
    RptrQRGrx = 431400000;
    snprintf(MasterIP, sizeof MasterIP, "%s", kMaster);
    snprintf(RptrFw, sizeof RptrFw, "Zolt CV 0.92");
    OpenMasterPort = 50000;
    Local_Repeater_audio_srv_sock = kAudioSock;
    Local_Repeater_rdac_srv_sock = kRdacSock;
    Local_Repeater_srv_sock = kServiceSock;
    rdac_fill();
  }
  void TearDown() override {
    reset_open_master();
    reset_udp();
    reset_link_status();
    reset_config();
  }
  // Master datagrams in, then the RDAC worker's pass; returns what went out.
  std::vector<FakeDatagram> service(const Bytes& b, int64_t t) {
    net.feed(kServiceSock, b, kMaster, 50000);
    open_master_service_pass(t);
    open_master_rdac_pass(t);
    return net.take_sent();
  }
  std::vector<FakeDatagram> rdac(const Bytes& b, int64_t t) {
    net.feed(kRdacSock, b, kMaster, 50200);
    open_master_rdac_pass(t);
    return net.take_sent();
  }
  std::vector<FakeDatagram> at(int64_t t) {
    open_master_rdac_pass(t);
    return net.take_sent();
  }
  // Everything of a whole login, quickly; logged in at `t` + 1500.
  void login(int64_t t) {
    at(t);
    service(v("M1"), t);
    service(v("M3"), t);
    rdac(v("M6"), t + 500);
    rdac(v("M7"), t + 500);
    rdac(v("M13"), t + 500);
    at(t + 1500);
    service(v("M4"), t + 1500);
    ASSERT_EQ(master_online, 1);
  }
  // The times at which `what` left on `sock`, from `from` to `to` in 10 ms steps;
  // the master stays heard unless `silent`.
  std::vector<int64_t> sends(int sock, const Bytes& what, int64_t from, int64_t to, bool silent = false) {
    std::vector<int64_t> times;
    for (int64_t t = from; t <= to; t += 10) {
      if (!silent) note_master_heard(t);
      for (const FakeDatagram& d : at(t))
        if (d.sock == sock && d.bytes == what) times.push_back(t);
    }
    return times;
  }
  FakeNet net;
  ConsoleCapture console;
};

void expect_out(const std::vector<FakeDatagram>& got, int sock, int port, const std::vector<std::string>& names) {
  ASSERT_EQ(got.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(got[i].bytes, v(names[i])) << names[i];
    EXPECT_EQ(got[i].sock, sock) << names[i];
    EXPECT_EQ(got[i].ip(), kMaster);
    EXPECT_EQ(got[i].port(), port) << names[i];
  }
}

TEST_F(OpenMaster, WholeLoginAsTheMasterAcceptedIt) {
  expect_out(at(0), kServiceSock, 50000, {"R1"});
  expect_out(service(v("M1"), 10), kServiceSock, 50000, {"R2"});
  expect_out(service(v("M2"), 20), kServiceSock, 50000, {});
  expect_out(service(v("M3"), 20), kServiceSock, 50000, {});
  expect_out(at(519), kRdacSock, 50200, {});
  expect_out(at(520), kRdacSock, 50200, {"R4"});
  expect_out(rdac(v("M5"), 521), kRdacSock, 50200, {});
  expect_out(rdac(v("M6"), 521), kRdacSock, 50200, {"R5"});
  expect_out(rdac(v("M7"), 522), kRdacSock, 50200, {"R6", "R7", "R8"});
  expect_out(rdac(v("M8"), 523), kRdacSock, 50200, {});
  expect_out(rdac(master_ack(2), 523), kRdacSock, 50200, {});
  auto got = rdac(v("M9"), 524);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes[7], 2) << "DATA_ACK pn 2";
  EXPECT_EQ(got[1].bytes, v("R12"));
  got = rdac(v("M10"), 525);
  ASSERT_EQ(got.size(), 1u) << "a reply opcode is only acknowledged";
  EXPECT_TRUE(sealed(got[0].bytes) && got[0].bytes[3] == 0x10 && got[0].bytes[7] == 3);
  got = rdac(v("M11"), 526);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].bytes, v("R13"));
  got = rdac(v("M12"), 527);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes[7], 0x15);
  EXPECT_EQ(got[1].bytes, v("R9"));
  expect_out(rdac(master_ack(0x15), 528), kRdacSock, 50200, {});
  expect_out(rdac(v("M13"), 530), kRdacSock, 50200, {"R10"});
  expect_out(at(1529), kServiceSock, 50000, {});
  expect_out(at(1530), kServiceSock, 50000, {"R3"});
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(master_voice_port, 0) << "no voice before the DMR port";
  got = service(v("M4"), 1540);
  ASSERT_EQ(got.size(), 2u);
  expect_out({got[0]}, kAudioSock, 50100, {"R4"});
  EXPECT_EQ(got[1].sock, kServiceSock);
  EXPECT_EQ(got[1].bytes.size(), 20u) << "heartbeat";
  EXPECT_EQ(master_online, 1);
  EXPECT_EQ(master_voice_port, 50100);
  EXPECT_EQ(metrics_get(metrics.logins[LINK_MASTER]), 1u);
  // Heartbeats, answered, every 5 s: the fifth carries seq 5.
  for (int i = 1; i < 5; ++i) {
    service(v("M14"), 1540 + 5000 * i - 1);
    got = at(1540 + 5000 * i);
  }
  EXPECT_EQ(got.back().bytes, v("R11"));
  const std::string out = console.str();
  for (const char* line :
       {"Open master 192.0.2.3:50000: registering\n", "Open master: registered, asking for the RDAC",
        "RDAC port 50200 granted", "sent call sign N0CALL, ID 1193046, TX 439000000 Hz, RX 431400000 Hz",
        "Open master 192.0.2.3: DMR port 50100 granted, logged in\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST_F(OpenMaster, RequestsAnsweredByTypeReorderedRepeatedAndWithOtherNumbers) {
  uint16_t pn = 7;
  RdacAnswers a;
  auto answers = [&](const Bytes& in) {
    rdac_dispatch(in.data(), static_cast<int>(in.size()), pn, a);
    std::vector<Bytes> out;
    for (int i = 0; i < a.count; ++i) {
      out.emplace_back(a.msg[i], a.msg[i] + a.len[i]);
      EXPECT_TRUE(sealed(out.back()));
    }
    return out;
  };
  auto r = answers(v("M11"));  // before any CONNECT: the counter as it stands
  ASSERT_EQ(r.size(), 2u);
  const Bytes r13 = v("R13"), m7 = v("M7");
  EXPECT_EQ(Bytes(r[1].begin() + 12, r[1].end()), Bytes(r13.begin() + 12, r13.end()));
  EXPECT_EQ(r[1][7], 7);
  EXPECT_EQ(answers(v("M6")), std::vector<Bytes>{v("R5")});
  EXPECT_EQ(a.kind, RdacAnswers::CONNECT);
  for (uint8_t want : {1, 2}) {  // the same request twice: answered twice, numbered on
    r = answers(v("M9"));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1][7], want);
  }
  Bytes id_request = v("M7");
  id_request[7] = 0x42;
  r = answers(id_request);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0][3], 0x10);
  EXPECT_EQ(r[0][7], 0x42) << "the DATA_ACK echoes the request's number";
  EXPECT_EQ(r[1][7], 3);
  EXPECT_EQ(r[2][7], 4);
  EXPECT_TRUE(a.id_sent);
  Bytes unknown = v("M12");
  unknown[13] = 0x23, unknown[14] = 0x01;
  r = answers(unknown);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1][13] | r[1][14] << 8, 0x8123) << "any other request gets a reply";
  EXPECT_EQ(answers(v("M13")), std::vector<Bytes>{v("R10")});
  for (const Bytes& ignored : {v("M5"), Bytes(65, 0), v("M8"), Bytes(m7.begin(), m7.begin() + 11)})
    EXPECT_TRUE(answers(ignored).empty());
  EXPECT_EQ(answers(Bytes(m7.begin(), m7.begin() + 14)).size(), 1u) << "a DATA cut short: its ack";
}

TEST_F(OpenMaster, RetriesNeverRepeatACommandWithin11Seconds) {
  EXPECT_EQ(sends(kServiceSock, v("R1"), 0, 30000, true), (std::vector<int64_t>{0, 11000, 22000}));
  // A lost ack with the redirect arriving: the redirect counts.
  expect_out(service(v("M1"), 30000), kServiceSock, 50000, {"R2"});
  service(v("M3"), 30010);
  rdac(v("M6"), 30600);
  rdac(v("M7"), 30600);
  rdac(v("M13"), 30600);
  // 0x11 unanswered: three times, then registration again; the ID was sent.
  EXPECT_EQ(sends(kServiceSock, v("R3"), 30600, 70000), (std::vector<int64_t>{31600, 42600, 53600}));
  EXPECT_NE(
      console.str().find("no DMR port after 3 requests, registering again; the master may not know RptrID 1193046"),
      std::string::npos);
  // A fresh registration at 64600, later ones 11 s apart.
  EXPECT_EQ(sends(kServiceSock, v("R1"), 70010, 80000, true), (std::vector<int64_t>{75600}));
}

TEST_F(OpenMaster, SilenceOrRefusalStartsOverAtRegistration) {
  login(0);
  EXPECT_EQ(sends(kServiceSock, v("R1"), 1510, 21000, true), std::vector<int64_t>{}) << "heard at 1500";
  EXPECT_EQ(sends(kServiceSock, v("R1"), 21010, 21600, true), (std::vector<int64_t>{21500}));
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(master_voice_port, 0);
  EXPECT_NE(console.str().find("link lost (nothing heard for 20 s), registering again"), std::string::npos);
  login(40000);
  service(Bytes{0x00}, 45000);  // not registered: at once, unless 0x10 went out within 11 s
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(sends(kServiceSock, v("R1"), 45000, 52000), (std::vector<int64_t>{51000}));
  // However often the master says so, one line.
  for (int i = 0; i < 100; ++i) service(Bytes{0x00}, 52000 + i);
  login(60000);
  for (int i = 0; i < 100; ++i) service(Bytes{0x00}, 62000 + i);
  const std::string out = console.str();
  size_t lines = 0;
  for (size_t p = 0; (p = out.find("not registered", p)) != std::string::npos; ++p) ++lines;
  EXPECT_EQ(lines, 2u);
}

TEST_F(OpenMaster, KeepAlivesOnTheirPortsAndNoneDuringAnExchange) {
  login(0);
  EXPECT_EQ(sends(kAudioSock, v("R4"), 1510, 9990), (std::vector<int64_t>{6500}));
  rdac(v("M6"), 10000);  // an exchange from 10 s on: no RDAC keep-alive until its CLOSE
  EXPECT_EQ(sends(kRdacSock, v("R4"), 10010, 15000), std::vector<int64_t>{});
  rdac(v("M13"), 15000);
  EXPECT_EQ(sends(kRdacSock, v("R4"), 15010, 35000), (std::vector<int64_t>{25000, 35000}));
  uint8_t voice[72] = {};
  open_master_send(voice, sizeof voice);
  const auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sock, kAudioSock);
  EXPECT_EQ(sent[0].port(), 50100);
}

}  // namespace
