#include "core/link_status.h"

char RptrFw[13];

std::atomic<int32_t> motorola_repeater_online{0};
std::atomic<int32_t> master_online{0};
std::atomic<int32_t> master_timer{0};
std::atomic<int32_t> Start_rdac{0};
void (*on_login)() = nullptr;

void reset_link_status() {
  motorola_repeater_online = 0;
  master_online = 0;
  master_timer = 0;
  Start_rdac = 0;
}
