// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/homebrew_packet.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <cstring>

namespace {

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
void put_be24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
uint32_t be24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}

// tag (no terminator) then id.
void tag_id(const char* tag, uint32_t id, uint8_t* out) {
  const size_t n = strlen(tag);
  memcpy(out, tag, n);
  put_be32(out + n, id);
}

// s left-aligned in width bytes, space-padded; false when longer or not
// printable ASCII.
bool put_text(uint8_t* out, size_t width, const char* s) {
  const size_t n = s == nullptr ? 0 : strlen(s);
  if (n > width) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c > 0x7E) return false;
  }
  if (n) memcpy(out, s, n);
  memset(out + n, ' ', width - n);
  return true;
}

// A number printed into exactly `width` bytes, or false.
template <typename T>
bool put_number(uint8_t* out, size_t width, const char* fmt, T v) {
  char tmp[32];
  const int n = snprintf(tmp, sizeof tmp, fmt, v);
  if (n != static_cast<int>(width)) return false;
  memcpy(out, tmp, width);
  return true;
}

struct Tag {
  const char* text;
  size_t len;
  HbKind kind;  // the kind of a well-formed datagram with this tag
};
// Longest first, so a tag that opens another never takes its datagrams.
constexpr Tag kTags[] = {
    {"MSTPONG", 7, HB_PONG}, {"RPTSBKN", 7, HB_BEACON}, {"RPTACK", 6, HB_ACK},
    {"MSTNAK", 6, HB_NAK},   {"MSTCL", 5, HB_CLOSE},    {"DMRD", 4, HB_DMRD},
};

}  // namespace

void hb_rptl(uint32_t id, uint8_t out[HB_RPTL_LEN]) {
  tag_id("RPTL", id, out);
}

void hb_rptk(uint32_t id, const uint8_t salt[4], const char* pass, size_t pass_len, uint8_t out[HB_RPTK_LEN]) {
  tag_id("RPTK", id, out);
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, 4, salt);
  sha256_update(&ctx, pass_len, reinterpret_cast<const uint8_t*>(pass));
  sha256_digest(&ctx, HB_DIGEST_LEN, out + 8);
  explicit_bzero(&ctx, sizeof ctx);  // it held the passphrase
}

void hb_rptping(uint32_t id, uint8_t out[HB_RPTPING_LEN]) {
  tag_id("RPTPING", id, out);
}

void hb_rptcl(uint32_t id, uint8_t out[HB_RPTCL_LEN]) {
  tag_id("RPTCL", id, out);
}

size_t hb_rpto(uint32_t id, const char* options, size_t len, uint8_t* out, size_t cap) {
  if (len > HB_OPTIONS_MAX || 8 + len > cap) return 0;
  tag_id("RPTO", id, out);
  if (len) memcpy(out + 8, options, len);
  return 8 + len;
}

bool hb_rptc(const HbConfig& c, uint8_t out[HB_RPTC_LEN]) {
  if (c.rx_hz < 0 || c.rx_hz > HB_FREQ_MAX_HZ || c.tx_hz < 0 || c.tx_hz > HB_FREQ_MAX_HZ) return false;
  if (c.power < 0 || c.power > 99 || c.colour_code < 0 || c.colour_code > 15 || c.height < 0 || c.height > 999)
    return false;
  // Written as these comparisons, NaN fails them.
  if (!(c.latitude >= -90.0 && c.latitude <= 90.0) || !(c.longitude >= -180.0 && c.longitude <= 180.0)) return false;
  if (c.slots < '0' || c.slots > '4') return false;
  tag_id("RPTC", c.id, out);
  out[97] = static_cast<uint8_t>(c.slots);
  return put_text(out + 8, HB_CALL_WIDTH, c.callsign) &&
         put_number(out + 16, 9, "%09lld", static_cast<long long>(c.rx_hz)) &&
         put_number(out + 25, 9, "%09lld", static_cast<long long>(c.tx_hz)) &&
         put_number(out + 34, 2, "%02d", c.power) && put_number(out + 36, 2, "%02d", c.colour_code) &&
         put_number(out + 38, 8, "%+08.4f", c.latitude) && put_number(out + 46, 9, "%+09.4f", c.longitude) &&
         put_number(out + 55, 3, "%03d", c.height) && put_text(out + 58, HB_LOCATION_WIDTH, c.location) &&
         put_text(out + 78, HB_DESCRIPTION_WIDTH, c.description) && put_text(out + 98, HB_URL_WIDTH, c.url) &&
         put_text(out + 222, HB_SOFTWARE_WIDTH, c.software) && put_text(out + 262, HB_PACKAGE_WIDTH, c.package);
}

