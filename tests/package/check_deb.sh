#!/usr/bin/env bash
# Builds the Debian package of a configured and built tree with CPack, unpacks
# it into a scratch root and checks what an operator gets: the binary for the
# package's architecture (stripped, its libraries in Depends, starting and
# failing as it should), the systemd unit (pointing at the packaged binary,
# running as the user that the sysusers entry creates, passing
# `systemd-analyze verify` and a hardening threshold), the example
# configuration (identical to the source's, accepted by the packaged binary)
# and the maintainer scripts.
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
mkdir -p "$work/out" "$work/root" "$work/control" "$work/empty" "$work/site"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# --- build ------------------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
deb=$work/out/corvane_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
  ls -l "$work/out"
  echo "FAIL: expected package $(basename "$deb")"
  exit 1
fi
ok "built $(basename "$deb")"

# --- control data -------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = corvane ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), expected $arch"
depends=$(field Depends)

dpkg-deb -e "$deb" "$work/control"
for s in postinst prerm postrm; do
  if [ ! -x "$work/control/$s" ]; then
    fail "maintainer script $s missing or not executable"
  elif ! sh -n "$work/control/$s"; then
    fail "maintainer script $s: syntax error"
  fi
done

# --- files --------------------------------------------------------------------
# Exactly these files and nothing else (no test programs, nothing outside /usr).
expected="./usr/bin/corvane
./usr/lib/systemd/system/corvane.service
./usr/lib/sysusers.d/corvane.conf
./usr/share/doc/corvane/examples/corvane.cfg.example"
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  fail "package files differ from the expected list"
  diff <(echo "$expected") <(echo "$actual") || true
else
  ok "package holds binary, unit, sysusers entry and example configuration"
fi

dpkg -x "$deb" "$work/root"
root=$work/root
bin=$root/usr/bin/corvane
unit=$root/usr/lib/systemd/system/corvane.service
example=$root/usr/share/doc/corvane/examples/corvane.cfg.example

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
  set +e
  (cd "$work/empty" && timeout 60 "${emu[@]}" "$bin" >"$work/empty.out" 2>&1)
  rc=$?
  set -e
  if [ "$rc" -ne 1 ] || ! grep -q "Can not read Configfile corvane.cfg" "$work/empty.out"; then
    fail "without corvane.cfg the binary exited $rc (expected 1 and 'Can not read Configfile corvane.cfg'):"
    cat "$work/empty.out"
  else
    ok "without corvane.cfg: exit 1, 'Can not read Configfile corvane.cfg'"
  fi
fi

# --- example configuration ----------------------------------------------------
if ! cmp -s "$example" "$src/corvane.cfg.example"; then
  fail "packaged example configuration differs from corvane.cfg.example"
fi
# The packaged binary accepts it and gets through start-up (sockets, CPU and
# memory report).  It runs in a network namespace of its own that has only a
# loopback interface that is down, so nothing it sends leaves the process's
# namespace, which goes away with it.
if [ -x "$bin" ] && unshare -n true 2>/dev/null; then
  cp "$example" "$work/site/corvane.cfg"
  started="Arbeitsspeicher|Konnte RAM"   # the last line of start-up
  (cd "$work/site" && exec unshare -n timeout 60 "${emu[@]}" "$bin" >"$work/site.out" 2>&1) &
  pid=$!
  for _ in $(seq 600); do
    grep -Eq "$started" "$work/site.out" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if grep -q "Configuration file invalid\|Can not read" "$work/site.out" || ! grep -Eq "$started" "$work/site.out"; then
    fail "the packaged binary did not start with the packaged example configuration:"
    cat "$work/site.out"
  else
    ok "the packaged binary starts with the example configuration"
  fi
else
  echo "skipped: start with the example configuration (needs unshare -n, i.e. root)"
fi

# --- systemd unit -------------------------------------------------------------
key() { sed -n "s/^$1=//p" "$unit"; }
if [ ! -f "$unit" ]; then
  fail "no unit file"
else
  exec_start=$(key ExecStart)
  [ "$exec_start" = /usr/bin/corvane ] || fail "ExecStart=$exec_start, but the binary is /usr/bin/corvane"
  [ "$(key WorkingDirectory)" = /etc/corvane ] || fail "WorkingDirectory=$(key WorkingDirectory)"
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
  elif ! grep -q "^u $user " "$root/usr/lib/sysusers.d/corvane.conf"; then
    fail "User=$user is not created by usr/lib/sysusers.d/corvane.conf"
  fi
  [ "$(key Restart)" = on-failure ] || fail "Restart=$(key Restart)"

  if command -v systemd-analyze >/dev/null; then
    # verify resolves ExecStart on this machine: point it at the unpacked binary.
    mkdir -p "$work/verify"
    sed "s#^ExecStart=/usr/bin/corvane#ExecStart=$bin#" "$unit" >"$work/verify/corvane.service"
    if ! out=$(systemd-analyze verify "$work/verify/corvane.service" 2>&1) || [ -n "$out" ]; then
      fail "systemd-analyze verify: $out"
    else
      ok "systemd-analyze verify: clean"
    fi
    # The hardening as systemd rates it (0 = fully confined, 10 = not at all).
    if ! out=$(systemd-analyze security --offline=true --threshold=20 "$work/verify/corvane.service" 2>&1); then
      fail "exposure above 2.0: $(echo "$out" | tail -n 1)"
      echo "$out" | grep '^✗' || true
    else
      ok "$(echo "$out" | tail -n 1)"
    fi
  else
    echo "skipped: systemd-analyze verify and security (systemd is not installed)"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; package and scratch root in $work"
  exit 1
fi
echo "package checks passed: $(basename "$deb")"
