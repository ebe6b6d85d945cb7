#!/usr/bin/env python3
"""Login to a stand-in port-learning open master (--open-master) that keeps its rules:
P2P registration, the RDAC exchange in strict order (5 s per answer, both checksums
and the identity checked), a call each way on the redirected DMR port, the exchange
again after the DMR port request, a silent master restart (other ports), a new login."""

import queue, struct, threading, time  # noqa: E401

import bench
from bench import Bench, GW_IP, MASTER_IP, now
from peers import GW_RPT, V, RepeaterStandIn, matches, send_call, tag_ok
from test_voice import voice, wait_n

ID, CALL, TX, RX = 2629999, "DL0XYZ", 438512500, 430912500
TS = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} "
# The master's side of the RDAC exchange, as a master sends it.
M = {k: bytes.fromhex(h) for k, h in dict(
    connect="7e0400fe20100000000c60e1", ack1="7e04001020100001000c61ce", ack2="7e04001020100002000c61cd",
    ack3="7e04001020100003000c61cc", ack15="7e04001020100015000c61ba", close="7e0400fb20100016000c60ce",
    idreq="7e0400002010000100189b6002040005006400000001c403", r0005="7e0400002010001500189c4b02050005006400000001c303",
    r71="7e040000201000040019579f02d4020600640000000201ef03", r225="7e04000020100002001958a002d4020600640000000200f003",
    r82d6="7e040000201000030019738402d68206000064000000026e03").items()}
# What the master sends, then the opcodes of the answers it waits for, in this order.
SCRIPT = (("connect", [0xFD]), ("idreq", [0x10, 0, 0]), ("ack1 ack2 r225", [0x10, 0]), ("ack3 r82d6", [0x10]),
          ("r71", [0x10, 0]), ("r0005", [0x10, 0]), ("ack15 close", [0xFA]))
WANT = dict(ids={ID}, call=CALL, call71=CALL, mode=0, tx=TX, rx=RX, sizes=(25, 225, 71, 25),
            pns=[0, 1, 1, 2, 2, 3, 3, 4, 4, 0x15, 5, 0x16], srcs={(GW_IP, 62007)})


def le32(b, o): return struct.unpack_from("<I", b, o)[0]  # noqa: E704


