// SPDX-License-Identifier: GPL-2.0-or-later
// Print hook of the air-interface codings.
#include "dmr/dmr_console.h"

#include <cstdarg>
#include <cstdio>

void dmr_print_stdout(const char* text) {
  std::fputs(text, stdout);
}

void (*dmr_print)(const char* text) = dmr_print_stdout;

void dmr_printf(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  dmr_print(line);
}
