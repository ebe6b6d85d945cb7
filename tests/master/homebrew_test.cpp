// SPDX-License-Identifier: GPL-2.0-or-later
// The HomeBrew login against the datagrams of a login, call and close that a
// real master accepted or sent (support/homebrew_vectors.h): ours must come
// out byte for byte, the master's must be understood in each state.
#include "master/homebrew.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "master/homebrew_packet.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/homebrew_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;
using hbv::v;

HbConfig v05_config() {
  return HbConfig{hbv::kCall,     hbv::kPeer,      hbv::kRxHz,   hbv::kTxHz,     hbv::kPower,       hbv::kColourCode,
                  hbv::kLatitude, hbv::kLongitude, hbv::kHeight, hbv::kLocation, hbv::kDescription, '2',
                  hbv::kUrl,      hbv::kSoftware,  hbv::kPackage};
}

std::string field(const uint8_t* rptc, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(rptc) + off, len);
}

// ---- builders -------------------------------------------------------------------

TEST(HomebrewPacket, OurLoginDatagramsAsTheMasterAcceptedThem) {
  uint8_t b[HB_RPTC_LEN];
  hb_rptl(hbv::kPeer, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTL_LEN), v("V01"));
  hb_rptk(hbv::kPeer, hbv::kSalt, "passw0rd", 8, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTK_LEN), v("V03"));
  hb_rptk(3120104, hbv::kSalt2, "wrong-pass", 10, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTK_LEN), v("V24"));
  ASSERT_TRUE(hb_rptc(v05_config(), b));
  EXPECT_EQ(Bytes(b, b + HB_RPTC_LEN), v("V05"));
  EXPECT_EQ(hb_rpto(hbv::kPeer, hbv::kOptions, strlen(hbv::kOptions), b, sizeof b), 33u);
  EXPECT_EQ(Bytes(b, b + 33), v("V07"));
  hb_rptping(hbv::kPeer, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTPING_LEN), v("V09"));
  hb_rptping(3120103, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTPING_LEN), v("V21"));
  hb_rptcl(3120105, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTCL_LEN), v("V26"));

  const std::string many(HB_OPTIONS_MAX + 1, 'x');
  EXPECT_EQ(hb_rpto(1, many.data(), many.size(), b, sizeof b), 0u);
  EXPECT_EQ(hb_rpto(1, many.data(), 10, b, 17), 0u) << "longer than the buffer";
}

TEST(HomebrewPacket, ConfigurationAtItsWidestOrRefused) {
  uint8_t b[HB_RPTC_LEN];
  HbConfig c = v05_config();
  c.latitude = 90;
  c.longitude = -180;
  ASSERT_TRUE(hb_rptc(c, b));
  EXPECT_EQ(field(b, 38, 17), "+90.0000-180.0000");

  // Nothing that does not fit is cut or wrapped: the whole datagram is refused.
  const std::vector<void (*)(HbConfig&)> misfits = {
      [](HbConfig& x) { x.rx_hz = 1000000000; },
      [](HbConfig& x) { x.tx_hz = -1; },
      [](HbConfig& x) { x.power = 100; },
      [](HbConfig& x) { x.colour_code = 16; },
      [](HbConfig& x) { x.height = 1000; },
      [](HbConfig& x) { x.latitude = 90.01; },
      [](HbConfig& x) { x.longitude = -180.5; },
      [](HbConfig& x) { x.latitude = NAN; },
      [](HbConfig& x) { x.callsign = "N0CALLXYZ"; },
      [](HbConfig& x) { x.description = "tab\there"; },
      [](HbConfig& x) { x.slots = '5'; },
      [](HbConfig& x) { x.location = "twenty-one characters"; },
  };
  for (size_t i = 0; i < misfits.size(); ++i) {
    c = v05_config();
    misfits[i](c);
    EXPECT_FALSE(hb_rptc(c, b)) << "misfit " << i;
  }
}

// ---- the master's datagrams ----------------------------------------------------

