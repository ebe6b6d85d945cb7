// SPDX-License-Identifier: GPL-2.0-or-later
#include "motorola/link_control.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "auth/hmac_sha1.h"
#include "core/call_record.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/console_ring.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/realtime.h"
#include "core/udp.h"
#include "motorola/control_packets.h"

bool (*moto_voice_sink)(const uint8_t*, int, int64_t) = nullptr;
bool (*moto_data_sink)(const uint8_t*, int) = nullptr;
void (*moto_sinks_reset)() = nullptr;

namespace {

// A whole datagram: its tag is checked over every byte of it (a peer list of
// 20 peers is 237 bytes).
constexpr int RX_BUF = 1500;
constexpr int AUTH_TAG_LEN = 10;

uint8_t rx[RX_BUF];
bool keepalive_started = false;
int64_t keepalive_due = 0;
bool auth_logged = false;
int64_t auth_logged_at = 0;
Sha1Context rx_auth;  // this thread's own hashing context

int32_t be32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

bool from_repeater(const sockaddr_in& from) {
  return from.sin_family == AF_INET && from.sin_addr.s_addr == inet_addr(RptrIP);
}

// Every packet on the link ends in the tag of the shared key; anything else
// is a stranger or a peer with the wrong NetworkKey.
bool authentic(int len, const sockaddr_in& from, int64_t now_ms) {
  if (len > AUTH_TAG_LEN && auth_tag_ok(rx_auth, Key, rx, static_cast<uint32_t>(len))) return true;
  count_drop(DROP_AUTH);
  if (!auth_logged || now_ms - auth_logged_at >= AUTH_LOG_INTERVAL_MS) {
    auth_logged = true;
    auth_logged_at = now_ms;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    console_printf("Authentication failed: packet from %s:%d dropped\n", ip, ntohs(from.sin_port));
  }
  return false;
}

// Prints the peer list; returns false when the link has more peers than the
// gateway can take part with.
bool peer_list(int len) {
  if (debug) {
    console_printf("len master peer %d\n", len);
    console_printf("Master peer list reply\n");
    console_printf("Len %d\n", len);
  }
  console_printf("SRC-ID:%d\n", be32(rx + 1));
  // Bytes 5-6: the list's length in bytes, big-endian (24 peers are 264).
  int entries = (rx[5] << 8 | rx[6]) / 11;
  int others = 0;  // peers in the list besides the gateway
  for (int k = 1; k <= entries; ++k) {
    const uint8_t* e = rx + 7 + 11 * (k - 1);
    if (7 + 11 * k > len) break;  // only entries wholly inside the datagram
    console_printf("PEER%d-ID:%d\n", k, be32(e));
    console_printf("PEER%d-IP = %d.%d.%d.%d \n", k, e[4], e[5], e[6], e[7]);
    console_printf("PEER%d-Port = %d\n\n", k, e[8] << 8 | e[9]);
    others += memcmp(e, MyBridgeID, 4) != 0;
  }
  note_repeater_peers(others);
  if (entries >= 3) {
    console_printf("\nTOO MANY PEERS IN NETWORK! (%d)\nProgram stopped.\n", entries);
    return false;
  }
  return true;
}

// The repeater answered or sent voice or data: alive for 20 s more.  A link
// that comes up (again) counts as a login of the repeater.
void repeater_alive() {
  if (motorola_repeater_online.exchange(20) < 2) metrics_add(metrics.logins[LINK_REPEATER]);
}

void answer_peer(const char* fmt, const uint8_t* reply, int reply_len, const sockaddr_in& to) {
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &to.sin_addr, ip, sizeof ip);
  console_printf(fmt, be32(rx + 1), ip);
  send_repeater_link(reply, static_cast<size_t>(reply_len), to);
}

void keepalive_duty() {
  // The master protocol's own keep-alive, if it has one here.
  if (master_keepalive != nullptr) master_keepalive();
  // A repeater that restarted, or was still booting at our start, ignores
  // keep-alives until we register again.
  if (motorola_repeater_online < 2) SEND(START_LEN, start);
  SEND(START_HB_LEN, start_hb);
}

// A repeater going down says so; answer it, count it as gone at once (the
// master link follows) and register again at once, then with each keep-alive
// until it answers.
void repeater_leaves(const sockaddr_in& from) {
  send_repeater_link(dereg_9b, DEREG_LEN, from);
  motorola_repeater_online = 0;
  console_printf("%s Repeater left the link (de-registration), registering again\n", refresh_ts().text);
  SEND(START_LEN, start);
}

}  // namespace

