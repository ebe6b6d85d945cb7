// SPDX-License-Identifier: GPL-2.0-or-later
// Embedded link control: encoder, collector and decoder.
#include "dmr/embedded_lc.h"

#include <cstdio>
#include <cstring>

#include "dmr/bits.h"
#include "dmr/dmr_console.h"

uint8_t rawLC[EMBEDDED_LC_BITS];
int32_t currentState = -1;

namespace {

constexpr unsigned ROWS = 8, COLUMNS = 16;
constexpr unsigned DATA_ROWS = 7;  // rows carrying LC, checksum and Hamming parity
constexpr unsigned CHECKSUM_FIRST_ROW = 2;

// Matrix entry of each transmitted bit: the index steps 16 down a column and
// wraps to the top of the next column (16*7 + c + 16 - 127 = c + 1).
struct TransmissionOrder {
  uint8_t entry[EMBEDDED_LC_BITS];
  constexpr TransmissionOrder() : entry() {
    unsigned j = 0;
    for (unsigned i = 0; i < EMBEDDED_LC_BITS; ++i) {
      entry[i] = static_cast<uint8_t>(j);
      j += 16;
      if (j > 127) j -= 127;
    }
  }
};
constexpr TransmissionOrder ORDER{};
static_assert(ORDER.entry[1] == 16 && ORDER.entry[8] == 1 && ORDER.entry[127] == 127);

// Matrix entry of LC bit k: 11 per row in rows 0-1, 10 per row in rows 2-6.
constexpr unsigned lc_entry(unsigned k) {
  return k < 22 ? 16 * (k / 11) + k % 11 : 16 * (2 + (k - 22) / 10) + (k - 22) % 10;
}
static_assert(lc_entry(21) == 26 && lc_entry(22) == 32 && lc_entry(71) == 105);

inline uint8_t b(uint8_t entry) {
  return bit_is_set(entry) ? 1 : 0;
}

}  // namespace

void reset_embedded_lc_collector() {
  std::memset(rawLC, 0, sizeof rawLC);
  currentState = -1;
}

void hamming16114encode(const uint8_t* data, uint8_t* parity) {
  uint8_t d[11];
  for (unsigned i = 0; i < 11; ++i) d[i] = b(data[i]);
  parity[0] = d[0] ^ d[1] ^ d[2] ^ d[3] ^ d[5] ^ d[7] ^ d[8];
  parity[1] = d[1] ^ d[2] ^ d[3] ^ d[4] ^ d[6] ^ d[8] ^ d[9];
  parity[2] = d[2] ^ d[3] ^ d[4] ^ d[5] ^ d[7] ^ d[9] ^ d[10];
  parity[3] = d[0] ^ d[1] ^ d[2] ^ d[4] ^ d[6] ^ d[7] ^ d[10];
  parity[4] = d[0] ^ d[2] ^ d[5] ^ d[6] ^ d[8] ^ d[9] ^ d[10];
}

int hamming16114(const uint8_t* row) {
  uint8_t p[5];
  hamming16114encode(row, p);
  for (unsigned i = 0; i < 5; ++i)
    if (p[i] != b(row[11 + i])) return 0;
  return 1;
}

int crcFiveBit(const uint8_t* bits) {
  unsigned sum = 0;
  for (unsigned k = 0; k < LC_BITS / 8; ++k) sum += bits_to_uint(bits + 8 * k, 8);
  return static_cast<int>(sum % 31);
}

void encode_MultiBlockEmbeddedLC(const uint8_t* control, const uint8_t* destination, const uint8_t* source,
                                 uint8_t* out) {
  uint8_t lc[LC_BITS];
  unpack_bits(control, LC_FIELD_BYTES, lc);
  unpack_bits(destination, LC_FIELD_BYTES, lc + 24);
  unpack_bits(source, LC_FIELD_BYTES, lc + 48);

  uint8_t m[ROWS * COLUMNS] = {};
  for (unsigned k = 0; k < LC_BITS; ++k) m[lc_entry(k)] = lc[k];

  const unsigned checksum = static_cast<unsigned>(crcFiveBit(lc));
  for (unsigned r = CHECKSUM_FIRST_ROW; r < DATA_ROWS; ++r) m[16 * r + 10] = (checksum >> (DATA_ROWS - 1 - r)) & 1;

  for (unsigned r = 0; r < DATA_ROWS; ++r) hamming16114encode(m + 16 * r, m + 16 * r + 11);

  for (unsigned c = 0; c < COLUMNS; ++c) {
    uint8_t x = 0;
    for (unsigned r = 0; r < DATA_ROWS; ++r) x ^= m[16 * r + c];
    m[16 * DATA_ROWS + c] = x;
  }

  for (unsigned i = 0; i < EMBEDDED_LC_BITS; ++i) out[i] = m[ORDER.entry[i]];
}