TEST(HomebrewPacket, MasterDatagramsSortedByTagAndState) {
  struct Case {
    const char* name;
    uint32_t my_id;
    bool salt_expected;
    HbKind kind;
  };
  const Case cases[] = {
      {"V02", hbv::kPeer, true, HB_SALT},   {"V04", hbv::kPeer, false, HB_ACK},
      {"V04", 3120102, false, HB_WRONG_ID}, {"V10", hbv::kPeer, false, HB_PONG},
      {"V10", 7, true, HB_WRONG_ID},        {"V22", 3120103, false, HB_NAK},
      {"V25", 3120104, true, HB_NAK},       {"V27", hbv::kPeer, false, HB_WRONG_ID},
      {"V28", hbv::kPeer, false, HB_CLOSE}, {"V19", hbv::kPeer, false, HB_DMRD},
  };
  for (const Case& c : cases) {
    const Bytes b = v(c.name);
    HbMsg m;
    EXPECT_EQ(hb_classify(b.data(), b.size(), c.my_id, c.salt_expected, &m), c.kind) << c.name;
    EXPECT_EQ(m.kind, c.kind);
    // One byte short or one too many: never taken for what it resembles.
    Bytes longer = b;
    longer.push_back(0);
    EXPECT_EQ(hb_classify(b.data(), b.size() - 1, c.my_id, c.salt_expected, &m), HB_MALFORMED) << c.name;
    EXPECT_EQ(hb_classify(longer.data(), longer.size(), c.my_id, c.salt_expected, &m), HB_MALFORMED) << c.name;
  }
  HbMsg m;
  Bytes b = v("V02");
  hb_classify(b.data(), b.size(), hbv::kPeer, true, &m);
  EXPECT_EQ(Bytes(m.salt, m.salt + 4), Bytes(hbv::kSalt, hbv::kSalt + 4));
  b = v("V04");
  EXPECT_EQ(hb_classify(b.data(), b.size(), hbv::kPeer, true, &m), HB_SALT) << "RPTACK's meaning comes from the state";
  b = v("V22");
  hb_classify(b.data(), b.size(), 1, false, &m);
  EXPECT_EQ(m.id, 3120103u);

  const std::string ignored[] = {
      "", "R", "RPTA", "RPTACX\x00\x2f\x9b\xe5", "MSTPING\x00\x2f\x9b\xe5", "DMR", "RPTCL\x00\x2f\x9b\xe5", "MSTN"};
  for (const std::string& s : ignored)
    EXPECT_EQ(hb_classify(reinterpret_cast<const uint8_t*>(s.data()), s.size(), hbv::kPeer, false, &m), HB_UNKNOWN)
        << s;
  const std::string beacon = "RPTSBKN";
  EXPECT_EQ(hb_classify(reinterpret_cast<const uint8_t*>(beacon.data()), 7, 1, false, &m), HB_BEACON);
  b = v("V19");
  b[15] = 0xB0;  // frame type 3
  EXPECT_EQ(hb_classify(b.data(), b.size(), 1, false, &m), HB_MALFORMED);
}

