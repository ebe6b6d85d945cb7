// Start-up sequence of the gateway, up to the start of the worker threads.
#pragma once
#include <cstdint>

inline constexpr const char* CORVANE_VERSION = "0.92";

// Firmware text announced over RDAC: the software identifier and the version.
extern char RptrFw[13];

// Diagnostic lines of the Motorola-side reader; on for the whole run.
inline constexpr bool debug = true;

// Total RAM in MiB (0 when it cannot be determined).
uint32_t get_mem_total();

// The one-second progress bar; sleep_10ms is called before each frame.
void print_progress_bar(void (*sleep_10ms)());

// Prints the CPU name and speed lines found in a cpuinfo file.
void print_cpu_report(const char* cpuinfo_path);

// Runs the start-up sequence: date, Golay table, configuration, sockets,
// control packet signing, banner, progress bar and report.  Returns 0 when
// the gateway can go on to start its threads, else the exit status.
int startup();
