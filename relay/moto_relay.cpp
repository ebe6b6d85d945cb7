// SPDX-License-Identifier: GPL-2.0-or-later
// Dispatch from the Motorola-side reader to both relays toward the master; relay_moto_voice lives in
// master/moto_to_master.cpp, relay_moto_data in master/position_relay.cpp.
#include "relay/moto_relay.h"

#include "motorola/link_control.h"
#include "relay/moto_to_master.h"
#include "relay/position_relay.h"

void reset_moto_relays() {
  reset_moto_to_master();
  reset_position_relay();
}

void install_moto_relays() {
  moto_voice_sink = relay_moto_voice;
  moto_data_sink = relay_moto_data;
  moto_sinks_reset = reset_moto_relays;
}