TEST(HomebrewPacket, DmrdBuiltAndReadAsTheMasterPassedIt) {
  struct Call {
    const char* name;
    uint8_t seq;
    HbFrameType ft;
    uint8_t dtype;
  };
  const Call calls[] = {{"V11", 0x00, HB_FT_DATA_SYNC, HB_DT_VOICE_HEADER},
                        {"V12", 0x01, HB_FT_VOICE_SYNC, 0},
                        {"V13", 0x02, HB_FT_VOICE, 1},
                        {"V14", 0x03, HB_FT_VOICE, 2},
                        {"V15", 0x04, HB_FT_VOICE, 3},
                        {"V16", 0x05, HB_FT_VOICE, 4},
                        {"V17", 0x06, HB_FT_VOICE, 5},
                        {"V18", 0x13, HB_FT_DATA_SYNC, HB_DT_TERMINATOR}};
  uint8_t out[HB_DMRD_LEN];
  for (const Call& c : calls) {
    HbDmrd d{c.seq, hbv::kRadio, hbv::kTalkgroup, hbv::kPeer, 2, false, c.ft, c.dtype, hbv::kStream, 0, 0};
    ASSERT_TRUE(hb_dmrd_build(d, hbv::burst_of(c.name).data(), out));
    EXPECT_EQ(Bytes(out, out + HB_DMRD_LEN), v(c.name)) << c.name;
  }
  HbDmrd priv{0xFA, hbv::kRadio, 3120999, hbv::kPeer, 1, true, HB_FT_DATA_SYNC, 1, 1, 0, 0};
  ASSERT_TRUE(hb_dmrd_build(priv, hbv::burst_of("V20").data(), out));
  EXPECT_EQ(Bytes(out, out + HB_DMRD_LEN), v("V20"));

  // The master's copy carries the receiving peer's ID; both lengths read.
  Bytes in = v("V19");
  in[53] = 3;
  in[54] = 0x5A;
  for (size_t n : {HB_DMRD_LEN, HB_DMRD_SHORT_LEN}) {
    HbDmrd d;
    ASSERT_TRUE(hb_dmrd_parse(in.data(), n, &d));
    const bool full = n == HB_DMRD_LEN;
    EXPECT_EQ(
        std::make_tuple(d.repeater, d.src, d.dst, d.stream, d.slot, d.private_call, d.frame_type, d.dtype, d.ber,
                        d.rssi),
        std::make_tuple(hbv::kOtherPeer, hbv::kRadio, hbv::kTalkgroup, hbv::kStream, uint8_t{2}, false, HB_FT_DATA_SYNC,
                        uint8_t{HB_DT_VOICE_HEADER}, uint8_t(full ? 3 : 0), uint8_t(full ? 0x5A : 0)));
  }
  HbDmrd d;
  EXPECT_FALSE(hb_dmrd_parse(in.data(), 54, &d));
  HbDmrd bad{0, 1, 1, 1, 3, false, HB_FT_VOICE, 1, 1, 0, 0};
  EXPECT_FALSE(hb_dmrd_build(bad, out, out)) << "slot 3";
  bad.slot = 2;
  bad.dtype = 6;
  EXPECT_FALSE(hb_dmrd_build(bad, out, out)) << "voice burst G";
  for (uint8_t f : {0x30, 0xB1, 0x80, 0x86}) EXPECT_FALSE(hb_flags_decode(f, &d)) << int(f);
}

// ---- the login ---------------------------------------------------------------------

constexpr const char* kMaster = "192.0.2.3";
constexpr int kPort = 62031;
const Bytes kRptcl = hbv::from_hex("525054434c002f9be5"), nak = hbv::from_hex("4d53544e414b002f9be5");

class Homebrew : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_config();
    reset_udp();
    reset_link_status();
    reset_metrics();
    reset_homebrew_config();
    reset_homebrew();
    snprintf(RptrCall, sizeof RptrCall, "N0CALL");
    RptrID = hbv::kPeer;
    RptrQRGrx = static_cast<int32_t>(hbv::kRxHz);
    RptrQRGtx = static_cast<int32_t>(hbv::kTxHz);
    snprintf(MasterIP, sizeof MasterIP, "%s", kMaster);
    Local_Repeater_audio_srv_sock = kAudioSock;
    HomebrewPort = kPort;
    snprintf(HomebrewPassphrase, sizeof HomebrewPassphrase, "%s", hbv::kPassphrase);
  }
  void TearDown() override {
    reset_homebrew();
    reset_homebrew_config();
    reset_udp();
    reset_link_status();
    reset_config();
  }
  // A datagram of the master's (or from elsewhere), then a pass; what went out.
  std::vector<FakeDatagram> in(const Bytes& b, int64_t t, const char* ip = kMaster, int port = kPort) {
    relayed = homebrew_input(b.data(), b.size(), make_addr(ip, port), t);
    homebrew_pass(t);
    return net.take_sent();
  }
  std::vector<FakeDatagram> at(int64_t t) {
    homebrew_pass(t);
    return net.take_sent();
  }
  // Through RPTL .. RPTC (and RPTO with options): logged in at t.
  void login(int64_t t) {
    at(t);
    in(v("V02"), t);
    in(v("V04"), t);
    in(v("V06"), t);
    if (HomebrewSiteInfo.options[0]) in(v("V08"), t);
    ASSERT_EQ(homebrew_state(), HB_RUNNING);
    ASSERT_EQ(master_online, 1);
  }
  // The times at which a datagram starting with `tag` left, from `from` to
  // `to` in 10 ms steps.  A pong answers each ping unless `silent`.
  std::vector<int64_t> sends(const char* tag, int64_t from, int64_t to, bool silent = false) {
    std::vector<int64_t> times;
    for (int64_t t = from; t <= to; t += 10) {
      for (const FakeDatagram& d : at(t)) {
        if (d.bytes.size() >= strlen(tag) && memcmp(d.bytes.data(), tag, strlen(tag)) == 0) times.push_back(t);
        if (!silent && d.bytes == v("V09")) in(v("V10"), t);
      }
    }
    return times;
  }
  static constexpr int kAudioSock = 12;
  FakeNet net;
  ConsoleCapture console;
  bool relayed = false;
};

