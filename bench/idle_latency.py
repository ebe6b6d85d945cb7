#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Idle cost, relay latency, pacing and memory of the real gateway, measured
on the end-to-end bench (two network namespaces), for one or more builds
side by side.

    sudo python3 bench/idle_latency.py --binary NAME=PATH [--binary NAME=PATH ...] [--idle 60]

For each binary: start it against the repeater and master stand-ins, wait
for the login and the end of the RDAC cycle, then measure
  - idle CPU (utime+stime of all threads, /proc/PID/stat) over --idle seconds
    with the links up and no calls, and voluntary context switches per second
    (sum over /proc/PID/task/*/status);
  - added latency repeater -> master: from the wall clock read just before
    the stand-in's send to the kernel's receive stamp at the other stand-in
    (SO_TIMESTAMPNS, so the receiving stand-in's wake-up does not count) for
    each packet of calls sent 60 ms apart (median, 99th percentile);
  - added latency master -> repeater for packets sent 80 ms apart (more than
    the 60 ms pacing, so pacing adds nothing);
  - pacing: the gaps between the receive stamps of the packets the repeater
    gets when the master sends a whole call at once (median, 1st and 99th
    percentile, maximum), and the gateway's CPU meanwhile;
  - for comparison, how late a separate process's 60 ms sleeps end on this
    machine over the same time;
  - resident memory (VmRSS) after start-up and after the calls.
--calls sets how many calls go each way, and how many clumps (10 by default).
--load N runs N busy processes at normal priority beside the gateway for the
whole measurement; the bench's stand-ins and the reference sleeper then run at
real-time priority (SCHED_FIFO, reset on fork: the gateway and the busy
processes do not inherit it), so their own delays do not count.  The gateway
is granted real-time priority for its voice threads unless --no-rt.
"""

import argparse
import hashlib
import hmac
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import bench  # noqa: E402
import peers  # noqa: E402
from bench import Bench, periodic, config_text, now  # noqa: E402
from peers import GW_AUDIO as AUDIO, GW_RPT as RPT, KEY, V  # noqa: E402
TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK   # utime, stime


def proc_switches(pid):
    """Voluntary and involuntary context switches, summed over all threads."""
    vol = invol = 0
    for t in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, t)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        vol += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        invol += int(line.split()[1])
        except FileNotFoundError:
            pass   # a thread that just ended
    return vol, invol


def proc_status_kib(pid, keys=("VmRSS", "VmHWM", "VmLck")):
    """The given Vm* lines of /proc/PID/status, in KiB (0 where absent)."""
    out = dict.fromkeys(keys, 0)
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k = line.split(":", 1)[0]
            if k in out:
                out[k] = int(line.split()[1])
    return out


def proc_rss_kib(pid):
    return proc_status_kib(pid, ("VmRSS",))["VmRSS"]


def pct(values, p):
    v = sorted(values)
    if not v:
        return float("nan")
    k = min(len(v) - 1, max(0, int(round(p / 100.0 * (len(v) - 1)))))
    return v[k]


def gateway_pid(gw):
    # The gateway runs under `ip netns exec`, which execs it: same PID.
    return gw.proc.pid


def call(name, superframes, seq0):
    """A call of the test vectors (rcall or mcall) with its bursts A-F sent
    `superframes` times between its headers and its terminator, numbered
    from seq0 on (a repeated number would be dropped); Motorola packets are
    signed again."""
    packets = [bytearray.fromhex(h) for h in V[name]]
    out = []
    for i, p in enumerate(packets[:2] + packets[2:8] * superframes + packets[8:]):
        p = bytearray(p)
        if name == "mcall":
            p[4:6] = (seq0 + i).to_bytes(2, "little")
        else:
            p[20:22] = (seq0 + i).to_bytes(2, "big")
            p[-10:] = hmac.new(KEY, bytes(p[:-10]), hashlib.sha1).digest()[:10]
        out.append(bytes(p))
    return out


def send_spaced(ep, packets, dst, gap, spent=None):
    """Sends the packets `gap` seconds apart; returns their send times on the
    wall clock, the clock of the kernel's receive stamps.  `spent` gets the
    milliseconds from reading the clock to the send's return (a sender held up
    there makes the packet look late)."""
    times = []
    t = now()
    for p in packets:
        while now() < t:
            time.sleep(min(0.002, max(t - now(), 0)))
        times.append(time.time())
        ep.send(p, dst)
        if spent is not None:
            spent.append((time.time() - times[-1]) * 1000.0)
        t += gap
    return times


def latencies(sent_times, received):
    """Milliseconds from each send to the kernel's receive stamp of the
    packet it became (packets come out in the order they went in)."""
    n = min(len(sent_times), len(received))
    return [(r.kt - s) * 1000.0 for s, r in zip(sent_times[:n], received[:n])]


# The machine's own timing, for comparison: a separate process sleeping to a
# deadline every 60 ms and noting how late each wake-up is, in microseconds.
REFERENCE_SLEEPER = r"""
import select, sys, time
late, t = [], time.monotonic()
print("%.6f" % (time.time() - time.monotonic() + t))  # the start on the wall clock
while not select.select([sys.stdin], [], [], 0)[0]:
    t += 0.060
    time.sleep(max(0.0, t - time.monotonic()))
    late.append(time.monotonic() - t)
print(" ".join("%d" % (x * 1e6) for x in late))
"""


class ReferenceSleeper:
    realtime = False  # under --load: measured at the stand-ins' priority

    def __enter__(self):
        self.proc = subprocess.Popen((["chrt", "-f", "50"] if self.realtime else []) + [sys.executable, "-c", REFERENCE_SLEEPER],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        return self

    def __exit__(self, *exc):
        out, _ = self.proc.communicate("stop\n", timeout=10)
        start, *late = out.split()
        self.late_ms = [int(x) / 1000.0 for x in late]
        # (deadline on the wall clock, ms late) of each wake-up
        self.late_at = [(float(start) + 0.060 * (k + 1), x) for k, x in enumerate(self.late_ms)]


def is_voice_to_repeater(d):
    return len(d.data) > 24 and d.data[0] in (0x80, 0x81)


class LinkedGateway:
    """The gateway on its own bench with both links up (login answered, RDAC
    cycle done), the master's keep-alive running; a context manager.  `args`
    go on the gateway's command line, `prefix` before the binary, `env` into
    its environment; on_start(pid) is called as soon as the gateway runs."""

    def __init__(self, name, binary, rt, args=(), prefix=(), on_start=None, env=None):
        self.name, self.binary, self.rt, self.args, self.prefix = name, binary, rt, list(args), list(prefix)
        self.on_start, self.env = on_start, env

    def __enter__(self):
        self.tb = Bench(self.binary).__enter__()
        try:
            self.rep = peers.RepeaterStandIn(self.tb)
            self.rep.answering = True
            self.master = peers.MasterStandIn(self.tb)
            self.gw = self.tb.start_gateway(config_text(), rt=self.rt, args=self.args, prefix=self.prefix,
                                            env=self.env)
            self.pid = gateway_pid(self.gw)
            if self.on_start:
                self.on_start(self.pid)
            self.ka = periodic(5.0, lambda: self.master.audio.send(b"A", AUDIO))
            if self.gw.wait_for_line(r"Sende Anmeldung an DMR Master", 20.0) is None:
                raise RuntimeError("%s: no login within 20 s" % self.name)
            if self.master.rdac.wait_for(lambda d: len(d.data) == 71, 10.0) is None:
                raise RuntimeError("%s: no RDAC pair" % self.name)
            self.master.rdac_reply()
            time.sleep(3.0)
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, *exc):
        if getattr(self, "ka", None):
            self.ka.set()
        if exc[0] is not None and getattr(self, "gw", None):
            self.gw.dump(40)
        self.tb.__exit__(*exc)


def idle_cost(pid, seconds, res):
    """CPU (% of a core) and context switches per second over `seconds`."""
    c0, (v0, i0), t0 = proc_cpu_s(pid), proc_switches(pid), now()
    time.sleep(seconds)
    c1, (v1, i1), t1 = proc_cpu_s(pid), proc_switches(pid), now()
    res["idle_cpu_pct"] = 100.0 * (c1 - c0) / (t1 - t0)
    res["wakeups_s"] = (v1 - v0) / (t1 - t0)
    res["involuntary_s"] = (i1 - i0) / (t1 - t0)


def relay_calls(lk, calls, res):
    """`calls` calls each way and as many clumps from the master through the
    linked gateway `lk`: latencies, counts, pacing gaps, the machine's own
    sleep, the CPU while pacing, into `res`."""
    pid, rep, master = lk.pid, lk.rep, lk.master
    with ReferenceSleeper() as ref:
        res["to_master"], res["to_repeater"], res["gaps"] = [], [], []
        res["to_master_at"], res["to_repeater_at"], res["gaps_at"] = [], [], []   # wall clock of each
        res["to_master_spent"], res["to_repeater_spent"] = [], []
        got_sent = [0] * 6
        pacing_cpu = pacing_s = 0.0
        for c in range(calls):
            # Repeater -> master, 60 ms apart as a radio sends them.
            start = master.audio.mark()
            sent = send_spaced(rep.ep, call("rcall", 3, 1000 + 100 * c), RPT, 0.060, spent := [])
            time.sleep(0.5)
            got = master.audio.received(lambda d: len(d.data) == 72, start=start)
            res["to_master"] += latencies(sent, got)
            res["to_master_at"] += sent[:len(got)]
            res["to_master_spent"] += spent[:len(got)]
            got_sent[0] += len(got)
            got_sent[1] += len(sent)

            # Master -> repeater, 80 ms apart: pacing adds no delay.
            start = rep.ep.mark()
            sent = send_spaced(master.audio, call("mcall", 3, 2000 + 100 * c), AUDIO, 0.080, spent := [])
            time.sleep(0.5)
            got = rep.ep.received(is_voice_to_repeater, start=start)
            res["to_repeater"] += latencies(sent, got)
            res["to_repeater_at"] += sent[:len(got)]
            res["to_repeater_spent"] += spent[:len(got)]
            got_sent[2] += len(got)
            got_sent[3] += len(sent)
            time.sleep(3.5)   # let the call end in the gateway

            # A clump from the master: the gateway spreads it 60 ms apart.
            clump = call("mcall", 10, 5000 + 100 * c)
            start = rep.ep.mark()
            c0, t0 = proc_cpu_s(pid), now()
            for p in clump:
                master.audio.send(p, AUDIO)
            deadline = now() + 0.060 * len(clump) + 2.0
            while now() < deadline and len(rep.ep.received(is_voice_to_repeater, start=start)) < len(clump):
                time.sleep(0.05)
            got = rep.ep.received(is_voice_to_repeater, start=start)
            pacing_cpu += proc_cpu_s(pid) - c0
            pacing_s += now() - t0
            res["gaps"] += [(b.kt - a.kt) * 1000.0 for a, b in zip(got, got[1:])]
            res["gaps_at"] += [a.kt for a in got[:-1]]
            got_sent[4] += len(got)
            got_sent[5] += len(clump)
            time.sleep(3.5)
    res["reference_late"], res["reference_late_at"] = ref.late_ms, ref.late_at
    res["pacing_cpu_pct"] = 100.0 * pacing_cpu / pacing_s
    res["to_master_count"] = tuple(got_sent[:2])
    res["to_repeater_count"] = tuple(got_sent[2:4])
    res["clump_count"] = tuple(got_sent[4:])


def measure(name, binary, idle_s, calls, rt):
    res = {"name": name}
    with LinkedGateway(name, binary, rt) as lk:
        res["rss_start"] = proc_rss_kib(lk.pid)
        idle_cost(lk.pid, idle_s, res)
        relay_calls(lk, calls, res)
        res["rss_after"] = proc_rss_kib(lk.pid)
    return res


def print_table(results, rows):
    """A Markdown table: one row per (label, format) that some result has a
    figure for, one column per result ("-" where one lacks it)."""
    def cell(fmt, r):
        try:
            return fmt(r)
        except (KeyError, ValueError, TypeError, statistics.StatisticsError):
            return "-"
    width = max(len(r[0]) for r in rows)
    print("| %s | %s |" % ("measure".ljust(width), " | ".join(r["name"] for r in results)))
    print("|%s|%s" % ("-" * (width + 2), "---|" * len(results)))
    for label, fmt in rows:
        if any(cell(fmt, r) != "-" for r in results):
            print("| %s | %s |" % (label.ljust(width), " | ".join(cell(fmt, r) for r in results)), flush=True)


ROWS = [
    ("idle CPU, % of a core", lambda r: "%.4f" % r["idle_cpu_pct"]),
    ("voluntary context switches / s", lambda r: "%.2f" % r["wakeups_s"]),
    ("involuntary context switches / s", lambda r: "%.2f" % r["involuntary_s"]),
    ("latency to master, median ms", lambda r: "%.3f" % statistics.median(r["to_master"])),
    ("latency to master, p99 ms", lambda r: "%.3f" % pct(r["to_master"], 99)),
    ("packets to master (got/sent)", lambda r: "%d/%d" % r["to_master_count"]),
    ("latency to repeater (80 ms apart), median ms", lambda r: "%.3f" % statistics.median(r["to_repeater"])),
    ("latency to repeater (80 ms apart), p99 ms", lambda r: "%.3f" % pct(r["to_repeater"], 99)),
    ("packets to repeater (got/sent)", lambda r: "%d/%d" % r["to_repeater_count"]),
    ("packets of the clumps to repeater (got/sent)", lambda r: "%d/%d" % r["clump_count"]),
    ("pacing gaps measured", lambda r: "%d" % len(r["gaps"])),
    ("pacing gap, median ms", lambda r: "%.2f" % statistics.median(r["gaps"])),
    ("pacing gap, p1 ms", lambda r: "%.2f" % pct(r["gaps"], 1)),
    ("pacing gap, p99 ms", lambda r: "%.2f" % pct(r["gaps"], 99)),
    ("pacing gap, max ms", lambda r: "%.2f" % max(r["gaps"])),
    ("machine's own 60 ms sleep, late p99 ms", lambda r: "%.2f" % pct(r["reference_late"], 99)),
    ("machine's own 60 ms sleep, late max ms", lambda r: "%.2f" % max(r["reference_late"])),
    ("CPU while pacing a clump, % of a core", lambda r: "%.2f" % r["pacing_cpu_pct"]),
    ("resident memory after start-up, KiB", lambda r: "%d" % r["rss_start"]),
    ("resident memory after the calls, KiB", lambda r: "%d" % r["rss_after"]),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", action="append", required=True, help="NAME=PATH")
    ap.add_argument("--idle", type=float, default=60.0)
    ap.add_argument("--calls", type=int, default=10, help="calls each way, and clumps")
    ap.add_argument("--load", type=int, default=0, help="busy processes beside the gateway")
    ap.add_argument("--no-rt", action="store_true", help="no real-time priority for the gateway")
    args = ap.parse_args()
    bench.check_environment()
    if args.load and os.sched_getscheduler(0) == os.SCHED_OTHER:
        os.execvp("chrt", ["chrt", "--reset-on-fork", "-f", "50", sys.executable] + sys.argv)
    ReferenceSleeper.realtime = args.load > 0
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.load)]
    try:
        results = [measure(*b.split("=", 1), args.idle, args.calls, not args.no_rt) for b in args.binary]
    finally:
        for p in busy:
            p.kill()

    print_table(results, ROWS)
    return 0


if __name__ == "__main__":
    sys.exit(main())
