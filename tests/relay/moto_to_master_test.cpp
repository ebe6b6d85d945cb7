#include "relay/moto_to_master.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "dmr/ambe_fec.h"
#include "dmr/embedded_lc.h"
#include "master/hytera_table.h"
#include "moto_reader_fixture.h"
#include "support/dmr_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;
using moto_in::Call;

const char* const VOICE_NAMES[] = {"Voice_hyt1", "Voice_hyt2", "Voice_hyt3", "Voice_hyt4", "Voice_hyt5", "Voice_hyt6"};

void set_bit(uint8_t* bytes, unsigned bit, uint8_t v) {
  const uint8_t m = static_cast<uint8_t>(0x80 >> (bit % 8));
  bytes[bit / 8] = static_cast<uint8_t>(v ? bytes[bit / 8] | m : bytes[bit / 8] & ~m);
}
int get_bit(const uint8_t* bytes, unsigned bit) {
  return (bytes[bit / 8] >> (7 - bit % 8)) & 1;
}

// Template bytes, then the per-packet fields at their offsets.
Bytes with_fields(const char* name, const Call& c, uint16_t seq) {
  Bytes p = hyt_table::bytes(name);
  p[4] = static_cast<uint8_t>(seq);
  p[5] = static_cast<uint8_t>(seq >> 8);
  p[62] = c.priv ? 0x00 : 0x01;
  for (unsigned i = 0; i < 3; ++i) {
    p[64 + i] = static_cast<uint8_t>(c.dst >> (8 * i));
    p[68 + i] = static_cast<uint8_t>(c.src >> (8 * i));
  }
  return p;
}

// The expected packet of a voice burst at position 1..6: the template's
// burst with the three coded frames and, in B to E, the embedded link
// control fragment of the call.
Bytes expected_burst(int pos, const Call& c, uint16_t seq, const uint8_t frames[3][49]) {
  Bytes p = with_fields(VOICE_NAMES[pos - 1], c, seq);
  uint8_t burst[33];
  for (unsigned k = 0; k < 33; ++k) burst[k] = p[(26 + k) ^ 1];
  for (unsigned j = 0; j < 3; ++j) {
    uint8_t coded[72];
    codiere_AMBEplus2_33(coded, 2, frames[j]);
    for (unsigned i = 0; i < 72; ++i) {
      unsigned at = j == 0 ? i : j == 2 ? 192 + i : i < 36 ? 72 + i : 156 + (i - 36);
      set_bit(burst, at, coded[i]);
    }
  }
  if (pos >= 2 && pos <= 5) {
    const uint8_t control[3] = {static_cast<uint8_t>(c.priv ? 0x03 : 0x00), 0, 0};
    const uint8_t dst[3] = {uint8_t(c.dst >> 16), uint8_t(c.dst >> 8), uint8_t(c.dst)};
    const uint8_t src[3] = {uint8_t(c.src >> 16), uint8_t(c.src >> 8), uint8_t(c.src)};
    uint8_t lc[128];
    encode_MultiBlockEmbeddedLC(control, dst, src, lc);
    for (unsigned i = 0; i < 32; ++i) set_bit(burst, 116 + i, lc[32 * (pos - 2) + i]);
  }
  for (unsigned k = 0; k < 33; ++k) p[(26 + k) ^ 1] = burst[k];
  return p;
}

// Decodes the link-control bits of a header or terminator packet.
dmr_ref::BptcResult lc_of(const Bytes& pkt) {
  uint8_t burst[33];
  for (unsigned k = 0; k < 33; ++k) burst[k] = pkt[(26 + k) ^ 1];
  std::vector<uint8_t> bits;
  for (unsigned i = 0; i < 264; ++i)
    if (i < 98 || i >= 166) bits.push_back(static_cast<uint8_t>(get_bit(burst, i)));
  return dmr_ref::bptc196_decode(bits.data());
}

Bytes lc_bytes(const Call& c) {
  Bytes lc{static_cast<uint8_t>(c.priv ? 0x03 : 0x00), 0x00, 0x00};
  moto_in::push24(lc, c.dst);
  moto_in::push24(lc, c.src);
  return lc;
}