void expect_sent(const std::vector<FakeDatagram>& got, const std::vector<Bytes>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].bytes, want[i]) << i;
    EXPECT_EQ(got[i].sock, 12);
    EXPECT_EQ(got[i].ip(), kMaster);
    EXPECT_EQ(got[i].port(), kPort);
  }
}

TEST_F(Homebrew, LoginStepByStepWithOptions) {
  snprintf(HomebrewSiteInfo.options, sizeof HomebrewSiteInfo.options, "%s", hbv::kOptions);
  HomebrewSiteInfo.power = hbv::kPower;
  HomebrewSiteInfo.colour_code = hbv::kColourCode;
  HomebrewSiteInfo.latitude = hbv::kLatitude;
  HomebrewSiteInfo.longitude = hbv::kLongitude;
  HomebrewSiteInfo.height = hbv::kHeight;
  snprintf(HomebrewSiteInfo.location, sizeof HomebrewSiteInfo.location, "%s", hbv::kLocation);
  snprintf(HomebrewSiteInfo.description, sizeof HomebrewSiteInfo.description, "%s", hbv::kDescription);
  snprintf(HomebrewSiteInfo.url, sizeof HomebrewSiteInfo.url, "%s", hbv::kUrl);
  ASSERT_TRUE(homebrew_check_config());
  EXPECT_EQ(homebrew_wait_ms(0), 0);
  expect_sent(at(0), {v("V01")});
  EXPECT_EQ(homebrew_wait_ms(1), 1000);
  expect_sent(at(100), {});
  expect_sent(in(v("V02"), 200), {v("V03")});
  auto got = in(v("V04"), 300);
  ASSERT_EQ(got.size(), 1u);
  // V05 but for the software and package IDs, which are ours.
  const Bytes v05 = v("V05");
  EXPECT_EQ(Bytes(got[0].bytes.begin(), got[0].bytes.begin() + 222), Bytes(v05.begin(), v05.begin() + 222));
  EXPECT_EQ(field(got[0].bytes.data(), 222, 80), "corvane " + std::string(CORVANE_VERSION) +
                                                     std::string(32 - strlen(CORVANE_VERSION), ' ') +
                                                     "corvane_Motorola_TS2" + std::string(20, ' '));
  expect_sent(in(v("V06"), 400), {v("V07")});
  EXPECT_EQ(master_online, 0) << "not before the last ACK";
  expect_sent(in(v("V08"), 500), {v("V09")});
  EXPECT_EQ(master_online, 1);
  EXPECT_EQ(metrics_get(metrics.logins[LINK_MASTER]), 1u);
  EXPECT_EQ(master_heard_ms(), 500);
  EXPECT_NE(console.str().find("HomeBrew master 192.0.2.3:62031: logging in as 3120101\n"), std::string::npos);
  EXPECT_NE(console.str().find("HomeBrew master 192.0.2.3:62031: logged in as 3120101, options accepted\n"),
            std::string::npos);
  EXPECT_EQ(console.str().find("passw0rd"), std::string::npos);
  // Repeats of the login's answers change nothing.
  for (const char* late : {"V02", "V04", "V08"}) expect_sent(in(v(late), 600), {});
  EXPECT_EQ(homebrew_state(), HB_RUNNING);
}

