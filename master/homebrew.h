// SPDX-License-Identifier: GPL-2.0-or-later
// The login into a HomeBrew (MMDVM flavour) master (--homebrew[=PORT]): the
// gateway logs in as a repeater with RptrID and RptrCall, from the audio
// socket (local port 62006) to MasterIP:HomebrewPort, and keeps the session
// with pings.  Datagram layouts: master/homebrew_packet.h.
//
//   RPTL  -> RPTACK salt -> RPTK -> RPTACK id -> RPTC -> RPTACK id
//         [-> RPTO -> RPTACK id, only with options set]  -> logged in
//   Each step only after the previous ACK; a step unanswered for 5 s: RPTL
//   again at once (the late ACK of that step, an RPTACK with our ID while
//   the salt is due, is ignored).  MSTNAK or MSTCL during the login: RPTL
//   again after 5 s, 10, 20, 40, then 60 s while the master keeps refusing;
//   the first MSTPONG of a session sets the pause back to 5 s.
//   Logged in: RPTPING at once and every 5 s, answered by MSTPONG.  15 s
//   without MSTPONG: RPTL at once.  MSTNAK (the master restarted or dropped
//   us): RPTL at once, unless it comes within 5 s of the login, which then
//   counts as refused.  MSTCL: RPTL after 5 s.
//
// Threads: the master-side reader owns the login.  It calls homebrew_input
// with each datagram it receives on the audio socket and homebrew_pass
// after each wait, sleeping at most homebrew_wait_ms.  homebrew_close and
// homebrew_send may be called from any thread.
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "master/homebrew_packet.h"

// Set by main from --homebrew[=PORT] before any thread starts: the
// master's port; 0 when the gateway does not log into a HomeBrew master.
extern int32_t HomebrewPort;
inline constexpr int32_t HOMEBREW_DEFAULT_PORT = 62031;

inline constexpr int64_t HB_STEP_TIMEOUT_MS = 5000;   // a login step unanswered
inline constexpr int64_t HB_PING_MS = 5000;           // RPTPING rhythm
inline constexpr int64_t HB_PONG_TIMEOUT_MS = 15000;  // no MSTPONG: the master is lost
inline constexpr int64_t HB_CLOSED_PAUSE_MS = 5000;   // after the master's MSTCL
inline constexpr int64_t HB_BACKOFF_FIRST_MS = 5000;  // after a refused login, doubling ...
inline constexpr int64_t HB_BACKOFF_MAX_MS = 60000;   // ... up to this
inline constexpr int64_t HB_LOG_INTERVAL_MS = 10000;  // one line of a kind at most this often
inline constexpr int64_t HB_RETRY_LOG_INTERVAL_MS = 60000;

// ---- what the operator gives --------------------------------------------------

// The passphrase: one buffer, read once at start-up, never printed.
inline constexpr size_t HB_PASSPHRASE_CAP = 256;  // 255 bytes at most
extern char HomebrewPassphrase[HB_PASSPHRASE_CAP];

// What the RPTC tells of the site beyond corvane.cfg (call sign, ID,
// frequencies).  Numbers are zero and texts blank unless the site file sets them.
struct HomebrewSite {
  char location[HB_LOCATION_WIDTH + 1];
  char description[HB_DESCRIPTION_WIDTH + 1];
  char url[HB_URL_WIDTH + 1];
  char options[HB_OPTIONS_MAX + 1];  // RPTO text; empty: no RPTO
  double latitude, longitude;
  int height, power, colour_code;
};
extern HomebrewSite HomebrewSiteInfo;

// Reads the passphrase from path, or without one from
// $CREDENTIALS_DIRECTORY/homebrew-passphrase: one line, its LF or CR LF
// dropped, into out (NUL-terminated).  False, with one line saying why and
// out wiped, when the file is missing, empty, longer than cap - 1, holds a
// NUL byte or a second line.  A file every user may read gets a warning.
bool homebrew_load_secret(const char* path_or_null, char* out, size_t cap);

// Reads the site file: key=value lines (location, description, url,
// latitude, longitude, height, power, colour_code, options), blank lines and
// lines starting with '#' skipped, spaces around key and value dropped.
// A null path leaves the site blank.  False, with a line naming the line
// number, for an unknown or repeated key or a bad value.
bool homebrew_load_site(const char* path, HomebrewSite* site);

// Checks that the RPTC can be built from the configuration and the site
// (frequencies of 9 digits at most); false with a line saying why.
bool homebrew_check_config();

// ---- the login ---------------------------------------------------------------

enum HbState : uint8_t {
  HB_IDLE,       // before the first pass
  HB_WAIT,       // pausing before the next RPTL
  HB_SENT_RPTL,  // waiting for the salt
  HB_SENT_RPTK,
  HB_SENT_RPTC,
  HB_SENT_RPTO,
  HB_RUNNING,  // logged in
  HB_CLOSED,   // after homebrew_close: nothing more
};

// True when `from` is MasterIP:HomebrewPort, address and port.
bool homebrew_from_master(const sockaddr_in& from);

// One datagram from the audio socket at monotonic time now_ms: drops what
// does not come from the master (homebrew_from_master) or does not parse,
// answers the login's steps at once, notes each well-formed datagram as
// heard from the master (note_master_heard).  True when it is a DMRD the
// relay should take: a well-formed one (55 or 53 bytes) while logged in.
bool homebrew_input(const uint8_t* buf, size_t n, const sockaddr_in& from, int64_t now_ms);

// The timed duties at now_ms: the first pass sends RPTL; step timeouts,
// pauses, pings and the MSTPONG deadline.  Keeps master_online (1 while
// logged in) and master_timer (seconds left to the MSTPONG deadline).
void homebrew_pass(int64_t now_ms);

// How long the reader may sleep before the next homebrew_pass (0..1000 ms).
int homebrew_wait_ms(int64_t now_ms);

// Ends the session for good (shutdown): RPTCL to the master if a login was
// begun; afterwards pass and input do nothing and master_online is 0.
void homebrew_close();

// Sends a datagram (a DMRD) from the audio socket to the master while logged
// in; false, sending nothing, otherwise.
bool homebrew_send(const uint8_t* buf, size_t len);

// The reader's view of the login (tests and diagnostics; reader thread).
HbState homebrew_state();

// Start-of-run state of the login: idle, no session begun, pause at 5 s.
void reset_homebrew();
// The operator's part: HomebrewPort 0, passphrase wiped, site blank.
void reset_homebrew_config();
