// SPDX-License-Identifier: GPL-2.0-or-later
// Position report relay.
#include "relay/position_relay.h"

#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/console.h"
#include "master/master_link.h"
#include "relay/moto_relay.h"

uint8_t pos_accu[POS_ACCU_LEN];
int pos_accu_len = 0;
int pos_dot = 0;
char pos_lat[10];
char pos_lon[10];
char pos_speed[4];
uint32_t pos_peer_id = 0;
uint32_t pos_src_id = 0;
uint8_t pos_report[POS_REPORT_LEN];
bool pos_drop_told = false;

void reset_position_relay() {
  std::memset(pos_accu, 0, sizeof pos_accu);
  pos_accu_len = 0;
  pos_dot = 0;
  std::memset(pos_lat, 0, sizeof pos_lat);
  std::memset(pos_lon, 0, sizeof pos_lon);
  std::memset(pos_speed, 0, sizeof pos_speed);
  pos_peer_id = 0;
  pos_src_id = 0;
  std::memset(pos_report, 0, sizeof pos_report);
  pos_drop_told = false;
}

namespace {

constexpr int HEADER_LEN = 31;  // through byte 30, the data type
constexpr int BLOCK_LEN = 54;   // through the payload
constexpr int PAYLOAD_FIRST = 38;
constexpr uint8_t TYPE_DATA_HEADER = 6, TYPE_DATA_BLOCK = 8;
constexpr int REPORT_FROM = 64;  // accumulated length that starts reporting
// The count stops growing here: enough to keep reporting, never overflows.
constexpr int ACCU_LEN_CEILING = POS_ACCU_LEN + POS_BLOCK_PAYLOAD;
constexpr int DOT_FIRST = 5, DOT_LAST = 43;

uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | p[2] << 8 | p[3];
}
uint32_t be24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
}

void store_block(const uint8_t* pkt) {
  pos_peer_id = be32(pkt + 1);
  pos_src_id = be24(pkt + 6);
  // Each report is written afresh: what a longer peer text of an earlier
  // report left behind its zero byte is not sent again.
  std::memset(pos_report, 0, sizeof pos_report);
  std::memcpy(pos_report + 25, pkt + 6, 3);
  std::memcpy(pos_report + 9, pkt + 9, 3);
  const int at = pos_accu_len - POS_BLOCK_PAYLOAD;
  const int room = POS_ACCU_LEN - at;
  if (room > 0) {
    std::memcpy(pos_accu + at, pkt + PAYLOAD_FIRST,
                static_cast<size_t>(room < POS_BLOCK_PAYLOAD ? room : POS_BLOCK_PAYLOAD));
  }
  pos_accu_len += POS_BLOCK_PAYLOAD;
  if (pos_accu_len > ACCU_LEN_CEILING) pos_accu_len = ACCU_LEN_CEILING;
}

struct Mode {
  const char* text;
  char digit;
};
Mode mode_of(int dot) {
  switch (dot) {
    case 17:
      return {"Auto Time+Dist", '4'};
    case 19:
      return {"Manual", '1'};
    case 25:
      return {"Auto Time", '2'};
    default:
      return {"unknown", '0'};
  }
}

// A text from the air as the console shows it: up to its first zero byte,
// and anything but printable ASCII as '?', so that a radio's payload can
// neither break the line nor reach the terminal as a control sequence.
struct Shown {
  char text[10];
};
Shown shown(const char* in, size_t n) {
  Shown s{};
  for (size_t i = 0; i < n && i < sizeof s.text - 1 && in[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    s.text[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return s;
}

void decode_and_report() {
  for (int i = DOT_FIRST; i <= DOT_LAST; ++i) {
    if (pos_accu[i] == '.') {
      pos_dot = i;
      break;
    }
  }
  const Mode mode = mode_of(pos_dot);
  if (pos_dot >= DOT_FIRST && pos_accu[pos_dot] == '.' && pos_accu[pos_dot + 11] == '.') {
    std::memcpy(pos_lat, pos_accu + pos_dot - 5, sizeof pos_lat);
    std::memcpy(pos_lon, pos_accu + pos_dot + 5, sizeof pos_lon);
    std::memcpy(pos_speed, pos_accu + pos_dot + 16, sizeof pos_speed);
    console_printf("[%i]Decoded GPS %s [%d]: LAT(%-9.9s) LONG(%-9.9s) SPEED(%-3.3s) RPT:%i\r\n",
                   static_cast<int>(pos_src_id), mode.text, pos_dot, shown(pos_lat, 9).text, shown(pos_lon, 9).text,
                   shown(pos_speed, 3).text, static_cast<int>(pos_peer_id));
  }
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%i6.6", static_cast<int>(pos_peer_id));
  std::memcpy(pos_report, text, static_cast<size_t>(n) + 1);
  pos_report[6] = 'Q';
  std::memcpy(pos_report + 43, pos_lat, 9);
  std::memcpy(pos_report + 53, pos_lon, 9);
  pos_report[62] = '2';
  pos_report[63] = static_cast<uint8_t>(mode.digit);
  const MasterLink& link = master_link();
  if (link.send_position != nullptr) {
    link.send_position(pos_report, POS_REPORT_LEN);
  } else if (!pos_drop_told) {
    // A master that takes no position reports: said once.
    pos_drop_told = true;
    console_printf("%s %s\n", refresh_ts().text, link.no_position_line);
  }
}

}  // namespace

bool relay_moto_data(const uint8_t* pkt, int len) {
  if (len < HEADER_LEN) return false;
  if ((pkt[17] & 0x20) == 0) return false;
  switch (pkt[30] & 0x3F) {
    case TYPE_DATA_HEADER:
      pos_accu_len = 0;
      std::memset(pos_accu, 0, sizeof pos_accu);
      return false;  // nothing collected yet: no report
    case TYPE_DATA_BLOCK:
      if (len < BLOCK_LEN) return false;
      if (pos_accu_len == 0) {
        pos_accu_len = POS_BLOCK_PAYLOAD;
        return true;
      }
      store_block(pkt);
      if (pos_accu_len >= REPORT_FROM) decode_and_report();
      return false;
    default:
      return true;
  }
}
