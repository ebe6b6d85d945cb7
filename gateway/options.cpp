// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/options.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "core/config.h"
#include "core/link_status.h"
#include "master/homebrew.h"

namespace {

const char usage_text[] =
    "Usage: corvane [-c FILE] [-t] [--open-master[=PORT] | --homebrew[=PORT]]\n"
    "               [--http [ADDR:]PORT] [--http-allow CIDR[,CIDR...]] [--ids FILE]\n"
    "Links a Motorola DMR repeater's time slot 2 to a DMR network's master.\n"
    "\n"
    "  -c, --config FILE  read this configuration file (default: corvane.cfg\n"
    "                     in the working directory)\n"
    "  -t, --check        check the configuration and exit: 0 if it is valid\n"
    "      --open-master[=PORT]\n"
    "                     log into an open DMR master by P2P registration at\n"
    "                     MasterIP:PORT (default 50000) instead of the classic login\n"
    "      --homebrew[=PORT]\n"
    "                     log into a HomeBrew (MMDVM) master at MasterIP:PORT\n"
    "                     (default 62031) instead of the classic login\n"
    "      --passphrase-file FILE\n"
    "                     the HomeBrew passphrase (default: the systemd credential\n"
    "                     homebrew-passphrase in $CREDENTIALS_DIRECTORY)\n"
    "      --homebrew-site FILE\n"
    "                     location, description and the like for the HomeBrew\n"
    "                     master, key=value lines\n"
    "      --http [ADDR:]PORT\n"
    "                     serve the dashboard (a read-only web page, /metrics and\n"
    "                     /api/) on that IPv4 address (default 127.0.0.1) and port\n"
    "      --http-allow CIDR[,CIDR...]\n"
    "                     only these networks may connect to the dashboard\n"
    "      --ids FILE     callsigns and names from this DMR ID list (CSV or tab-\n"
    "                     separated); SIGHUP reads it again\n"
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

int usage_error(const char* what, const char* detail) {
  fprintf(stderr, "corvane: %s: %s\n", what, detail);
  fputs(usage_text, stderr);
  return 2;
}

}  // namespace

int parse_options(int argc, char** argv, Options& opt) {
  static const option longopts[] = {{"config", required_argument, nullptr, 'c'},
                                    {"check", no_argument, nullptr, 't'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"open-master", optional_argument, nullptr, 'o'},
                                    {"homebrew", optional_argument, nullptr, 'b'},
                                    {"passphrase-file", required_argument, nullptr, 'p'},
                                    {"homebrew-site", required_argument, nullptr, 's'},
                                    {"http", required_argument, nullptr, 'H'},
                                    {"http-allow", required_argument, nullptr, 'a'},
                                    {"ids", required_argument, nullptr, 'i'},
                                    {nullptr, 0, nullptr, 0}};
  opt = Options{};
  opt.config = CONFIG_FILE;
  bool allow = false;
  std::string error;
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
      case 'b':
        opt.homebrew = optarg == nullptr ? HOMEBREW_DEFAULT_PORT : port_value(optarg);
        if (opt.homebrew == 0) return usage_error("--homebrew", "not a port (1-65535)");
        break;
      case 'p':
        opt.passphrase_file = optarg;
        break;
      case 's':
        opt.homebrew_site = optarg;
        break;
      case 'H':
        if (!web_parse_http(optarg, &opt.web, &error)) return usage_error("--http", error.c_str());
        opt.http = true;
        break;
      case 'a':
        if (!web_parse_allow(optarg, &opt.web, &error)) return usage_error("--http-allow", error.c_str());
        allow = true;
        break;
      case 'i':
        opt.ids = optarg;
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
  if (opt.open_master != 0 && opt.homebrew != 0)
    return usage_error("--homebrew", "--open-master and --homebrew exclude each other");
  if ((opt.passphrase_file != nullptr || opt.homebrew_site != nullptr) && opt.homebrew == 0)
    return usage_error(opt.passphrase_file != nullptr ? "--passphrase-file" : "--homebrew-site",
                       "only with --homebrew");
  if (allow && !opt.http) return usage_error("--http-allow", "only with --http");
  web_set_mode(&opt.web, opt.homebrew != 0 ? "homebrew" : opt.open_master != 0 ? "open_master" : "classic");
  return -1;
}
