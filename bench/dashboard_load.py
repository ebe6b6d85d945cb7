#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Does the dashboard delay voice?  The real gateway on the end-to-end bench
(as bench/idle_latency.py, whose pieces this uses), with its HTTP clients in
the gateway's own network namespace, talking to 127.0.0.1 there
(bench/http_clients.py, a process of its own so it never holds up the
stand-ins):

    sudo python3 bench/dashboard_load.py --binary build-rel/corvane [--parts baseline,dashboard,load,reload,...]

  baseline   without --http: idle cost over --idle seconds, then --calls calls
             each way and as many clumps (latency, pacing);
  dashboard  --http (and --ids with the generated list): idle cost with
             --idle-sse event-stream clients, then the calls with --sse of them;
  load       the same gateway on: --rate requests a second over the
             dashboard's paths and --stall connections that never finish
             their request (from one address, then from 200: --stall-addrs),
             while --load-calls calls go each way; memory sampled meanwhile;
  reload     --http, --sse clients, an ID list of --ids-count entries: memory
             (VmLck, VmRSS, VmHWM) sampled every 2 ms from the start and over
             --reloads SIGHUP reloads, a call each way going on during them;
  reload-arena  the same with MALLOC_ARENA_MAX=1;
  memlock    (only when named) the same under the unit's memory lock limit
             (--memlock, as LimitMEMLOCK= with no CAP_IPC_LOCK): does it lock,
             does it live through the reloads, do calls still go through.
A stall detector on each CPU notes when the machine itself keeps a thread
from running; latency and pacing outliers are set against those stalls.
The bench runs at real-time priority (SCHED_FIFO 50, reset on fork), so the
HTTP clients and the gateway's web thread (both normal priority) cannot delay
its stand-ins; the gateway gets real-time voice threads unless --no-rt.
Every loop is bounded in count and time; the namespaces and the generated
list are removed on every way out.
"""

import argparse
import contextlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import idle_latency
from idle_latency import LinkedGateway, ReferenceSleeper, ROWS, bench, idle_cost, now, pct, print_table, relay_calls

HERE = os.path.dirname(os.path.abspath(__file__))
PORT = 8080
ID_HEADER = "RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY"


def start_child(cmd):
    """A helper process of the bench that runs until a line on its standard input."""
    return subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def stop_child(proc, timeout):
    """Stops a helper; its last line of output as JSON (None, and a line on
    stderr, if it does not answer in time or with JSON)."""
    try:
        out, _ = proc.communicate("stop\n", timeout=timeout)
        return json.loads(out.splitlines()[-1])
    except (subprocess.TimeoutExpired, ValueError, IndexError) as e:
        proc.kill()
        proc.wait()
        print("%s: %r" % (proc.args[:4], e), file=sys.stderr)
        return None


class HttpClients:
    """bench/http_clients.py with the given arguments in the gateway's
    namespace; a context manager whose `result` is the clients' summary."""

    def __init__(self, lk, *args, max_time=600):
        self.cmd = ["ip", "netns", "exec", lk.tb.gw_ns, sys.executable, os.path.join(HERE, "http_clients.py"),
                    "--port", str(PORT), "--max-time", str(max_time)] + [str(a) for a in args]
        self.max_time, self.result = max_time, None

    def __enter__(self):
        self.proc = start_child(self.cmd)
        return self

    def __exit__(self, *exc):
        self.result = stop_child(self.proc, self.max_time + 20)


