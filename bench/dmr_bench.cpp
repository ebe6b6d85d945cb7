// SPDX-License-Identifier: GPL-2.0-or-later
// Throughput of the air-interface codings on one core: voice frame FEC in
// both directions, EMB validation, embedded LC encoding and the collection
// and decoding of a full four-fragment LC.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "dmr/ambe_fec.h"
#include "dmr/emb.h"
#include "dmr/embedded_lc.h"
#include "dmr/golay.h"

namespace {

constexpr unsigned FRAMES = 64;  // a rotating set, so no single input is favoured

struct Frames {
  uint8_t frame[FRAMES][AMBE_FRAME_BITS];
  uint8_t coded[FRAMES][AMBE_CODED_BITS];
  uint8_t damaged[FRAMES][AMBE_CODED_BITS];  // 3 flipped bits: 2 in A, 1 in B
  Frames() {
    init_Golay_23_12();
    std::mt19937 rng(1);
    for (unsigned n = 0; n < FRAMES; ++n) {
      for (uint8_t& b : frame[n]) b = rng() & 1;
      codiere_AMBEplus2_33(coded[n], AMBE_MODE_PLAIN, frame[n]);
      std::memcpy(damaged[n], coded[n], AMBE_CODED_BITS);
      damaged[n][0] ^= 1;   // A bit 23
      damaged[n][9] ^= 1;   // A bit 5
      damaged[n][30] ^= 1;  // B bit 21
    }
  }
};
const Frames& frames() {
  static const Frames f;
  return f;
}

void BM_FrameEncode(benchmark::State& state) {
  const Frames& f = frames();
  uint8_t coded[AMBE_CODED_BITS];
  unsigned n = 0;
  for (auto _ : state) {
    codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, f.frame[n++ % FRAMES]);
    benchmark::DoNotOptimize(coded);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameEncode);

void frame_decode(benchmark::State& state, const uint8_t (*source)[AMBE_CODED_BITS]) {
  uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], ea, eb;
  unsigned n = 0;
  for (auto _ : state) {
    // The decoder corrects in place, so each pass works on a fresh copy
    // (as the relay does: it unpacks each frame from the burst first).
    std::memcpy(coded, source[n++ % FRAMES], AMBE_CODED_BITS);
    decodiere_AMBEplus2_33(coded, &ea, &eb, AMBE_MODE_PLAIN, frame);
    benchmark::DoNotOptimize(frame);
    benchmark::DoNotOptimize(ea);
    benchmark::DoNotOptimize(eb);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_FrameDecodeClean(benchmark::State& state) {
  frame_decode(state, frames().coded);
}
void BM_FrameDecode3Errors(benchmark::State& state) {
  frame_decode(state, frames().damaged);
}
BENCHMARK(BM_FrameDecodeClean);
BENCHMARK(BM_FrameDecode3Errors);

void BM_EmbDecode(benchmark::State& state) {
  // Valid EMBs of colour code 1 with each LCSS, plus one invalid.
  uint8_t centre[5][48] = {};
  const uint16_t values[4] = {0x1391, 0x1774, 0x1507, 0x11E2};
  for (unsigned n = 0; n < 4; ++n)
    for (unsigned i = 0; i < 8; ++i) {
      centre[n][i] = (values[n] >> (15 - i)) & 1;
      centre[n][40 + i] = (values[n] >> (7 - i)) & 1;
    }
  uint8_t emb[16];
  unsigned n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(EMBdecode(centre[n++ & 3], emb));
    benchmark::DoNotOptimize(emb);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EmbDecode);

void BM_EmbeddedLcEncode(benchmark::State& state) {
  uint8_t control[3] = {0, 0, 0}, destination[3] = {0, 0, 9}, source[3] = {0x12, 0x34, 0x56};
  uint8_t out[EMBEDDED_LC_BITS];
  for (auto _ : state) {
    encode_MultiBlockEmbeddedLC(control, destination, source, out);
    benchmark::DoNotOptimize(out);
    ++source[2];  // a new source ID each time
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EmbeddedLcEncode);

void BM_EmbeddedLcCollectAndDecode(benchmark::State& state) {
  const uint8_t control[3] = {0, 0, 0}, destination[3] = {0, 0, 9}, source[3] = {0x12, 0x34, 0x56};
  uint8_t bits[EMBEDDED_LC_BITS], c[3], d[3], s[3];
  encode_MultiBlockEmbeddedLC(control, destination, source, bits);
  reset_embedded_lc_collector();
  for (auto _ : state) {
    addData(bits, LCSS_FIRST, c, d, s);
    addData(bits + 32, LCSS_CONTINUATION, c, d, s);
    addData(bits + 64, LCSS_CONTINUATION, c, d, s);
    benchmark::DoNotOptimize(addData(bits + 96, LCSS_LAST, c, d, s));
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EmbeddedLcCollectAndDecode);

}  // namespace

BENCHMARK_MAIN();
