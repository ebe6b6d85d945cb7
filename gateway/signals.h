// SPDX-License-Identifier: GPL-2.0-or-later
// A clean leave on SIGTERM or SIGINT: one thread takes the stop signals with
// sigwait, so no asynchronous handler ever runs on the packet path.
#pragma once

// Blocks the stop signals (and SIGHUP) in the calling thread; every thread started after
// it inherits the mask.  Call first thing in main.
void block_stop_signals();

// From now on a leave also de-registers from the repeater (the link's
// socket is open and its control packets are signed).
void stop_signals_link_ready();

// What SIGHUP does (re-read the ID list); it must only wake another thread.
// Without one, SIGHUP is taken and ignored.
void set_reload_hook(void (*hook)());

// Thread entry: takes SIGHUP (the reload hook) as often as it comes; waits
// for SIGTERM or SIGINT, then leaves: the
// de-registration request to the repeater once, one line saying the gateway
// stops, stdout flushed (waiting one second at most), exit status 0.  A
// second signal during the leave ends it at once.
void* stop_signal_thread(void*);
