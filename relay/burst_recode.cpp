// SPDX-License-Identifier: GPL-2.0-or-later
// Burst re-coding toward the Motorola link.
#include "relay/burst_recode.h"

#include <cstring>

#include "core/console.h"
#include "dmr/ambe_fec.h"
#include "dmr/embedded_lc.h"

uint8_t EMBdata32[DMR_EMBEDDED_BITS];
uint8_t EMB_bits[EMB_BITS];
uint8_t DestAddr[3];
uint8_t SrcAddr[3];
int idshown = 0;

void reset_burst_recode() {
  std::memset(EMBdata32, 0, sizeof EMBdata32);
  std::memset(EMB_bits, 0, sizeof EMB_bits);
  std::memset(DestAddr, 0, sizeof DestAddr);
  std::memset(SrcAddr, 0, sizeof SrcAddr);
  idshown = 0;
  reset_embedded_lc_collector();
}

namespace {

uint32_t id24(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 16 | b[1] << 8 | b[2];
}

// EMB and embedded signalling of bursts B to E.
void carry_embedded(MotoVoiceKind kind, const uint8_t* burst, uint8_t* pkt, int slot) {
  uint8_t centre[DMR_BURST_CENTRE_BITS];
  burst_read_centre(burst, centre);
  const int lcss = EMBdecode(centre, EMB_bits);
  if (lcss >= 0) {
    std::memcpy(EMBdata32, centre + 8, DMR_EMBEDDED_BITS);
    uint8_t control[3], dest[3], src[3];
    if (addData(EMBdata32, lcss, control, dest, src) == 1) {
      std::memcpy(DestAddr, dest, 3);
      std::memcpy(SrcAddr, src, 3);
      if (idshown == 0) {
        const TimeStamp ts = current_ts();
        console_printf("%s EMB-Hardbits: CC:%d%d%d%d PI:%d LCSS:%d%d\r\n", ts.text, EMB_bits[0], EMB_bits[1],
                       EMB_bits[2], EMB_bits[3], EMB_bits[4], EMB_bits[5], EMB_bits[6]);
        console_printf("%s EMB-Decode Slot:%d DestID:%d SrcID:%d\r\n", ts.text, slot, static_cast<int>(id24(DestAddr)),
                       static_cast<int>(id24(SrcAddr)));
        idshown = 1;
      }
    }
  }
  // An invalid EMB goes out as received, with the embedded bits of the
  // latest burst whose EMB was valid.
  moto_write_embedded(pkt, EMBdata32);
  moto_write_emb_byte(pkt, kind, EMB_bits);
}

}  // namespace

RecodeFigures recode_burst(MotoVoiceKind kind, const uint8_t* burst, uint8_t* pkt, int slot) {
  // Burst A has no EMB, burst F keeps its template's (no embedded bits, 0x10).
  if (kind >= MOTO_BURST_B && kind <= MOTO_BURST_E) carry_embedded(kind, burst, pkt, slot);

  int Gesamtfehler = 0;
  uint32_t replaced = 0;
  for (unsigned k = 0; k < MOTO_FRAME_SLOTS; ++k) {
    uint8_t coded[AMBE_CODED_BITS];
    uint8_t frame[AMBE_FRAME_BITS] = {};
    uint8_t Fehleranzahl_in_A = 0, Fehleranzahl_in_B = 0;
    burst_read_voice_frame(burst, k, coded);
    decodiere_AMBEplus2_33(coded, &Fehleranzahl_in_A, &Fehleranzahl_in_B, AMBE_MODE_PLAIN, frame);
    Gesamtfehler += Fehleranzahl_in_A + Fehleranzahl_in_B;
    const bool bad = frame_too_bad(Fehleranzahl_in_A, Fehleranzahl_in_B);
    replaced += bad;
    // Also clears the two bits after the last slot.
    moto_write_frame(pkt, k, bad ? MOTO_FRAME_SUBSTITUTE : frame, bad);
  }
  if (Gesamtfehler > 0) console_printf("BER : %f%%\r\n", Gesamtfehler * 100.0 / BER_BITS);
  return {static_cast<uint32_t>(Gesamtfehler), replaced};
}
