// SPDX-License-Identifier: GPL-2.0-or-later
// Console output of the air-interface codings.
//
// dmr/ must not depend on the gateway's console, so every line these codings
// print goes through one process-wide hook. Each call hands over one whole
// line, line end included; the default writes it to stdout with a single
// fputs, so lines from different threads never interleave mid-line.
// Tests swap the hook to capture what is printed.
#pragma once

// The hook. Never null while the codings run; restore the default with
// `dmr_print = dmr_print_stdout`.
extern void (*dmr_print)(const char* text);

// The default hook: fputs(text, stdout).
void dmr_print_stdout(const char* text);

// Formats one line into a fixed 256-byte buffer (longer output is cut) and
// hands it to dmr_print in one call.
void dmr_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