int decode_MultiBlockEmbeddedLC(uint8_t* control, uint8_t* destination, uint8_t* source) {
  uint8_t m[ROWS * COLUMNS];
  for (unsigned i = 0; i < EMBEDDED_LC_BITS; ++i) m[ORDER.entry[i]] = b(rawLC[i]);

  // Row 0: a failure may be the protect flag alone; retry with it cleared.
  uint8_t row[COLUMNS];
  std::memcpy(row, m, COLUMNS);
  if (!hamming16114(row)) {
    row[0] = 0;
    m[0] = 0;
    if (!hamming16114(row)) dmr_printf(" -> Hamming1 %d failed\r\n", 0);
  }
  for (unsigned r = 1; r < DATA_ROWS; ++r) {
    std::memcpy(row, m + 16 * r, COLUMNS);
    if (!hamming16114(row)) dmr_printf(" -> Hamming %d failed\r\n", static_cast<int>(16 * r));
  }

  uint8_t lc[LC_BITS];
  for (unsigned k = 0; k < LC_BITS; ++k) lc[k] = m[lc_entry(k)];
  int received = 0;
  for (unsigned r = CHECKSUM_FIRST_ROW; r < DATA_ROWS; ++r) received = (received << 1) | m[16 * r + 10];

  if (crcFiveBit(lc) != received) {
    dmr_print("5bit-CRC failed\r\n");
    return 0;
  }
  pack_bits(lc, 24, control);
  pack_bits(lc + 24, 24, destination);
  pack_bits(lc + 48, 24, source);
  return 1;
}

int addData(const uint8_t* fragment, int lcss, uint8_t* control, uint8_t* destination, uint8_t* source) {
  // Only the sequence 1, 3, 3, 2 completes a set. The state is compared,
  // never used as an index, so any value of it or of lcss is harmless.
  if (lcss == LCSS_FIRST) {
    std::memcpy(rawLC, fragment, EMBEDDED_FRAGMENT_BITS);
    currentState = 1;
  } else if (lcss == LCSS_CONTINUATION && currentState == 1) {
    std::memcpy(rawLC + 32, fragment, EMBEDDED_FRAGMENT_BITS);
    currentState = 2;
  } else if (lcss == LCSS_CONTINUATION && currentState == 2) {
    std::memcpy(rawLC + 64, fragment, EMBEDDED_FRAGMENT_BITS);
    currentState = 3;
  } else if (lcss == LCSS_LAST && currentState == 3) {
    std::memcpy(rawLC + 96, fragment, EMBEDDED_FRAGMENT_BITS);
    currentState = 0;
    if (decode_MultiBlockEmbeddedLC(control, destination, source)) return 1;
    dmr_print("Bad Embedded Multi Block LC\r\n");
    return 0;
  } else if (lcss == LCSS_SINGLE) {
    processSingleBlockEmbeddedLC(fragment);
  }
  return 2;
}

void processSingleBlockEmbeddedLC(const uint8_t* fragment) {
  bool any = false;
  for (unsigned i = 0; i < EMBEDDED_FRAGMENT_BITS; ++i) any |= fragment[i] != 0;
  if (!any) return;

  // "Single Data: " + up to 3 digits per entry + "\r\n".
  char line[16 + 3 * EMBEDDED_FRAGMENT_BITS + 3];
  size_t n = static_cast<size_t>(std::snprintf(line, sizeof line, "Single Data: "));
  for (unsigned i = 0; i < EMBEDDED_FRAGMENT_BITS; ++i)
    n += static_cast<size_t>(std::snprintf(line + n, sizeof line - n, "%d", fragment[i]));
  std::snprintf(line + n, sizeof line - n, "\r\n");
  dmr_print(line);
}
