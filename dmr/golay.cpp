// SPDX-License-Identifier: GPL-2.0-or-later
// Golay(23,12) syndrome and error-pattern table.
#include "dmr/golay.h"

uint32_t Fehlermuster_Golay_23_12[GOLAY_23_12_SYNDROMES];

void Syndromberechnung(uint32_t word, uint16_t* syndrome) {
  *syndrome = golay_23_12_syndrome(word);
}

namespace {

void enter_pattern(uint32_t pattern) {
  uint16_t s;
  Syndromberechnung(pattern, &s);
  Fehlermuster_Golay_23_12[s] = pattern;
}

}  // namespace

void init_Golay_23_12() {
  // All 1 + 23 + 253 + 1771 = 2048 patterns of weight 0 to 3; as the code is
  // perfect each lands on its own entry.
  Fehlermuster_Golay_23_12[0] = 0;
  for (unsigned i = 0; i < 23; ++i) enter_pattern(1u << i);
  for (unsigned i = 0; i < 22; ++i)
    for (unsigned j = i + 1; j < 23; ++j) enter_pattern((1u << i) | (1u << j));
  for (unsigned i = 0; i < 21; ++i)
    for (unsigned j = i + 1; j < 22; ++j)
      for (unsigned k = j + 1; k < 23; ++k) enter_pattern((1u << i) | (1u << j) | (1u << k));
}
