// Checks of DMR data bursts written independently of the gateway's coders:
// GF(256) by exponent and logarithm tables, the RS(12,9) codeword tested by
// its syndromes, and a BPTC(196,96) decoder that corrects one error per row.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace dmr_ref {

struct Gf256 {
  uint8_t exp[512];
  uint8_t log[256];
  Gf256() {
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
      exp[i] = exp[i + 255] = static_cast<uint8_t>(x);
      log[x] = static_cast<uint8_t>(i);
      x <<= 1;
      if (x & 0x100) x ^= 0x11D;
    }
    exp[510] = exp[511] = 0;
    log[0] = 0;
  }
  uint8_t mul(uint8_t a, uint8_t b) const { return a && b ? exp[log[a] + log[b]] : 0; }
};

inline const Gf256& gf() {
  static const Gf256 g;
  return g;
}

// The value at x = 2^i of the polynomial whose coefficients are the twelve
// bytes, byte 0 the highest. All three vanish for an RS(12,9) codeword.
inline std::array<uint8_t, 3> rs129_syndromes(const uint8_t* cw) {
  std::array<uint8_t, 3> s{};
  for (unsigned i = 1; i <= 3; ++i) {
    const uint8_t x = gf().exp[i];
    uint8_t acc = 0;
    for (unsigned k = 0; k < 12; ++k) acc = static_cast<uint8_t>(gf().mul(acc, x) ^ cw[k]);
    s[i - 1] = acc;
  }
  return s;
}

// True when lc[0..9) followed by check[0..3) XOR mask is an RS(12,9) codeword.
inline bool rs129_valid(const uint8_t* lc, const uint8_t* check, uint8_t mask) {
  uint8_t cw[12];
  for (unsigned i = 0; i < 9; ++i) cw[i] = lc[i];
  for (unsigned i = 0; i < 3; ++i) cw[9 + i] = check[i] ^ mask;
  return rs129_syndromes(cw) == std::array<uint8_t, 3>{0, 0, 0};
}

// Parity-check sets: the data positions that each parity bit covers.
inline const std::vector<std::vector<unsigned>>& row_checks() {  // Hamming(15,11,3)
  static const std::vector<std::vector<unsigned>> c = {
      {0, 1, 2, 3, 5, 7, 8}, {1, 2, 3, 4, 6, 8, 9}, {2, 3, 4, 5, 7, 9, 10}, {0, 1, 2, 4, 6, 7, 10}};
  return c;
}
inline const std::vector<std::vector<unsigned>>& column_checks() {  // Hamming(13,9,3)
  static const std::vector<std::vector<unsigned>> c = {
      {0, 1, 3, 5, 6}, {0, 1, 2, 4, 6, 7}, {0, 1, 2, 3, 5, 7, 8}, {0, 2, 4, 5, 8}};
  return c;
}

// Syndrome of a codeword of n data entries followed by its parity entries.
inline unsigned syndrome(const std::vector<uint8_t>& word, const std::vector<std::vector<unsigned>>& checks,
                         unsigned data_len) {
  unsigned s = 0;
  for (unsigned p = 0; p < checks.size(); ++p) {
    uint8_t v = word[data_len + p];
    for (unsigned d : checks[p]) v ^= word[d];
    s |= static_cast<unsigned>(v & 1) << p;
  }
  return s;
}

// Flips the one entry that clears the syndrome; false if none does.
inline bool correct_single(std::vector<uint8_t>& word, const std::vector<std::vector<unsigned>>& checks,
                           unsigned data_len) {
  if (!syndrome(word, checks, data_len)) return true;
  for (unsigned i = 0; i < word.size(); ++i) {
    word[i] ^= 1;
    if (!syndrome(word, checks, data_len)) return true;
    word[i] ^= 1;
  }
  return false;
}

struct BptcResult {
  bool ok = false;         // every row and column checks (after correction)
  unsigned corrected = 0;  // entries flipped
  std::array<uint8_t, 12> data{};
};

// bits: the 196 bits as sent (bit i is matrix entry k with i = 181k mod 196).
inline BptcResult bptc196_decode(const uint8_t* bits) {
  uint8_t m[196];
  for (unsigned k = 0; k < 196; ++k) m[k] = bits[(k * 181) % 196] & 1;
  auto at = [&](unsigned r, unsigned c) -> uint8_t& { return m[1 + 15 * r + c]; };
  BptcResult res;
  res.ok = true;
  for (unsigned r = 0; r < 9; ++r) {
    std::vector<uint8_t> w(15);
    for (unsigned c = 0; c < 15; ++c) w[c] = at(r, c);
    std::vector<uint8_t> before = w;
    if (!correct_single(w, row_checks(), 11)) res.ok = false;
    for (unsigned c = 0; c < 15; ++c) {
      res.corrected += w[c] != before[c];
      at(r, c) = w[c];
    }
  }
  for (unsigned c = 0; c < 15; ++c) {
    std::vector<uint8_t> w(13);
    for (unsigned r = 0; r < 13; ++r) w[r] = at(r, c);
    if (syndrome(w, column_checks(), 9)) res.ok = false;
  }
  if (m[0] || m[1] || m[2] || m[3]) res.ok = false;
  std::vector<uint8_t> data;
  for (unsigned k = 4; k < 12; ++k) data.push_back(m[k]);
  for (unsigned r = 1; r < 9; ++r)
    for (unsigned c = 0; c < 11; ++c) data.push_back(at(r, c));
  for (unsigned i = 0; i < 96; ++i) res.data[i / 8] |= static_cast<uint8_t>(data[i] << (7 - i % 8));
  return res;
}

}  // namespace dmr_ref
