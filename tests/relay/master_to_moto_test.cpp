#include "relay/master_to_moto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "dmr/dmr_console.h"
#include "dmr/embedded_lc.h"
#include "dmr/golay.h"
#include "master_voice.h"
#include "support/console_capture.h"
#include "support/dmr_reference.h"
#include "support/fake_net.h"
#include "support/reference_hmac.h"
#include "support/test_site.h"

namespace {

using mvoice::Bytes;
using mvoice::HytCall;
using mvoice::MotoWant;

constexpr int kMotoSock = kSiteMotoSock, kAudioSock = kSiteAudioSock;
constexpr int64_t T0 = 5000000000;  // monotonic start, microseconds
constexpr int64_t WALL0 = 1700000000;

// The relay's clock, its pacing sleeps, the receive waits it asks for and
// the time of every send.
struct TestClock {
  static inline int64_t now = T0;
  static inline int64_t wall = WALL0;
  static inline std::vector<int64_t> sleeps;
  static inline std::vector<int> waits;
  static inline std::vector<int64_t> send_times;
  static inline UdpOps fake{};
  // When set, the next receive returns at this time (the wait took that long).
  static inline int64_t arrive_at = -1;

  static int64_t now_us() { return now; }
  static void sleep_us(int64_t us) {
    sleeps.push_back(us);
    now += us;
  }
  static int64_t wall_s() { return wall; }
  static ssize_t recv(int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms) {
    waits.push_back(wait_ms);
    if (arrive_at >= 0) now = arrive_at;
    arrive_at = -1;
    return fake.recv(sock, buf, cap, from, wait_ms);
  }
  static ssize_t send(int sock, const uint8_t* buf, size_t len, const sockaddr_in* to) {
    send_times.push_back(now);
    return fake.send(sock, buf, len, to);
  }
};

int64_t ms(double v) {
  return T0 + static_cast<int64_t>(v * 1000);
}

class MasterToMoto : public ::testing::Test {
 protected:
  void SetUp() override {
    init_Golay_23_12();
    reset_config();
    reset_udp();
    reset_link_status();
    reset_master_to_moto();
    use_test_site();
    set_fromUser2(make_addr("192.0.2.2", 50000));

    TestClock::now = T0;
    TestClock::wall = WALL0;
    TestClock::sleeps.clear();
    TestClock::waits.clear();
    TestClock::send_times.clear();
    TestClock::arrive_at = -1;
    TestClock::fake = udp_ops;
    udp_ops.recv = TestClock::recv;
    udp_ops.send = TestClock::send;
    v2m_timing = {TestClock::now_us, TestClock::sleep_us, TestClock::wall_s};
    previous_print_ = dmr_print;
    dmr_print = console_write;

    send_voice_to_motorola_start();
    console.clear();

    std::mt19937 rng(66);
    for (auto& b : frames)
      for (auto& f : b)
        for (auto& x : f) x = rng() & 1;
  }
  void TearDown() override {
    dmr_print = previous_print_;
    reset_master_to_moto();
    reset_udp();
    reset_link_status();
    reset_config();
  }

  // One pass at `at_us` with `bytes` from the master (or from `ip`).
  void from_master(const Bytes& bytes, int64_t at_us, const char* ip = "192.0.2.3") {
    TestClock::now = at_us;
    net.feed(kAudioSock, bytes, ip, 62006);
    send_voice_to_motorola_pass();
  }
  // Sent datagrams, each checked to leave on Corvane_sock for the repeater.
  std::vector<Bytes> sent() {
    std::vector<Bytes> out;
    for (const FakeDatagram& d : net.take_sent()) {
      EXPECT_EQ(d.sock, kMotoSock);
      EXPECT_EQ(d.ip(), "192.0.2.2");
      EXPECT_EQ(d.port(), 50000);
      out.push_back(d.bytes);
    }
    return out;
  }

