#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian package of a configured and built tree with CPack, unpacks
# it into a scratch root and checks what an operator gets: the binary for the
# package's architecture (stripped, its libraries in Depends, failing as it
# should, its version the package's), the systemd unit (pointing at the
# packaged binary, running as the user that the sysusers entry creates,
# passing `systemd-analyze verify` and a hardening threshold), the example
# configuration (identical to the source's, accepted by the packaged binary),
# the manual page (clean for groff, naming every key), the changelog and the
# maintainer scripts; lintian on the build machine's own package.
# Usage: check_deb.sh BUILD_DIR ARCH VERSION SOURCE_DIR [EMULATOR ARGS...]
#   ARCH: the package's Debian architecture, empty for the build machine's;
#   EMULATOR: how to run the target's programs (qemu-arm ...) in cross trees.
# Registered as the ctest test package_deb (label "package").
set -euo pipefail
build=$(cd "$1" && pwd) arch=$2 version=$3 src=$4
shift 4
emu=("$@")
[ -n "$arch" ] || arch=$(dpkg --print-architecture)

work=$build/package-check
rm -rf "$work"
mkdir -p "$work/out" "$work/root" "$work/control" "$work/empty"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# --- build ------------------------------------------------------------------
deb=$work/out/corvane_${version}_${arch}.deb
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || [ ! -f "$deb" ]; then
  cat "$work/cpack.log"
  echo "FAIL: cpack did not build $(basename "$deb")"
  exit 1
fi

# --- control data -------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = corvane ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), expected $arch"
depends=$(field Depends)

dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
  [ -x "$work/control/$s" ] && sh -n "$work/control/$s" || fail "maintainer script $s missing, not executable or not sh"
done

# --- files --------------------------------------------------------------------
# Exactly these files and nothing else (no test programs, nothing outside /usr).
expected="./etc/default/corvane
./usr/bin/corvane
./usr/lib/systemd/system/corvane.service
./usr/lib/sysusers.d/corvane.conf
./usr/share/doc/corvane/changelog.gz
./usr/share/doc/corvane/copyright
./usr/share/doc/corvane/examples/corvane.cfg.example
./usr/share/man/man8/corvane.8.gz"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
diff <(echo "$expected") <(echo "$actual") || fail "package files differ from the expected list"

dpkg -x "$deb" "$work/root"
root=$work/root
bin=$root/usr/bin/corvane
unit=$root/usr/lib/systemd/system/corvane.service
example=$root/usr/share/doc/corvane/examples/corvane.cfg.example
man=$root/usr/share/man/man8/corvane.8.gz

# --- binary -------------------------------------------------------------------
if [ ! -x "$bin" ]; then
  fail "usr/bin/corvane is not an executable file"
else
  case $arch in
    amd64) machine="X86-64" ;;
    armhf) machine="ARM" ;;
    arm64) machine="AArch64" ;;
    *) machine="" ;;
  esac
  got=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
  if [ -n "$machine" ] && [[ "$got" != *"$machine"* ]]; then
    fail "binary is for '$got', package says $arch"
  fi
  readelf -S "$bin" | grep -q '\.symtab' && fail "binary is not stripped"
  # Every shared library the binary needs must come from a package in Depends.
  for lib in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case $lib in
      libc.so.6 | libm.so.6 | ld-linux*) pkg=libc6 ;;
      libstdc++.so.6) pkg=libstdc++6 ;;
      libgcc_s.so.1) pkg=libgcc-s1 ;;
      libmicrohttpd.so.12) pkg=libmicrohttpd12 ;;
      libnettle.so.8) pkg=libnettle8 ;;
      *) pkg="" ;;
    esac
    if [ -z "$pkg" ]; then
      fail "binary needs $lib: add its package to CPACK_DEBIAN_PACKAGE_DEPENDS and to this list"
    elif [[ ", $depends" != *", $pkg "* && ", $depends," != *", $pkg,"* ]]; then
      fail "binary needs $lib but Depends ($depends) lacks $pkg"
    fi
  done
  ok "binary: $got, stripped, libraries covered by Depends ($depends)"

  # No configuration: says so and exits 1, for the service manager.
  rc=0
  (cd "$work/empty" && timeout 60 "${emu[@]}" "$bin" >"$work/empty.out" 2>&1) || rc=$?
  if [ "$rc" -ne 1 ] || ! grep -q "Can not read Configfile corvane.cfg" "$work/empty.out"; then
    fail "without corvane.cfg the binary exited $rc (expected 1 and 'Can not read Configfile corvane.cfg'):"
    cat "$work/empty.out"
  fi
fi

# --- example configuration ----------------------------------------------------
cmp -s "$example" "$src/corvane.cfg.example" || fail "packaged example configuration differs from corvane.cfg.example"
# The version, and the check the unit runs before each start.
if [ -x "$bin" ]; then
  v=$(cd "$work/empty" && timeout 60 "${emu[@]}" "$bin" -V 2>&1) || true
  if [ "$v" != "corvane $version" ]; then
    fail "corvane -V says '$v', expected 'corvane $version'"
  elif ! out=$(cd "$work/empty" && timeout 60 "${emu[@]}" "$bin" -t -c "$example" 2>&1) || [[ "$out" != *"configuration ok"* ]]; then
    fail "corvane -t rejects the packaged example configuration: $out"
  fi
fi

