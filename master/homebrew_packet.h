// SPDX-License-Identifier: GPL-2.0-or-later
// HomeBrew (MMDVM flavour) datagrams between the gateway, a repeater to the
// master, and a HomeBrew master: one UDP datagram per message, each opened by
// an ASCII tag; integers big-endian; `id` is our 4-byte repeater ID.
//
//   ours                               the master's
//   RPTL    id                  8      RPTACK  salt[4]            10  (answer to RPTL)
//   RPTK    id sha256[32]      40      RPTACK  id                 10  (answer to RPTK, RPTC, RPTO)
//   RPTC    id config[294]    302      MSTPONG id                 11
//   RPTO    id text          8+n       MSTNAK  id                 10
//   RPTPING id                 11      MSTCL   id                  9
//   RPTCL   id                  9      RPTSBKN ...                7+  (beacon request: ignored)
//   DMRD    (below)            55      DMRD    (below)        55, 53
//
// RPTK's digest is SHA-256 over the salt as received and the passphrase
// bytes, sent raw.  RPTC holds fixed-width ASCII fields, texts space-padded
// and numbers zero-padded:
//    4 id | 8 call sign 8 | 16 RX Hz 9 | 25 TX Hz 9 | 34 power 2 | 36 colour code 2
//   38 latitude 8 (%+08.4f) | 46 longitude 9 (%+09.4f) | 55 height m 3
//   58 location 20 | 78 description 19 | 97 slots 1 | 98 URL 124
//  222 software ID 40 | 262 package ID 40
//
// DMRD:
//    0 "DMRD" | 4 sequence | 5 source 3 | 8 destination 3 | 11 repeater ID 4
//   15 flags: 0x80 slot 2, 0x40 private call, 0x30 frame type (0 voice B-F,
//      1 voice sync = burst A, 2 data sync), 0x0F data type (data sync) or
//      voice sequence 1..5 (B..F)
//   16 stream ID 4 | 20 DMR burst 33 | 53 BER | 54 RSSI
//
// Pure functions over the caller's fixed buffers; no allocation, no state.
// Any thread may use them.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t HB_RPTL_LEN = 8, HB_RPTK_LEN = 40, HB_RPTC_LEN = 302, HB_RPTPING_LEN = 11, HB_RPTCL_LEN = 9;
inline constexpr size_t HB_RPTACK_LEN = 10, HB_MSTPONG_LEN = 11, HB_MSTNAK_LEN = 10, HB_MSTCL_LEN = 9;
inline constexpr size_t HB_RPTSBKN_MIN_LEN = 7;
inline constexpr size_t HB_DMRD_LEN = 55, HB_DMRD_SHORT_LEN = 53;  // the short form lacks BER and RSSI
inline constexpr size_t HB_BURST_OFFSET = 20, HB_BURST_LEN = 33;
inline constexpr size_t HB_OPTIONS_MAX = 255;  // RPTO text
inline constexpr size_t HB_RPTO_MAX_LEN = 8 + HB_OPTIONS_MAX;
inline constexpr size_t HB_DIGEST_LEN = 32;

// Widths of the RPTC texts.
inline constexpr size_t HB_CALL_WIDTH = 8, HB_LOCATION_WIDTH = 20, HB_DESCRIPTION_WIDTH = 19, HB_URL_WIDTH = 124,
                        HB_SOFTWARE_WIDTH = 40, HB_PACKAGE_WIDTH = 40;
inline constexpr int64_t HB_FREQ_MAX_HZ = 999999999;

// ---- ours --------------------------------------------------------------------

void hb_rptl(uint32_t id, uint8_t out[HB_RPTL_LEN]);
// The digest over salt[0..4) and pass[0..pass_len), then the 40 bytes.
void hb_rptk(uint32_t id, const uint8_t salt[4], const char* pass, size_t pass_len, uint8_t out[HB_RPTK_LEN]);
void hb_rptping(uint32_t id, uint8_t out[HB_RPTPING_LEN]);
void hb_rptcl(uint32_t id, uint8_t out[HB_RPTCL_LEN]);
// RPTO with the options text; its length (8 + len), or 0 when len exceeds
// HB_OPTIONS_MAX or cap.
size_t hb_rpto(uint32_t id, const char* options, size_t len, uint8_t* out, size_t cap);