# Samples /proc/PID/status every `every` seconds until a line on stdin, the
# process ends or `limit` seconds pass: first, peak and last of each Vm* figure.
SAMPLER = r"""
import json, select, sys, time
pid, every, limit = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
keys = ("VmLck", "VmRSS", "VmHWM", "VmSize", "VmData")
first, peak, last, n, t0, peak_at = None, {}, None, 0, time.monotonic(), {}
while time.monotonic() - t0 < limit and not select.select([sys.stdin], [], [], every if n else 0)[0]:
    try:
        with open("/proc/%d/status" % pid) as f:
            v = {ln.split(":")[0]: int(ln.split()[1]) for ln in f if ln.split(":")[0] in keys}
    except (OSError, ValueError, IndexError):
        break
    n, last, first = n + 1, v, first or v
    if n == 1:
        print("ready", flush=True)
    for k, x in v.items():
        if x > peak.get(k, -1):
            peak[k], peak_at[k] = x, round(time.monotonic() - t0, 3)
print(json.dumps({"samples": n, "first": first, "peak": peak, "peak_at_s": peak_at, "last": last}))
"""


# Notes the stalls of one CPU: sleeps to a deadline every millisecond at
# SCHED_FIFO 1 (above every normal thread, below the gateway's voice threads),
# pinned to the CPU; prints (deadline on the wall clock, ms late) of each wake-up
# more than 0.5 ms late.  A stall that keeps the CPU from it (the host's, or a
# kernel section of another thread, the kernel being PREEMPT_NONE here) shows.
STALL_DETECTOR = r"""
import json, os, select, sys, time
os.sched_setaffinity(0, {int(sys.argv[1])})
limit, stalls, t0, n = float(sys.argv[2]), [], time.monotonic(), 0
offset, t = time.time() - t0, t0
while t - t0 < limit:
    t, n = t + 0.001, n + 1
    time.sleep(max(0.0, t - time.monotonic()))
    late = time.monotonic() - t
    if late > 0.0005:
        stalls.append((round(t + offset, 6), round(late * 1000.0, 3)))
        t = max(t, time.monotonic() - 0.001)
    if len(stalls) > 100000 or (n % 50 == 0 and select.select([sys.stdin], [], [], 0)[0]):
        break
print(json.dumps(stalls))
"""


class StallDetectors:
    """STALL_DETECTOR on each CPU; a context manager; `stalls`: (wall clock, ms
    late) of all of them, `seconds` each ran."""

    def __init__(self, limit=900):
        self.limit, self.stalls = limit, []

    def __enter__(self):
        self.t0 = now()
        self.procs = [start_child(["chrt", "-f", "1", sys.executable, "-c", STALL_DETECTOR, str(cpu), str(self.limit)])
                      for cpu in sorted(os.sched_getaffinity(0))]
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            self.stalls += [tuple(x) for x in stop_child(p, self.limit + 10) or []]
        self.seconds = now() - self.t0


class MemorySampler:
    """SAMPLER on the gateway's pid; a context manager (`result` after it)."""

    def __init__(self, pid, every=0.002, limit=600):
        self.args, self.limit, self.result = [str(pid), str(every), str(limit)], limit, None

    def __enter__(self):
        self.proc = start_child([sys.executable, "-c", SAMPLER] + self.args)
        self.proc.stdout.readline()   # its first sample taken (or the process gone)
        return self

    def __exit__(self, *exc):
        self.result = stop_child(self.proc, self.limit + 10)


# Names and places of realistic lengths; a few in UTF-8 as real lists have.
FIRST = ("Hans Peter Klaus Juergen Michael Thomas Andreas Stefan Wolfgang Frank John Robert David William James "
         "Richard Joseph Charles Christopher Daniel Matthew Anthony Jose Luis Carlos Giuseppe Marco Jean Pierre "
         "Francois Jan Piotr Krzysztof Lars Bjorn Mats Ken Hiroshi Takeshi Ahmed Mohammed Sergei Dmitri Ivan "
         "Ian Neil Stuart Gary Mark Paul Tony Zoltan Istvan Jiri Miroslav Rene Andre Joao Sebastien Uwe Ralf "
         "Jörg Jürgen Søren Björn José").split()