TEST_F(Homebrew, PingRhythmAndTheMastersVoice) {
  login(0);
  net.take_sent();
  EXPECT_EQ(homebrew_wait_ms(10), 1000);
  EXPECT_EQ(homebrew_wait_ms(4500), 500);
  EXPECT_EQ(sends("RPTPING", 10, 30000), (std::vector<int64_t>{5000, 10000, 15000, 20000, 25000, 30000}));
  EXPECT_EQ(sends("RPTL", 30010, 60000), std::vector<int64_t>{}) << "answered pings keep the session";
  EXPECT_EQ(master_timer, 15);
  // DMRD goes to the relay only while logged in, whatever ID bytes 11..14 carry.
  in(v("V19"), 60005);
  EXPECT_TRUE(relayed);
  const Bytes out = v("V11");
  EXPECT_TRUE(homebrew_send(out.data(), out.size()));
  expect_sent(net.take_sent(), {out});
  in(v("V28"), 60010);
  in(v("V19"), 60020);
  EXPECT_FALSE(relayed);
  EXPECT_FALSE(homebrew_send(out.data(), out.size()));
  EXPECT_TRUE(net.take_sent().empty());
}

// At each step of the login: no answer for 5 s, or a refusal (MSTNAK) and a
// pause of 5 s, then RPTL again.
TEST_F(Homebrew, StepUnansweredOrRefusedStartsAgainAfterFiveSeconds) {
  snprintf(HomebrewSiteInfo.options, sizeof HomebrewSiteInfo.options, "TS2=3100;");
  const std::vector<const char*> answers = {"V02", "V04", "V06"};
  const char* lines[] = {
      "login (RPTL) refused: ID not admitted or the master is full (ID 3120101), logging in again "
      "in 5 s\n",
      "RPTK refused: wrong passphrase or unknown ID (ID 3120101), logging in again in 5 s\n",
      "configuration (RPTC) refused (ID 3120101), logging in again in 5 s\n",
      "options (RPTO) refused (ID 3120101), logging in again in 5 s\n"};
  for (size_t steps = 0; steps <= answers.size(); ++steps) {
    for (bool refused : {false, true}) {
      SCOPED_TRACE(steps + 10 * refused);
      reset_homebrew();
      at(100);
      for (size_t i = 0; i < steps; ++i) in(v(answers[i]), 100);
      net.take_sent();
      console.clear();
      if (refused) {
        expect_sent(in(nak, 200), {});
        EXPECT_EQ(homebrew_state(), HB_WAIT);
        EXPECT_EQ(console.str().substr(25), std::string("HomeBrew master 192.0.2.3:62031: ") + lines[steps]);
      } else {
        EXPECT_EQ(homebrew_wait_ms(4000), 1000);
        EXPECT_EQ(homebrew_wait_ms(4900), 200);
      }
      const int64_t again = refused ? 5200 : 5100;
      expect_sent(at(again - 1), {});
      expect_sent(at(again), {v("V01")});
      EXPECT_EQ(homebrew_state(), HB_SENT_RPTL);
    }
  }
  // The ACK of the timed-out step, arriving late, is no salt.
  expect_sent(in(v("V06"), 5200), {});
  expect_sent(in(v("V02"), 5300), {v("V03")});
  // A stranger's NAK (another ID) changes nothing.
  in(v("V25"), 5400);
  EXPECT_EQ(homebrew_state(), HB_SENT_RPTK);

  // A master that never answers: RPTL every 5 s, one line a minute about it.
  reset_homebrew();
  at(0);
  console.clear();
  EXPECT_EQ(sends("RPTL", 10, 120000).size(), 24u);
  EXPECT_EQ(console.str().substr(25),
            "HomeBrew master 192.0.2.3:62031: no answer to RPTL for 5 s, logging in again\n" +
                console.str().substr(0, 25) +
                "HomeBrew master 192.0.2.3:62031: no answer to RPTL for 5 s, logging in again\n");
}

TEST_F(Homebrew, RepeatedRefusalsBackOffUntilASessionHolds) {
  at(0);
  net.take_sent();
  std::vector<int64_t> pauses;
  int64_t t = 0;
  for (int i = 0; i < 7; ++i) {
    in(nak, t);
    const int64_t refused = t;
    for (t = refused + 1000; at(t).empty(); t += 1000) {
    }
    pauses.push_back((t - refused) / 1000);
  }
  EXPECT_EQ(pauses, (std::vector<int64_t>{5, 10, 20, 40, 60, 60, 60}));
  // MSTCL during the login counts as a refusal too.
  in(v("V28"), t);
  EXPECT_EQ(homebrew_wait_ms(t), 1000);
  EXPECT_TRUE(sends("RPTL", t + 10, t + 59990).empty());
  EXPECT_NE(console.str().find("the master is closing (MSTCL) during the login at RPTL, logging in again in 60 s\n"),
            std::string::npos);
  login(t + 60000);
  in(v("V10"), t + 60000);  // the first pong: the session holds
  in(v("V28"), t + 70000);
  expect_sent(at(t + 75000), {v("V01")});
  in(nak, t + 75000);  // the login after the master's return is refused once: 5 s again
  EXPECT_EQ(sends("RPTL", t + 75010, t + 84990), std::vector<int64_t>{t + 80000});
}

