// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/rdac.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "master/open_master.h"

const char RptrModel[6] = "ZizOz";

uint8_t rdac225[RDAC225_LEN];
uint8_t rdac71[RDAC71_LEN];

namespace {

// Writes an ASCII text into a UTF-16LE slot of the template (low bytes only).
constexpr void put_text(uint8_t* msg, int slot, const char* text) {
  for (int i = 0; text[i] != '\0'; ++i) msg[slot + 2 * i] = static_cast<uint8_t>(text[i]);
}

struct Templates {
  uint8_t m225[RDAC225_LEN] = {0x7E, 0x04, 0x00, 0x00, 0x10, 0x20, 0x00, 0x03, 0x00, 0xE1, 0x56, 0xC9,
                               0x02, 0xD4, 0x82, 0xCE, 0x00, 0x00, 0x04, 0x87, 0x01, 0x00, 0x02, 0x00};
  uint8_t m71[RDAC71_LEN] = {0x7E, 0x04, 0x00, 0x00, 0x10, 0x20, 0x00, 0x04, 0x00, 0x47, 0x69, 0x5A,
                             0x02, 0xD4, 0x82, 0x34, 0x00, 0x00, 0x04, 0x87, 0x01, 0x00, 0x02, 0x01};
  constexpr Templates() {
    put_text(m225, 24, "D5.05.09.005");
    put_text(m225, 56, "A5.05.10.007");
    put_text(m225, 88, "ZZ9ZZ");
    put_text(m225, 120, "RD965-000G0000-001000-U1-0-B");
    put_text(m225, 184, "00000Z0000");
    const uint8_t tail[] = {0x04, 0x87, 0x01, 0x00, 0x01, 0x00, 0x00, 0x7D, 0x03};
    for (int i = 0; i < 9; ++i) m225[216 + i] = tail[i];
    put_text(m71, 37, "ZZ9ZZ");
    m71[69] = 0xE8;
    m71[70] = 0x03;
  }
};
constexpr Templates templates;

uint8_t rx[400];          // RDAC socket, announcer thread
uint8_t service_rx[224];  // service socket, drain thread
bool step_pending = false;
int64_t step_due = 0;
bool service_logged = false;  // the drain thread's own
int64_t service_logged_at = 0;

void put_slot(uint8_t* msg, int slot, int chars, const char* text) {
  size_t n = strlen(text);
  for (int i = 0; i < chars; ++i) msg[slot + 2 * i] = i < static_cast<int>(n) ? static_cast<uint8_t>(text[i]) : 0;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void seal(uint8_t* msg, int len) {
  msg[len - 2] = rdac_check_byte(msg, len);
  uint16_t w = rdac_check_word(msg, len);
  msg[10] = static_cast<uint8_t>(w >> 8);
  msg[11] = static_cast<uint8_t>(w);
}

// Written at each login so the waiting announcer starts its cycle at once.
int wake_fd() {
  static const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

void send_pair() {
  send_to(Local_Repeater_audio_srv_sock, MasterIP, RDAC_PORT, rdac225, RDAC225_LEN);
  send_to(Local_Repeater_audio_srv_sock, MasterIP, RDAC_PORT, rdac71, RDAC71_LEN);
}

}  // namespace

uint8_t rdac_check_byte(const uint8_t* msg, int len) {
  unsigned sum = 0;
  for (int i = 13; i < len - 2; ++i) sum += msg[i];
  return static_cast<uint8_t>(((sum & 0xFF) ^ 0xFF) + 0x33);
}

uint16_t rdac_check_word(const uint8_t* msg, int len) {
  uint32_t sum = 0;
  for (int i = 0; i < len; i += 2) {
    uint32_t hi = (i == 10) ? 0 : msg[i];
    uint32_t lo = (i + 1 >= len || i + 1 == 11) ? 0 : msg[i + 1];
    sum += hi << 8 | lo;
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void reset_rdac() {
  memcpy(rdac225, templates.m225, sizeof rdac225);
  memcpy(rdac71, templates.m71, sizeof rdac71);
  step_pending = false;
  step_due = 0;
}

void reset_service_drain() {
  service_logged = false;
  service_logged_at = 0;
}

void rdac_fill() {
  put_slot(rdac225, 88, 16, RptrCall);
  put_slot(rdac225, 56, 12, RptrFw);
  for (int i = 0; i < 5; ++i) rdac225[120 + 2 * i] = static_cast<uint8_t>(RptrModel[i]);
  // The master files the gateway under the ID in these messages.
  put_le32(rdac225 + 18, RptrID);
  put_le32(rdac225 + 216, RptrID);
  put_slot(rdac71, 37, 16, RptrCall);
  memcpy(rdac71 + 18, MyBridgeID, 4);
  for (int i = 0; i < 3; ++i) rdac71[18 + i] = static_cast<uint8_t>(RptrID >> (8 * i));
  // An open master may read bytes 18-21 as one 32-bit ID: nothing of the
  // bridge ID may stand in its top byte.
  if (OpenMasterPort != 0) put_le32(rdac71 + 18, RptrID);
  put_le32(rdac71 + 33, static_cast<uint32_t>(RptrQRGrx));
  put_le32(rdac71 + 29, static_cast<uint32_t>(RptrQRGtx));
  seal(rdac225, RDAC225_LEN);
  seal(rdac71, RDAC71_LEN);
}

void repeater_rdac_pass(int64_t now_ms) {
  if (OpenMasterPort != 0) {
    open_master_rdac_pass(now_ms);
    return;
  }
  if (!step_pending && Start_rdac > 0) {
    int32_t step = Start_rdac + 1;
    Start_rdac = step > 4 ? 0 : step;
    step_pending = true;
    step_due = now_ms + RDAC_STEP_MS;
  }
  if (step_pending && now_ms >= step_due) {
    step_pending = false;
    console_printf("Local_Repeater_rdac %i\n", Start_rdac.load());
    send_pair();
  }
  sockaddr_in from{};
  ssize_t n = recv_from_master(Local_Repeater_rdac_srv_sock, rx, 300, &from, 0);
  if (n == RDAC_REPLY_LEN && master_online != 0) {
    // The master knows us: the cycle ends, and no pending pair goes out.
    Start_rdac = 0;
    step_pending = false;
    console_printf("Local_Repeater_rdac \n");
  }
}

int repeater_rdac_wait_ms(int64_t now_ms) {
  if (OpenMasterPort != 0) return open_master_wait_ms(now_ms);
  if (step_pending) return now_ms >= step_due ? 0 : static_cast<int>(step_due - now_ms);
  return Start_rdac > 0 ? 0 : -1;
}

void repeater_rdac_wake() {
  const uint64_t one = 1;
  (void)!write(wake_fd(), &one, sizeof one);
}

void localrepeater_pass(int64_t now_ms) {
  if (OpenMasterPort != 0) {
    open_master_service_pass(now_ms);
    return;
  }
  sockaddr_in from{};
  if (recv_from_master(Local_Repeater_srv_sock, service_rx, sizeof service_rx, &from, 0) < 1) return;
  // A master that floods this socket must not flood the console as well.
  if (service_logged && now_ms - service_logged_at < SERVICE_LOG_INTERVAL_MS) return;
  service_logged = true;
  service_logged_at = now_ms;
  console_printf("Local_Repeater_rdac \n");
}

void* repeater_rdac(void*) {
  console_printf("%s", "\033[0;33m");
  console_printf("Start Repeater RDAC  Modul  V1.01\n");
  console_printf("%s", "\033[0m");
  reset_rdac();
  rdac_fill();
  worker_started(WORKER_RDAC);
  for (;;) {
    wait_readable(Local_Repeater_rdac_srv_sock, wake_fd(), repeater_rdac_wait_ms(mono_ms()));
    worker_busy(WORKER_RDAC, mono_ms());
    uint64_t wakes;
    (void)!read(wake_fd(), &wakes, sizeof wakes);
    repeater_rdac_pass(mono_ms());
    worker_idle(WORKER_RDAC);
  }
}

void* localrepeater_handler(void*) {
  console_printf("%s", "\033[0;33m");
  console_printf("Start Local Repeater Modul  V1.34\n");
  console_printf("%s", "\033[0m");
  worker_started(WORKER_SERVICE);
  for (;;) {
    if (Local_Repeater_srv_sock < 0) {
      sleep(1);  // no socket: nothing will ever arrive
    } else if (wait_readable(Local_Repeater_srv_sock, -1, -1)) {
      worker_busy(WORKER_SERVICE, mono_ms());
      localrepeater_pass(mono_ms());
      worker_idle(WORKER_SERVICE);
    }
  }
}
