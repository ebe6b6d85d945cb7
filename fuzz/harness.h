// SPDX-License-Identifier: GPL-2.0-or-later
// Shared pieces of the fuzz harnesses: a silent console that still checks
// every line, the input split into datagram records, and the network seam
// (core/udp.h) fed from those records.
#pragma once
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "dmr/dmr_console.h"
#include "master/rdac.h"
#include "tests/support/fake_net.h"
#include "tests/support/test_site.h"

// A broken invariant is a finding like any sanitizer report.
#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzz {

// Console: nothing printed, every text counted.  With `printable` set, a
// text may hold no control character but line ends, tabs and the ESC of a
// colour sequence: bytes of a packet must never reach the operator's
// console (or the journal) raw.
inline size_t console_texts = 0;
inline bool printable = false;
inline void check_text(const char* t, size_t n) {
  ++console_texts;
  for (size_t i = 0; printable && i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    FUZZ_CHECK(c >= 0x20 || c == '\n' || c == '\r' || c == '\t' || c == 0x1B);
    FUZZ_CHECK(c != 0x7F);
  }
}
inline void quiet_console(bool printable_only) {
  printable = printable_only;
  console_sink = [](const char* t, size_t n) { check_text(t, n); };
  dmr_print = [](const char* t) { check_text(t, std::strlen(t)); };
}

// A file in memory that readers open by its /proc path like any other, and
// that each input replaces whole.
struct MemFile {
  int fd = -1;
  char path[64] = "";
  explicit MemFile(const char* name) {
    fd = memfd_create(name, 0);
    FUZZ_CHECK(fd >= 0);
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  }
  void write(const uint8_t* data, size_t size) {
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  }
};

// Input: records of a flags byte, a 16-bit big-endian length and that many
// payload bytes (cut at the end of the input).
struct Record {
  uint8_t flags;
  const uint8_t* data;
  size_t len;
};
struct Records {
  const uint8_t* p;
  size_t left;
  bool next(Record& r) {
    if (left < 3) return false;
    r.flags = p[0];
    size_t n = static_cast<size_t>(p[1]) << 8 | p[2];
    p += 3;
    left -= 3;
    if (n > left) n = left;
    r.data = p;
    r.len = n;
    p += n;
    left -= n;
    return true;
  }
};

// At most one datagram waits, on one socket; the receive takes it as the
// kernel would (cut to the buffer).  Sends go to a checker of the harness.
inline int waiting_sock = -1;
inline const uint8_t* waiting = nullptr;
inline size_t waiting_len = 0;
inline sockaddr_in waiting_from{};
inline void (*on_send)(int sock, const uint8_t* buf, size_t len, const sockaddr_in& to) = nullptr;

// Called at the start of every input, so nothing is left over from the last
// one: the unit tests' site (repeater 192.0.2.2:50000, master 192.0.2.3,
// bridge ID 00ABCDEF, a fixed key) with its sockets, the link status back to
// the start of a run, and no datagram waiting.
inline void new_input() {
  reset_config();
  reset_udp();
  reset_link_status();
  use_test_site();
  waiting = nullptr;
  waiting_sock = -1;
}

// The identity the RDAC harnesses announce, with the RDAC messages filled
// from it: call sign, ID, frequencies and firmware text.
inline void rdac_identity() {
  std::snprintf(RptrCall, sizeof RptrCall, "N0CALL");
  RptrID = 1193046;
  RptrQRGtx = 439000000;
  RptrQRGrx = 431400000;
  std::snprintf(RptrFw, sizeof RptrFw, "Zolt CV 0.92");
  reset_rdac();
  rdac_fill();
}

inline void offer(int sock, const uint8_t* data, size_t len, const sockaddr_in& from) {
  waiting_sock = sock;
  waiting = data;
  waiting_len = len;
  waiting_from = from;
}

inline void fake_net() {
  udp_ops.recv = [](int sock, uint8_t* buf, size_t cap, sockaddr_in* from, int) -> ssize_t {
    if (sock < 0 || sock != waiting_sock || waiting == nullptr) return -1;
    const size_t n = waiting_len < cap ? waiting_len : cap;
    if (n) std::memcpy(buf, waiting, n);
    *from = waiting_from;
    waiting = nullptr;
    waiting_sock = -1;
    return static_cast<ssize_t>(n);
  };
  udp_ops.send = [](int sock, const uint8_t* buf, size_t len, const sockaddr_in* to) -> ssize_t {
    FUZZ_CHECK(sock >= 0);
    if (on_send) on_send(sock, buf, len, *to);
    return static_cast<ssize_t>(len);
  };
}

}  // namespace fuzz
