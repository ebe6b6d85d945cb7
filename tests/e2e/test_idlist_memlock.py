#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A large ID list under the service's locked-memory limit: the gateway as an
unprivileged user (no CAP_IPC_LOCK) under prlimit --memlock= the unit's
LimitMEMLOCK, with the dashboard and a 300,000-entry ID list, reloaded by
SIGHUP: both loads succeed, the locked memory stays under the limit, and a
call still reaches the repeater."""

import os
import random
import re
import resource
import signal
import socket
import stat
import tempfile
import time

import bench
from bench import Bench, config_text, socket_in_netns
from peers import GW_AUDIO, MasterStandIn, RepeaterStandIn, send_call

ENTRIES = 300000
UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "corvane.service.in")
HTTP_PORT = 8080


def unit_memlock():
    """LimitMEMLOCK= of the packaged unit, in bytes."""
    m = re.search(r"^LimitMEMLOCK=(\d+)([KMG]?)$", open(UNIT).read(), re.M)
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def write_list(path):
    """The usual user CSV: header row, seven columns, realistic lengths."""
    rnd = random.Random(1)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    names = ["Anna", "Jonas", "Maria", "Lukas", "Sofia", "Elias", "Emilia", "Noah", "Hannah", "Paul"]
    with open(path, "w") as f:
        f.write("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n")
        for i in range(ENTRIES):
            cs = "%s%s%d%s" % (rnd.choice("DFGKMN"), rnd.choice(letters), rnd.randint(0, 9),
                               "".join(rnd.choice(letters) for _ in range(rnd.randint(2, 3))))
            f.write("%d,%s,%s,Tester,Hamburg,Hamburg,Germany\n" % (1000000 + i, cs, rnd.choice(names)))


def status_ids(ns):
    s = socket_in_netns(ns, socket.SOCK_STREAM)
    s.settimeout(2.0)
    try:
        s.connect(("127.0.0.1", HTTP_PORT))
        s.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            d = s.recv(65536)
            if not d:
                break
            data += d
    finally:
        s.close()
    m = re.search(rb'"ids":(\d+)', data)
    return int(m.group(1)) if m else None


def vmlck(pid):
    for ln in open("/proc/%d/status" % pid):
        if ln.startswith("VmLck"):
            return int(ln.split()[1])
    return None


def body(binary, res):
    with open(binary, "rb") as f:
        exe = f.read()
    if b"libasan.so" in exe or b"libtsan.so" in exe:
        raise bench.Skip("sanitizer builds lock no memory")
    unit = unit_memlock()
    # Raising the hard limit needs CAP_SYS_RESOURCE; without it the test runs under
    # the hard limit it has, and the gateway must still work (unlocked, one line).
    hard = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
    limit = unit if hard == resource.RLIM_INFINITY else min(unit, hard)
    with Bench(binary) as tb:
        rep, master = RepeaterStandIn(tb), MasterStandIn(tb)
        rep.answering = True
        work = tempfile.mkdtemp(prefix="corvane-e2e-")
        tb.tmpdirs.append(work)
        os.chmod(work, 0o755)
        with open(os.path.join(work, "corvane.cfg"), "w") as f:
            f.write(config_text())
        ids = os.path.join(work, "ids.csv")
        write_list(ids)
        for p in (os.path.join(work, "corvane.cfg"), ids):
            os.chmod(p, stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)
        # prlimit as root, then the service's user: nobody, no capability at all.
        wrap = ["prlimit", "--memlock=%d:%d" % (limit, limit), "setpriv", "--reuid=nobody", "--regid=nogroup",
                "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", binary]
        gw = bench.Gateway(wrap[0], tb.gw_ns, work, args=wrap[1:] + ["--http", "127.0.0.1:%d" % HTTP_PORT,
                                                                       "--ids", ids])
        tb.gateways.append(gw)
        loaded = gw.wait_for_line(r" ID list: %d entries from " % ENTRIES, 15.0)
        res.check("first load of %d entries" % ENTRIES, loaded, [ln.text for ln in gw.lines[-5:]])
        unlocked = gw.lines_matching(r"(?i)memory not locked|lock.*not permitted")
        if limit == unit:
            res.check("memory locked (no 'not permitted' line)", not unlocked, [ln.text for ln in unlocked])
        else:
            res.check("memory not locked under a limit too small: one line says so", len(unlocked) == 1,
                      [ln.text for ln in gw.lines_matching(r"(?i)lock")])
        res.equal("the dashboard knows the list", status_ids(tb.gw_ns), ENTRIES)
        before = vmlck(gw.proc.pid)

        m = gw.mark()
        peak = before or 0
        os.kill(gw.proc.pid, signal.SIGHUP)
        deadline = time.monotonic() + 15.0
        while time.monotonic() < deadline and not gw.lines_matching(r" ID list", m):
            peak = max(peak, vmlck(gw.proc.pid) or 0)
            time.sleep(0.005)
        again = gw.lines_matching(r" ID list", m)
        res.check("SIGHUP: the list read again, one line", len(again) == 1 and
                  re.search(r" ID list: %d entries from " % ENTRIES, again[0].text), [ln.text for ln in again])
        after = vmlck(gw.proc.pid)
        print("VmLck: %s KiB after the first load, %d KiB peak during the reload, %s KiB after; limit %d KiB" %
              (before, peak, after, limit >> 10))
        if limit == unit:
            res.check("locked memory within the unit's LimitMEMLOCK", before and peak < limit >> 10, (before, peak))
        else:
            print("SKIPPED: locked memory against the unit's LimitMEMLOCK (%d KiB): this machine's hard limit is "
                  "%d KiB and raising it needs CAP_SYS_RESOURCE" % (unit >> 10, limit >> 10))

        # Voice still goes through once the list is in.
        time.sleep(1.0)
        mark = rep.ep.mark()
        send_call(master.audio, "mcall", GW_AUDIO, 0.02)
        got = rep.ep.wait_for(lambda d: d.data[:1] in (b"\x80", b"\x81"), 3.0, mark)
        res.check("a call still reaches the repeater", got)
        res.equal("gateway still running", gw.running(), True)
        gw.stop()
        res.equal("nothing on standard error", gw.stderr, b"")


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
