#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds corvane and runs it for a while against a simulated Motorola
# repeater and DMR master (needs root for the network namespaces).
set -euo pipefail
cd "$(dirname "$0")"
# What the build and the demonstration need and this machine lacks (root installs it).
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target corvane
exec python3 demo.py --binary build/corvane "$@"
