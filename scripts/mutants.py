#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Deliberate one-line faults in the gateway, one at a time: which tests catch each?

For every fault: apply it, build, run the unit tests, and only when none of them
failed the end-to-end tests too (they need root); then put the file back. Prints a
markdown table; exit status 0 when every fault was caught, 1 otherwise.

    scripts/mutants.py [--list] [--only ID ...] [--build-dir DIR]
"""
import argparse, os, re, signal, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (id, fault, file, text that occurs exactly once in the file, its replacement)
MUTANTS = [
    ("fec-coded-swap", "AMBE FEC: coded bits 0 and 1 trade places", "dmr/ambe_fec.cpp",
     "pos[t] = static_cast<uint8_t>(4 * (t % 18) + t / 18);",
     "pos[t] = static_cast<uint8_t>(4 * ((t ^ (t < 2)) % 18) + (t ^ (t < 2)) / 18);"),
    ("emb-parity", "EMB check ignores the last parity bit", "dmr/emb.cpp",
     "return CODEWORDS.word[value >> 9] == value ? 1 : 0;",
     "return (CODEWORDS.word[value >> 9] ^ value) <= 1 ? 1 : 0;"),
    ("golay-table", "Golay table misses the weight-3 patterns with bit 22", "dmr/golay.cpp",
     "for (unsigned k = j + 1; k < 23; ++k)", "for (unsigned k = j + 1; k < 22; ++k)"),
    ("lc-crc", "embedded LC checksum modulo 32 instead of 31", "dmr/embedded_lc.cpp",
     "return static_cast<int>(sum % 31);", "return static_cast<int>(sum % 32);"),
    ("bptc-column", "BPTC(196,96) last column parity misses row 8", "dmr/bptc196.cpp",
     "m[entry(ROWS - 1, c)] = d[0] ^ d[2] ^ d[4] ^ d[5] ^ d[8];", "m[entry(ROWS - 1, c)] = d[0] ^ d[2] ^ d[4] ^ d[5];"),
    ("flco-group", "group calls get the unit-to-unit FLCO", "dmr/full_lc.cpp",
     "private_call ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_GROUP_VOICE",
     "private_call ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_UNIT_TO_UNIT_VOICE"),
    ("hmac-opad", "HMAC outer pad 0x5D instead of 0x5C", "auth/hmac_sha1.cpp",
     "b ^= 0x6A;", "b ^= 0x6B;"),
    ("config-port", "RptrPort 1024 refused (bound off by one)", "core/config.cpp",
     "if (u < 1024 || u > 65535) {", "if (u <= 1024 || u > 65535) {"),
    ("udp-stranger", "a stranger's datagram accepted on a master port", "core/udp.cpp",
     "from->sin_family != AF_INET || from->sin_addr.s_addr != inet_addr(MasterIP)", "from->sin_family != AF_INET"),
    ("sup-countdown", "master login timer runs one pass long", "gateway/supervision.cpp",
     "if (master_timer < 2) {", "if (master_timer < 1) {"),
    ("startup-config", "an invalid configuration does not stop start-up", "gateway/startup.cpp",
     "if (read_config_file(path) != 1) {", "if (read_config_file(path) < 0) {"),
    ("moto-tag", "received tag not checked on the Motorola link", "motorola/link_control.cpp",
     "len > AUTH_TAG_LEN && auth_tag_ok(rx_auth, Key, rx, static_cast<uint32_t>(len))", "len > AUTH_TAG_LEN"),
    ("moto-reregister", "registration not repeated while the repeater is not alive", "motorola/link_control.cpp",
     "if (motorola_repeater_online < 2) SEND(START_LEN, start);",
     "if (motorola_repeater_online < 0) SEND(START_LEN, start);"),
    ("moto-peers", "a peer list of 3 does not stop the gateway", "motorola/link_control.cpp",
     "if (entries >= 3) {", "if (entries > 3) {"),
    ("moto-hb-signed", "keep-alive tag covers 13 of its 14 bytes", "motorola/control_packets.cpp",
     "{start_hb, 14}", "{start_hb, 13}"),
    ("moto-emb-byte", "EMB byte of a Motorola burst not shifted left", "motorola/voice_packet.cpp",
     "static_cast<uint8_t>(bits_to_uint(emb, 7) << 1);", "static_cast<uint8_t>(bits_to_uint(emb, 7));"),
    ("rdac-stale-word", "RDAC check word not recomputed after filling", "master/rdac.cpp",
     "uint16_t w = rdac_check_word(msg, len);", "uint16_t w = static_cast<uint16_t>(msg[10] << 8 | msg[11]);"),
    ("hyt-call-type", "Hytera call type byte inverted", "master/hytera_packet.cpp",
     "pkt[62] = private_call ? 0x00 : 0x01;", "pkt[62] = private_call ? 0x01 : 0x00;"),
    ("m2m-seq", "master->Motorola: a repeated burst number passes (<= became <)", "relay/master_to_moto.cpp",
     "if (v2m_pac_num <= old_v2m_pac_num && v2m_pac_num != 0) return;",
     "if (v2m_pac_num < old_v2m_pac_num && v2m_pac_num != 0) return;"),
    ("m2m-slot1", "slot 1 relayed toward the repeater", "relay/master_to_moto.cpp",
     "if (slot != RELAYED_SLOT) return;", "if (slot != RELAYED_SLOT && slot != 1) return;"),
    ("m2m-keepalive", "master keep-alive does not refresh the login timer", "relay/master_to_moto.cpp",
     "compare_exchange_weak(v, MASTER_KEEPALIVE_SECONDS)", "compare_exchange_weak(v, v)"),
    ("m2m-timeout", "call timeout 30 s instead of 3 s", "relay/master_to_moto.h",
     "V2M_CALL_TIMEOUT_US = 3000000;", "V2M_CALL_TIMEOUT_US = 30000000;"),
    ("m2m-pace", "pacing gap 50 ms instead of 60 ms", "relay/master_to_moto.h",
     "V2M_PACED_GAP_US = 60000;", "V2M_PACED_GAP_US = 50000;"),
    ("recode-burst-e", "burst E does not carry its embedded bits", "relay/burst_recode.cpp",
     "kind >= MOTO_BURST_B && kind <= MOTO_BURST_E", "kind >= MOTO_BURST_B && kind < MOTO_BURST_E"),
    ("pace-decay", "pacing margin decays by 1/8 instead of 1/16", "relay/pace_sleep.cpp",
     "const int64_t decayed = margin - margin / 16;", "const int64_t decayed = margin - margin / 8;"),
    ("m2h-rs-mask", "terminator LC checked with the header's RS(12,9) mask", "relay/moto_to_master.cpp",
     "write_call_lc(pkt, RS129_MASK_TERMINATOR_LC);", "write_call_lc(pkt, RS129_MASK_VOICE_LC_HEADER);"),
    ("m2h-short", "a 51-byte Motorola burst not dropped", "relay/moto_to_master.cpp",
     "if (len < static_cast<int>(MOTO_BURST_READ_LEN)) return false;",
     "if (len < static_cast<int>(MOTO_BURST_READ_LEN) - 1) return false;"),
    ("m2h-position", "burst position wraps after E (5) instead of F (6)", "relay/moto_to_master.cpp",
     "moto_burst_position = position % 6 + 1;", "moto_burst_position = position % 5 + 1;"),
    # Dropping the ceiling altogether survives: no test lets the count get near overflowing.
    ("pos-ceiling", "position report block count saturates one block early", "relay/position_relay.cpp",
     "ACCU_LEN_CEILING = POS_ACCU_LEN + POS_BLOCK_PAYLOAD;", "ACCU_LEN_CEILING = POS_ACCU_LEN;"),
    ("leave-unanswered", "a leaving repeater gets no 0x9B", "motorola/link_control.cpp",
     "udp_ops.send(Corvane_sock, dereg_9b, DEREG_LEN, &from);", ";"),
    ("peers-byte6", "peer list length from byte 6 alone", "motorola/link_control.cpp",
     "int entries = (rx[5] << 8 | rx[6]) / 11;", "int entries = rx[6] / 11;"),
    ("rx-short", "Motorola datagrams cut at 224 bytes", "motorola/link_control.cpp",
     "constexpr int RX_BUF = 1500;", "constexpr int RX_BUF = 224;"),
    ("watchdog-limit", "a worker counts as stuck after the whole watchdog period", "gateway/notify.cpp",
     "watchdog_limit_ms = atoll(usec) / 2000;", "watchdog_limit_ms = atoll(usec) / 1000;"),
    ("ring-count", "lines dropped from a full console ring not counted", "core/console_ring.cpp",
     "      ++dropped;", "      ;"),
    ("flood-guard", "a flooded real-time thread never pauses", "core/realtime.cpp",
     "if (++passes < FLOOD_BURST) return 0;", "return 0;"),
    ("leave-silent", "SIGTERM leaves without de-registering", "gateway/signals.cpp",
     "if (link_ready) moto_leave();", "if (!link_ready) moto_leave();"),
]


def run(cmd):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def failed_tests(build_dir, label):
    out = run(["ctest", "--test-dir", build_dir, "-L", label, "--timeout", "120", "-j2"]).stdout
    if "tests FAILED:" not in out:
        return []
    # ctest's closing list, after the skipped ones: "	 12 - Golay.Table... (Failed)"
    return re.findall(r"^\s*\d+ - (\S+) \(", out.split("tests FAILED:")[-1], re.M)


def check_all():
    bad = []
    for mid, _, path, old, new in MUTANTS:
        with open(os.path.join(ROOT, path)) as f:
            n = f.read().count(old)
        if n != 1 or "\n" in old + new:
            bad.append(f"{mid}: {path} holds the text {n} times (must be once, one line)")
    if len({m[0] for m in MUTANTS}) != len(MUTANTS):
        bad.append("duplicate ids")
    if bad:
        sys.exit("mutants that do not apply:\n  " + "\n  ".join(bad))


def try_mutant(build_dir, mutant):
    mid, _, path, old, new = mutant
    full = os.path.join(ROOT, path)
    with open(full) as f:
        original = f.read()
    try:
        with open(full, "w") as f:
            f.write(original.replace(old, new))
        if run(["cmake", "--build", build_dir, "-j2"]).returncode != 0:
            return "build error", []
        failed = failed_tests(build_dir, "unit")
        if not failed:
            failed = failed_tests(build_dir, "e2e")
        return ("killed" if failed else "survived"), failed
    finally:
        with open(full, "w") as f:
            f.write(original)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--list", action="store_true", help="list the faults and exit")
    ap.add_argument("--only", nargs="+", metavar="ID", help="run only these faults")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-mutants"))
    args = ap.parse_args()
    check_all()
    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only]
    unknown = set(args.only or []) - {m[0] for m in MUTANTS}
    if unknown:
        sys.exit(f"unknown ids: {' '.join(sorted(unknown))}")
    if args.list:
        for m in chosen:
            print(f"{m[0]:16} {m[2]:28} {m[1]}")
        return 0
    # SIGTERM ends the run like Ctrl-C, so the file being tried is restored.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    build = os.path.abspath(args.build_dir)
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
    if run(["cmake", "--build", build, "-j2"]).returncode != 0:
        sys.exit("the unchanged tree does not build")
    if os.geteuid() != 0:
        print("not root: the end-to-end tests will skip", file=sys.stderr)
    rows = []
    for i, m in enumerate(chosen, 1):
        print(f"[{i}/{len(chosen)}] {m[0]} ...", end=" ", file=sys.stderr, flush=True)
        result, failed = try_mutant(build, m)
        print(result, file=sys.stderr, flush=True)
        rows.append((m[0], m[1], result, ", ".join(failed)))
    run(["cmake", "--build", build, "-j2"])  # leave the build as the tree is
    print("| id | fault | result | failing tests |\n|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(x.replace("|", "\\|") for x in r) + " |")
    return 0 if all(r[2] == "killed" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
