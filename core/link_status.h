// SPDX-License-Identifier: GPL-2.0-or-later
// State of both links, shared by every room: the link-status counters, the
// diagnostic switch and the firmware text announced to the master.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/call_record.h"

// The project version, from the build (one place: the top-level CMakeLists.txt).
inline constexpr const char* CORVANE_VERSION = CORVANE_VERSION_TEXT;

// Firmware text announced over RDAC: the software identifier and the version.
extern char RptrFw[13];

// Diagnostic lines of the Motorola-side reader; on for the whole run.
inline constexpr bool debug = true;

// Liveness credit of the Motorola repeater in seconds: 20 at each keep-alive
// reply, one less each second; alive while 2 or more.
extern std::atomic<int32_t> motorola_repeater_online;
// 1 while logged into the DMR master, else 0.
extern std::atomic<int32_t> master_online;
// Seconds before the master login counts as lost: 30 at a login, 15 at each
// keep-alive byte from the master.
extern std::atomic<int32_t> master_timer;
// Step of the RDAC announcement cycle: 0 idle, 1 requested, 2..4 running.
extern std::atomic<int32_t> Start_rdac;

// Monotonic time (ms) of the latest datagram from the master's address on
// any of the three master-side sockets; each reader notes what it takes.
void note_master_heard(int64_t now_ms);
int64_t master_heard_ms();

// Called at each login, after Start_rdac is set, so a waiting RDAC announcer
// can start at once.  Null when nobody listens.
extern void (*on_login)();

// Called with each keep-alive the Motorola-side reader sends the repeater:
// the master protocol's own keep-alive duty (the classic login's "A"),
// set by main from the selected protocol before any worker starts.  Null:
// none.
extern void (*master_keepalive)();

void reset_link_status();

// ---- what the dashboard shows of each link --------------------------------------

// Up: the repeater alive (credit 2 or more), the master logged in.
bool link_up(LinkId l);
// Monotonic time (ms) of the link's latest answer: a keep-alive reply of the
// repeater, any datagram of the master (note_master_heard); INT64_MIN never.
void note_repeater_answer(int64_t now_ms);
int64_t link_last_answer_ms(LinkId l);
// Peers on the repeater's link besides the gateway, from its peer list.
void note_repeater_peers(int n);
int repeater_peers();
// Once a second (the supervision loop): a link whose state changed since the
// previous call gets the wall time of the change and an EV_LINK event.
void link_watch_pass(int64_t wall_ms);
// Wall time (ms since the epoch) of the link's latest change; 0 before any.
int64_t link_since_ms(LinkId l);
// Wall time (ms since the epoch) the gateway started (set once by main).
extern std::atomic<int64_t> start_wall_ms;

// The call last seen on either link, for the service manager's status line.
// Swapped whole under a small lock.
struct LastCall {
  bool seen;
  uint32_t src, dst;
  int slot;
  char at[9];  // hh:mm:ss of the call's start
};
// ts_text: the console time stamp of the call's first line (asctime form).
void note_call(uint32_t src, uint32_t dst, int slot, const char* ts_text);
LastCall last_call();

// Health of the four worker threads, for the service manager's watchdog.  A
// worker is busy from the moment its wait returns until its pass ends; one
// busy for too long is stuck.  A worker waiting for its socket is idle,
// however long it waits.
enum Worker { WORKER_MOTO_READER, WORKER_RDAC, WORKER_SERVICE, WORKER_MASTER_READER, WORKER_COUNT };
void worker_started(Worker w);
void worker_busy(Worker w, int64_t now_ms);
void worker_idle(Worker w);
bool workers_all_started();
// True when no worker has been busy for longer than limit_ms.
bool workers_healthy(int64_t now_ms, int64_t limit_ms);
void reset_workers();
