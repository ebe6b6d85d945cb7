// corvane: links a Motorola DMR repeater to a DMR master as a Hytera repeater.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "core/console.h"
#include "dmr/dmr_console.h"
#include "gateway/startup.h"
#include "gateway/supervision.h"
#include "master/rdac.h"
#include "motorola/link_control.h"
#include "relay/master_to_moto.h"
#include "relay/moto_relay.h"

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  dmr_print = console_write;  // the codings' lines go out whole, like every other line
  int rc = startup();
  if (rc != 0) return rc;

  install_moto_relays();          // voice and data from the repeater go to the master
  on_login = repeater_rdac_wake;  // a login starts the announcement cycle at once

  // The workers run for the life of the process; none is ever joined.
  void* (*const workers[])(void*) = {send_voice_to_hytera, repeater_rdac, localrepeater_handler,
                                     send_voice_to_motorola};
  for (auto* entry : workers) {
    pthread_t t;
    if (pthread_create(&t, nullptr, entry, nullptr) == 0) pthread_detach(t);
  }

  for (;;) {
    sleep(1);
    supervision_pass();
  }
}