LAST = ("Mueller Schmidt Schneider Fischer Weber Meyer Wagner Becker Schulz Hoffmann Smith Johnson Williams "
        "Brown Jones Garcia Miller Davis Rodriguez Martinez Hernandez Lopez Gonzalez Wilson Anderson Thomas "
        "Taylor Moore Jackson Martin Lee Thompson White Harris Clark Lewis Robinson Walker Young Allen Rossi "
        "Russo Ferrari Esposito Bianchi Dubois Durand Leroy Moreau Kowalski Nowak Wisniewski Johansson "
        "Andersson Karlsson Nilsson Tanaka Suzuki Watanabe Kuznetsov Popov Novak Svoboda Dvorak Horvath "
        "Nagy Kovacs VanDerBerg DeJong Jansen Müller Größer Sørensen Núñez").split()
PLACES = (("Germany", ("Bayern", "Hessen", "Nordrhein-Westfalen", "Niedersachsen", "Sachsen", "Berlin"),
           ("Muenchen", "Frankfurt am Main", "Koeln", "Hannover", "Dresden", "Berlin", "Nürnberg", "Wuerzburg")),
          ("United States", ("California", "Texas", "New York", "Florida", "Ohio", "Washington", "Colorado"),
           ("Los Angeles", "Houston", "Brooklyn", "Orlando", "Columbus", "Spokane", "Colorado Springs",
            "San Luis Obispo")),
          ("United Kingdom", ("England", "Scotland", "Wales"), ("London", "Manchester", "Edinburgh", "Cardiff")),
          ("Italy", ("Lombardia", "Lazio", "Toscana"), ("Milano", "Roma", "Firenze", "Reggio nell'Emilia")),
          ("Brazil", ("Sao Paulo", "Rio de Janeiro", "Minas Gerais"), ("São Paulo", "Niteroi", "Belo Horizonte")),
          ("Japan", ("Tokyo", "Osaka", "Kanagawa"), ("Shinjuku", "Osaka", "Yokohama")),
          ("Poland", ("Mazowieckie", "Malopolskie"), ("Warszawa", "Krakow", "Radom")),
          ("Czech Republic", ("Praha", "Jihomoravsky kraj"), ("Praha", "Brno", "Znojmo")))


def write_id_list(path, n, seed=1):
    """A DMR ID list of n entries (the usual user CSV), ascending IDs; its size in bytes."""
    rnd = random.Random(seed)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    with open(path, "w", encoding="utf-8") as f:
        f.write(ID_HEADER + "\n")
        for rid in sorted(rnd.sample(range(1001001, 7999999), n)):
            country, states, cities = PLACES[rnd.randrange(len(PLACES))]
            call = "".join(rnd.choice(letters) for _ in range(rnd.choice((1, 2, 2)))) + str(rnd.randrange(10)) + \
                "".join(rnd.choice(letters) for _ in range(rnd.choice((2, 3, 3))))
            f.write("%d,%s,%s,%s,%s,%s,%s\n" % (rid, call, rnd.choice(FIRST), rnd.choice(LAST), rnd.choice(cities),
                                                 rnd.choice(states), country))
    return os.path.getsize(path)


def size_bytes(text):
    """'16M' as systemd reads LimitMEMLOCK= (1024-based), in bytes; prlimit takes bytes only."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    return int(text[:-1] if scale > 1 else text) * scale


def locked_breakdown(pid):
    """KiB of the locked mappings (VmFlags "lo") by kind, from /proc/PID/smaps."""
    out, cur = {}, None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if not fields[0].endswith(":"):   # a mapping's first line: range perms offset dev inode [name]
                cur = {"perms": fields[1], "name": fields[5] if len(fields) > 5 else ""}
            elif fields[0] == "Size:":
                cur["size"] = int(fields[1])
            elif fields[0] == "VmFlags:" and "lo" in fields[1:]:
                name = cur["name"]
                kind = ("shared libraries" if ".so" in name else "the binary" if name.startswith("/") else
                        "anonymous, no access (reserved)" if cur["perms"].startswith("---") else
                        "anonymous, read/write (heap, stacks, lists)")
                out[kind] = out.get(kind, 0) + cur["size"]
    return out


def machine_busy():
    """(busy, total) clock ticks of all CPUs since boot, /proc/stat."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:]]
    return sum(ticks) - ticks[3] - ticks[4], sum(ticks)   # less idle and iowait


