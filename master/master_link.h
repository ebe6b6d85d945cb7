// SPDX-License-Identifier: GPL-2.0-or-later
// The one shape of every master protocol: what the relays, the Motorola-side
// keep-alive and the supervision loop call, whatever the master speaks.  One
// constant instance per protocol, chosen once at start-up
// (gateway/master_protocols.h) before any worker starts:
//
//   CLASSIC_LINK      "classic"      Hytera login ("A" to 62006), Hytera voice
//                                    (master/hytera_link.cpp)
//   OPEN_MASTER_LINK  "open_master"  P2P registration, Hytera voice on the
//                                    granted DMR port (master/open_master.cpp)
//   HOMEBREW_LINK     "homebrew"     HomeBrew login, DMRD voice
//                                    (master/homebrew_link.cpp)
//
// Both directions carry DMR bursts (33 bytes in air order, dmr/burst.h) and
// the call's facts; the protocol wraps and unwraps them.  Nothing on the
// packet path allocates.
//
// Threads: receive, wait_ms, pass and take run on the master-side reader;
// send and send_position on the Motorola-side reader; keepalive on the
// Motorola-side reader (through the core hook master_keepalive, set at
// start-up); supervise on the supervision loop; leave on the signal thread.
#pragma once
#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "dmr/burst.h"

// Seconds a keep-alive byte of a Hytera master gives the login.
inline constexpr int32_t MASTER_KEEPALIVE_SECONDS = 15;

// ---- from the master ------------------------------------------------------------

enum MasterInKind : uint8_t {
  MI_HEADER,       // voice LC header
  MI_BURST,        // voice burst at `position` A..F
  MI_TERMINATOR,   // terminator with LC
  MI_VOICE_OTHER,  // another voice packet (Hytera: an unknown frame type): shown, keeps the call alive
  MI_OTHER,        // another packet of a call (Hytera: the sync packet): shown only
};

struct MasterIn {
  MasterInKind kind;
  uint8_t slot;      // as the master numbers it (Hytera: 0 for a packet opening with 'A', up to 15)
  uint8_t position;  // MI_BURST: 1..6 (A..F)
  bool private_call;
  uint32_t src, dst;  // 24 bits
  uint16_t seq;       // the sender's sequence number ...
  uint8_t seq_bits;   // ... 16 bits wide (Hytera) or 8 (HomeBrew)
  bool has_ber;       // the sender counted the bit errors of this burst ...
  uint8_t ber;        // ... and found this many
  uint32_t stream;    // the sender's call identity; 0: the protocol has none
  uint8_t burst[DMR_BURST_BYTES];
};

// ---- toward the master ----------------------------------------------------------

enum MasterOutKind : uint8_t {
  MO_CALL_START,  // the repeater's first voice header of a call
  MO_HEADER,      // a further voice header
  MO_BURST,       // voice burst at `position` A..F
  MO_TERMINATOR,  // terminator with LC
};

struct MasterOut {
  MasterOutKind kind;
  uint8_t position;  // MO_BURST: 1..6
  bool private_call;
  uint32_t src, dst;
  uint16_t rtp_seq;      // the repeater's RTP sequence number
  const uint8_t* burst;  // DMR_BURST_BYTES: the voice LC header (also at MO_CALL_START), the burst, or the terminator
};

// ---- the seam -------------------------------------------------------------------

struct MasterLink {
  const char* mode;  // "classic", "open_master", "homebrew"
  // Once a second (supervision loop): the login where the protocol keeps it
  // there; null when the protocol keeps its own time.
  void (*supervise)();
  // With each keep-alive to the repeater; null for none.
  void (*keepalive)();
  // One datagram from the master's audio socket (62006): length, or -1 when
  // nothing came (or what came is to be dropped unseen).
  ssize_t (*receive)(uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms);
  // The reader's timed duties: how long it may wait for them (-1: none) and
  // the duties themselves (null: none).  Monotonic milliseconds.
  int (*wait_ms)(int64_t now_ms);
  void (*pass)(int64_t now_ms);
  // A received datagram: true with *in filled when it is a packet of a call;
  // false when the protocol handled it (keep-alives, login answers) or
  // dropped it.
  bool (*take)(const uint8_t* buf, size_t len, const sockaddr_in& from, int64_t now_ms, MasterIn* in);
  // One burst of a call from the repeater; true when it went out.
  bool (*send)(const MasterOut& out);
  // A position report (relay/position_relay.h); null: not sent, and
  // no_position_line (after the time stamp) says so once.
  bool (*send_position)(const uint8_t* report, size_t len);
  const char* no_position_line;
  // Shutdown (signal thread): ends the session where the protocol has one;
  // null for none.
  void (*leave)();
};

extern const MasterLink CLASSIC_LINK;
extern const MasterLink OPEN_MASTER_LINK;
extern const MasterLink HOMEBREW_LINK;

// The protocol in use: CLASSIC_LINK until set_master_link.  Set once by
// main before the workers start (tests: between runs); read by all.
const MasterLink& master_link();
void set_master_link(const MasterLink& link);
