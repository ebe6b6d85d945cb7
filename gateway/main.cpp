// SPDX-License-Identifier: GPL-2.0-or-later
// corvane: links a Motorola DMR repeater to a DMR master as a Hytera repeater.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include "core/clock.h"
#include "core/config.h"
#include "core/console.h"
#include "core/console_ring.h"
#include "core/id_list.h"
#include "core/link_status.h"
#include "core/realtime.h"
#include "dmr/dmr_console.h"
#include "gateway/master_protocols.h"
#include "gateway/notify.h"
#include "gateway/options.h"
#include "gateway/signals.h"
#include "gateway/startup.h"
#include "gateway/supervision.h"
#include "master/homebrew.h"
#include "master/rdac.h"
#include "motorola/link_control.h"
#include "relay/master_to_moto.h"
#include "relay/moto_relay.h"
#include "web/server.h"

namespace {

// Threads live for the life of the process; none is ever joined.  One that
// cannot be started leaves a gateway that cannot work: say which, exit 1.
void start_thread(void* (*entry)(void*), const char* name) {
  if (!spawn_thread(entry, nullptr)) {
    console_printf("Can not start the %s thread\n", name);
    console_flush(1000);
    _exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // One malloc arena for the whole process: a thread's first malloc would
  // otherwise reserve an arena of its own (64 MiB of address space), and a
  // process that locks its memory is charged for all of it.  Only the main
  // and web threads allocate; the voice threads never do.
  mallopt(M_ARENA_MAX, 1);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  dmr_print = console_write;  // the codings' lines go out whole, like every other line
  Options opt;
  if (int rc = parse_options(argc, argv, opt); rc >= 0) return rc;
  OpenMasterPort = opt.open_master;
  HomebrewPort = opt.homebrew;
  select_master_protocol(opt.web.mode);  // the option parser named the mode
  set_homebrew_files(opt.passphrase_file, opt.homebrew_site);
  if (opt.check) return check_config(opt.config);
  start_wall_ms = wall_ms();

  block_stop_signals();  // SIGHUP too: from now on it never ends the process
  if (opt.ids != nullptr) set_reload_hook(id_list_reload);
  start_thread(stop_signal_thread, "signal");
  if (int rc = startup(opt.config); rc != 0) return rc;
  stop_signals_link_ready();

  install_moto_relays();          // voice and data from the repeater go to the master
  on_login = repeater_rdac_wake;  // a login starts the announcement cycle at once
  notify_init();
  lock_memory();
  console_ring_start();  // from now on no thread waits for the console
  start_thread(send_voice_to_hytera, "Motorola reader");
  start_thread(repeater_rdac, "RDAC");
  start_thread(localrepeater_handler, "service socket");
  start_thread(send_voice_to_motorola, "master reader");
  // Neither is needed for the gateway's job: each says so in one line when it
  // cannot start, and voice goes on without it.
  if (opt.ids != nullptr) id_list_start(opt.ids);
  if (opt.http) web_start(opt.web);

  for (;;) {
    sleep(1);
    supervision_pass();
    notify_pass(mono_ms());
  }
}