def load_average():
    with open("/proc/loadavg") as f:
        return " / ".join(f.read().split()[:3])


def calls_under(lk, res, run, during=None, every=0.5, key="mem"):
    """run() (the calls) with `during` (a context manager) around it, the
    gateway's memory sampled every `every` seconds into res[key], and how busy
    the machine was."""
    with MemorySampler(lk.pid, every) as mem, StallDetectors() as det, during or contextlib.nullcontext():
        res["loadavg"], busy0 = load_average(), machine_busy()
        run()
        busy1 = machine_busy()
    res[key], res["cpu_stalls"], res["cpu_stalls_s"] = mem.result, det.stalls, det.seconds
    res["machine_busy_pct"] = 100.0 * (busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1])


def dashboard_args(port, ids):
    return ["--http", "127.0.0.1:%d" % port] + (["--ids", ids] if ids else [])


def part_baseline(args, results):
    res = {"name": "no dashboard"}
    with LinkedGateway(res["name"], args.binary, not args.no_rt) as lk:
        res["rss_start"] = idle_latency.proc_rss_kib(lk.pid)
        idle_cost(lk.pid, args.idle, res)
        calls_under(lk, res, lambda: relay_calls(lk, args.calls, res))
        res["rss_after"] = idle_latency.proc_rss_kib(lk.pid)
        res["locked"] = locked_breakdown(lk.pid)
    results.append(res)


def part_dashboard(args, results, ids):
    """The dashboard's idle cost and calls; then, if asked, the calls under load."""
    quiet, loaded = {"name": "dashboard, %d streams" % args.sse}, []
    with LinkedGateway(quiet["name"], args.binary, not args.no_rt, dashboard_args(PORT, ids)) as lk:
        quiet["rss_start"] = idle_latency.proc_rss_kib(lk.pid)
        with HttpClients(lk, "--sse", args.idle_sse) as few:
            time.sleep(2.0)
            if "dashboard" in args.parts:
                idle_cost(lk.pid, args.idle, quiet)
            with HttpClients(lk, "--sse", args.sse - args.idle_sse, "--sse-from", "127.0.1.101") as more:
                time.sleep(2.0)
                if "dashboard" in args.parts:
                    calls_under(lk, quiet, lambda: relay_calls(lk, args.calls, quiet))
                    quiet["rss_after"] = idle_latency.proc_rss_kib(lk.pid)
                    quiet["running"] = lk.gw.running()
                    quiet["locked"] = locked_breakdown(lk.pid)
                for addrs in (args.stall_addrs if "load" in args.parts else []):
                    r = {"name": "+ %d req/s, %d stalled from %d address%s" % (args.rate, args.stall, addrs,
                                                                              "es" if addrs > 1 else "")}
                    seconds = 16.0 * args.load_calls + 10.0   # a call each way and a clump take about 14 s
                    load = HttpClients(lk, "--rate", args.rate, "--count", int(args.rate * seconds), "--stall",
                                       args.stall, "--stall-addrs", addrs, max_time=seconds + 30)
                    r["rss_start"] = idle_latency.proc_rss_kib(lk.pid)
                    calls_under(lk, r, lambda: relay_calls(lk, args.load_calls, r), load)
                    r["rss_after"] = idle_latency.proc_rss_kib(lk.pid)
                    r["http"] = load.result
                    r["running"] = lk.gw.running()
                    loaded.append(r)
    for r in [quiet if "dashboard" in args.parts else None] + loaded:
        if r:
            r["sse"] = merge_sse(few.result, more.result)
            results.append(r)


