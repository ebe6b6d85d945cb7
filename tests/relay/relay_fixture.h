// The relay tests' fixture: the test site on fake sockets, the console
// captured, and three voice frames put into DMR bursts and read back with the
// gateway's own AMBE+2 coder and decoder.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/golay.h"
#include "motorola/voice_packet.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/test_site.h"

using Bytes = std::vector<uint8_t>;

// The packets of a call in order: two headers, bursts A to F, terminator.
inline const MotoVoiceKind CALL_KINDS[9] = {MOTO_VOICE_HEADER, MOTO_VOICE_HEADER, MOTO_BURST_A,
                                            MOTO_BURST_B,      MOTO_BURST_C,      MOTO_BURST_D,
                                            MOTO_BURST_E,      MOTO_BURST_F,      MOTO_VOICE_TERMINATOR};

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_Golay_23_12();
    reset_config();
    reset_udp();
    use_test_site();
    for (unsigned k = 0; k < 3; ++k)
      for (unsigned i = 0; i < AMBE_FRAME_BITS; ++i) frames[k][i] = (i * 5 + k * 11) % 7 < 3;
  }

  void put_frames(uint8_t* burst) const {
    for (unsigned k = 0; k < 3; ++k) {
      uint8_t coded[AMBE_CODED_BITS];
      codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, frames[k]);
      burst_write_voice_frame(burst, k, coded);
    }
  }
  // True when the burst decodes to the three frames without a bit error.
  bool frames_intact(const uint8_t* burst) const {
    for (unsigned k = 0; k < 3; ++k) {
      uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], errors_a = 0, errors_b = 0;
      burst_read_voice_frame(burst, k, coded);
      decodiere_AMBEplus2_33(coded, &errors_a, &errors_b, AMBE_MODE_PLAIN, frame);
      if (errors_a || errors_b || std::memcmp(frame, frames[k], AMBE_FRAME_BITS) != 0) return false;
    }
    return true;
  }
  // What was sent, each datagram checked to leave socket `sock` for `to`.
  std::vector<Bytes> take(int sock, const std::string& to) {
    std::vector<Bytes> out;
    for (const FakeDatagram& d : net.take_sent()) {
      EXPECT_EQ(d.ip() + ":" + std::to_string(d.port()) + " from " + std::to_string(d.sock),
                to + " from " + std::to_string(sock));
      out.push_back(d.bytes);
    }
    return out;
  }
  bool said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  uint8_t frames[3][AMBE_FRAME_BITS];
  FakeNet net;
  ConsoleCapture console;
};
