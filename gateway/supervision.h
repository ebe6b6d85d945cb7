// SPDX-License-Identifier: GPL-2.0-or-later
// The once-a-second supervision of both links.
#pragma once
#include "core/link_status.h"

// One pass of the supervision loop (the caller sleeps one second between
// passes): login when the master link is down and the repeater is alive,
// then the countdowns.  With an open master only the repeater's countdown.
// Then the links' changes go to the call record (link_watch_pass).
void supervision_pass();