def merge_sse(*parts):
    out = {"clients": 0, "still_open": 0, "events": {}, "closed_by_server": 0, "connect_failed": 0}
    for p in parts:
        s = (p or {}).get("sse", {})
        for k in ("clients", "still_open", "closed_by_server", "connect_failed"):
            out[k] += s.get(k, 0)
        for e, n in s.get("events", {}).items():
            out["events"][e] = out["events"].get(e, 0) + n
    return out


def reloads_during_calls(lk, args, res):
    """--reloads SIGHUPs --reload-every seconds apart while a call goes each
    way; the time from each SIGHUP to the gateway's next console line."""
    res["reload_s"], stop = [], threading.Event()

    def hup():
        for _ in range(args.reloads):
            mark = lk.gw.mark()
            t0 = now()
            res.setdefault("reload_at", []).append(time.time())
            os.kill(lk.pid, signal.SIGHUP)
            line = lk.gw.wait_for_line(args.reload_line, 30.0, mark)
            res["reload_s"].append(round(now() - t0, 3) if line else None)
            res.setdefault("reload_lines", []).append(line.text if line else None)
            if stop.wait(args.reload_every):
                return

    t = threading.Thread(target=hup, daemon=True)
    t.start()
    relay_calls(lk, args.reload_calls, res)
    t.join(timeout=30.0 * args.reloads + args.reload_every * args.reloads)
    stop.set()
    time.sleep(2.0)   # the last reload's memory settles


def part_reload(args, results, ids, name, prefix=(), env=None):
    res = {"name": name}
    start_mem = MemorySampler(0)

    def on_start(pid):   # the first reading of the list happens at start-up
        start_mem.args[0] = str(pid)
        start_mem.__enter__()

    try:
        with LinkedGateway(name, args.binary, not args.no_rt, dashboard_args(PORT, ids), prefix, on_start,
                           env) as lk:
            time.sleep(2.0)
            start_mem.__exit__(None, None, None)
            res["mem_start"] = start_mem.result
            res["rss_start"] = idle_latency.proc_rss_kib(lk.pid)
            with HttpClients(lk, "--sse", args.sse) as sse:
                time.sleep(2.0)
                load = None
                if args.reload_load:   # the load part's requests and stalled connections meanwhile
                    seconds = 16.0 * args.reload_calls + 40.0
                    load = HttpClients(lk, "--rate", args.rate, "--count", int(args.rate * seconds), "--stall",
                                       args.stall, "--stall-addrs", args.stall_addrs[-1], max_time=seconds + 30)
                calls_under(lk, res, lambda: reloads_during_calls(lk, args, res), load, every=0.002, key="mem_reload")
                res["http"] = load and load.result
            res["sse"], res["locked"] = merge_sse(sse.result), locked_breakdown(lk.pid)
            res["rss_after"] = idle_latency.proc_rss_kib(lk.pid)
            res["running"] = lk.gw.running()
            res["console"] = [ln.text for ln in lk.gw.lines_matching(args.notable_line)][-12:]
            res["stderr"] = lk.gw.stderr.decode("latin-1")[-2000:]
    finally:
        if start_mem.result is None and hasattr(start_mem, "proc"):
            start_mem.__exit__(None, None, None)
    results.append(res)


def vm(key, which="peak", part="mem"):
    return lambda r: "%d" % r[part][which][key]


def sse_cell(r):
    s = r["sse"]
    return "%d/%d, %s" % (s["still_open"], s["clients"], " ".join("%s %d" % kv for kv in sorted(s["events"].items())))


def http_cell(r):
    h = r["http"]["load"]
    return "%d/%d in %.1f s, %.0f/s (%s), cut off %d, closed %d" % (
        h["answered"], h["sent"], h["seconds"], h["answered"] / h["seconds"],
        " ".join("%s: %d" % kv for kv in sorted(h["status"].items())), h["cut_off"], h["closed_by_server"])


def stall_cell(r):
    s = r["http"]["stall"]
    closed = s["closed_by_server_after_s"]
    return "%d/%d open%s" % (s["still_open"], s["clients"], ", %d closed after %.1f-%.1f s" % (
        len(closed), min(closed), max(closed)) if closed else "")


