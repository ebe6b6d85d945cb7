#include "relay/burst_recode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "dmr/dmr_console.h"
#include "dmr/embedded_lc.h"
#include "dmr/golay.h"
#include "master_voice.h"
#include "support/console_capture.h"

namespace {

using mvoice::Bytes;
using mvoice::Errors;

class BurstRecode : public ::testing::Test {
 protected:
  void SetUp() override {
    init_Golay_23_12();
    reset_burst_recode();
    previous_print_ = dmr_print;
    dmr_print = console_write;
    std::mt19937 rng(6);
    for (auto& f : frames)
      for (auto& b : f) b = rng() & 1;
    for (auto& b : noise) b = rng() & 1;
    refresh_ts();
  }
  void TearDown() override {
    dmr_print = previous_print_;
    reset_burst_recode();
  }

  // Runs the re-coding of one burst into a fresh packet of `kind`; the
  // buffer beyond the packet is poisoned.
  Bytes recode(MotoVoiceKind kind, const Bytes& burst) {
    Bytes pkt(MOTO_VOICE_MAX_LEN + 4, 0xA5);
    moto_voice_begin(kind, pkt.data());
    recode_burst(kind, burst.data(), pkt.data(), 2);
    return pkt;
  }

  // Centre of template burst letter 1..4 (B..E) with fragment[0..32) as its
  // embedded bits.
  Bytes centre_with(int letter, const uint8_t* fragment) {
    Bytes c = mvoice::template_centre(mvoice::VOICE_NAMES[letter]);
    for (unsigned i = 0; i < 32; ++i) c[8 + i] = fragment[i];
    return c;
  }

  // Bits 416-447 of a packet.
  static Bytes embedded_of(const Bytes& pkt) {
    Bytes e(32);
    for (unsigned i = 0; i < 32; ++i) e[i] = static_cast<uint8_t>(mvoice::get_bit(pkt.data(), 416 + i));
    return e;
  }

  uint8_t frames[3][49];
  uint8_t noise[32];
  const Errors clean[3] = {};
  ConsoleCapture console;