void moto_leave() {
  leave_repeater_link(dereg_9a, DEREG_LEN);
}

void reset_moto_reader() {
  keepalive_started = false;
  keepalive_due = 0;
  auth_logged = false;
  auth_logged_at = 0;
}

void moto_reader_start() {
  SEND(START_LEN, start);
  console_printf("%s", "\033[0;33m");
  console_printf("Start Moto           Modul  V0.01\n");
  console_printf("%s", "\033[0;33m");
  console_printf("%s", "\033[0m");
  console_printf("%s", "\033[0m");
  if (moto_sinks_reset != nullptr) moto_sinks_reset();
}

int moto_reader_wait_ms(int64_t now_ms) {
  if (!keepalive_started) return 0;
  int64_t left = keepalive_due - now_ms;
  const int64_t call_left = call_record_wait_ms(CH_REPEATER_SLOT2, now_ms);
  if (call_left >= 0 && call_left < left) left = call_left;
  return left <= 0 ? 0 : static_cast<int>(left);
}

bool moto_reader_pass(int64_t now_ms) {
  call_record_expire(CH_REPEATER_SLOT2, now_ms);
  if (!keepalive_started) {
    keepalive_started = true;
    keepalive_due = now_ms + KEEPALIVE_INTERVAL_MS;
  }
  sockaddr_in from{};
  int len = static_cast<int>(udp_ops.recv(Corvane_sock, rx, sizeof rx, &from, 0));
  bool ok = len >= 0 && authentic(len, from, now_ms);
  if (ok && from_repeater(from)) set_fromUser2(from);
  if (ok && len >= DEREG_LEN && rx[0] == 0x9A && from_repeater(from)) repeater_leaves(from);
  // Nothing but the de-registration is this short.
  if (ok && len <= 16 && !(rx[0] == 0x9A && len >= DEREG_LEN)) count_drop(DROP_SHORT);

  if (ok && len > 16) {
    switch (rx[0]) {
      case 0x96:
        if (debug) {
          console_printf("Master keep alive request from master\n");
          console_printf("Len %d\n", len);
        }
        break;
      case 0x97:
        repeater_alive();
        note_repeater_answer(now_ms);
        break;
      case 0x93:
        if (!peer_list(len)) return false;
        break;
      case 0x94:
        answer_peer("Login PEER-ID:%d from IP:%s\n", peer_95, PEER_95_LEN, from);
        break;
      case 0x98:
        answer_peer("Send 99 PEER-ID:%d IP:%s\n", peer_99, PEER_99_LEN, from);
        break;
      case 0x80:
      case 0x81:
      case 0x84:
        // A repeater busy with a call does not answer keep-alives; its
        // traffic shows it is alive all the same.
        if (from_repeater(from)) repeater_alive();
        if (rx[0] == 0x84 ? moto_data_sink != nullptr && moto_data_sink(rx, len)
                          : moto_voice_sink != nullptr && moto_voice_sink(rx, len, now_ms))
          return true;
        break;
      default:
        break;
    }
  }
  if (ok && len == 26) SEND(START2_LEN, start2);
  if (now_ms >= keepalive_due) {
    keepalive_duty();
    // Keep the 5-second rhythm; after a long stall start it afresh.
    keepalive_due += KEEPALIVE_INTERVAL_MS;
    if (keepalive_due <= now_ms) keepalive_due = now_ms + KEEPALIVE_INTERVAL_MS;
  }
  return true;
}

void* send_voice_to_hytera(void*) {
  voice_thread_realtime();  // it sends the repeater's voice on to the master
  moto_reader_start();
  worker_started(WORKER_MOTO_READER);
  FloodGuard flood;
  for (;;) {
    wait_readable(Corvane_sock, -1, moto_reader_wait_ms(mono_ms()));
    worker_busy(WORKER_MOTO_READER, mono_ms());
    const bool go_on = moto_reader_pass(mono_ms());
    worker_idle(WORKER_MOTO_READER);
    if (!go_on) {
      console_flush(1000);
      _exit(1);  // "Program stopped.": the service manager must see it
    }
    if (const int64_t pause = flood.after_pass(mono_us())) usleep(static_cast<useconds_t>(pause));
  }
}
