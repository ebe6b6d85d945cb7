// SPDX-License-Identifier: GPL-2.0-or-later
// Placement of voice frames and the centre field in a DMR voice burst.
#include "dmr/burst.h"

#include "dmr/ambe_fec.h"
#include "dmr/bits.h"

namespace {
constexpr unsigned HALF = AMBE_CODED_BITS / 2;  // frame 2 is split around the centre
constexpr unsigned FRAME3_FIRST = 192;
}  // namespace

bool burst_read_voice_frame(const uint8_t* burst, unsigned n, uint8_t* coded) {
  switch (n) {
    case 0:
      read_bits(burst, 0, AMBE_CODED_BITS, coded);
      return true;
    case 1:
      read_bits(burst, AMBE_CODED_BITS, HALF, coded);
      read_bits(burst, DMR_BURST_CENTRE_FIRST + DMR_BURST_CENTRE_BITS, HALF, coded + HALF);
      return true;
    case 2:
      read_bits(burst, FRAME3_FIRST, AMBE_CODED_BITS, coded);
      return true;
    default:
      return false;
  }
}

bool burst_write_voice_frame(uint8_t* burst, unsigned n, const uint8_t* coded) {
  switch (n) {
    case 0:
      write_bits(burst, 0, AMBE_CODED_BITS, coded);
      return true;
    case 1:
      write_bits(burst, AMBE_CODED_BITS, HALF, coded);
      write_bits(burst, DMR_BURST_CENTRE_FIRST + DMR_BURST_CENTRE_BITS, HALF, coded + HALF);
      return true;
    case 2:
      write_bits(burst, FRAME3_FIRST, AMBE_CODED_BITS, coded);
      return true;
    default:
      return false;
  }
}

void burst_read_centre(const uint8_t* burst, uint8_t* centre) {
  read_bits(burst, DMR_BURST_CENTRE_FIRST, DMR_BURST_CENTRE_BITS, centre);
}

void burst_write_centre(uint8_t* burst, const uint8_t* centre) {
  write_bits(burst, DMR_BURST_CENTRE_FIRST, DMR_BURST_CENTRE_BITS, centre);
}

void burst_write_embedded(uint8_t* burst, const uint8_t* fragment) {
  write_bits(burst, DMR_EMBEDDED_FIRST, DMR_EMBEDDED_BITS, fragment);
}
