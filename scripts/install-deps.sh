#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages that building and testing corvane need and
# that this machine lacks; prints nothing when everything is there.
#
#   scripts/install-deps.sh          the native build and test packages
#   scripts/install-deps.sh --all    also the ARM cross tools (with the armhf and
#                                    arm64 architectures), clang for the fuzz
#                                    harnesses and lintian: several hundred MB
#
# --all is implied under CI (CI=true) and by CORVANE_ALL_DEPS=1.  Run as root
# it installs what is missing; as another user it stops at once with the
# apt-get line to run.
set -euo pipefail

native=(g++ cmake make pkg-config libgtest-dev libmicrohttpd-dev nettle-dev nlohmann-json3-dev iproute2 python3 procps
  clang-format-14)
extra_arch=(libgtest-dev libstdc++6 libmicrohttpd-dev nettle-dev)
extra=(clang-14 libclang-rt-14-dev libssl-dev lintian systemd qemu-user
  crossbuild-essential-armhf crossbuild-essential-arm64
  chromium chromium-driver python3-selenium prometheus)
arches=(armhf arm64)

all=${CORVANE_ALL_DEPS:-0}
[ "${CI:-}" = true ] && all=1
[ "${1:-}" = --all ] && all=1

want=("${native[@]}")
if [ "$all" = 1 ]; then
  want+=("${extra[@]}")
  for a in "${arches[@]}"; do for p in "${extra_arch[@]}"; do want+=("$p:$a"); done; done
fi

installed() { [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]; }
command -v dpkg-query >/dev/null || { echo "install-deps: not a Debian system; install by hand: ${want[*]}" >&2; exit 1; }
missing=()
for p in "${want[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0

foreign=()
if [ "$all" = 1 ]; then
  for a in "${arches[@]}"; do dpkg --print-foreign-architectures | grep -qx "$a" || foreign+=("$a"); done
fi
if [ "$(id -u)" != 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root first:" >&2
  for a in "${foreign[@]}"; do echo "  dpkg --add-architecture $a" >&2; done
  echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
for a in "${foreign[@]}"; do dpkg --add-architecture "$a"; done
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
