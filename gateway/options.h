// SPDX-License-Identifier: GPL-2.0-or-later
// The command line: which configuration file, and what to do with it.
#pragma once

#include "web/server.h"

struct Options {
  const char* config;           // the configuration file; corvane.cfg in the working directory by default
  bool check;                   // only read and check the configuration
  int open_master;              // 0: classic master login; else the open master's service port
  int homebrew;                 // 0: not HomeBrew; else the HomeBrew master's port
  const char* passphrase_file;  // --passphrase-file, or null: the systemd credential
  const char* homebrew_site;    // --homebrew-site, or null
  const char* ids;              // --ids FILE, or null: no ID list
  bool http;                    // --http given: serve the dashboard
  WebOptions web;               // its address, port and allowed networks
};

// Reads argv.  Returns -1 when the gateway should go on with `opt`, else the
// exit status: 0 after --help or --version (printed on stdout), 2 after a
// usage error (the usage on stderr).
int parse_options(int argc, char** argv, Options& opt);
