// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "core/console.h"
#include "core/console_ring.h"
#include "core/realtime.h"
#include "master/master_link.h"
#include "motorola/link_control.h"

namespace {

std::atomic<bool> link_ready{false};
std::atomic<void (*)()> reload_hook{nullptr};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// The line and the flush may block on a console nobody reads, so they run
// here while the signal thread keeps the time.
void* say_and_flush(void* arg) {
  const int sig = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  console_printf("%s corvane stops (%s)%s\n", refresh_ts().text, sig == SIGINT ? "SIGINT" : "SIGTERM",
                 link_ready ? ", de-registered from the repeater" : "");
  console_flush(1000);
  _exit(0);
}

}  // namespace

void block_stop_signals() {
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void stop_signals_link_ready() {
  link_ready = true;
}

void set_reload_hook(void (*hook)()) {
  reload_hook = hook;
}

void* stop_signal_thread(void*) {
  const sigset_t set = stop_signals();
  int sig = 0;
  for (;;) {
    if (sigwait(&set, &sig) != 0) continue;
    if (sig != SIGHUP) break;
    // A reload only wakes whoever re-reads; this thread never reads a file.
    if (void (*hook)() = reload_hook.load(); hook != nullptr) hook();
  }
  if (link_ready) {
    moto_leave();
    // And the master's side, where its protocol says goodbye (HomeBrew: RPTCL).
    if (void (*leave)() = master_link().leave; leave != nullptr) leave();
  }
  if (spawn_thread(say_and_flush, reinterpret_cast<void*>(static_cast<intptr_t>(sig)))) {
    sigset_t stop = set;
    sigdelset(&stop, SIGHUP);
    const timespec one_second{1, 0};
    sigtimedwait(&stop, nullptr, &one_second);  // a second signal, or the second is up
  }
  _exit(0);
}
