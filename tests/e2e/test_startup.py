#!/usr/bin/env python3
"""Start-up of the real binary: the printed sequence with a valid
configuration, and the exit status 1 with its messages when the
configuration is missing or invalid or a fixed port is taken.

Runs in a network namespace of its own, so the fixed ports 62005..62007 never
collide with anything else on the machine.

    python3 test_startup.py --binary PATH      exit 0 pass, 1 fail, 77 skip
"""

import os
import re
import struct
import subprocess

import bench
from bench import Bench, CONFIG, config_text

ESC = "\x1b"
TS_RX = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"      # asctime, 24 characters
CFG = "corvane.cfg"


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def progress_frames():
    """The 101 frames of the one-second progress bar: a single-precision
    progress value p from 0 in steps of 0.01 (added in double precision),
    ">" at cell int(70 * p) (single-precision product), "=" before it, and
    int(p * 100) in double precision."""
    frames = []
    p = f32(0.0)
    while p < 1.0:
        pos = int(f32(70.0 * p))
        cells = "".join("=" if i < pos else (">" if i == pos else " ") for i in range(70))
        frames.append("[" + cells + "] " + str(int(p * 100.0)) + " %")
        p = f32(p + 0.01)
    return frames


def config_lines(cfg):
    key = bytes.fromhex(cfg["NetworkKey"].rjust(40, "0"))
    b = int(cfg["MyBridgeID"]).to_bytes(4, "big")
    return [
        "RptrCall=[%s]" % cfg["RptrCall"],
        "RptrID=[%s]" % cfg["RptrID"],
        "RptrIP=[%s]" % cfg["RptrIP"],
        "RptrPort=[%s]" % cfg["RptrPort"],
        "MasterIP=[%s]" % cfg["MasterIP"],
        "RptrQRGtx=[%s]" % cfg["RptrQRGtx"],
        "RptrQRGrx=[%s]" % cfg["RptrQRGrx"],
        "MyBridgeID=[%s] {%s}" % (cfg["MyBridgeID"], ":".join("%02x" % x for x in b)),
        "NetworkKey=[%s]" % cfg["NetworkKey"],
        "KeyBytes={%s}" % ":".join("%02x" % x for x in key),
    ]


