#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemon as systemd and an operator see it: READY, STATUS and WATCHDOG on
$NOTIFY_SOCKET; a repeater that leaves is answered and registered with again;
SIGTERM de-registers and exits 0; the voice threads real-time where granted,
memory locked; voice still relayed while nobody reads the console."""

import fcntl
import glob
import hashlib
import hmac
import os
import signal
import socket
import subprocess
import tempfile
import time

import bench
from bench import Bench, config_text, now
from peers import GW_AUDIO, GW_RPT, KEY, P, MasterStandIn, RepeaterStandIn, send_call, tag_ok


def sign(body):
    return body + hmac.new(KEY, body, hashlib.sha1).digest()[:10]


def notifications(sock, seconds):
    out, deadline = [], now() + seconds
    while now() < deadline:
        try:
            out.append(sock.recv(512).decode())
        except (BlockingIOError, socket.timeout):
            time.sleep(0.05)
    return out


def body(binary, res):
    with Bench(binary) as tb, tempfile.TemporaryDirectory() as tmp:
        rep, master = RepeaterStandIn(tb), MasterStandIn(tb)
        ns = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK)
        ns.bind(os.path.join(tmp, "notify"))
        gw = tb.start_gateway(config_text(), env={"NOTIFY_SOCKET": ns.getsockname(), "WATCHDOG_USEC": "4000000"})
        got = notifications(ns, 5)
        res.check("READY=1 once the workers run, then WATCHDOG=1 every second", "READY=1" in got and
                  got.count("WATCHDOG=1") >= 2, got)
        res.check("STATUS: links down", "STATUS=repeater not answering, master not logged in" in got, got)
        res.check("no real-time priority without the grant: said once", len(gw.lines_matching(
            "Real-time priority not permitted")) == 1)
        rep.answering = True
        got = notifications(ns, 7)
        res.check("STATUS follows the links", "STATUS=repeater alive, master logged in" in got, got)

        m = rep.ep.mark()
        rep.ep.send(sign(bytes([0x9A]) + (2620001).to_bytes(4, "big")), GW_RPT)
        t = now()
        ans = rep.ep.wait_for(lambda d: d.data[:1] == b"\x9b", 1.0, m)
        reg = rep.ep.wait_for(lambda d: d.data == P["reg"], 1.0, m)
        res.check("a leaving repeater gets a signed 0x9B and a registration within 1 s",
                  ans and reg and tag_ok(ans.data) and len(ans.data) == 15 and reg.t - t < 1.0, (ans, reg))

        m = rep.ep.mark()
        os.kill(gw.proc.pid, signal.SIGTERM)
        res.equal("SIGTERM: exit status 0", gw.wait_exit(3.0), 0)
        leave = rep.ep.wait_for(lambda d: d.data[:1] == b"\x9a", 1.0, m)
        res.check("SIGTERM: one signed de-registration to the repeater", leave and tag_ok(leave.data) and
                  leave.data[1:5] == (11259375).to_bytes(4, "big") and
                  len(rep.ep.received(lambda d: d.data[:1] == b"\x9a", m)) == 1, leave)
        res.check("SIGTERM: one line", gw.wait_for_line(
            r" corvane stops \(SIGTERM\), de-registered from the repeater$", 1.0) is not None)

        # Granted real-time priority (as root): the two voice readers, nothing else.
        gw = tb.start_gateway(config_text(), rt=True)
        time.sleep(2.5)
        policies = [open(f).read().rsplit(")", 1)[1].split()[38] for f in glob.glob("/proc/%d/task/*/stat" % gw.proc.pid)]
        res.equal("real-time where granted: SCHED_FIFO on the two voice threads", sorted(policies).count("1"), 2)
        lck = int(next(ln.split()[1] for ln in open("/proc/%d/status" % gw.proc.pid) if ln.startswith("VmLck")))
        with open(binary, "rb") as f:  # sanitizer builds lock nothing: their shadow memory is huge
            exe = f.read()
        sanitized = b"libasan.so" in exe or b"libtsan.so" in exe
        # The libraries' mappings count whole (the dashboard's libmicrohttpd brings GnuTLS), though with
        # MCL_ONFAULT only the pages touched are resident.
        res.check("memory locked, under 16 MB (%d KiB)" % lck, lck == 0 if sanitized else 0 < lck < 16384, lck)
        gw.stop()

        # A console nobody reads: peer lists (about 200 bytes of lines each) until
        # far more than the pipe and the gateway's buffer hold, then a call.
        rfd, wfd = os.pipe()
        gw = tb.start_gateway(config_text(), stdout=wfd)
        os.close(wfd)
        time.sleep(2.5)
        for _ in range(3000):
            rep.ep.send(P["peers2"], GW_RPT)
            time.sleep(0.001)
        time.sleep(1.0)
        m = rep.ep.mark()
        send_call(master.audio, "mcall", GW_AUDIO, 0)
        time.sleep(1.5)
        got = rep.ep.received(lambda d: d.data[:1] in (b"\x80", b"\x81"), m)
        res.equal("console not read: the call still reaches the repeater", len(got), 9)
        fcntl.fcntl(rfd, fcntl.F_SETFL, os.O_NONBLOCK)
        out, deadline = b"", now() + 5
        while now() < deadline and b" console lines dropped\n" not in out:
            try:
                out += os.read(rfd, 65536)
            except BlockingIOError:
                time.sleep(0.05)
        res.check("console read again: the lost lines are counted", b" console lines dropped\n" in out)
        res.equal("console not read: keeps running", gw.running(), True)
        gw.stop()
        os.close(rfd)


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
