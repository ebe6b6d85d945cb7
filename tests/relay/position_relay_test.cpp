#include "relay/position_relay.h"

#include <gtest/gtest.h>

#include <string>

#include "moto_reader_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t SRC = 2622101, DST = 0x0A0B0C;

// Data header (type 6) and data block (type 8) with its 16 payload bytes at
// 38-53.
Bytes data_header(uint32_t peer = moto_in::PEER_ID, uint8_t call_info = 0x20) {
  Bytes b = moto_in::call_header(0x84, SRC, DST, 0, call_info, 0x5D, 0x46, peer);
  b.resize(48, 0x00);
  return b;
}
Bytes data_block(const std::string& payload, uint32_t peer = moto_in::PEER_ID) {
  Bytes b = moto_in::call_header(0x84, SRC, DST, 0, 0x20, 0x5D, 0x48, peer);
  b.resize(38, 0x00);
  for (size_t i = 0; i < 16; ++i) b.push_back(i < payload.size() ? static_cast<uint8_t>(payload[i]) : 0);
  return b;
}

// A 64-byte accumulator text with its position '.' at `dot` and dot + 11.
std::string accumulator(int dot) {
  std::string a(64, '0');
  for (int i = 0; i < 64; ++i) a[i] = static_cast<char>('A' + i % 26);
  a[dot] = '.';
  a[dot + 11] = '.';
  return a;
}

// The expected report: zero bytes, then the fields where the report table
// puts them.
Bytes report(const std::string& peer_text, const std::string& lat, const std::string& lon, char mode) {
  Bytes r(66, 0);
  r[9] = 0x0A, r[10] = 0x0B, r[11] = 0x0C;
  r[25] = 0x28, r[26] = 0x02, r[27] = 0x95;
  const std::string t = peer_text + "6.6";
  for (size_t i = 0; i <= t.size(); ++i) r[i] = i < t.size() ? static_cast<uint8_t>(t[i]) : 0;
  r[6] = 'Q';
  for (size_t i = 0; i < 9; ++i) {
    r[43 + i] = i < lat.size() ? static_cast<uint8_t>(lat[i]) : 0;
    r[53 + i] = i < lon.size() ? static_cast<uint8_t>(lon[i]) : 0;
  }
  r[62] = '2';
  r[63] = static_cast<uint8_t>(mode);
  return r;
}

class PositionRelay : public MotoReaderFixture {
 protected:
  // Header, a skipped first block, then the accumulator text in blocks of 16.
  std::vector<Bytes> transmission(const std::string& accu, uint32_t peer = moto_in::PEER_ID) {
    std::vector<Bytes> out;
    EXPECT_TRUE(relay(data_header(peer)).empty());
    EXPECT_TRUE(relay(data_block("skipped block...", peer)).empty());
    for (size_t at = 0; at < accu.size(); at += 16) {
      auto r = relay(data_block(accu.substr(at, 16), peer));
      out.insert(out.end(), r.begin(), r.end());
    }
    return out;
  }
};

TEST_F(PositionRelay, FourthBlockOfATransmissionReports) {
  EXPECT_FALSE(ends_pass_early(data_header()));
  EXPECT_TRUE(ends_pass_early(data_block("1111111111111111"))) << "the first block only arms";
  EXPECT_TRUE(relay(data_block("2222222222222222")).empty());
  EXPECT_TRUE(relay(data_block("3333333333333333")).empty());
  auto out = relay(data_block("4444444444444444"));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::string(pos_accu, pos_accu + 48), "222222222222222233333333333333334444444444444444");
  // No '.' anywhere: no line, and the texts are still empty.
  EXPECT_EQ(console.str(), "");
  EXPECT_EQ(out[0], report("3101234", "", "", '0'));
}

TEST_F(PositionRelay, ManualPositionIsDecodedPrintedAndReported) {
  // First '.' at 19, the second at 30: latitude from 14, longitude from 24,
  // speed from 35.
  std::string a = "ABCDEFGHIJKLMN04807.038N011311.00E,012K,";
  a.resize(64, 'x');
  ASSERT_EQ(a.find('.'), 19u);
  auto out = transmission(a.substr(0, 48));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], report("3101234", "04807.038", "011311.00", '1'));
  EXPECT_EQ(console.str(),
            "[2622101]Decoded GPS Manual [19]: LAT(04807.038) LONG(011311.00) SPEED(012) RPT:3101234\r\n");
}

TEST_F(PositionRelay, PayloadControlBytesAreNotPrintedButReported) {
  std::string a = "ABCDEFGHIJKLMN04807.038N011311.00E,012K,";
  a.resize(64, 'x');
  a[15] = '\n', a[25] = '\x1b', a[36] = '\x7f', a[21] = '\xe4';
  auto out = transmission(a.substr(0, 48));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], report("3101234", a.substr(14, 9), a.substr(24, 9), '1'));
  EXPECT_EQ(console.str(),
            "[2622101]Decoded GPS Manual [19]: LAT(0?807.0?8) LONG(0?1311.00) SPEED(0?2) RPT:3101234\r\n");
}

