// State of both links, shared by every room: the link-status counters, the
// diagnostic switch and the firmware text announced to the master.
#pragma once
#include <atomic>
#include <cstdint>

inline constexpr const char* CORVANE_VERSION = "0.92";

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

// Called at each login, after Start_rdac is set, so a waiting RDAC announcer
// can start at once.  Null when nobody listens.
extern void (*on_login)();

void reset_link_status();