// Everything of a header or terminator packet but its link-control bits,
// which lc_of checks.
void expect_data_burst_packet(const Bytes& got, const char* name, const Call& c, uint16_t seq, uint8_t mask) {
  Bytes want = with_fields(name, c, seq);
  if (std::string(name) == "start_hyt") {
    want[38] = 0x6D;
    want[40] = 0x57;
    want[42] = 0x5D;
  }
  ASSERT_EQ(got.size(), 72u);
  uint8_t gb[33], wb[33];
  for (unsigned k = 0; k < 33; ++k) {
    gb[k] = got[(26 + k) ^ 1];
    wb[k] = want[(26 + k) ^ 1];
  }
  for (unsigned i = 98; i < 166; ++i) EXPECT_EQ(get_bit(gb, i), get_bit(wb, i)) << name << " burst bit " << i;
  for (unsigned i = 0; i < 72; ++i) {
    if (i < 26 || i == 58 || i > 59) {
      EXPECT_EQ(got[i], want[i]) << name << " byte " << i;
    }
  }
  dmr_ref::BptcResult r = lc_of(got);
  EXPECT_TRUE(r.ok) << name;
  EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 9), lc_bytes(c)) << name;
  EXPECT_TRUE(dmr_ref::rs129_valid(r.data.data(), r.data.data() + 9, mask)) << name;
}

class MotoToMaster : public MotoReaderFixture {
 protected:
  void SetUp() override {
    MotoReaderFixture::SetUp();
    std::mt19937 rng(3);
    for (auto& f : frames)
      for (auto& b : f) b = rng() & 1;
  }
  // Sends one burst of letter 0..5 with the frames of this test.
  std::vector<Bytes> burst(const Call& c, uint16_t seq, int letter) {
    return relay(moto_in::burst(c, seq, letter, frames));
  }
  uint8_t frames[3][49];
};

// The console text split into lines of the form "<asctime stamp><text>",
// with the stamps checked for their shape and left out.
std::vector<std::string> stamped_lines(const std::string& out) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    at = end == std::string::npos ? out.size() : end + 1;
    int day, h, m, sec, year;
    char wd[4], mon[4];
    const bool stamped = line.size() > 24 && std::sscanf(line.c_str(), "%3s %3s %2d %2d:%2d:%2d %4d", wd, mon, &day, &h,
                                                         &m, &sec, &year) == 7;
    lines.push_back(stamped ? line.substr(24) : "(no time stamp) " + line);
  }
  return lines;
}

TEST_F(MotoToMaster, FirstHeaderStartsTheCallWithASyncPacket) {
  Call c;
  auto out = relay(moto_in::header(c, 100, 0xDD));
  ASSERT_EQ(out.size(), 1u);
  Bytes want = with_fields("sync_hyt", c, 100);
  want[38] = 0x28;  // 2622101 = 0x280295, most significant first
  want[40] = 0x02;
  want[42] = 0x95;
  EXPECT_EQ(out[0], want);
  EXPECT_EQ(out[0][8], 0x02);
  EXPECT_EQ(stamped_lines(console.str()),
            std::vector<std::string>{" Moto RX+ slot:2 destination_id:9 source_id:2622101 rptr_id:3101234\n"});

  // The same sequence number again is a repeat: nothing, and the pass ends.
  console.clear();
  EXPECT_TRUE(relay(moto_in::header(c, 100, 0xDD)).empty());
  EXPECT_TRUE(ends_pass_early(moto_in::header(c, 100, 0x5D)));
  EXPECT_EQ(console.str(), "");
  EXPECT_FALSE(ends_pass_early(moto_in::header(c, 101, 0x5D)));
}

TEST_F(MotoToMaster, FurtherHeaderCarriesTheCallsLinkControl) {
  for (bool priv : {false, true}) {
    Call c;
    c.priv = priv;
    c.src = 0x9ABCDE;  // a source whose top byte would spoil the slot type
    c.dst = 0x123456;
    auto out = relay(moto_in::header(c, priv ? 7 : 6, 0x5D));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][8], 0x01);
    EXPECT_EQ(out[0][18], 0x11);
    EXPECT_EQ(out[0][19], 0x11);
    expect_data_burst_packet(out[0], "start_hyt", c, priv ? 7 : 6, 0x96);
  }
  EXPECT_EQ(console.str(), "") << "only the first header is announced";
}

