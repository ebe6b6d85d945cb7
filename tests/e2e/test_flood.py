#!/usr/bin/env python3
"""Flood survival: for ten seconds the repeater stand-in, the master stand-in
and a stranger send random datagrams of random lengths (0 to 1500 bytes) to
every port of the gateway (RptrPort, 62005, 62006, 62007) as fast as they
can; some (500 from each sender) carry a valid tag of the network key (none
of them a peer list naming three or more peers, which stops the gateway by
design), and the stand-ins send from their real addresses and ports. Then:

- the gateway still runs, with nothing on standard error;
- its resident size (VmRSS) after the flood is within a small margin of
  the size before it;
- it printed at most 200 lines during the flood: what it drops is shown at
  most once every 10 s, and only signed packets draw lines of their own;
- a clean call in each direction is relayed right afterwards, checked as
  test_moto_to_master.py and test_master_voice.py check their calls.

    python3 test_flood.py --binary PATH      exit 0 pass, 1 fail, 77 skip
"""

import collections
import random
import re
import threading
import time

import bench
from bench import Bench, CONFIG, GW_IP, STRANGER_IP, config_text, now
from peers import MasterStandIn, RepeaterStandIn, key_from_text, sign, tag_ok
import test_master_voice as master_calls
import test_moto_to_master as moto_calls

KEY = key_from_text(CONFIG["NetworkKey"])
RPT_PORT = int(CONFIG["RptrPort"])
PORTS = (RPT_PORT, 62005, 62006, 62007)
FLOOD_SECONDS = 10.0
WARM_UP_SECONDS = 2.0
RSS_MARGIN_KIB = 1024
MAX_FLOOD_LINES = 200
SIGNED_PER_SENDER = 500
REPEATER_PEER_ID = 2620001


def vmrss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def junk_pool(rng, n=4096):
    """Random datagrams of 0 to 1500 bytes."""
    return [rng.randbytes(rng.randint(0, 1500)) for _ in range(n)]


def signed_pool(rng, n=SIGNED_PER_SENDER):
    """Distinct random datagrams of 11 to 1500 bytes that end in a valid tag
    over the bytes before them; half of them fit the gateway's 224-byte
    receive buffer of the repeater link (longer ones lose their tag there).
    None is a peer-list reply naming three or more peers (0x93, byte 6 at
    least 33): signed, that one stops the gateway by design."""
    out = []
    while len(out) < n:
        body = rng.randbytes((rng.randint(11, 224) if len(out) % 2 else rng.randint(11, 1500)) - 10)
        if len(body) > 6 and body[0] == 0x93 and body[6] >= 33:
            continue
        out.append(sign(KEY, body))
    return out


class Flood:
    """One thread per sending socket, cycling through its junk and the
    gateway's four ports until the time is up; every 64th datagram is
    instead the next of its signed ones (each sent once) to the repeater
    link's port."""

    def __init__(self, socks, seconds, seed=0):
        self.deadline = now() + seconds
        self.seed = seed
        self.sent = [0] * len(socks)
        self.threads = [threading.Thread(target=self._run, args=(i, s), daemon=True) for i, s in enumerate(socks)]

    def _run(self, i, sock):
        rng = random.Random(self.seed + i)
        junk, signed = junk_pool(rng), signed_pool(rng)
        k = 0
        while now() < self.deadline:
            for _ in range(64):
                if k % 64 == 0 and k // 64 < len(signed):
                    data, port = signed[k // 64], RPT_PORT
                else:
                    data, port = junk[k % len(junk)], PORTS[k % len(PORTS)]
                try:
                    sock.sendto(data, (GW_IP, port))
                except OSError:
                    pass  # a full queue drops the datagram, as the network would
                k += 1
            self.sent[i] = k

    def run(self):
        for t in self.threads:
            t.start()
        for t in self.threads:
            t.join(timeout=FLOOD_SECONDS + 10)
        return sum(self.sent)


def body(binary, res):
    with Bench(binary) as tb:
        rep = RepeaterStandIn(tb, KEY, RPT_PORT, REPEATER_PEER_ID)
        rep.answering = True
        master = MasterStandIn(tb)
        stranger = tb.socket(STRANGER_IP, 0)
        gw = tb.start_gateway(config_text())
        failed = res.failed
        try:
            _checks(res, gw, rep, master, stranger)
        finally:
            res.check("gateway kept running", gw.running(), "exit status %s" % gw.proc.poll())
            gw.stop()
            res.check("nothing on standard error (no sanitizer report)", gw.stderr == b"",
                      gw.stderr[-2000:].decode("latin-1"))
            if res.failed > failed:
                gw.dump(last=80)


def _checks(res, gw, rep, master, stranger):
    reg = rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", timeout=15)
    if not res.check("gateway registers with the repeater", reg is not None):
        return
    deadline = now() + 3
    while not any(len(d) == 26 for _, d, _ in rep.ep.sent) and now() < deadline:
        time.sleep(0.05)
    time.sleep(1.0)
    pid = gw.proc.pid  # `ip netns exec` execs the binary in its own process
    with open("/proc/%d/comm" % pid) as f:
        if not res.equal("resident size read from the gateway itself", f.read().strip(), "corvane"):
            return
    socks = [rep.ep.sock, master.audio.sock, master.rdac.sock, stranger]
    # A short flood first: what the first datagrams of each kind touch (and a
    # sanitizer's bookkeeping of it) is in place before the size is taken.
    Flood(socks, WARM_UP_SECONDS, seed=100).run()
    time.sleep(1.0)
    rss_before = vmrss_kib(pid)

    ln = gw.mark()
    t0 = now()
    count = Flood(socks, FLOOD_SECONDS).run()
    took = now() - t0
    time.sleep(1.0)  # what is still queued drains
    lines = gw.mark() - ln
    print("flood: %d datagrams in %.1f s (%.0f/s), %d lines printed" % (count, took, count / took, lines))

    if not res.check("gateway survives the flood", gw.running(), "exit status %s" % gw.proc.poll()):
        return
    rss_after = vmrss_kib(pid)
    print("flood: VmRSS %d KiB before, %d KiB after" % (rss_before, rss_after))
    res.check("resident size steady (within %d KiB)" % RSS_MARGIN_KIB,
              rss_after - rss_before <= RSS_MARGIN_KIB, "%d KiB before, %d KiB after" % (rss_before, rss_after))
    if not res.check("at most %d lines printed during the flood" % MAX_FLOOD_LINES, lines <= MAX_FLOOD_LINES,
                     "%d lines" % lines):
        kinds = collections.Counter(re.sub(r"\d+", "N", l.text)[:60] for l in gw.snapshot()[ln:])
        for text, n in kinds.most_common(8):
            print("   %6d x %r" % (n, text))

    # Right afterwards, a clean call in each direction.
    moto_calls.call_run(res, gw, rep, master, False, 40000, "after the flood, repeater to master")
    call = master_calls.Call(2620123, 262, True, 50000, rng_seed=21)
    m = rep.ep.mark()
    master_calls.send_all(master.audio, call.packets(), gap=0.02)
    got = master_calls.wait_count(rep, m, 15, timeout=4.0)
    master_calls.check_call(res, "after the flood, master to repeater", call, got)
    res.check("every datagram to the repeater signed", all(tag_ok(KEY, d.data) for d in rep.ep.received()))


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
