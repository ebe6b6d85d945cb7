#include "master/moto_relay.h"

// The relays toward the master are not built yet: packets are dropped.
bool relay_moto_voice(const uint8_t*, int) { return false; }
bool relay_moto_data(const uint8_t*, int) { return false; }
void reset_moto_relays() {}