def outliers(r, key, bad):
    """Of the figures r[key] (ms) for which bad(x): how many, how many of them
    overlap (within 10 ms) a stall of a CPU (a stall detector's wake-up more
    than 0.5 ms late), how many a reload (from the SIGHUP to the reload's line);
    of latencies, how many had the sending stand-in held up for more than
    0.5 ms between reading the clock and the send's return."""
    def overlaps(t, x, spans):
        return any(a - 0.010 <= t + x / 1000.0 and t - 0.010 <= b for a, b in spans)
    stalls = [(w - late / 1000.0, w + late / 1000.0) for w, late in r["cpu_stalls"]]
    reloads = [(h, h + (s or 30.0)) for h, s in zip(r.get("reload_at", ()), r.get("reload_s", ()))]
    found = [(t, x) for t, x in zip(r[key + "_at"], r[key]) if bad(x)]
    slow = [sp for sp, x in zip(r.get(key + "_spent", ()), r[key]) if bad(x) and sp > 0.5]
    return "%d (%d in a CPU stall%s%s)" % (
        len(found), sum(overlaps(t, x, stalls) for t, x in found),
        ", %d in a reload" % sum(overlaps(t, x, reloads) for t, x in found) if reloads else "",
        ", %d sender held up" % len(slow) if key + "_spent" in r else "")


EXTRA_ROWS = [
    ("latencies over 1 ms, to master", lambda r: outliers(r, "to_master", lambda x: x > 1.0)),
    ("latencies over 1 ms, to repeater", lambda r: outliers(r, "to_repeater", lambda x: x > 1.0)),
    ("pacing gaps outside 60 +/- 0.5 ms", lambda r: outliers(r, "gaps", lambda x: abs(x - 60.0) > 0.5)),
    ("CPU stalls > 0.5 / > 1 / > 2 ms a minute, all CPUs (stall detectors)", lambda r: "%.1f / %.1f / %.1f" % tuple(
        60.0 * sum(1 for _, late in r["cpu_stalls"] if late > x) / r["cpu_stalls_s"] for x in (0.5, 1.0, 2.0))),
    ("event streams open at the end / clients; events received", sse_cell),
    ("HTTP answers / requests; by status", http_cell),
    ("HTTP answer time median / p99 / max ms", lambda r: "%.2f / %.2f / %.1f" % tuple(
        r["http"]["load"][k] for k in ("ms_median", "ms_p99", "ms_max"))),
    ("HTTP requests behind schedule, max", lambda r: "%d" % r["http"]["load"]["behind_max"]),
    ("connections that never finish their request", stall_cell),
    ("VmRSS during the calls, first / peak / last KiB", lambda r: "%d / %d / %d" % tuple(
        r["mem"][w]["VmRSS"] for w in ("first", "peak", "last"))),
    ("VmHWM at the end, KiB", vm("VmHWM", "last")),
    ("VmLck during the calls, first / peak KiB", lambda r: "%d / %d" % (r["mem"]["first"]["VmLck"],
                                                                         r["mem"]["peak"]["VmLck"])),
    ("VmLck peak at start-up (list read), KiB", vm("VmLck", "peak", "mem_start")),
    ("VmRSS peak at start-up, KiB", vm("VmRSS", "peak", "mem_start")),
    ("VmLck before / peak during / after the reloads, KiB", lambda r: "%d / %d / %d" % tuple(
        r["mem_reload"][w]["VmLck"] for w in ("first", "peak", "last"))),
    ("VmRSS before / peak during / after the reloads, KiB", lambda r: "%d / %d / %d" % tuple(
        r["mem_reload"][w]["VmRSS"] for w in ("first", "peak", "last"))),
    ("VmHWM after the reloads, KiB", vm("VmHWM", "last", "mem_reload")),
    ("VmSize peak during the reloads, KiB", vm("VmSize", "peak", "mem_reload")),
    ("SIGHUP to the reload's line, s", lambda r: " ".join("%.2f" % x if x is not None else "none"
                                                          for x in r["reload_s"])),
    ("VmLck at the end: shared libraries, KiB", lambda r: "%d" % r["locked"]["shared libraries"]),
    ("VmLck at the end: the binary, KiB", lambda r: "%d" % r["locked"]["the binary"]),
    ("VmLck at the end: anonymous read/write (heap, stacks, lists), KiB", lambda r: "%d" % r["locked"].get(
        "anonymous, read/write (heap, stacks, lists)", 0)),
    ("VmLck at the end: anonymous, no access (malloc arena reserve), KiB", lambda r: "%d" % r["locked"].get(
        "anonymous, no access (reserved)", 0)),
    ("memory samples", lambda r: "%d" % sum(r[k]["samples"] for k in ("mem", "mem_start", "mem_reload") if k in r)),
    ("gateway running at the end", lambda r: "yes" if r["running"] else "NO"),
    ("machine's CPUs busy during the calls, %", lambda r: "%.0f" % r["machine_busy_pct"]),
    ("load average at the calls (1 / 5 / 15 min)", lambda r: r["loadavg"]),
]