  // Centre of burst letter 0..5: the template's (sync, EMB), with the
  // call's link control fragment in B to E.
  Bytes centre(int letter, const HytCall& c) {
    Bytes cen = mvoice::template_centre(mvoice::VOICE_NAMES[letter]);
    if (letter >= 1 && letter <= 4) {
      const uint8_t control[3] = {static_cast<uint8_t>(c.priv ? 3 : 0), 0, 0};
      const uint8_t dst[3] = {uint8_t(c.dst >> 16), uint8_t(c.dst >> 8), uint8_t(c.dst)};
      const uint8_t src[3] = {uint8_t(c.src >> 16), uint8_t(c.src >> 8), uint8_t(c.src)};
      uint8_t lc[128];
      encode_MultiBlockEmbeddedLC(control, dst, src, lc);
      for (unsigned i = 0; i < 32; ++i) cen[8 + i] = lc[32 * (letter - 1) + i];
    }
    return cen;
  }
  Bytes burst(const HytCall& c, uint16_t seq, int letter, const mvoice::Errors* errors = nullptr) {
    static const mvoice::Errors clean[3] = {};
    const Bytes cen = centre(letter, c);
    return mvoice::hyt_burst(c, seq, letter, frames[letter], cen.data(), errors ? errors : clean);
  }

  // The expected burst packet (unsigned) for the frames of `letter`.
  Bytes want_burst(const MotoWant& w, int letter, const HytCall& c) {
    const uint8_t* f[3] = {frames[letter][0], frames[letter][1], frames[letter][2]};
    const bool bad[3] = {};
    const Bytes cen = centre(letter, c);
    return mvoice::moto_burst(w, letter, f, bad, cen.data() + 8, mvoice::emb_byte_of(cen.data()));
  }

  FakeNet net;
  ConsoleCapture console;
  uint8_t frames[6][3][49];

 private:
  void (*previous_print_)(const char*) = nullptr;
};

// Console time stamps are wall-clock seconds and may tick between two lines
// of one test: compare with every stamp replaced by ts().
std::string ts() {
  return "<time stamp>";
}

bool is_stamp(const std::string& s, size_t i) {
  if (i + 24 > s.size()) return false;
  const char* p = s.c_str() + i;
  auto digit = [&](int k) { return p[k] >= '0' && p[k] <= '9'; };
  return p[3] == ' ' && p[7] == ' ' && p[10] == ' ' && p[13] == ':' && p[16] == ':' && p[19] == ' ' && digit(11) &&
         digit(12) && digit(14) && digit(15) && digit(17) && digit(18) && digit(20) && digit(23);
}

std::string masked(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (is_stamp(s, i)) {
      out += ts();
      i += 24;
    } else {
      out += s[i++];
    }
  }
  return out;
}

std::string rx_line(int slot, uint32_t dst, uint32_t src) {
  return "\n" + std::string(78, '_') + "\n" + ts() + " RX SLOT=" + std::to_string(slot) +
         " DST_ID=" + std::to_string(dst) + " SRC_ID=" + std::to_string(src) + " TYPE=Voice\n";
}

// Checks the packet against the unsigned bytes `head`, its check bytes at
// 47-49 under `mask`, the fixed `tail` and the tag.
void expect_lc_packet(const Bytes& got, const Bytes& head, uint8_t mask, const Bytes& tail, const uint8_t* key) {
  ASSERT_EQ(got.size(), head.size() + 3 + tail.size() + 10);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 47), head);
  EXPECT_TRUE(dmr_ref::rs129_valid(got.data() + 38, got.data() + 47, mask));
  EXPECT_EQ(Bytes(got.begin() + 50, got.end() - 10), tail);
  EXPECT_EQ(Bytes(got.end() - 10, got.end()), reference_tag(key, got.data(), got.size() - 10));
}

