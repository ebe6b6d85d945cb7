#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A call each way (to the master at once, to the repeater paced 60 ms apart)
as the vectors, with their console lines; a stranger's call ignored; a call
without terminator timed out; a flood survived, and a call each way again."""

import random
import statistics
import threading
import time

import bench
from bench import Bench, GW_IP, STRANGER_IP, now
from peers import GW_AUDIO, GW_RPT, KEY, V, MasterStandIn, RepeaterStandIn, hmac, matches, send_call, tag_ok

TS = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} "


def voice(d):
    return d.data[:1] in (b"\x80", b"\x81")


def wait_n(ep, start, n, pred, timeout):
    deadline = now() + timeout
    while len(ep.received(pred, start)) < n and now() < deadline:
        time.sleep(0.05)
    return ep.received(pred, start)


def call_each_way(res, gw, rep, master, when):
    m, ln = master.audio.mark(), gw.mark()
    send_call(rep.ep, "rcall", GW_RPT, 0.02)
    got = wait_n(master.audio, m, 9, lambda d: len(d.data) == 72, 2.0)
    res.check("%s, repeater to master: sync, header, bursts A-F, terminator as the vectors" % when,
              len(got) == 9 and all(matches(w, d.data) for w, d in zip(V["hout"], got)), got)
    res.equal("%s, repeater to master: console" % when, gw.in_order([
        TS + "Moto RX\\+ slot:2 destination_id:9 source_id:2620456 rptr_id:2620001$", TS + "Moto RX- ID:2620456$"],
        ln), None)

    m, ln = rep.ep.mark(), gw.mark()
    send_call(master.audio, "mcall", GW_AUDIO, 0)
    got = wait_n(rep.ep, m, 9, voice, 3.0)
    res.check("%s, master to repeater: headers, bursts A-F, terminator as the vectors, signed" % when,
              len(got) == 9 and all(matches(w, d.data) and tag_ok(d.data) for w, d in zip(V["mout"], got)), got)
    gaps = [b.t - a.t for a, b in zip(got, got[1:])]
    res.check("%s, master to repeater: the clump leaves about 60 ms apart" % when,
              gaps and min(gaps) >= 0.04 and 0.055 <= statistics.median(gaps) <= 0.075, gaps)
    res.equal("%s, master to repeater: console" % when, gw.in_order([
        TS + r"SENDE EIN \d+$",
        TS + "EMB-Decode Slot:2 DestID:262 SrcID:2620123$", TS + "VOICE RX SLOT 2 ENDE USER_ID=2620123 $",
        TS + r"SENDE AUS \d+$"], ln), None)


def flood(socks, seconds, seed):
    """Each socket sends random datagrams of 0-1500 bytes to the four ports as
    fast as it can; every 64th of the first 6400 is a signed one to the
    repeater port (none a peer list, which may stop the gateway by design)."""
    def run(i, sock):
        rng, k, deadline = random.Random(seed + i), 0, now() + seconds
        junk = [rng.randbytes(rng.randint(0, 1500)) for _ in range(4096)]
        while now() < deadline:
            data, port = junk[k % 4096], (GW_RPT[1], 62005, 62006, 62007)[k % 4]
            if k % 64 == 0 and k < 6400:
                body = rng.randbytes(rng.randint(1, 214))
                body = body if body[:1] != b"\x93" else b"\x94" + body[1:]
                data, port = body + hmac.new(KEY, body, "sha1").digest()[:10], GW_RPT[1]
            try:
                sock.sendto(data, (GW_IP, port))
            except OSError:
                pass  # a full queue drops it, as the network would
            k += 1

    threads = [threading.Thread(target=run, args=(i, s), daemon=True) for i, s in enumerate(socks)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 10)


def vmrss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(ln for ln in f if ln.startswith("VmRSS:")).split()[1])


def body(binary, res):
    with Bench(binary) as tb:
        rep, master = RepeaterStandIn(tb), MasterStandIn(tb)
        rep.answering = True
        tb.run_gateway(res, checks, tb, rep, master, tb.endpoint(STRANGER_IP, 62006))


def checks(res, gw, tb, rep, master, stranger):
    if not res.check("registration answered", rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", 15) is not None):
        return
    time.sleep(0.5)
    call_each_way(res, gw, rep, master, "first calls")

    m, ln = rep.ep.mark(), gw.mark()
    send_call(stranger, "mcall", GW_AUDIO, 0.01)
    time.sleep(0.5)
    res.equal("stranger's call: nothing relayed", rep.ep.received(voice, m), [])
    res.equal("stranger's call: nothing printed", gw.lines_matching("", ln), [])

    m, ln = rep.ep.mark(), gw.mark()
    for h in V["mcall"][:-1]:
        master.audio.send(bytes.fromhex(h), GW_AUDIO)
        time.sleep(0.06)
    last = now()
    to = gw.wait_for_line(TS + r"SENDE TIMEOUT \d+$", 5.0, ln)
    res.check("call without terminator: SENDE TIMEOUT about 3 s after its last packet",
              to is not None and 2.8 <= to.t - last <= 3.6, to and to.t - last)
    res.equal("call without terminator: nothing more sent", len(rep.ep.received(voice, m)), 8)

    pid, socks = gw.proc.pid, [rep.ep.sock, master.audio.sock, master.rdac.sock, tb.socket(STRANGER_IP)]
    flood(socks, 1.0, 100)  # what the first datagrams touch is in place before the size is taken
    time.sleep(0.5)
    rss, ln = vmrss_kib(pid), gw.mark()
    flood(socks, 3.0, 0)
    time.sleep(1.0)
    if not res.check("gateway survives the flood", gw.running()):
        return
    res.check("VmRSS steady over the flood (within 1 MiB)", vmrss_kib(pid) - rss <= 1024, (rss, vmrss_kib(pid)))
    res.check("at most 200 lines printed during the flood", gw.mark() - ln <= 200, gw.mark() - ln)
    call_each_way(res, gw, rep, master, "after the flood")


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
