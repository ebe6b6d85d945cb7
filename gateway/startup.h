// SPDX-License-Identifier: GPL-2.0-or-later
// Start-up sequence of the gateway, up to the start of the worker threads.
#pragma once
#include <cstdint>

#include "core/link_status.h"

// Total RAM in MiB (0 when it cannot be determined).
uint32_t get_mem_total();

// The one-second progress bar; sleep_10ms is called before each frame.
void print_progress_bar(void (*sleep_10ms)());

// Prints the CPU name and speed lines found in a cpuinfo file.
void print_cpu_report(const char* cpuinfo_path);

// The HomeBrew login's files (HomebrewPort set): the passphrase file (null:
// the systemd credential) and the site file (null: none).  Read by
// load_config after the configuration.
void set_homebrew_files(const char* passphrase_file, const char* site_file);

// Reads the configuration file at `path` with the start-up's lines, and for
// a HomeBrew login its passphrase and site; false (after saying so) when
// something is missing or invalid.
bool load_config(const char* path);

// The configuration check of the command line: the same lines, then
// "configuration ok".  Returns the exit status, 0 or 1.
int check_config(const char* path);

// Runs the start-up sequence: date, Golay table, configuration, sockets,
// control packet signing, banner, progress bar and report.  Returns 0 when
// the gateway can go on to start its threads, else the exit status.
int startup(const char* config_path);
