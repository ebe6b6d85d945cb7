// SPDX-License-Identifier: GPL-2.0-or-later
// The configuration reader on any file content.  The file is an anonymous
// one in memory, opened by its /proc path as the reader opens any path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "fuzz/harness.h"

namespace {
fuzz::MemFile* file = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(false);  // the operator's own file is printed as written
  file = new fuzz::MemFile("corvane.cfg");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  file->write(data, size);
  reset_config();
  const int rc = read_config_file(file->path);
  FUZZ_CHECK(rc == 0 || rc == 1);
  // Whatever was read, the texts stay terminated inside their arrays.
  FUZZ_CHECK(std::memchr(RptrCall, 0, sizeof RptrCall) != nullptr);
  FUZZ_CHECK(std::memchr(RptrIP, 0, sizeof RptrIP) != nullptr);
  FUZZ_CHECK(std::memchr(MasterIP, 0, sizeof MasterIP) != nullptr);
  return 0;
}