 private:
  void (*previous_print_)(const char*) = nullptr;
};

TEST_F(BurstRecode, FramesKeptOrReplacedByTheirOwnErrorCounts) {
  struct Case {
    Errors e;
    bool replaced;
  };
  const Case cases[] = {
      {{3, 2}, false}, {{2, 3}, true},  {{4, 0}, true}, {{1, 0}, false},
      {{1, 3}, false}, {{0, 3}, false}, {{3, 3}, true}, {{2, 2}, false},
  };
  const Bytes sync = mvoice::template_centre("Voice_hyt1");
  for (unsigned n = 0; n < std::size(cases); ++n) {
    const unsigned k = n % 3;
    SCOPED_TRACE(testing::Message() << "A " << cases[n].e.a << " B " << cases[n].e.b << " in frame " << k);
    Errors errors[3] = {};
    errors[k] = cases[n].e;
    const Bytes pkt = recode(MOTO_BURST_A, mvoice::make_burst(frames, sync.data(), errors));
    const uint8_t* want[3] = {frames[0], frames[1], frames[2]};
    bool bad[3] = {false, false, false};
    if (cases[n].replaced) {
      want[k] = mvoice::substitute();
      bad[k] = true;
    }
    mvoice::MotoWant w;
    const Bytes tail = mvoice::moto_burst(w, 0, want, bad, nullptr, 0);
    EXPECT_EQ(Bytes(pkt.begin() + 33, pkt.begin() + 52), Bytes(tail.begin() + 33, tail.end()));
  }

  // The rule never adds up the frames: A 2 in one frame and B 3 in the next
  // keep both.
  const Errors spread[3] = {{2, 0}, {0, 3}, {1, 3}};
  const Bytes pkt = recode(MOTO_BURST_A, mvoice::make_burst(frames, sync.data(), spread));
  const uint8_t* want[3] = {frames[0], frames[1], frames[2]};
  const bool bad[3] = {};
  const Bytes tail = mvoice::moto_burst(mvoice::MotoWant{}, 0, want, bad, nullptr, 0);
  EXPECT_EQ(Bytes(pkt.begin() + 33, pkt.begin() + 52), Bytes(tail.begin() + 33, tail.end()));
  // Burst A ends at byte 51: nothing is written where its tag goes.
  EXPECT_EQ(Bytes(pkt.begin() + 52, pkt.begin() + 62), Bytes(10, 0));
}

TEST_F(BurstRecode, BitErrorRateLineOnlyForBurstsWithErrors) {
  const Bytes sync = mvoice::template_centre("Voice_hyt1");
  recode(MOTO_BURST_A, mvoice::make_burst(frames, sync.data(), clean));
  EXPECT_EQ(console.str(), "");

  const Errors three[3] = {{0, 0}, {3, 0}, {0, 0}};
  recode(MOTO_BURST_A, mvoice::make_burst(frames, sync.data(), three));
  EXPECT_EQ(console.str(), "BER : 2.127660%\r\n");

  console.clear();
  const Errors spread[3] = {{1, 0}, {0, 1}, {1, 1}};
  recode(MOTO_BURST_A, mvoice::make_burst(frames, sync.data(), spread));
  EXPECT_EQ(console.str(), "BER : 2.836879%\r\n");
}

TEST_F(BurstRecode, InvalidEmbCarriesTheLastGoodEmbeddedBits) {
  uint8_t good[32], later[32];
  for (unsigned i = 0; i < 32; ++i) {
    good[i] = static_cast<uint8_t>(i % 3 == 0);
    later[i] = static_cast<uint8_t>(i % 2);
  }
  // Before any valid EMB: zero embedded bits, the EMB byte as received.
  Bytes broken = centre_with(1, noise);
  broken[4] ^= 1;  // the PI bit: no longer a codeword
  Bytes pkt = recode(MOTO_BURST_B, mvoice::make_burst(frames, broken.data(), clean));
  EXPECT_EQ(embedded_of(pkt), Bytes(32, 0));
  EXPECT_EQ(pkt[56], 0x1A) << "CC 0001, PI 1 as received, LCSS 01";
  EXPECT_EQ(console.str(), "No voice - maybe data.\r\n");

  console.clear();
  Bytes valid = centre_with(1, good);
  pkt = recode(MOTO_BURST_B, mvoice::make_burst(frames, valid.data(), clean));
  EXPECT_EQ(embedded_of(pkt), Bytes(good, good + 32));
  EXPECT_EQ(pkt[56], mvoice::emb_byte_of(valid.data()));
  EXPECT_EQ(pkt[56], 0x12);
  EXPECT_EQ(console.str(), "");

  Bytes bad_c = centre_with(2, later);
  bad_c[47] ^= 1;  // a parity bit: the data bits still read as sent
  pkt = recode(MOTO_BURST_C, mvoice::make_burst(frames, bad_c.data(), clean));
  EXPECT_EQ(embedded_of(pkt), Bytes(good, good + 32));
  EXPECT_EQ(pkt[56], mvoice::emb_byte_of(bad_c.data()));
  EXPECT_EQ(pkt[56], 0x16);
  EXPECT_EQ(console.str(), "No voice - maybe data.\r\n");
}

TEST_F(BurstRecode, IdsShownOncePerCall) {
  const uint8_t control[3] = {0, 0, 0}, dst[3] = {0x00, 0x01, 0x06}, src[3] = {0x28, 0x02, 0x95};
  uint8_t lc[128];
  encode_MultiBlockEmbeddedLC(control, dst, src, lc);
  const MotoVoiceKind kinds[4] = {MOTO_BURST_B, MOTO_BURST_C, MOTO_BURST_D, MOTO_BURST_E};
  auto superframe = [&] {
    for (int n = 0; n < 4; ++n) {
      const Bytes c = centre_with(n + 1, lc + 32 * n);
      const Bytes pkt = recode(kinds[n], mvoice::make_burst(frames, c.data(), clean));
      EXPECT_EQ(embedded_of(pkt), Bytes(lc + 32 * n, lc + 32 * n + 32));
    }
  };
  const std::string ts = current_ts().text;
  const std::string lines =
      ts + " EMB-Hardbits: CC:0001 PI:0 LCSS:10\r\n" + ts + " EMB-Decode Slot:2 DestID:262 SrcID:2622101\r\n";
  superframe();
  EXPECT_EQ(console.str(), lines);
  EXPECT_EQ(idshown, 1);
  EXPECT_EQ(Bytes(DestAddr, DestAddr + 3), Bytes(dst, dst + 3));
  EXPECT_EQ(Bytes(SrcAddr, SrcAddr + 3), Bytes(src, src + 3));
  console.clear();
  superframe();
  EXPECT_EQ(console.str(), "") << "the link control keeps coming; the IDs are shown once";
  idshown = 0;  // the next call starts
  superframe();
  EXPECT_EQ(console.str(), lines);
}

TEST_F(BurstRecode, BurstFKeepsItsFixedTailAndFeedsNothing) {
  uint8_t fragment[32];
  for (unsigned i = 0; i < 32; ++i) fragment[i] = static_cast<uint8_t>(1 - i % 2);
  // A centre with a valid EMB and embedded bits, in burst F.
  const Bytes c = centre_with(1, fragment);
  Bytes pkt = recode(MOTO_BURST_F, mvoice::make_burst(frames, c.data(), clean));
  EXPECT_EQ(Bytes(pkt.begin() + 52, pkt.begin() + 57), (Bytes{0x00, 0x00, 0x00, 0x00, 0x10}));
  EXPECT_EQ(console.str(), "");
  // Burst F's centre did not become the carried-over fragment.
  Bytes broken = centre_with(2, noise);
  broken[0] ^= 1;
  pkt = recode(MOTO_BURST_C, mvoice::make_burst(frames, broken.data(), clean));
  EXPECT_EQ(embedded_of(pkt), Bytes(32, 0));
}

}  // namespace
