// SPDX-License-Identifier: GPL-2.0-or-later
// BPTC(196,96) encoder.
#include "dmr/bptc196.h"

#include "dmr/bits.h"

namespace {

constexpr unsigned ROW = 15, DATA_COLUMNS = 11, DATA_ROWS = 9, ROWS = 13;

constexpr unsigned entry(unsigned row, unsigned column) {
  return 1 + ROW * row + column;
}

}  // namespace

void bptc196_encode(const uint8_t* data, uint8_t* bits) {
  uint8_t data_bits[8 * BPTC196_DATA_BYTES];
  unpack_bits(data, BPTC196_DATA_BYTES, data_bits);

  uint8_t m[BPTC196_BITS] = {};
  unsigned n = 0;
  for (unsigned k = 4; k < entry(0, DATA_COLUMNS); ++k) m[k] = data_bits[n++];
  for (unsigned r = 1; r < DATA_ROWS; ++r)
    for (unsigned c = 0; c < DATA_COLUMNS; ++c) m[entry(r, c)] = data_bits[n++];

  for (unsigned r = 0; r < DATA_ROWS; ++r) {
    const uint8_t* d = m + entry(r, 0);
    uint8_t* p = m + entry(r, DATA_COLUMNS);
    p[0] = d[0] ^ d[1] ^ d[2] ^ d[3] ^ d[5] ^ d[7] ^ d[8];
    p[1] = d[1] ^ d[2] ^ d[3] ^ d[4] ^ d[6] ^ d[8] ^ d[9];
    p[2] = d[2] ^ d[3] ^ d[4] ^ d[5] ^ d[7] ^ d[9] ^ d[10];
    p[3] = d[0] ^ d[1] ^ d[2] ^ d[4] ^ d[6] ^ d[7] ^ d[10];
  }
  for (unsigned c = 0; c < ROW; ++c) {
    uint8_t d[DATA_ROWS];
    for (unsigned r = 0; r < DATA_ROWS; ++r) d[r] = m[entry(r, c)];
    m[entry(9, c)] = d[0] ^ d[1] ^ d[3] ^ d[5] ^ d[6];
    m[entry(10, c)] = d[0] ^ d[1] ^ d[2] ^ d[4] ^ d[6] ^ d[7];
    m[entry(11, c)] = d[0] ^ d[1] ^ d[2] ^ d[3] ^ d[5] ^ d[7] ^ d[8];
    m[entry(ROWS - 1, c)] = d[0] ^ d[2] ^ d[4] ^ d[5] ^ d[8];
  }
  for (unsigned k = 0; k < BPTC196_BITS; ++k) bits[(k * 181) % BPTC196_BITS] = m[k];
}