TEST_F(MasterToMoto, CallsRelayedAsTabled) {
  struct Run {
    HytCall c;
    uint16_t seq0;
  };
  HytCall priv;
  priv.priv = true;
  priv.src = 3107001;
  priv.dst = 3107002;
  const Run runs[] = {{HytCall{}, 100}, {priv, 300}, {HytCall{}, 500}};
  uint32_t timestamp = 1000000000;
  int64_t t = ms(1000);
  for (unsigned r = 0; r < std::size(runs); ++r) {
    const HytCall& c = runs[r].c;
    SCOPED_TRACE(testing::Message() << "call " << r);
    console.clear();
    uint16_t seq = runs[r].seq0;
    from_master(mvoice::hyt_header(c, seq++), t += 60000);
    const std::string start = rx_line(2, c.dst, c.src) + ts() + " SENDE EIN " + std::to_string(r + 1) + "\n";
    from_master(mvoice::hyt_header(c, seq++), t += 60000);
    for (int letter = 0; letter < 6; ++letter) from_master(burst(c, seq++, letter), t += 60000);
    from_master(mvoice::hyt_terminator(c, seq++), t += 60000);
    EXPECT_EQ(masked(console.str()), start + ts() + " EMB-Hardbits: CC:0001 PI:0 LCSS:10\r\n" + ts() +
                                         " EMB-Decode Slot:2 DestID:" + std::to_string(c.dst) +
                                         " SrcID:" + std::to_string(c.src) + "\r\n" + ts() +
                                         " VOICE RX SLOT 2 ENDE USER_ID=" + std::to_string(c.src) + " \n" + ts() +
                                         " SENDE AUS " + std::to_string(r + 1) + "\n");

    const std::vector<Bytes> got = sent();
    ASSERT_EQ(got.size(), 9u);
    MotoWant w;
    w.priv = c.priv;
    w.call_seq = static_cast<uint8_t>(r + 1);
    w.src = c.src;
    w.dst = c.dst;
    w.tag = Bytes(got[0].begin() + 13, got[0].begin() + 17);
    for (uint8_t b : w.tag) EXPECT_LT(b, 255);
    w.seq = runs[r].seq0;
    for (unsigned i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "packet " << i);
      w.seq = static_cast<uint16_t>(runs[r].seq0 + i);
      w.timestamp = timestamp += 480;
      if (i < 2) {
        expect_lc_packet(got[i], mvoice::moto_header_head(w, i == 0), 0x96, mvoice::HEADER_TAIL, Key);
      } else if (i < 8) {
        EXPECT_EQ(got[i], signed_packet(Key, want_burst(w, i - 2, c)));
      } else {
        expect_lc_packet(got[i], mvoice::moto_terminator_head(w), 0x99, mvoice::TERMINATOR_TAIL, Key);
      }
    }
    EXPECT_TRUE(TestClock::sleeps.empty()) << "60 ms apart: no pacing";
  }
}

TEST_F(MasterToMoto, CallStartsRepeatedHeadersAndCallTags) {
  HytCall c;
  from_master(mvoice::hyt_header(c, 10), ms(1000));
  from_master(mvoice::hyt_header(c, 11), ms(1100));
  EXPECT_EQ(masked(console.str()), rx_line(2, c.dst, c.src) + ts() + " SENDE EIN 1\n");
  from_master(burst(c, 12, 0), ms(1200));
  // A header after bursts of the same call starts a new call.
  from_master(mvoice::hyt_header(c, 13), ms(1300));
  EXPECT_EQ(masked(console.str()), rx_line(2, c.dst, c.src) + ts() + " SENDE EIN 1\n" + ts() + " SENDE EIN 2\n");
  std::vector<Bytes> got = sent();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0][19], 0xDD);
  EXPECT_EQ(got[1][19], 0x5D);
  EXPECT_EQ(got[3][19], 0xDD);
  EXPECT_EQ(got[0][5], 1);
  EXPECT_EQ(got[1][5], 1);
  EXPECT_EQ(got[2][5], 1);
  EXPECT_EQ(got[3][5], 2);
  // Started within the same second of the clock: the same tag.
  EXPECT_EQ(Bytes(got[3].begin() + 13, got[3].begin() + 17), Bytes(got[0].begin() + 13, got[0].begin() + 17));
  const Bytes tag1(got[0].begin() + 13, got[0].begin() + 17);

  // The next second draws another tag.
  from_master(mvoice::hyt_terminator(c, 14), ms(1400));
  TestClock::wall = WALL0 + 1;
  from_master(mvoice::hyt_header(c, 15), ms(1500));
  from_master(mvoice::hyt_terminator(c, 16), ms(1600));
  got = sent();
  ASSERT_EQ(got.size(), 3u);
  const Bytes tag3(got[1].begin() + 13, got[1].begin() + 17);
  EXPECT_NE(tag3, tag1);

  // A burst outside a call goes out with the latest call's call_seq and tag.
  from_master(burst(c, 17, 1), ms(1700));
  got = sent();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][5], 3);
  EXPECT_EQ(Bytes(got[0].begin() + 13, got[0].begin() + 17), tag3);

  // After call_seq 255 comes 0.
  v2m_seq_num = 255;
  console.clear();
  from_master(mvoice::hyt_header(c, 18), ms(1800));
  got = sent();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][5], 0);
  EXPECT_NE(console.str().find(" SENDE EIN 0\n"), std::string::npos) << console.str();
}