TEST_F(Homebrew, MasterForgetsUsClosesOrFallsSilent) {
  login(0);
  sends("RPTPING", 10, 6000);
  // MSTNAK to a ping: the master restarted; RPTL at once.
  expect_sent(in(nak, 6005), {v("V01")});
  EXPECT_EQ(master_online, 0);
  EXPECT_NE(console.str().find("the master no longer knows us (MSTNAK), logging in again\n"), std::string::npos);
  login(7000);
  sends("RPTPING", 7010, 17000);
  expect_sent(in(nak, 17005), {v("V01")});
  EXPECT_NE(console.str().find("again within a minute: is another repeater using our ID?"), std::string::npos)
      << console.str();
  // A NAK within 5 s of the login is a refusal: the pause applies.
  login(20000);
  expect_sent(in(nak, 20001), {});
  EXPECT_EQ(sends("RPTL", 20010, 26000), std::vector<int64_t>{25010});

  // MSTCL while logged in: one line, RPTL after 5 s.
  login(30000);
  console.clear();
  expect_sent(in(v("V28"), 31000), {});
  EXPECT_EQ(master_online, 0);
  EXPECT_EQ(console.str().substr(25),
            "HomeBrew master 192.0.2.3:62031: the master closed the session (MSTCL), logging in again in 5 s\n");
  EXPECT_EQ(sends("RPTL", 31010, 40000), std::vector<int64_t>{36000});

  // No MSTPONG for 15 s: RPTL, not a moment sooner.
  login(50000);
  net.take_sent();
  EXPECT_EQ(sends("RPTL", 50010, 64990, true), std::vector<int64_t>{});
  EXPECT_EQ(master_timer, 1);
  EXPECT_EQ(homebrew_wait_ms(64995), 5);
  expect_sent(at(65000), {v("V01")});
  EXPECT_EQ(master_online, 0);
  EXPECT_NE(console.str().find("master lost (no MSTPONG for 15 s), logging in again\n"), std::string::npos);
  EXPECT_EQ(metrics_get(metrics.logins[LINK_MASTER]), 5u);
}

TEST_F(Homebrew, OnlyTheMastersAddressAndPortCount) {
  at(0);
  net.take_sent();
  const uint64_t before = metrics_get(metrics.dropped[DROP_STRANGER]);
  expect_sent(in(v("V02"), 10, kMaster, 62032), {});
  expect_sent(in(v("V02"), 10, "192.0.2.4", kPort), {});
  EXPECT_EQ(homebrew_state(), HB_SENT_RPTL);
  EXPECT_EQ(metrics_get(metrics.dropped[DROP_STRANGER]), before + 2);
  EXPECT_EQ(master_heard_ms(), INT64_MIN);
  EXPECT_FALSE(homebrew_from_master(make_addr(kMaster, 62032)));
  EXPECT_TRUE(homebrew_from_master(make_addr(kMaster, kPort)));
  login(20);
  in(v("V19"), 30, kMaster, 62032);
  EXPECT_FALSE(relayed) << "a stranger's voice";
  net.take_sent();
  in(v("V22"), 40);
  EXPECT_EQ(homebrew_state(), HB_RUNNING);
}

TEST_F(Homebrew, CloseSaysGoodbyeOnceAndEndsTheLogin) {
  homebrew_close();
  EXPECT_TRUE(net.take_sent().empty()) << "nothing begun, nothing to close";
  reset_homebrew();
  login(0);
  net.take_sent();
  homebrew_close();
  homebrew_close();
  expect_sent(net.take_sent(), {kRptcl});
  EXPECT_EQ(master_online, 0);
  expect_sent(in(nak, 10), {});  // the answer to RPTCL
  EXPECT_TRUE(sends("RPT", 20, 30000).empty());
  EXPECT_EQ(homebrew_state(), HB_CLOSED);
  EXPECT_EQ(homebrew_wait_ms(0), 1000);
}

