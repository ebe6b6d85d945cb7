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
#include "motorola/link_control.h"

namespace {

std::atomic<bool> link_ready{false};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
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

void* stop_signal_thread(void*) {
  const sigset_t set = stop_signals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  if (link_ready) moto_leave();
  if (spawn_thread(say_and_flush, reinterpret_cast<void*>(static_cast<intptr_t>(sig)))) {
    const timespec one_second{1, 0};
    sigtimedwait(&set, nullptr, &one_second);  // a second signal, or the second is up
  }
  _exit(0);
}