def shell_first_line(cmd):
    r = subprocess.run(["sh", "-c", cmd], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    out = r.stdout.decode("latin-1")
    return out.split("\n")[0] if out else ""


CPU_NAME_CMD = ("grep -i --color 'model name' /proc/cpuinfo | uniq | sed -e 's/model name//' | "
                "sed -e 's/: //' | sed -e 's/  / /g' | sed -e 's/@.*//'")


def texts(gw):
    return [ln.text for ln in gw.snapshot()]


def expect_sequence(res, name, got, want, start):
    """got[start:start+len(want)] equals want (str or compiled regex each)."""
    seg = got[start:start + len(want)]
    for i, w in enumerate(want):
        g = seg[i] if i < len(seg) else None
        ok = g is not None and (w.fullmatch(g) if isinstance(w, re.Pattern) else g == w)
        if not ok:
            return res.check(name, False, "line %d: got %r, want %r" % (
                start + i, g, w.pattern if isinstance(w, re.Pattern) else w))
    return res.check(name, True)


def index_of(lines, pred, start=0):
    for i in range(start, len(lines)):
        if pred(lines[i]):
            return i
    return -1


# ---------------------------------------------------------------------------


def valid_config_run(tb, res):
    gw = tb.start_gateway(config_text())
    mem = gw.wait_for_line(r"^Vorhandener Arbeitsspeicher: |^Konnte RAM nicht ermitteln", timeout=15)
    ok = res.check("valid config: start-up report reaches the memory line", mem is not None)
    t_report = bench.now()
    if ok:
        gw.wait_for_line(r"^$", timeout=2, start=mem.index + 1)
    L = texts(gw)
    got_lines = gw.snapshot()
    failed_before = res.failed

    head = [re.compile("Date: " + TS_RX), "Initialize Golay-23-12 table", "Read Configfile " + CFG]
    head += config_lines(CONFIG)
    head += ["", "", "Corvane 0.92 initialized...entering processing id ",
             ESC + "[4;32mTIMER SET Please Wait" + ESC + "[0m, " + ESC + "[1;36m8sek"]
    expect_sequence(res, "valid config: date, Golay, config lines, banner, TIMER SET in order", L, head, 0)

    pi = len(head)
    if pi < len(got_lines):
        raw = got_lines[pi].raw.decode("latin-1")
        frames = raw.split("\r")
        want = progress_frames()
        res.equal("(bench) progress bar model has 101 frames", len(want), 101)
        ends_in_cr = raw.endswith("\r")
        if ends_in_cr:
            frames = frames[:-1]
        res.check("progress bar: each frame ends in CR, the bar in a line end", ends_in_cr,
                  "last bytes %r" % raw[-8:])
        res.equal("progress bar: frame count", len(frames), 101)
        res.check("progress bar: first frame '>' in cell 0 and 0 %",
                  bool(frames) and frames[0] == "[>" + " " * 69 + "] 0 %", repr(frames[:1]))
        res.check("progress bar: last frame 69 '=' then '>' and 99 %",
                  bool(frames) and frames[-1] == "[" + "=" * 69 + ">] 99 %", repr(frames[-1:]))
        bad = [i for i, (g, w) in enumerate(zip(frames, want)) if g != w]
        res.check("progress bar: every frame byte for byte", not bad and len(frames) == len(want),
                  "first differing frame %s: got %r want %r" % (
                      bad[0], frames[bad[0]], want[bad[0]]) if bad else "")
        span = got_lines[pi].t - got_lines[pi].t_first
        res.check("progress bar: drawn over about one second (10 ms per frame)", 0.9 <= span <= 5.0,
                  "took %.3f s" % span)
    else:
        res.check("progress bar present", False, "output ended before it")

    expect_sequence(res, "report: colour reset, [ OK ] Initializing..., empty line", L,
                    [ESC + "[0m" + ESC + "[1;32m[ OK ]" + ESC + "[0m Initializing...", ""], pi + 1)

    cpu_prefix = ESC + "[1m[INFO]" + ESC + "[0m CPU name: "
    spd_prefix = ESC + "[1m[INFO]" + ESC + "[0m CPU speed: "
    ic = index_of(L, lambda s: s.startswith(cpu_prefix), pi + 1)
    res.check("report: CPU name line", ic >= 0)
    if ic >= 0:
        # The shell's output goes straight to standard output, so the line
        # shows it right after the label only if the label was flushed first.
        want = cpu_prefix + shell_first_line(CPU_NAME_CMD)
        res.equal("report: CPU name printed after its label, as the shell pipeline gives it", L[ic], want)
    isp = index_of(L, lambda s: s.startswith(spd_prefix), max(ic, pi + 1))
    res.check("report: CPU speed line after the CPU name line", isp > ic >= 0)
    im = index_of(L, lambda s: s.startswith("Vorhandener Arbeitsspeicher: "), max(isp, pi + 1))
    res.check("report: memory line after the CPU speed line", im > isp >= 0)
    if im >= 0:
        m = re.fullmatch(r"Vorhandener Arbeitsspeicher: (\d+)MB", L[im])
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") >> 20
        res.check("report: memory size in MiB matches the machine", m is not None and abs(int(m.group(1)) - total) <= 1,
                  "line %r, machine %d MiB" % (L[im], total))
        res.check("report: memory line followed by an empty line", im + 1 < len(L) and L[im + 1] == "",
                  repr(L[im + 1:im + 2]))

    # The four sockets are bound on all local addresses.
    r = subprocess.run(["ip", "netns", "exec", tb.gw_ns, "cat", "/proc/net/udp"], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, timeout=10, text=True)
    bound = set()
    for row in r.stdout.splitlines()[1:]:
        f = row.split()
        if len(f) > 2:
            ip, port = f[1].split(":")
            bound.add((ip, int(port, 16)))
    for port in (62005, 62006, 62007, int(CONFIG["RptrPort"])):
        res.check("valid config: UDP port %d bound on 0.0.0.0" % port, ("00000000", port) in bound,
                  "bound: %s" % sorted(p for _, p in bound))

    # Keeps running: no exit after the report.
    left = 1.5 - (bench.now() - t_report)
    rc = gw.wait_exit(max(left, 0.1))
    res.check("valid config: gateway keeps running after start-up", rc is None, "exited with %s" % rc)
    res.check("valid config: nothing on standard error", gw.stderr == b"", gw.stderr[-500:].decode("latin-1"))
    gw.stop()
    if res.failed > failed_before:
        gw.dump()


def exit_run(tb, res, title, config, want_tail, taken_port=None, ns_socket_ip="0.0.0.0"):
    """Runs the gateway where it must give up: checks that the lines of
    want_tail appear in that order after the configuration lines, that the
    process ends by itself with exit status 1, and that the progress bar of a
    completed start-up was never drawn."""
    blocker = None
    if taken_port is not None:
        blocker = tb.socket(ns_socket_ip, taken_port, ns=tb.gw_ns)
    failed_before = res.failed
    try:
        gw = tb.start_gateway(config)
        rc = gw.wait_exit(8.0)
        res.check("%s: process ends by itself" % title, rc is not None, "still running after 8 s")
        res.equal("%s: exit status" % title, rc, 1)
        L = texts(gw)
        expect_sequence(res, "%s: Date, Golay and Read Configfile lines first" % title, L,
                        [re.compile("Date: " + TS_RX), "Initialize Golay-23-12 table", "Read Configfile " + CFG], 0)
        pos, missing = 3, None
        for w in want_tail:
            i = index_of(L, (lambda s, w=w: w.fullmatch(s) is not None) if isinstance(w, re.Pattern) else
                         (lambda s, w=w: s == w), pos)
            if i < 0:
                missing = w
                break
            pos = i + 1
        res.check("%s: messages in order" % title, missing is None,
                  "missing (in order): %r" % (missing.pattern if isinstance(missing, re.Pattern) else missing))
        res.check("%s: no progress bar" % title, not any("TIMER SET" in s for s in L))
        if res.failed > failed_before:
            gw.dump()
        return gw
    finally:
        if blocker is not None:
            tb.sockets.remove(blocker)
            blocker.close()


def body(binary, res):
    with Bench(binary) as tb:
        valid_config_run(tb, res)

        exit_run(tb, res, "missing config", None, ["Can not read Configfile " + CFG])

        # A trailing comment makes the whole MasterIP line a comment: 8 lines counted.
        lines = [(k, CONFIG[k]) for k in bench.CONFIG_ORDER]
        lines[4] = ("MasterIP", CONFIG["MasterIP"] + " # the master")
        want = [s for s in config_lines(CONFIG) if not s.startswith("MasterIP")]
        exit_run(tb, res, "config with 8 assignments", config_text(lines),
                 want + ["Configuration file invalid... (8)", "Can not read Configfile " + CFG])

        # Values the reader must reject, each with its message; 4 accepted.
        bad = dict(CONFIG, RptrCall="AB", RptrIP="192.168.100.200.1", RptrPort="1023",
                   MasterIP="10.0.0", NetworkKey="12g4")
        exit_run(tb, res, "config with rejected values",
                 config_text([(k, bad[k]) for k in bench.CONFIG_ORDER]),
                 ["RptrCall [AB], has more than 8 characters!",
                  "RptrID=[%s]" % CONFIG["RptrID"],
                  "Error in RptrIP=[192.168.100.200.1]",
                  "Error in RptrPort=[1023] [1024-65535]",
                  "Error in MasterIP=[10.0.0]",
                  "Error in NetworkKey=[12g4]",
                  "Configuration file invalid... (4)",
                  "Can not read Configfile " + CFG])

        rport = int(CONFIG["RptrPort"])
        for port, line in ((62005, "* Local_Repeater_srv_open() failed"),
                           (62007, "Local_Repeater_rdac_srv_open() failed"),
                           (rport, "Corvane_srv_open failed")):
            exit_run(tb, res, "port %d taken" % port, config_text(),
                     config_lines(CONFIG) +
                     ["Failed to bind server socket on IP 0.0.0.0, port %d, errno=98" % port, line],
                     taken_port=port)


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
