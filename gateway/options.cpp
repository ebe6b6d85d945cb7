#include "gateway/options.h"

#include <getopt.h>

#include <cstdio>

#include "core/config.h"
#include "core/link_status.h"

namespace {

const char usage_text[] =
    "Usage: corvane [-c FILE] [-t]\n"
    "Links a Motorola DMR repeater to a DMR master as a Hytera repeater.\n"
    "\n"
    "  -c, --config FILE  read this configuration file (default: corvane.cfg\n"
    "                     in the working directory)\n"
    "  -t, --check        check the configuration and exit: 0 if it is valid\n"
    "  -V, --version      print the version and exit\n"
    "  -h, --help         print this help and exit\n";

}  // namespace

int parse_options(int argc, char** argv, Options& opt) {
  static const option longopts[] = {{"config", required_argument, nullptr, 'c'},
                                    {"check", no_argument, nullptr, 't'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  opt = Options{CONFIG_FILE, false};
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