TEST_F(MasterToMoto, SequenceNumbersOfBurstsAndTerminator) {
  HytCall c;
  from_master(mvoice::hyt_header(c, 9), ms(1000));
  from_master(burst(c, 9, 0), ms(1060));   // the header's number again: dropped
  from_master(burst(c, 10, 1), ms(1120));  // next: sent
  from_master(burst(c, 10, 2), ms(1180));  // repeated: dropped
  from_master(burst(c, 12, 3), ms(1240));  // gap: Ferr, sent
  from_master(burst(c, 0, 4), ms(1300));   // 0 always accepted
  from_master(burst(c, 1, 5), ms(1360));
  console.clear();
  from_master(mvoice::hyt_terminator(c, 1), ms(1420));  // not above 1: not sent
  const std::vector<Bytes> got = sent();
  ASSERT_EQ(got.size(), 5u);
  const uint16_t seqs[] = {9, 10, 12, 0, 1};
  for (unsigned i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i][20] << 8 | got[i][21], seqs[i]);
    // The RTP timestamp counts sent packets only.
    const uint32_t want = 1000000000u + 480u * (i + 1);
    EXPECT_EQ(Bytes(got[i].begin() + 22, got[i].begin() + 26),
              (Bytes{uint8_t(want >> 24), uint8_t(want >> 16), uint8_t(want >> 8), uint8_t(want)}));
  }
  EXPECT_EQ(got[3][32], 0x16) << "burst E";
  EXPECT_EQ(masked(console.str()),
            ts() + " VOICE RX SLOT 2 ENDE USER_ID=" + std::to_string(c.src) + " \n" + ts() + " SENDE AUS 1\n");
  EXPECT_EQ(transmitting, 0);

  // Exactly one Ferr line, with the latest accepted number first.
  reset_master_to_moto();
  v2m_timing = {TestClock::now_us, TestClock::sleep_us, TestClock::wall_s};
  console.clear();
  from_master(mvoice::hyt_header(c, 9), ms(2000));
  from_master(burst(c, 10, 0), ms(2060));
  from_master(burst(c, 12, 1), ms(2120));
  from_master(burst(c, 0, 2), ms(2180));
  EXPECT_EQ(masked(console.str()), rx_line(2, c.dst, c.src) + ts() + " SENDE EIN 1\nFerr: 10 12\n");
  EXPECT_EQ(sent().size(), 4u);
}

TEST_F(MasterToMoto, AnotherSourceDuringACallIsDropped) {
  HytCall a, b;
  b.src = 2620999;
  from_master(mvoice::hyt_header(a, 20), ms(1000));
  from_master(burst(a, 21, 0), ms(1060));
  sent();
  console.clear();
  from_master(burst(b, 22, 1), ms(1120));
  from_master(mvoice::hyt_header(b, 23), ms(1180));
  from_master(mvoice::hyt_terminator(b, 24), ms(1240));
  const std::string change = "DMR-ID change: 2622101 2620999\r\n";
  EXPECT_EQ(masked(console.str()), change + change + ts() + " VOICE RX SLOT 2 ENDE USER_ID=2620999 \n" + change);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(transmitting, 1);
  from_master(mvoice::hyt_terminator(a, 25), ms(1300));
  const std::vector<Bytes> got = sent();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 64u);
  EXPECT_EQ(transmitting, 0);
}

