// SPDX-License-Identifier: GPL-2.0-or-later
// Notifications to the service manager (systemd's sd_notify datagram
// protocol): ready, a one-line status of the links, and the watchdog.
// Without $NOTIFY_SOCKET nothing is sent and nothing is printed.
#pragma once
#include <cstddef>
#include <cstdint>

// Reads $NOTIFY_SOCKET and $WATCHDOG_USEC (and $WATCHDOG_PID) once, at start.
void notify_init();

// One supervision pass's notifications: READY=1 once all four workers run,
// STATUS= whenever the link state changes, WATCHDOG=1 unless a worker is
// stuck in one pass for over half the watchdog period.  The state of the
// links never holds back the watchdog.
void notify_pass(int64_t now_ms);

// The status line, e.g. "repeater alive, master logged in, last call
// 1000001 -> 9 slot 2 at 17:47:43".
void format_status(char* out, size_t cap);

// Sends one notification text; false when there is nowhere to send it.
bool notify_send(const char* text);

void reset_notify();