TEST_F(MotoToMaster, WholeCallInOrder) {
  for (bool priv : {false, true}) {
    SCOPED_TRACE(priv ? "private" : "group");
    console.clear();
    Call c;
    c.priv = priv;
    c.src = priv ? 3105555 : 2622101;
    c.dst = priv ? 3101111 : 262;
    uint16_t seq = priv ? 2000 : 1000;
    std::vector<Bytes> sent;
    auto add = [&](std::vector<Bytes> v) { sent.insert(sent.end(), v.begin(), v.end()); };
    add(relay(moto_in::header(c, seq++, 0xDD)));
    add(relay(moto_in::header(c, seq++, 0x5D)));
    const uint16_t first_burst = seq;
    for (int n = 0; n < 12; ++n) add(burst(c, seq++, n % 6));
    add(relay(moto_in::terminator(c, seq)));

    ASSERT_EQ(sent.size(), 15u);
    const uint8_t types[] = {0xEE, 0x11, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0x22};
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i][18], types[i]) << i;
      EXPECT_EQ(sent[i][19], types[i]) << i;
      EXPECT_EQ(sent[i][62], priv ? 0x00 : 0x01) << i;
    }
    for (int n = 0; n < 12; ++n)
      EXPECT_EQ(sent[2 + n], expected_burst(n % 6 + 1, c, static_cast<uint16_t>(first_burst + n), frames))
          << "burst " << n;
    EXPECT_EQ(Bytes(sent[6].begin(), sent[6].begin() + 4), (Bytes{0xEE, 0xEE, 0x11, 0x11})) << "burst E";
    expect_data_burst_packet(sent[14], "ende_hyt", c, seq, 0x99);

    // The master's own collector finds the call in bursts B to E.
    reset_embedded_lc_collector();
    uint8_t control[3], dst[3], src[3];
    int result = 2;
    const int lcss[] = {1, 3, 3, 2};
    for (int b = 0; b < 4; ++b) {
      uint8_t fragment[32];
      uint8_t burst_bytes[33];
      for (unsigned k = 0; k < 33; ++k) burst_bytes[k] = sent[3 + b][(26 + k) ^ 1];
      for (unsigned i = 0; i < 32; ++i) fragment[i] = static_cast<uint8_t>(get_bit(burst_bytes, 116 + i));
      result = addData(fragment, lcss[b], control, dst, src);
    }
    ASSERT_EQ(result, 1);
    EXPECT_EQ(control[0], priv ? 0x03 : 0x00);
    EXPECT_EQ(uint32_t(dst[0] << 16 | dst[1] << 8 | dst[2]), c.dst);
    EXPECT_EQ(uint32_t(src[0] << 16 | src[1] << 8 | src[2]), c.src);

    const std::string rx_plus = " Moto RX+ slot:2 destination_id:" + std::to_string(c.dst) +
                                " source_id:" + std::to_string(c.src) + " rptr_id:3101234\n";
    const std::string rx_minus = " Moto RX- ID:" + std::to_string(c.src) + "\n";
    EXPECT_EQ(stamped_lines(console.str()), (std::vector<std::string>{rx_plus, rx_minus}));
  }
  reset_embedded_lc_collector();
}

TEST_F(MotoToMaster, BurstPositionFollowsBurstA) {
  Call c;
  auto type = [&](uint16_t seq, int letter) {
    auto out = burst(c, seq, letter);
    return out.size() == 1 ? out[0][19] : 0;
  };
  // The position counts bursts; a burst A flag in mid-cycle restarts it.
  EXPECT_EQ(type(1, 0), 0x77);
  EXPECT_EQ(type(2, 1), 0x88);
  EXPECT_EQ(type(3, 2), 0x99);
  EXPECT_EQ(type(4, 0), 0x77);
  EXPECT_EQ(type(5, 1), 0x88);
  // A call that begins with bursts and no header goes on from there.
  EXPECT_EQ(type(50, 3), 0x99);
  EXPECT_EQ(type(51, 4), 0xAA);
  // A repeated burst A is dropped and does not shift the bursts after it.
  EXPECT_EQ(type(60, 0), 0x77);
  EXPECT_TRUE(ends_pass_early(moto_in::burst(c, 60, 0, frames)));
  EXPECT_EQ(type(61, 1), 0x88);
  EXPECT_EQ(type(62, 2), 0x99);
  // A header starts the cycle again.
  relay(moto_in::header(c, 70, 0x5D));
  EXPECT_EQ(type(71, 3), 0x77);
}