TEST_F(MasterToMoto, OtherSlotsShownButNeverRelayed) {
  HytCall c;
  c.slot = 1;
  from_master(mvoice::hyt_header(c, 30), ms(1000));
  for (int letter = 0; letter < 6; ++letter)
    from_master(burst(c, uint16_t(31 + letter), letter), ms(1060 + 60 * letter));
  from_master(mvoice::hyt_terminator(c, 37), ms(1420));
  EXPECT_EQ(masked(console.str()),
            rx_line(1, c.dst, c.src) + ts() + " VOICE RX SLOT 1 ENDE USER_ID=" + std::to_string(c.src) + " \n");
  EXPECT_TRUE(sent().empty());

  // A datagram beginning with 'A' counts as slot 0, whatever its slot word says.
  console.clear();
  Bytes a = mvoice::hyt_header(HytCall{}, 40);
  a[0] = 0x41;
  from_master(a, ms(1500));
  from_master(a, ms(1560));
  EXPECT_EQ(masked(console.str()), rx_line(0, 262, 2622101));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(transmitting, 0);

  // Slot numbers beyond 2 have no console flag: neither shown nor relayed.
  console.clear();
  HytCall s3;
  s3.slot = 3;
  from_master(mvoice::hyt_header(s3, 41), ms(1620));
  from_master(mvoice::hyt_terminator(s3, 42), ms(1680));
  EXPECT_EQ(masked(console.str()), "");
  EXPECT_TRUE(sent().empty());
}

TEST_F(MasterToMoto, DatagramLengthsAndKeepAlives) {
  // 73 bytes are taken as the 72 before them.
  Bytes h = mvoice::hyt_header(HytCall{}, 50);
  h.push_back(0x99);
  from_master(h, ms(1000));
  std::vector<Bytes> got = sent();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 66u);
  Bytes b = burst(HytCall{}, 51, 0);
  b.push_back(0x00);
  from_master(b, ms(1060));
  EXPECT_EQ(sent().size(), 1u);

  console.clear();
  for (size_t len : {71, 74, 2, 224}) {
    Bytes x = burst(HytCall{}, 52, 1);
    x.resize(len, 0);
    from_master(x, ms(1100));
  }
  EXPECT_EQ(masked(console.str()), "");
  EXPECT_TRUE(sent().empty());

  // One byte from the master refreshes a running login, never revives one.
  master_timer = 7;
  from_master(Bytes{'A'}, ms(1200));
  EXPECT_EQ(master_timer, 15);
  master_timer = 0;
  from_master(Bytes{'A'}, ms(1300));
  EXPECT_EQ(master_timer, 0);
  // A stranger's byte or voice is not the master's.
  master_timer = 7;
  from_master(Bytes{'A'}, ms(1400), "192.0.2.4");
  from_master(mvoice::hyt_header(HytCall{}, 53), ms(1460), "192.0.2.4");
  EXPECT_EQ(master_timer, 7);
  EXPECT_EQ(masked(console.str()), "");
  EXPECT_TRUE(sent().empty());
}