const char* hb_kind_name(HbKind k) {
  switch (k) {
    case HB_UNKNOWN:
      return "unknown";
    case HB_MALFORMED:
      return "malformed";
    case HB_WRONG_ID:
      return "another ID";
    case HB_SALT:
      return "RPTACK (salt)";
    case HB_ACK:
      return "RPTACK";
    case HB_PONG:
      return "MSTPONG";
    case HB_NAK:
      return "MSTNAK";
    case HB_CLOSE:
      return "MSTCL";
    case HB_BEACON:
      return "RPTSBKN";
    case HB_DMRD:
      return "DMRD";
  }
  return "?";
}

HbKind hb_classify(const uint8_t* in, size_t n, uint32_t my_id, bool salt_expected, HbMsg* out) {
  memset(out, 0, sizeof *out);
  const Tag* tag = nullptr;
  for (const Tag& t : kTags) {
    if (n >= t.len && memcmp(in, t.text, t.len) == 0) {
      tag = &t;
      break;
    }
  }
  if (tag == nullptr) return out->kind = HB_UNKNOWN;
  size_t want = 0;
  switch (tag->kind) {
    case HB_BEACON:
      return out->kind = HB_BEACON;
    case HB_DMRD: {
      HbDmrd d;
      return out->kind = hb_dmrd_parse(in, n, &d) ? HB_DMRD : HB_MALFORMED;
    }
    case HB_ACK:
      want = HB_RPTACK_LEN;
      break;
    case HB_PONG:
      want = HB_MSTPONG_LEN;
      break;
    case HB_NAK:
      want = HB_MSTNAK_LEN;
      break;
    default:
      want = HB_MSTCL_LEN;
      break;
  }
  if (n != want) return out->kind = HB_MALFORMED;
  if (tag->kind == HB_ACK && salt_expected) {
    memcpy(out->salt, in + tag->len, 4);
    return out->kind = HB_SALT;
  }
  out->id = be32(in + tag->len);
  return out->kind = out->id == my_id ? tag->kind : HB_WRONG_ID;
}

uint8_t hb_flags(uint8_t slot, bool private_call, HbFrameType ft, uint8_t dtype) {
  return static_cast<uint8_t>((slot == 2 ? 0x80 : 0) | (private_call ? 0x40 : 0) | (ft & 3) << 4 | (dtype & 0x0F));
}

bool hb_flags_decode(uint8_t flags, HbDmrd* d) {
  d->slot = flags & 0x80 ? 2 : 1;
  d->private_call = (flags & 0x40) != 0;
  const uint8_t ft = (flags >> 4) & 3;
  d->frame_type = static_cast<HbFrameType>(ft);
  d->dtype = flags & 0x0F;
  if (ft == 3) return false;
  if (ft == HB_FT_VOICE && (d->dtype < 1 || d->dtype > 5)) return false;
  return true;
}

bool hb_dmrd_build(const HbDmrd& d, const uint8_t burst[HB_BURST_LEN], uint8_t out[HB_DMRD_LEN]) {
  if ((d.slot != 1 && d.slot != 2) || d.frame_type > HB_FT_DATA_SYNC || d.dtype > 15) return false;
  if (d.frame_type == HB_FT_VOICE && (d.dtype < 1 || d.dtype > 5)) return false;
  memcpy(out, "DMRD", 4);
  out[4] = d.seq;
  put_be24(out + 5, d.src);
  put_be24(out + 8, d.dst);
  put_be32(out + 11, d.repeater);
  out[15] = hb_flags(d.slot, d.private_call, d.frame_type, d.dtype);
  put_be32(out + 16, d.stream);
  memcpy(out + HB_BURST_OFFSET, burst, HB_BURST_LEN);
  out[53] = d.ber;
  out[54] = d.rssi;
  return true;
}

bool hb_dmrd_parse(const uint8_t* in, size_t n, HbDmrd* d) {
  if ((n != HB_DMRD_LEN && n != HB_DMRD_SHORT_LEN) || memcmp(in, "DMRD", 4) != 0) return false;
  if (!hb_flags_decode(in[15], d)) return false;
  d->seq = in[4];
  d->src = be24(in + 5);
  d->dst = be24(in + 8);
  d->repeater = be32(in + 11);
  d->stream = be32(in + 16);
  d->ber = n == HB_DMRD_LEN ? in[53] : 0;
  d->rssi = n == HB_DMRD_LEN ? in[54] : 0;
  return true;
}