TEST_F(Homebrew, AHostileMasterCannotMakeItPrintWithoutBound) {
  // Accepts every login, refuses the session at its first ping, and sends
  // MSTCL, MSTNAK and junk in between: for ten minutes.
  const Bytes junk[] = {v("V28"), nak, v("V04"), v("V10"), Bytes{'R', 'P', 'T', 'A', 'C', 'K'}, v("V02")};
  size_t logins = 0;
  for (int64_t t = 0; t < 600000; t += 50) {
    std::vector<FakeDatagram> out = at(t);
    for (int depth = 0; depth < 8 && !out.empty(); ++depth) {
      std::vector<FakeDatagram> next;
      for (const FakeDatagram& d : out) {
        const char* answer = memcmp(d.bytes.data(), "RPTL", 4) == 0   ? "V02"
                             : memcmp(d.bytes.data(), "RPTK", 4) == 0 ? "V04"
                             : memcmp(d.bytes.data(), "RPTC", 4) == 0 ? "V06"
                                                                      : nullptr;
        if (d.bytes == v("V09")) ++logins;
        for (const FakeDatagram& n : answer ? in(v(answer), t) : in(nak, t)) next.push_back(n);
      }
      out = next;
    }
    in(junk[(t / 50) % 6], t);
  }
  EXPECT_GE(logins, 10u) << "it keeps trying, a minute apart";
  size_t lines = 0;
  for (char c : console.str()) lines += c == '\n';
  EXPECT_LE(lines, 2 * logins + 1) << console.str();
  EXPECT_LE(lines, 25u);
}

// ---- the operator's files -----------------------------------------------------------

class HomebrewFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/hb_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    unsetenv("CREDENTIALS_DIRECTORY");
  }
  void TearDown() override {
    unsetenv("CREDENTIALS_DIRECTORY");
    std::string cmd = "rm -rf " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string dir;
  ConsoleCapture console;
  char secret[16];
};

TEST_F(HomebrewFiles, PassphraseIsOneLine) {
  const std::pair<std::string, std::string> good[] = {
      {"passw0rd\r\n", "passw0rd"}, {" spaced ", " spaced "}, {"123456789012345", "123456789012345"}};
  for (const auto& [text, want] : good) {
    ASSERT_TRUE(homebrew_load_secret(write("pw", text).c_str(), secret, sizeof secret)) << text;
    EXPECT_EQ(std::string(secret), want);
  }
  EXPECT_EQ(console.str(), "");
  const std::pair<std::string, std::string> bad[] = {{"\n", "is empty"},
                                                     {"pass\nword", "holds more than one line"},
                                                     {"pass\r", "holds more than one line"},
                                                     {std::string("pa\0ss", 5), "holds a NUL byte"},
                                                     {"1234567890123456\n", "is too long (15 bytes at most)"}};
  for (const auto& [text, why] : bad) {
    console.clear();
    const std::string path = write("pw", text);
    EXPECT_FALSE(homebrew_load_secret(path.c_str(), secret, sizeof secret)) << text;
    EXPECT_EQ(console.str(), "HomeBrew: the passphrase file " + path + " " + why + "\n");
    EXPECT_EQ(secret[0], 0) << "wiped";
  }
  console.clear();
  EXPECT_FALSE(homebrew_load_secret((dir + "/missing").c_str(), secret, sizeof secret));
  EXPECT_EQ(console.str(),
            "HomeBrew: can not read the passphrase file " + dir + "/missing: No such file or directory\n");
}

