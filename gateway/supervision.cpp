// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/supervision.h"

#include "core/clock.h"
#include "core/link_status.h"
#include "master/master_link.h"

void supervision_pass() {
  // The master protocol's part first (the classic login), then the
  // repeater's credit.
  const MasterLink& link = master_link();
  if (link.supervise != nullptr) link.supervise();
  if (motorola_repeater_online > 0) --motorola_repeater_online;
  link_watch_pass(wall_ms());
}
