// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/supervision.h"

#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/metrics.h"
#include "core/udp.h"

namespace {

void countdowns() {
  if (OpenMasterPort != 0) {
    // The open-master login keeps its own time and state (master/open_master.h):
    // a repeater that goes away does not end a session the master still answers.
    if (motorola_repeater_online > 0) --motorola_repeater_online;
    return;
  }
  if (master_online == 0 && motorola_repeater_online > 0) {
    TimeStamp t = refresh_ts();
    console_printf("%s Sende Anmeldung an DMR Master  IP:%s\n", t.text, MasterIP);
    static const uint8_t login[1] = {'A'};
    send_to_master(login, sizeof login);
    metrics_add(metrics.logins[LINK_MASTER]);
    master_timer = 30;
    master_online = 1;
    Start_rdac = 1;
    if (on_login != nullptr) on_login();
  }
  if (master_online > 0) --master_timer;
  if (master_timer < 2) {
    master_timer = 0;
    master_online = 0;
  }
  if (motorola_repeater_online > 0) --motorola_repeater_online;
  if (motorola_repeater_online < 2) master_online = 0;
}

}  // namespace

void supervision_pass() {
  countdowns();
  link_watch_pass(wall_ms());
}
