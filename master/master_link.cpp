// SPDX-License-Identifier: GPL-2.0-or-later
// The master protocol in use.
#include "master/master_link.h"

#include <atomic>

namespace {
std::atomic<const MasterLink*> active{&CLASSIC_LINK};
}  // namespace

const MasterLink& master_link() {
  return *active.load(std::memory_order_acquire);
}

void set_master_link(const MasterLink& link) {
  active.store(&link, std::memory_order_release);
}
