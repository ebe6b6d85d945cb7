// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/master_protocols.h"

#include <cstring>

#include "core/link_status.h"

const MasterProtocol MASTER_PROTOCOLS[] = {
    {"classic", &CLASSIC_LINK},
    {"open_master", &OPEN_MASTER_LINK},
    {"homebrew", &HOMEBREW_LINK},
};
const int MASTER_PROTOCOL_COUNT = sizeof MASTER_PROTOCOLS / sizeof MASTER_PROTOCOLS[0];

const MasterLink* select_master_protocol(const char* mode) {
  for (const MasterProtocol& p : MASTER_PROTOCOLS) {
    if (std::strcmp(p.mode, mode) != 0) continue;
    set_master_link(*p.link);
    master_keepalive = p.link->keepalive;
    return p.link;
  }
  return nullptr;
}
