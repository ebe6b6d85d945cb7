// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/link_status.h"

namespace {

sockaddr_un target{};
socklen_t target_len = 0;  // 0: no service manager listening
int fd = -1;
int64_t watchdog_limit_ms = 0;  // half the watchdog period; 0: no watchdog
bool ready_sent = false;
char last_status[160] = "";

}  // namespace

void reset_notify() {
  if (fd >= 0) close(fd);
  fd = -1;
  target_len = 0;
  watchdog_limit_ms = 0;
  ready_sent = false;
  last_status[0] = '\0';
}

void notify_init() {
  reset_notify();
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0' || strlen(path) >= sizeof target.sun_path) return;
  if (path[0] != '/' && path[0] != '@') return;
  target.sun_family = AF_UNIX;
  memcpy(target.sun_path, path, strlen(path));
  if (path[0] == '@') target.sun_path[0] = '\0';  // abstract namespace
  target_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
  fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) target_len = 0;

  const char* usec = getenv("WATCHDOG_USEC");
  const char* pid = getenv("WATCHDOG_PID");
  if (usec != nullptr && (pid == nullptr || atol(pid) == static_cast<long>(getpid())))
    watchdog_limit_ms = atoll(usec) / 2000;
}

bool notify_send(const char* text) {
  if (target_len == 0) return false;
  return sendto(fd, text, strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&target),
                target_len) >= 0;
}

void format_status(char* out, size_t cap) {
  const LastCall c = last_call();
  int n = snprintf(out, cap, "%s, %s", motorola_repeater_online >= 2 ? "repeater alive" : "repeater not answering",
                   master_online > 0 ? "master logged in" : "master not logged in");
  if (c.seen && n >= 0 && static_cast<size_t>(n) < cap)
    snprintf(out + n, cap - n, ", last call %u -> %u slot %d at %s", c.src, c.dst, c.slot, c.at);
}

void notify_pass(int64_t now_ms) {
  if (target_len == 0) return;
  if (!ready_sent && workers_all_started()) ready_sent = notify_send("READY=1");
  char status[sizeof last_status];
  format_status(status, sizeof status);
  if (strcmp(status, last_status) != 0) {
    char msg[sizeof status + 8];
    snprintf(msg, sizeof msg, "STATUS=%s", status);
    if (notify_send(msg)) memcpy(last_status, status, sizeof status);
  }
  if (watchdog_limit_ms > 0 && workers_healthy(now_ms, watchdog_limit_ms)) notify_send("WATCHDOG=1");
}
