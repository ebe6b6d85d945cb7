// SPDX-License-Identifier: GPL-2.0-or-later
// Hytera voice on the master link, shared by the classic login
// (CLASSIC_LINK) and the open master (OPEN_MASTER_LINK): the 72-byte packets
// of master/hytera_packet.h wrapped around the relays' bursts and read back
// into MasterIn.
//
//   classic      1 byte: keep-alive; 73 bytes taken as the 72 before them
//   open master  1 or 2 bytes: keep-alive; exactly 72 are voice
//   either       other lengths dropped (DROP_SHORT)
#pragma once
#include <cstddef>
#include <cstdint>

#include "master/hytera_packet.h"
#include "master/master_link.h"

// The packet last built by hytera_send (Motorola-side reader).
extern uint8_t sendhyt[HYT_PACKET_LEN];

// A datagram from a Hytera master at now_ms: keep-alives refresh a running
// login (master_timer back to MASTER_KEEPALIVE_SECONDS, never from 0);
// a voice packet fills *in.
// The receive of both Hytera masters: the audio socket, the master's address only.
ssize_t hytera_receive(uint8_t* buf, size_t cap, sockaddr_in* from, int wait_ms);

bool hytera_take(const uint8_t* buf, size_t len, bool open_master, int64_t now_ms, MasterIn* in);

// Wraps the burst of `out` into its packet (the call start: the sync packet,
// which carries the source ID in place of a burst) and sends it to the
// master's `port`; false when port is 0.
bool hytera_send(const MasterOut& out, int32_t port);

// sendhyt cleared.
void reset_hytera_link();