// Every field of the configuration.  Texts are NUL-terminated; null counts
// as blank.
struct HbConfig {
  const char* callsign;
  uint32_t id;
  int64_t rx_hz, tx_hz;  // 0..999999999
  int power;             // 0..99
  int colour_code;       // 0..15
  double latitude;       // -90..90
  double longitude;      // -180..180
  int height;            // metres, 0..999
  const char* location;
  const char* description;
  char slots;  // '0'..'4'; '2' for time slot 2 of a duplex repeater
  const char* url;
  const char* software;
  const char* package;
};
// The 302 bytes of RPTC; false (out unspecified) when a field does not fit
// its width or range.
bool hb_rptc(const HbConfig& c, uint8_t out[HB_RPTC_LEN]);

// ---- the master's --------------------------------------------------------------

enum HbKind : uint8_t {
  HB_UNKNOWN = 0,  // no tag we know: ignored
  HB_MALFORMED,    // a known tag with a length it never has
  HB_WRONG_ID,     // a known tag for another repeater ID
  HB_SALT,         // RPTACK answering RPTL: salt
  HB_ACK,          // RPTACK answering RPTK, RPTC or RPTO
  HB_PONG,         // MSTPONG
  HB_NAK,          // MSTNAK
  HB_CLOSE,        // MSTCL
  HB_BEACON,       // RPTSBKN
  HB_DMRD,         // a DMRD that parses (hb_dmrd_parse)
};
const char* hb_kind_name(HbKind k);  // "RPTACK (salt)", "MSTPONG", ...

struct HbMsg {
  HbKind kind;
  uint32_t id;      // HB_ACK, HB_PONG, HB_NAK, HB_CLOSE, HB_WRONG_ID: the ID it carries
  uint8_t salt[4];  // HB_SALT
};
// Sorts one datagram of the master by its tag, the longest known tag that
// opens it.  RPTACK carries the salt when salt_expected (we sent RPTL and
// wait for its answer), else our ID.  Lengths must be exact (DMRD: 55 or 53).
HbKind hb_classify(const uint8_t* in, size_t n, uint32_t my_id, bool salt_expected, HbMsg* out);

// ---- DMRD --------------------------------------------------------------------

enum HbFrameType : uint8_t { HB_FT_VOICE = 0, HB_FT_VOICE_SYNC = 1, HB_FT_DATA_SYNC = 2 };
// Data types of a data-sync burst.
inline constexpr uint8_t HB_DT_VOICE_HEADER = 1, HB_DT_TERMINATOR = 2, HB_DT_CSBK = 3, HB_DT_DATA_HEADER = 6;

struct HbDmrd {
  uint8_t seq;
  uint32_t src, dst;  // 24 bits each
  uint32_t repeater;
  uint8_t slot;  // 1 or 2
  bool private_call;
  HbFrameType frame_type;
  uint8_t dtype;  // data type (data sync), voice sequence 1..5 (voice), 0 (voice sync)
  uint32_t stream;
  uint8_t ber, rssi;  // 0 when the datagram had only 53 bytes
};

// The flag byte of a slot (2 sets bit 7, anything else is slot 1), a call
// type, a frame type and a data type or voice sequence (masked to 4 bits).
uint8_t hb_flags(uint8_t slot, bool private_call, HbFrameType ft, uint8_t dtype);
// Decodes the flag byte into d (slot, call type, frame type, dtype); false for
// frame type 3 or a voice burst whose sequence is not 1..5.
bool hb_flags_decode(uint8_t flags, HbDmrd* d);

// The 55 bytes; false when the slot is not 1 or 2, the frame type unknown, the
// data type above 15, or a voice sequence not 1..5.
bool hb_dmrd_build(const HbDmrd& d, const uint8_t burst[HB_BURST_LEN], uint8_t out[HB_DMRD_LEN]);
// Reads a DMRD of 55 or 53 bytes; the burst stays at in + HB_BURST_OFFSET.
bool hb_dmrd_parse(const uint8_t* in, size_t n, HbDmrd* d);