TEST_F(MasterToMoto, SilentCallEndsOnTime) {
  HytCall a;
  // No call open: the reader waits without limit.
  from_master(Bytes{'A'}, ms(500));
  EXPECT_EQ(TestClock::waits.back(), -1);
  from_master(mvoice::hyt_header(a, 60), ms(1000));
  from_master(burst(a, 61, 0), ms(1060));
  sent();
  console.clear();
  // Call open: the wait ends when the call would time out.
  TestClock::now = ms(2060);
  send_voice_to_motorola_pass();
  EXPECT_EQ(TestClock::waits.back(), 2000);
  TestClock::now = ms(4059.5);
  send_voice_to_motorola_pass();
  EXPECT_EQ(TestClock::waits.back(), 1) << "rounded up, never 0";
  EXPECT_EQ(masked(console.str()), "");
  // 3 s after the last voice packet, with nothing arriving.
  const size_t waits = TestClock::waits.size();
  TestClock::now = ms(4060);
  send_voice_to_motorola_pass();
  EXPECT_EQ(masked(console.str()), ts() + " SENDE TIMEOUT 1\n");
  EXPECT_EQ(TestClock::waits.size(), waits) << "no receive in the pass that ends the call";
  EXPECT_TRUE(sent().empty()) << "nothing is sent on a time-out";
  EXPECT_EQ(transmitting, 0);
  EXPECT_EQ(send_header, 0);
  EXPECT_EQ(dmr_id, 0u);
  send_voice_to_motorola_pass();
  EXPECT_EQ(TestClock::waits.back(), -1);

  // Bursts of a foreign call do not keep the call open.
  HytCall b;
  b.src = 2620999;
  console.clear();
  from_master(mvoice::hyt_header(a, 70), ms(5000));
  from_master(burst(b, 71, 0), ms(6000));
  from_master(burst(b, 72, 1), ms(7999));
  EXPECT_TRUE(sent().size() == 1u);
  // A datagram that arrives during the last millisecond of the wait is
  // handled after the time-out: the next station's header starts its call
  // instead of being dropped.
  console.clear();
  TestClock::now = ms(7999.5);
  TestClock::arrive_at = ms(8000.2);
  net.feed(kAudioSock, mvoice::hyt_header(b, 73), "192.0.2.3", 62006);
  send_voice_to_motorola_pass();
  EXPECT_EQ(TestClock::waits.back(), 1);
  EXPECT_EQ(masked(console.str()), ts() + " SENDE TIMEOUT 2\n" + rx_line(2, b.dst, b.src) + ts() + " SENDE EIN 3\n");
  const std::vector<Bytes> got = sent();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][19], 0xDD);
  EXPECT_EQ(got[0][6] << 16 | got[0][7] << 8 | got[0][8], 2620999);
}

TEST_F(MasterToMoto, PacingStretchesShortGapsTo60ms) {
  HytCall c;
  from_master(mvoice::hyt_header(c, 80), ms(1000));
  console.clear();
  // 20 ms later: held back to 60 ms after the previous send, the gap printed.
  from_master(mvoice::hyt_header(c, 81), ms(1020));
  ASSERT_EQ(TestClock::sleeps.size(), 1u);
  EXPECT_EQ(TestClock::sleeps[0], 40000);
  EXPECT_EQ(masked(console.str()), ts() + " add delay: 20000 us at pacnum: 81\n");
  // 58 ms and more after the previous send: at once; 57.999 ms: stretched.
  from_master(burst(c, 82, 0), ms(1118));
  from_master(burst(c, 83, 1), ms(1200));
  EXPECT_EQ(TestClock::sleeps.size(), 1u);
  from_master(burst(c, 84, 2), ms(1257.999));
  ASSERT_EQ(TestClock::sleeps.size(), 2u);
  EXPECT_EQ(TestClock::sleeps[1], 2001);
  EXPECT_EQ(masked(console.str()), ts() + " add delay: 20000 us at pacnum: 81\n") << "bursts pace silently";

  // A clump leaves one packet per 60 ms.
  TestClock::send_times.clear();
  const int64_t clump = ms(2000);
  for (int letter = 3; letter < 6; ++letter)
    net.feed(kAudioSock, burst(c, uint16_t(82 + letter), letter), "192.0.2.3", 62006);
  net.feed(kAudioSock, mvoice::hyt_terminator(c, 88), "192.0.2.3", 62006);
  TestClock::now = clump;
  for (int i = 0; i < 4; ++i) send_voice_to_motorola_pass();
  ASSERT_EQ(TestClock::send_times.size(), 4u);
  EXPECT_EQ(TestClock::send_times[0], clump);
  for (unsigned i = 1; i < 4; ++i) EXPECT_EQ(TestClock::send_times[i] - TestClock::send_times[i - 1], 60000);
  EXPECT_EQ(sent().size(), 9u);
}

}  // namespace