TEST_F(PositionRelay, ModeFollowsTheDotPosition) {
  struct Case {
    int dot;
    const char* text;
    char digit;
  };
  for (const Case& k : {Case{17, "Auto Time+Dist", '4'}, Case{19, "Manual", '1'}, Case{25, "Auto Time", '2'},
                        Case{5, "unknown", '0'}, Case{43, "unknown", '0'}}) {
    console.clear();
    const std::string a = accumulator(k.dot);
    auto out = transmission(a.substr(0, 64));
    ASSERT_EQ(out.size(), 2u) << k.dot;
    const std::string lat = a.substr(k.dot - 5, 9), lon = a.substr(k.dot + 5, 9);
    EXPECT_EQ(out[1], report("3101234", lat, lon, k.digit)) << k.dot;
    const std::string line = "[2622101]Decoded GPS " + std::string(k.text) + " [" + std::to_string(k.dot) + "]: LAT(" +
                             lat + ") LONG(" + lon + ") SPEED(" + a.substr(k.dot + 16, 3) + ") RPT:3101234\r\n";
    // At the first report 48 bytes are stored: a second '.' beyond them is
    // found only by the next one.
    EXPECT_EQ(console.str(), k.dot + 11 < 48 ? line + line : line) << k.dot;
  }
}

TEST_F(PositionRelay, PositionCarriesOverToReportsWithoutOne) {
  const std::string a = accumulator(17);
  transmission(a.substr(0, 48));
  console.clear();
  // A transmission without any '.': the dot position stays 17, but no
  // second '.' there, so the last texts are reported again, silently.
  auto out = transmission(std::string(48, 'Z'));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], report("3101234", a.substr(12, 9), a.substr(22, 9), '4'));
  EXPECT_EQ(console.str(), "");
  EXPECT_EQ(pos_dot, 17);
}

TEST_F(PositionRelay, SixDigitPeerTextCoversTheDestination) {
  auto out = transmission(std::string(48, 'Z'), 123456);
  ASSERT_EQ(out.size(), 1u);
  const Bytes& r = out[0];
  EXPECT_EQ(std::string(r.begin(), r.begin() + 9), "123456Q.6");
  EXPECT_EQ(r[9], 0x00) << "the text's zero byte replaces the first destination byte";
  EXPECT_EQ(r[10], 0x0B);
  EXPECT_EQ(r[11], 0x0C);
  // A peer ID above 2^31 is printed as a signed number.
  out = transmission(std::string(48, 'Z'), 0xFFFFFFFE);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], report("-2", "", "", '0'));
}

TEST_F(PositionRelay, MoreThanSevenBlocksKeepReporting) {
  // Seven blocks after the header fill the 96 bytes (the first is skipped).
  const std::string a = accumulator(25) + std::string(32, '*');
  auto out = transmission(a);
  EXPECT_EQ(out.size(), 4u) << "accumulated 64, 80, 96, 112";
  const std::string before(pos_accu, pos_accu + POS_ACCU_LEN);
  for (int extra = 0; extra < 3; ++extra) {
    out = relay(data_block("................"));
    ASSERT_EQ(out.size(), 1u) << extra;
    EXPECT_EQ(out[0][63], '2');
  }
  EXPECT_EQ(std::string(pos_accu, pos_accu + POS_ACCU_LEN), before) << "payload beyond 96 bytes is dropped";
}

TEST_F(PositionRelay, OtherSlotsTypesAndShortPacketsAreDropped) {
  EXPECT_TRUE(relay(data_header(moto_in::PEER_ID, 0x00)).empty());
  relay(data_header());
  relay(data_block("armed..........."));
  relay(data_block("1111111111111111"));
  relay(data_block("2222222222222222"));
  const int count = pos_accu_len;
  Bytes other = data_block("3333333333333333");
  other[30] = 0x47;
  EXPECT_TRUE(ends_pass_early(other)) << "type 7";
  EXPECT_TRUE(relay(other).empty());
  Bytes slot1 = data_block("3333333333333333");
  slot1[17] = 0x00;
  EXPECT_TRUE(relay(slot1).empty());
  EXPECT_FALSE(ends_pass_early(slot1));

  // Short datagrams, with an earlier block's bytes still behind them in the
  // receive buffer.
  uint8_t rx[224];
  Bytes full = signed_packet(Key, data_block("3333333333333333"));
  std::memcpy(rx, full.data(), full.size());
  EXPECT_FALSE(relay_moto_data(rx, 53));
  EXPECT_FALSE(relay_moto_data(rx, 30));
  Bytes hdr = signed_packet(Key, data_header());
  std::memcpy(rx, hdr.data(), hdr.size());
  EXPECT_FALSE(relay_moto_data(rx, 30));
  EXPECT_TRUE(net.take_sent().empty());
  EXPECT_EQ(pos_accu_len, count);
  EXPECT_EQ(std::string(pos_accu, pos_accu + 32), "11111111111111112222222222222222");

  // Just long enough: read and acted on.
  std::memcpy(rx, full.data(), full.size());
  EXPECT_FALSE(relay_moto_data(rx, 54));
  EXPECT_EQ(net.take_sent().size(), 1u);
  std::memcpy(rx, hdr.data(), hdr.size());
  EXPECT_FALSE(relay_moto_data(rx, 31));
  EXPECT_EQ(pos_accu_len, 0);
}

}  // namespace
