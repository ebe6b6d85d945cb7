// SPDX-License-Identifier: GPL-2.0-or-later
// The master protocols the gateway speaks, by the name of their mode, and
// the choice of one at start-up.
#pragma once

#include "master/master_link.h"

struct MasterProtocol {
  const char* mode;  // "classic", "open_master", "homebrew"
  const MasterLink* link;
};
extern const MasterProtocol MASTER_PROTOCOLS[];
extern const int MASTER_PROTOCOL_COUNT;

// Makes the protocol of `mode` the one in use (set_master_link) and hands
// its keep-alive duty to the Motorola-side reader (master_keepalive).  Main
// calls it once, before any worker starts.  Null, changing nothing, for an
// unknown mode.
const MasterLink* select_master_protocol(const char* mode);
