// SPDX-License-Identifier: GPL-2.0-or-later
// The dashboard's HTTP server (web/README.md): libmicrohttpd driven by one
// web thread of our own at normal priority, which also keeps the dashboard's
// model (web/model.h) from the call record's events and feeds the event
// streams.  Nothing here is ever waited on by a voice thread: the relays
// only push events into the call record's queue, whose wake descriptor is
// the web thread's eventfd.
//
// Threads: the parse functions and web_start / web_stop are for the main
// thread (web_start once, before or after the workers start); web_port and
// web_stats may be called from any thread.  Everything else runs on the web
// thread, or, without one (web_open), on the test that drives web_pass.
#pragma once
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "web/assets.h"

inline constexpr int WEB_ALLOW_MAX = 16;  // networks of --http-allow

struct WebNet {
  uint32_t net, mask;  // host byte order
};

struct WebOptions {
  uint32_t addr = 0x7F000001;  // IPv4, host byte order; 127.0.0.1 unless --http names one
  uint16_t port = 0;           // 0: any free port (tests); --http requires 1..65535
  WebNet allow[WEB_ALLOW_MAX] = {};
  int allow_count = 0;        // 0: anyone who reaches the address may connect
  char mode[16] = "classic";  // login mode shown: "classic", "open_master" or "homebrew"
  // Intervals, changed only by tests.
  int64_t keepalive_ms = 25000;
  unsigned request_timeout_s = 15;
};

// --http [ADDR:]PORT: sets addr and port; false with a one-line message
// (no line feed) in *error.
bool web_parse_http(const char* text, WebOptions* o, std::string* error);
// --http-allow CIDR[,CIDR...] (a.b.c.d/n, at most WEB_ALLOW_MAX): replaces
// the allow list; false with a one-line message in *error.
bool web_parse_allow(const char* text, WebOptions* o, std::string* error);
// Whether a client at `ip` (host byte order) may connect: anyone when the
// server listens on a loopback address or no allow list is set.
bool web_allowed(const WebOptions& o, uint32_t ip);
// Sets the login mode text (cut to fit).
void web_set_mode(WebOptions* o, const char* mode);

// Binds, starts the server and the web thread.  On failure one console line
// ("Dashboard not started: 127.0.0.1:8080: Address already in use") and
// false; the gateway runs on without a dashboard.  Connections from outside
// the allow list are closed unless the address is a loopback one.
bool web_start(const WebOptions& o);
// Stops the web thread and the server (tests; an orderly exit).
void web_stop();
// The bound port (after web_start / web_open); 0 when not running.
uint16_t web_port();

// ---- without a thread (tests drive the passes) -----------------------------------------

// Binds and starts the server; the calling thread then runs web_pass.
bool web_open(const WebOptions& o);
// One pass of the web thread at monotonic `mono` and wall-clock `wall` ms:
// takes the call record's events, sends what is due, runs the HTTP server.
// Returns the ms until the next pass is due at the latest (-1: only when
// something happens; the thread waits for its descriptors that long).
int64_t web_pass(int64_t mono, int64_t wall);
// What the thread waits on until the next pass (at most cap): the server's
// epoll descriptor, the eventfd of the call record's events and the
// connections of the sleeping event streams (a client may hang up).
size_t web_poll_fds(struct pollfd* fds, size_t cap);
// Stops the server (every stream ends) on the thread that opened it.
void web_close();

// ---- figures for tests and measurements (any thread) -------------------------------------

struct WebStats {
  uint64_t passes;           // passes of the web thread so far
  int streams;               // event streams open
  uint64_t streams_dropped;  // streams dropped because their client did not read
  uint64_t streams_refused;  // stream requests answered 503 (too many)
  size_t stack_touched;      // bytes of the web thread's stack touched so far
};
WebStats web_stats();

// Start-of-run state: stopped, no streams, the model empty, the built-in
// page files.
void reset_web();
// Tests: the page files served instead of the built-in ones (null: those).
void web_set_assets(const WebAsset* table, size_t count);