TEST_F(MotoToMaster, RepeatTestComparesWithThePreviousNumberOnly) {
  Call c;
  // The number at start is 0: a first packet numbered 0 is a repeat.
  EXPECT_TRUE(burst(c, 0, 0).empty());
  EXPECT_EQ(burst(c, 5, 0).size(), 1u);
  EXPECT_TRUE(relay(moto_in::terminator(c, 5)).empty()) << "any kind repeats any kind";
  EXPECT_EQ(burst(c, 3, 1).size(), 1u) << "older numbers are not rejected";
  EXPECT_EQ(burst(c, 5, 2).size(), 1u);
  EXPECT_EQ(relay(moto_in::terminator(c, 0)).size(), 1u);
}

TEST_F(MotoToMaster, ShortPacketsAreDroppedAndChangeNothing) {
  Call c;
  ASSERT_EQ(burst(c, 10, 0).size(), 1u);  // position 2 now, last number 10
  Bytes b11 = moto_in::burst(c, 11, 1, frames);
  Bytes h11 = moto_in::header(c, 11, 0xDD);
  Bytes t11 = moto_in::terminator(c, 11);
  // Datagram lengths (tag included) one short of what each kind reads.
  EXPECT_TRUE(relay(Bytes(b11.begin(), b11.begin() + 41)).empty()) << "51-byte burst";
  EXPECT_TRUE(relay(Bytes(h11.begin(), h11.begin() + 20)).empty()) << "30-byte header";
  EXPECT_TRUE(relay(Bytes(t11.begin(), t11.begin() + 20)).empty()) << "30-byte terminator";
  EXPECT_TRUE(relay(Bytes(h11.begin(), h11.begin() + 7)).empty()) << "17 bytes";
  EXPECT_EQ(console.str(), "");
  EXPECT_FALSE(ends_pass_early(Bytes(b11.begin(), b11.begin() + 41)));
  // Neither the last number nor the position moved.
  auto out = burst(c, 11, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], expected_burst(2, c, 11, frames));
  // Where the datagram is just long enough, what it holds is read (the tag
  // bytes included) and nothing from before it.
  uint8_t rx[224];
  Bytes b12 = signed_packet(Key, moto_in::burst(c, 12, 2, frames));
  std::memcpy(rx, b12.data(), b12.size());
  rx[20] = 0;  // another number, so that only the length decides
  rx[21] = 13;
  EXPECT_FALSE(relay_moto_voice(rx, 51));
  EXPECT_TRUE(net.take_sent().empty());
  EXPECT_FALSE(relay_moto_voice(rx, 52));
  auto sent = net.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, expected_burst(3, c, 13, frames));
  Bytes t14 = signed_packet(Key, moto_in::terminator(c, 14));
  std::memcpy(rx, t14.data(), t14.size());
  EXPECT_FALSE(relay_moto_voice(rx, 30));
  EXPECT_TRUE(net.take_sent().empty());
  EXPECT_FALSE(relay_moto_voice(rx, 31));
  EXPECT_EQ(net.take_sent().size(), 1u);
}

TEST_F(MotoToMaster, UnknownKindsAndSlotOneSendNothing) {
  Call c;
  Bytes t3 = moto_in::terminator(c, 20);
  t3[30] = 0x03;
  EXPECT_TRUE(relay(t3).empty()) << "burst type 3 before any packet: no 72 zero bytes";
  ASSERT_EQ(burst(c, 21, 0).size(), 1u);
  t3[21] = 22;
  EXPECT_TRUE(relay(t3).empty()) << "nor the previous packet again";
  Bytes h = moto_in::header(c, 23, 0x5E);
  EXPECT_TRUE(relay(h).empty()) << "header marker neither 0xDD nor 0x5D";
  EXPECT_FALSE(ends_pass_early(h));
  Call slot1;
  slot1.call_info = 0x00;
  EXPECT_TRUE(relay(moto_in::header(slot1, 24, 0xDD)).empty());
  EXPECT_TRUE(relay(moto_in::burst(slot1, 25, 1, frames)).empty());
  EXPECT_EQ(console.str(), "");
  // None of them took a sequence number or moved the position.
  auto out = burst(c, 22, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][19], 0x88);
}

}  // namespace