def checksums_ok(b):
    """HRNP: BE 16-bit words (bytes 10-11 as zero), carries folded, inverted; DATA also HDAP."""
    w = b[:10] + b"\0\0" + b[12:] + b"\0" * (len(b) % 2)
    s = sum(struct.unpack(">%dH" % (len(w) // 2), w))
    while s > 0xFFFF:
        s = (s & 0xFFFF) + (s >> 16)
    hdap = len(b) > 19 and b[-1] == 3 and b[-2] == ((sum(b[13:-2]) & 255) ^ 255) + 0x33 & 255 and \
        b[15] | b[16] << 8 == len(b) - 19
    return b[10:12] == struct.pack(">H", ~s & 0xFFFF) and b[8] << 8 | b[9] == len(b) and (b[3] != 0 or hdap)


def identity(ds):
    got = [d.data for d in ds]
    text = lambda b, o: b[o:o + 32].decode("utf-16-le").rstrip("\0")  # noqa: E731
    idr, m225, m71, r8005 = got[2], got[5], got[8], got[10]
    return dict(ids={le32(b, 18) for b in (idr, got[3], m225, m71)} | {le32(m225, 216)}, call=text(m225, 88),
                call71=text(m71, 37), mode=m71[26], tx=le32(m71, 29), rx=le32(m71, 33),
                sizes=tuple(len(b) for b in (idr, m225, m71, r8005)), pns=[b[6] << 8 | b[7] for b in got],
                srcs={d.src for d in ds})


class OpenMaster:
    """The master at MASTER_IP:50000, one repeater (GW_IP) known by its ID; RDAC and
    DMR ports from `ports` (a restart moves to the next pair)."""

    def __init__(self, tb, ports=((50200, 50100), (50210, 50110))):
        self.ports, self.q, self.events, self.faults, self.logins = list(ports), queue.Queue(), [], [], []
        self.svc = tb.endpoint(MASTER_IP, 50000, self.on_svc)
        self.ep = {p: tb.endpoint(MASTER_IP, p, lambda d, p=p, f=f: f(p, d))
                   for pair in ports for p, f in zip(pair, (self.on_rdac, self.on_dmr))}
        self.restart(first=True)
        threading.Thread(target=self.rdac_loop, daemon=True).start()

    def restart(self, first=False):
        """Forgets every repeater, timer and the blacklist; nothing listens on the old ports."""
        self.ports = self.ports if first else self.ports[1:]
        self.slot, self.last, self.black, (self.rdac, self.dmr) = None, {}, set(), self.ports[0]

    def on_svc(self, d):
        b, s = d.data, self.slot
        if d.src[0] != GW_IP or d.src[0] in self.black:
            return
        if b[:4] == b"ZZZZ" and len(b) == 20 and s and s.get("dmr"):  # heartbeat, while holding a DMR port
            return self.svc.send(b[:12] + bytes([b[12] + 1 & 255]) + b[13:], d.src)
        if b[:3] != b"P2P" or len(b) <= 20 or b[20] not in (0x10, 0x11, 0x12) or (not s and b[20] != 0x10):
            return
        cmd = b[20]
        if d.t - self.last.get(cmd, -99) < 10:
            return self.events.append("0x%x repeated within 10 s" % cmd)
        self.last[cmd] = d.t  # 0x11 counts even when refused below
        if cmd == 0x11 and not s.get("id"):
            return self.events.append("0x11 before the identity")
        if cmd == 0x10:
            self.slot = s = dict(s or {}, port=d.src[1], triggers=0)
        to = (GW_IP, s["port"])
        self.svc.send(b[:4] + b"\x01" + b[5:13] + b"\x01" + b[14:] + b"\x01", to)
        if cmd != 0x10:
            self.svc.send(b[:4] + b"\x0b" + b[5:12] + (b"\x00" if cmd == 0x11 else b"\xff") + b"\xff\x01\x00" +
                          b[16:] + b"\xff\x01" + struct.pack("<H", self.dmr if cmd == 0x11 else self.rdac), to)
            s.update(dmr=True, stale=True) if cmd == 0x11 else s.update(rdac=True, triggers=0)

    def on_rdac(self, port, d):
        if len(d.data) > 2 and not checksums_ok(d.data):
            self.faults.append(d.data.hex())
        if port == self.rdac and d.src[0] == GW_IP and self.slot and self.slot.get("rdac"):
            self.q.put(d)

    def rdac_loop(self):
        while True:
            d, s = self.q.get(), self.slot
            if s and len(d.data) <= 2:  # keep-alive; it starts an exchange while the identity is stale
                self.ep[self.rdac].send(b"A" + d.data[1:], d.src)
                if s.get("stale", True) and s["triggers"] < 9:
                    s["triggers"] += 1
                    self.exchange(s, d.src)

    def exchange(self, s, to):
        got = []
        for step, (sends, ops) in enumerate(SCRIPT):
            for k in sends.split():
                self.ep[self.rdac].send(M[k], to)
            for op in ops:
                try:
                    d = self.q.get(timeout=5)
                except queue.Empty:
                    return self.events.append("exchange stalled at step %d" % step)
                if d.data[:4] != bytes([0x7E, 4, 0, op]):
                    return self.events.append("exchange abandoned at step %d: %s" % (step, d.data.hex()))
                got.append(d)
            if step == 1 and le32(got[2].data, 18) != ID:  # unknown ID: blacklisted until a restart
                self.slot = None
                self.black.add(GW_IP)
                return self.events.append("blacklisted for ID %d" % le32(got[2].data, 18))
        self.logins.append(identity(got))
        s.update(id=True, stale=False)

    def wait(self, logins, timeout):
        end = now() + timeout
        while not (len(self.logins) >= logins and self.slot and self.slot.get("voice")) and now() < end:
            time.sleep(0.05)
        return len(self.logins) >= logins and self.slot and self.slot.get("voice")

    def on_dmr(self, port, d):
        if port == self.dmr and d.src[0] == GW_IP and self.slot and self.slot.get("dmr") and len(d.data) <= 2:
            self.ep[port].send(b"A" + d.data[1:], d.src)
            self.slot["voice"] = d.src  # voice goes to the latest keep-alive's source


def body(binary, res):
    with Bench(binary) as tb:
        rep, om = RepeaterStandIn(tb), OpenMaster(tb)
        rep.answering = True
        cfg = dict(bench.CONFIG, RptrID=str(ID), RptrCall=CALL, RptrQRGtx=str(TX), RptrQRGrx=str(RX))
        gw = tb.start_gateway(bench.config_text(cfg.items()), args=["--open-master=50000"])
        try:
            checks(res, gw, rep, om)
        finally:
            res.check("gateway kept running", gw.running(), gw.proc.poll())
            gw.stop()
            res.check("nothing on standard error", gw.stderr == b"", gw.stderr[-2000:])
            res.equal("the master saw nothing against its rules", om.events, [])
            res.equal("both checksums right in every RDAC answer", om.faults, [])
            if res.failed:
                gw.dump()


def console(gw, start, dmr_port):
    return gw.in_order([TS + "Open master: registered, asking for the RDAC port$",
                        TS + "Open master: RDAC exchange done, sent call sign %s, ID %d, TX %d Hz, RX %d Hz$" % (
                            CALL, ID, TX, RX),
                        TS + r"Open master 192\.0\.2\.3: DMR port %d granted, logged in$" % dmr_port], start, 1.0)


def checks(res, gw, rep, om):
    if not res.check("login: identity read, DMR port granted, keep-alive on it", om.wait(1, 15), om.logins):
        return
    res.equal("login: identity and packet numbers of the RDAC answers", om.logins[0], WANT)
    res.equal("login: console", console(gw, 0, 50100), None)

    dmr = om.ep[50100]
    m = dmr.mark()
    send_call(rep.ep, "rcall", GW_RPT, 0.02)
    got = wait_n(dmr, m, 9, lambda d: len(d.data) == 72, 2.0)
    res.check("repeater to master: 72-byte packets on the DMR port as the vectors",
              len(got) == 9 and all(matches(w, d.data) for w, d in zip(V["hout"], got)), got)
    m = rep.ep.mark()
    send_call(dmr, "mcall", om.slot["voice"], 0)
    got = wait_n(rep.ep, m, 9, voice, 3.0)
    res.check("master to repeater: 9 voice packets as the vectors, signed",
              len(got) == 9 and all(matches(w, d.data) and tag_ok(d.data) for w, d in zip(V["mout"], got)), got)

    # The DMR port request marked the identity stale: the next RDAC keep-alive starts a new exchange.
    if res.check("new exchange on the RDAC keep-alive after the login", om.wait(2, 12), om.logins):
        res.equal("new exchange: same identity, packet numbers afresh", om.logins[1], WANT)

    last = max(t for e in (om.svc, *om.ep.values()) for t, _, _ in e.sent)
    ln, m = gw.mark(), om.svc.mark()
    om.restart()
    reg = om.svc.wait_for(lambda d: d.data[:3] == b"P2P" and d.data[20:21] == b"\x10", 25, m)
    res.check("master silent: registering again 20 s after its last datagram", reg and 19.5 <= reg.t - last <= 22,
              reg and reg.t - last)
    if res.check("after the restart: identity sent again, DMR port granted", om.wait(3, 8), om.logins):
        res.equal("after the restart: identity", om.logins[2], WANT)
    res.equal("after the restart: console", console(gw, ln, 50110), None)
    res.equal("only 1-byte 00 and 72-byte packets, all from port 62006, on the DMR ports", [
        d for p in (50100, 50110) for d in om.ep[p].received()
        if d.src != (GW_IP, 62006) or (d.data != b"\0" and len(d.data) != 72)], [])


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