def verdicts(results, args):
    """The targets, one line each."""
    out = []
    for r in results:
        def check(what, ok):
            out.append("%s  %s: %s" % ("PASS" if ok else "FAIL", r["name"], what))
        if "to_master" in r and r["to_master"]:
            check("latency p99 <= 1 ms both ways (%.3f, %.3f)" % (pct(r["to_master"], 99), pct(r["to_repeater"], 99)),
                  pct(r["to_master"], 99) <= 1.0 and pct(r["to_repeater"], 99) <= 1.0)
            check("every packet arrived (%d/%d, %d/%d, clumps %d/%d)" % (r["to_master_count"] + r["to_repeater_count"]
                                                                       + r["clump_count"]),
                  all(a == b for a, b in (r["to_master_count"], r["to_repeater_count"], r["clump_count"])))
            check("pacing gaps p1 / p99 within 60 +/- 0.5 ms (%.2f, %.2f)" % (pct(r["gaps"], 1), pct(r["gaps"], 99)),
                  59.5 <= pct(r["gaps"], 1) and pct(r["gaps"], 99) <= 60.5)
        if "idle_cpu_pct" in r:
            wake = r["wakeups_s"] + r["involuntary_s"]
            check("idle CPU <= 0.05 %% of a core (%.4f)" % r["idle_cpu_pct"], r["idle_cpu_pct"] <= 0.05)
            check("idle wake-ups <= 5 / s, voluntary + involuntary (%.2f)" % wake, wake <= 5.0)
        if "running" in r:
            check("gateway still running", r["running"])
        if "error" in r:
            check("part ran to its end (%s)" % r["error"], False)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--binary", required=True)
    ap.add_argument("--parts", default="baseline,dashboard,load,reload,reload-arena",
                    help="of baseline,dashboard,load,reload,reload-arena,memlock")
    ap.add_argument("--idle", type=float, default=60.0, help="seconds of idle measurement")
    ap.add_argument("--calls", type=int, default=10, help="calls each way, and clumps (baseline, dashboard)")
    ap.add_argument("--sse", type=int, default=16, help="event-stream clients during the calls")
    ap.add_argument("--idle-sse", type=int, default=4, help="event-stream clients while idle")
    ap.add_argument("--rate", type=int, default=2000, help="HTTP requests per second (load)")
    ap.add_argument("--stall", type=int, default=200, help="connections that never finish their request (load)")
    ap.add_argument("--stall-addrs", default="1,200",
                    help="from how many addresses the stalled connections come; one load run for each")
    ap.add_argument("--load-calls", type=int, default=5, help="calls each way, and clumps, under load")
    ap.add_argument("--ids-count", type=int, default=300000, help="entries of the generated ID list")
    ap.add_argument("--no-ids", action="store_true", help="the dashboard and load parts without --ids")
    ap.add_argument("--reloads", type=int, default=30, help="SIGHUP reloads (reload, memlock)")
    ap.add_argument("--reload-every", type=float, default=1.0, help="seconds from a reload's line to the next SIGHUP")
    ap.add_argument("--reload-calls", type=int, default=3, help="calls each way, and clumps, during the reloads")
    ap.add_argument("--reload-load", action="store_true",
                    help="the reloads under the load part's HTTP load (stalled from the last of --stall-addrs)")
    ap.add_argument("--reload-line", default=r"ID list",
                    help="regex of the gateway's line after a reload")
    ap.add_argument("--notable-line", default=r"ID list|[Mm]emory|Dashboard|[Ee]rror|ailed",
                    help="regex of console lines to show (reload, memlock)")
    ap.add_argument("--memlock", default="16M", help="RLIMIT_MEMLOCK of the memlock part (setting it above the "
                    "hard limit needs CAP_SYS_RESOURCE)")
    ap.add_argument("--no-rt", action="store_true", help="no real-time priority for the gateway's voice threads")
    ap.add_argument("--json", help="write every figure to this file")
    args = ap.parse_args()
    args.parts = set(args.parts.split(","))
    args.stall_addrs = [int(x) for x in args.stall_addrs.split(",")]
    bench.check_environment()
    if os.sched_getscheduler(0) == os.SCHED_OTHER:
        os.execvp("chrt", ["chrt", "--reset-on-fork", "-f", "50", sys.executable] + sys.argv)
    ReferenceSleeper.realtime = True
    print("load average at the start: %s" % load_average(), flush=True)

    tmp = tempfile.mkdtemp(prefix="corvane-bench-ids-")
    results = []
    try:
        ids = None
        if args.parts & {"dashboard", "load", "reload", "memlock"} and (not args.no_ids or args.parts &
                                                                       {"reload", "memlock"}):
            ids = os.path.join(tmp, "ids.csv")
            t0 = now()
            size = write_id_list(ids, args.ids_count)
            print("ID list: %d entries, %d bytes (%.1f s to write)" % (args.ids_count, size, now() - t0), flush=True)
        parts = [("baseline", "no dashboard", part_baseline, ()),
                 ("dashboard load", "dashboard", part_dashboard, (None if args.no_ids else ids,)),
                 ("reload", "reload", part_reload, (ids, "dashboard, %d streams, %d IDs, %d reloads%s" % (
                     args.sse, args.ids_count, args.reloads, ", %d req/s" % args.rate if args.reload_load else ""))),
                 ("reload-arena", "reload, one malloc arena", part_reload, (ids, "the same, MALLOC_ARENA_MAX=1", (),
                                                                           {"MALLOC_ARENA_MAX": "1"})),
                 ("memlock", "memlock", part_reload, (ids, "the same, LimitMEMLOCK=%s, no CAP_IPC_LOCK" % args.memlock,
                  ["setpriv", "--bounding-set", "-ipc_lock", "prlimit", "--memlock=%d" % size_bytes(args.memlock)]))]
        for names, label, fn, extra in parts:
            if args.parts & set(names.split()):
                try:
                    fn(args, results, *extra)
                except Exception as e:   # the next part still runs
                    print("%s: %s" % (label, e), flush=True)
                    results.append({"name": label, "error": str(e)})
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(results, f, indent=1, default=str)

    print("load average at the end: %s\n" % load_average())
    print_table(results, ROWS + EXTRA_ROWS)
    print()
    for r in results:
        if r.get("console") or r.get("stderr"):
            print("%s: console lines %s; stderr %r" % (r["name"], r.get("console"), r.get("stderr")))
    lines = verdicts(results, args)
    print("\n".join(lines))
    return 1 if any(ln.startswith("FAIL") for ln in lines) else 0


if __name__ == "__main__":
    sys.exit(main())