TEST_F(HomebrewFiles, PassphraseFromTheCredentialsDirectoryAndItsMode) {
  EXPECT_FALSE(homebrew_load_secret(nullptr, secret, sizeof secret));
  EXPECT_EQ(console.str(),
            "HomeBrew: no passphrase: give --passphrase-file FILE, or the credential homebrew-passphrase "
            "(CREDENTIALS_DIRECTORY is not set)\n");
  console.clear();
  write("homebrew-passphrase", "from-systemd\n");
  setenv("CREDENTIALS_DIRECTORY", dir.c_str(), 1);
  ASSERT_TRUE(homebrew_load_secret(nullptr, secret, sizeof secret));
  EXPECT_STREQ(secret, "from-systemd");
  EXPECT_EQ(console.str(), "");
  const std::string path = write("open", "passw0rd\n", 0644);
  ASSERT_TRUE(homebrew_load_secret(path.c_str(), secret, sizeof secret));
  EXPECT_EQ(console.str(),
            "HomeBrew: warning: every user may read the passphrase file " + path + " (chmod o-r " + path + ")\n");
  EXPECT_EQ(console.str().find("passw0rd"), std::string::npos);
}

TEST_F(HomebrewFiles, SiteFile) {
  HomebrewSite s;
  const std::string path = write("site",
                                 "# the site\n"
                                 "location = Loopback Lab\r\n"
                                 "\n"
                                 "  description=HBP verify peer\n"
                                 "url=https://example.invalid/hbp\n"
                                 "latitude=+38.0000\n"
                                 "longitude=-95\n"
                                 "height=75\n"
                                 "power=25\n"
                                 "colour_code=1\n"
                                 "options=TS2=3100;DIAL=0;TIMER=10;");
  ASSERT_TRUE(homebrew_load_site(path.c_str(), &s));
  EXPECT_EQ(console.str(), "");
  HbConfig c = v05_config();
  c.location = s.location;
  c.description = s.description;
  c.url = s.url;
  c.latitude = s.latitude;
  c.longitude = s.longitude;
  c.height = s.height;
  c.power = s.power;
  c.colour_code = s.colour_code;
  uint8_t b[HB_RPTC_LEN];
  ASSERT_TRUE(hb_rptc(c, b));
  EXPECT_EQ(Bytes(b, b + HB_RPTC_LEN), v("V05"));
  EXPECT_STREQ(s.options, hbv::kOptions);

  ASSERT_TRUE(homebrew_load_site(write("empty", "# nothing\n").c_str(), &s));
  EXPECT_EQ(s.latitude, 0.0);
  EXPECT_EQ(s.power, 0);
  EXPECT_STREQ(s.location, "");
  ASSERT_TRUE(homebrew_load_site(nullptr, &s));

  const std::pair<std::string, std::string> bad[] = {
      {"height=75\nheigth=75\n",
       "line 2: unknown key \"heigth\" (known: location, description, url, latitude, longitude, height, power, "
       "colour_code, options)"},
      {"# c\nlocation Loopback\n", "line 2: not a key=value line"},
      {"power=25\npower=30\n", "line 2: power given twice"},
      {"power=100\n", "line 1: power must be a whole number from 0 to 99"},
      {"colour_code=\n", "line 1: colour_code must be a whole number from 0 to 15"},
      {"latitude=91\n", "line 1: latitude must be decimal degrees from -90 to 90"},
      {"location=" + std::string(21, 'x') + "\n", "line 1: location longer than 20 characters"},
      {"description=a\tb\n", "line 1: description holds a character that is not printable ASCII"},
      {"\n\nurl=" + std::string(600, 'u') + "\n", "line 3: longer than 511 characters"},
      {std::string("location=a\0b\n", 13), "line 1: holds a NUL byte"}};
  for (const auto& [text, why] : bad) {
    console.clear();
    const std::string p = write("bad", text);
    EXPECT_FALSE(homebrew_load_site(p.c_str(), &s)) << text;
    EXPECT_EQ(console.str(), "HomeBrew site file " + p + ", " + why + "\n");
  }
  console.clear();
  EXPECT_FALSE(homebrew_load_site((dir + "/none").c_str(), &s));
  EXPECT_EQ(console.str(), "HomeBrew: can not read the site file " + dir + "/none: No such file or directory\n");
}

TEST_F(Homebrew, ConfigurationTooLargeForTheMessage) {
  RptrQRGrx = 1000000000;
  ConsoleCapture c;
  EXPECT_FALSE(homebrew_check_config());
  EXPECT_EQ(c.str(),
            "HomeBrew: the frequencies (TX 444000000 Hz, RX 1000000000 Hz) must fit 9 digits (999999999 Hz "
            "at most)\n");
}

}  // namespace
