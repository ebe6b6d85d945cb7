// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/options.h"

#include <getopt.h>

#include <cstdio>

#include "core/config.h"
#include "core/link_status.h"

namespace {

const char usage_text[] =
    "Usage: corvane [-c FILE] [-t] [--open-master[=PORT]]\n"
    "Links a Motorola DMR repeater to a DMR master as a Hytera repeater.\n"
    "\n"
    "  -c, --config FILE  read this configuration file (default: corvane.cfg\n"
    "                     in the working directory)\n"
    "  -t, --check        check the configuration and exit: 0 if it is valid\n"
    "      --open-master[=PORT]\n"
    "                     log into an open DMR master by P2P registration at\n"
    "                     MasterIP:PORT (default 50000) instead of the classic login\n"
    "  -V, --version      print the version and exit\n"
    "  -h, --help         print this help and exit\n";

// Decimal digits only, 1..65535; 0 for anything else.
int port_value(const char* s) {
  int v = 0;
  for (const char* p = s; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - s > 5) return 0;
    v = v * 10 + (*p - '0');
  }
  return v <= 65535 ? v : 0;
}

}  // namespace

int parse_options(int argc, char** argv, Options& opt) {
  static const option longopts[] = {
      {"config", required_argument, nullptr, 'c'},      {"check", no_argument, nullptr, 't'},
      {"version", no_argument, nullptr, 'V'},           {"help", no_argument, nullptr, 'h'},
      {"open-master", optional_argument, nullptr, 'o'}, {nullptr, 0, nullptr, 0}};
  opt = Options{CONFIG_FILE, false, 0};
  optind = 0;  // a fresh scan, also when called more than once (tests)
  opterr = 1;  // getopt names a bad option on stderr itself
  for (int c; (c = getopt_long(argc, argv, "c:tVh", longopts, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        opt.config = optarg;
        break;
      case 't':
        opt.check = true;
        break;
      case 'o':
        opt.open_master = optarg == nullptr ? OPEN_MASTER_DEFAULT_PORT : port_value(optarg);
        if (opt.open_master == 0) {
          fprintf(stderr, "corvane: --open-master: '%s' is not a port (1-65535)\n", optarg);
          fputs(usage_text, stderr);
          return 2;
        }
        break;
      case 'V':
        printf("corvane %s\n", CORVANE_VERSION);
        return 0;
      case 'h':
        fputs(usage_text, stdout);
        return 0;
      default:
        fputs(usage_text, stderr);
        return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "corvane: unexpected argument '%s'\n", argv[optind]);
    fputs(usage_text, stderr);
    return 2;
  }
  return -1;
}
