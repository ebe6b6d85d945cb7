// Reset of both relays toward the master; relay_moto_voice lives in
// master/moto_to_master.cpp, relay_moto_data in master/position_relay.cpp.
#include "master/moto_relay.h"

#include "master/moto_to_master.h"
#include "master/position_relay.h"

void reset_moto_relays() {
  reset_moto_to_master();
  reset_position_relay();
}