# --- the dashboard's metrics, as Prometheus reads them ---------------------------
# The packaged binary with the example configuration and the shipped --http
# option, in a network namespace of its own (its UDP ports and 8080 stay off
# the machine's); promtool (Debian's prometheus package, CI) checks /metrics.
if [ -x "$bin" ] && command -v promtool >/dev/null && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
  cp "$example" "$work/empty/corvane.cfg"
  opts=$(sed -n 's/^CORVANE_OPTS="\(.*\)"$/\1/p' "$work/root/etc/default/corvane")
  # shellcheck disable=SC2086 # the options split at blanks, as systemd splits them
  unshare -n bash -c 'ip link set lo up; cd "$1"; shift; "$@" >/dev/null 2>&1 & pid=$!
    for _ in $(seq 100); do exec 3<>/dev/tcp/127.0.0.1/8080 && break; sleep 0.2; done 2>/dev/null
    printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3; kill $pid' _ "$work/empty" ${emu[@]+"${emu[@]}"} "$bin" $opts \
    >"$work/metrics.http" 2>/dev/null || true
  sed '1,/^\r$/d' "$work/metrics.http" >"$work/metrics.txt"
  if ! grep -q '^corvane_build_info{version="'"$version"'"} 1$' "$work/metrics.txt"; then
    fail "no /metrics from the packaged binary with CORVANE_OPTS=\"$opts\": $(head -c 300 "$work/metrics.http")"
  elif ! out=$(promtool check metrics <"$work/metrics.txt" 2>&1) &&
    [ -n "$(grep -v 'corvane_fec_corrected_bits_total counter metrics should have "_bytes" or "_seconds"' <<<"$out")" ]; then
    fail "promtool check metrics: $out"
  else
    ok "/metrics of the packaged binary passes promtool check metrics"
  fi
else
  echo "skipped: promtool check of /metrics (needs root, unshare and promtool: Debian's prometheus package)"
fi

# --- manual page, changelog ---------------------------------------------------
if command -v groff >/dev/null; then
  out=$(zcat "$man" | groff -ww -z -man 2>&1) && [ -z "$out" ] || fail "corvane.8: $out"
else
  echo "skipped: manual page warnings (groff is not installed)"
fi
for k in $(sed -n 's/^\([A-Za-z]*\)=.*/\1/p' "$example"); do
  zgrep -qx "\.B $k" "$man" || fail "corvane.8 does not describe the key $k"
done
zcat "$root/usr/share/doc/corvane/changelog.gz" | head -n 1 | grep -q "^corvane ($version) " ||
  fail "changelog.gz does not begin with an entry for $version"

# --- systemd unit -------------------------------------------------------------
key() { sed -n "s/^$1=//p" "$unit"; }
if [ ! -f "$unit" ]; then
  fail "no unit file"
else
  for e in ExecStartPre ExecStart; do
    [[ "$(key $e)" == "/usr/bin/corvane "* ]] || fail "$e=$(key $e), but the binary is /usr/bin/corvane"
  done
  user=$(key User)
  if [ -z "$user" ] || [ "$user" = root ]; then
    fail "the unit must run as an unprivileged user (User=$user)"
  elif command -v systemd-sysusers >/dev/null; then
    # What the package's postinst does, in the scratch root.
    mkdir -p "$root/etc"
    if ! systemd-sysusers --root="$root" corvane.conf >/dev/null 2>"$work/sysusers.err"; then
      fail "systemd-sysusers: $(cat "$work/sysusers.err")"
    elif ! grep -q "^$user:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin\$" "$root/etc/passwd"; then
      fail "User=$user is not the system user that usr/lib/sysusers.d/corvane.conf creates"
    fi
  fi

  if command -v systemd-analyze >/dev/null; then
    # verify resolves the commands and the manual page on this machine: point
    # it at the unpacked ones.
    mkdir -p "$work/verify"
    sed "s#^\(Exec[A-Za-z]*=\)/usr/bin/corvane#\1$bin#" "$unit" >"$work/verify/corvane.service"
    if ! out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$work/verify/corvane.service" 2>&1) || [ -n "$out" ]; then
      fail "systemd-analyze verify: $out"
    fi
    # The hardening as systemd rates it (0 = fully confined, 10 = not at all):
    # 1.5, and 0.1 for the real-time grant of the voice threads.
    if ! out=$(systemd-analyze security --offline=true --threshold=16 "$work/verify/corvane.service" 2>&1); then
      fail "exposure above 1.6: $(echo "$out" | tail -n 1)"
      echo "$out" | grep '^✗' || true
    else
      ok "$(echo "$out" | tail -n 1)"
    fi
  else
    echo "skipped: systemd-analyze verify and security (systemd is not installed)"
  fi
fi

# --- lintian (on the build machine's own package) ------------------------------
# Findings that stay, each with its reason:
accepted="package-supports-alternative-init-but-no-init.d-script: needs systemd (notify, watchdog, sysusers)"
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  :
elif ! command -v lintian >/dev/null; then
  echo "SKIPPED: lintian (not installed)"
else
  tags=$(sed 's/:.*//' <<<"$accepted" | tr ' \n' '||')
  lintian -I "$deb" >"$work/lintian.out" 2>&1 || true
  out=$(grep -E '^[EWI]: ' "$work/lintian.out" | grep -Ev ": (${tags%|}) " || true)
  [ -z "$out" ] || fail "lintian: $out"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; package and scratch root in $work"
  exit 1
fi
echo "package checks passed: $(basename "$deb")"
