#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A stand-in HomeBrew (MMDVM flavour) master and a small HomeBrew peer for the
end-to-end tests, written from the protocol note, never from the gateway.

The master answers as HBlink3 was seen to: RPTL -> RPTACK + a fresh random salt;
RPTK with SHA-256(salt + passphrase) -> RPTACK + ID, a wrong hash -> MSTNAK and the
entry deleted; RPTC while waiting for it -> RPTACK + ID, connected; RPTO while
connected -> RPTACK + ID (otherwise silence); RPTPING while connected -> MSTPONG;
RPTCL -> MSTNAK and the entry deleted; any other step -> MSTNAK. A session is an ID
and the address that sent its RPTL: a datagram from another address does not reach
it, a new RPTL replaces it. A tick drops a peer whose last ping is older than the
timeout (defaults 5 s and 15 s, so 15-20 s after it). DMRD from a connected peer goes
to every other connected peer, bytes 11-14 set to the receiver's ID; any other DMRD
is dropped silently. Every datagram is logged with its time.

`python3 homebrew_master.py --self-test` (root) runs the stand-in against its own
peer in the bench's namespaces and checks it with the note's example datagrams."""

import hashlib, os, struct, sys, threading, time  # noqa: E401

import bench
from bench import now

PING_TICK, PING_TIMEOUT = 5.0, 15.0
# Tags a peer sends, longest first where one is the prefix of another.
PEER_TAGS = (b"RPTPING", b"RPTCL", b"RPTL", b"RPTK", b"RPTC", b"RPTO", b"DMRD")
MASTER_TAGS = (b"RPTACK", b"MSTPONG", b"MSTNAK", b"MSTCL", b"DMRD")
# Where each tag carries the peer's ID, and its length (RPTO: at least).
ID_AT = {b"RPTPING": 7, b"RPTCL": 5, b"DMRD": 11}
LENGTH = {b"RPTL": 8, b"RPTK": 40, b"RPTC": 302, b"RPTPING": 11, b"RPTCL": 9, b"RPTO": 9, b"DMRD": 55}
# RPTC, after tag and ID: (name, offset, length).
RPTC_FIELDS = (("callsign", 8, 8), ("rx", 16, 9), ("tx", 25, 9), ("power", 34, 2), ("colour", 36, 2),
               ("latitude", 38, 8), ("longitude", 46, 9), ("height", 55, 3), ("location", 58, 20),
               ("description", 78, 19), ("slots", 97, 1), ("url", 98, 124), ("software", 222, 40),
               ("package", 262, 40))


def tag_of(data, tags=PEER_TAGS):
    return next((t for t in tags if data.startswith(t)), None)


def u32(data, at):
    return struct.unpack_from(">I", data, at)[0] if len(data) >= at + 4 else None


def rptc_fields(data):
    """The RPTC's fields as raw ASCII text (padding kept), by the offsets of its table."""
    return {name: data[o:o + n].decode("latin-1") for name, o, n in RPTC_FIELDS}


def rptc(rid, **f):
    """A 302-byte RPTC: text left-aligned and space-padded, each field cut to its width."""
    out = bytearray(b"RPTC" + struct.pack(">I", rid) + b" " * 294)
    for name, o, n in RPTC_FIELDS:
        out[o:o + n] = str(f.get(name, "")).encode("latin-1")[:n].ljust(n)
    return bytes(out)


class HomeBrewMaster:
    """The master at ip:port in the peers' namespace. `passphrase` (bytes) may be
    changed at any time; `salts` are used before random ones (for fixed vectors).
    log: (t, "rx"|"tx", addr, data); logins: (t, id, addr) each time a peer became
    connected; configs: (t, id, fields) per RPTC accepted; faults: datagrams of a
    wrong length or with an unknown tag; events: what the master did, as text."""

    def __init__(self, tb, port=62031, passphrase=b"passw0rd", ip=bench.MASTER_IP, tick=PING_TICK,
                 timeout=PING_TIMEOUT):
        self.passphrase, self.timeout, self.salts = passphrase, timeout, []
        self.peers, self.log, self.logins, self.configs, self.faults, self.events = {}, [], [], [], [], []
        self.silent_until, self.stopped, self._cond = 0.0, False, threading.Condition(threading.RLock())
        self.ep = tb.endpoint(ip, port, self._on)
        self.addr = (ip, self.ep.sock.getsockname()[1])
        self._ticker = bench.periodic(tick, self.tick)

    # ---- what the test uses
    def wait(self, cond, timeout):
        """cond() under the master's lock until it is true or the time is up; its last value."""
        deadline = now() + timeout
        with self._cond:
            while not (got := cond()) and now() < deadline:
                self._cond.wait(min(0.1, deadline - now()))
            return got

    def datagrams(self, direction="rx", tag=None, addr=None, since=0.0):
        with self._cond:
            return [e for e in self.log if direction in (None, e[1]) and e[0] >= since and addr in (None, e[2])
                    and (tag is None or tag_of(e[3], PEER_TAGS + MASTER_TAGS) == tag)]

    def exchanges(self, addr, since=0.0):
        """[(t, datagram), (t, answer) or None] for each datagram from `addr` since `since`; the
        answer is the master's next datagram to `addr` before the next one from it."""
        out = []
        with self._cond:
            for t, way, to, data in self.log:
                if t < since or to != addr:
                    continue
                if way == "rx":
                    out.append([(t, data), None])
                elif out and out[-1][1] is None:
                    out[-1][1] = (t, data)
        return out

    def connected(self, rid):
        with self._cond:
            return self.peers.get(rid, {}).get("state") == "connected"

    def restart(self, silent=0.0):
        """Forgets every peer and answers nothing for `silent` seconds; the time it is back."""
        with self._cond:
            self.peers.clear()
            self.silent_until = now() + silent
            self.events.append((now(), "restart, silent %.1f s" % silent))
            return self.silent_until

    def stop(self):
        """MSTCL to every connected peer, then silence for good."""
        with self._cond:
            for rid, s in self.peers.items():
                if s["state"] == "connected":
                    self._send(b"MSTCL" + struct.pack(">I", rid), s["addr"])
            self.peers.clear()
            self.stopped = True
            self._ticker.set()

    def tick(self):
        """The ping check: drops every peer whose last ping is older than the timeout."""
        with self._cond:
            for rid in [r for r, s in self.peers.items() if now() - s["ping"] > self.timeout]:
                self.events.append((now(), "peer %d dropped, last ping %.1f s ago" % (
                    rid, now() - self.peers[rid]["ping"])))
                del self.peers[rid]
            self._cond.notify_all()

    # ---- the protocol
    def _send(self, data, addr):
        self.log.append((now(), "tx", addr, data))
        self.ep.send(data, addr)
        self._cond.notify_all()

    def _on(self, d):
        with self._cond:
            self.log.append((d.t, "rx", d.src, d.data))
            self._cond.notify_all()
            tag = tag_of(d.data)
            if tag is None or len(d.data) < LENGTH[tag] or (tag != b"RPTO" and len(d.data) != LENGTH[tag]):
                self.faults.append((d.t, d.src, "%s of %d bytes" % (tag and tag.decode() or "unknown tag",
                                                                   len(d.data)), d.data[:16].hex()))
            rid = u32(d.data, ID_AT.get(tag, 4))
            if self.stopped or now() < self.silent_until or rid is None:
                return
            s = self.peers.get(rid)
            s = s if s and s["addr"] == d.src else None  # another address is another session
            state, idb = s and s["state"], struct.pack(">I", rid)
            if tag == b"RPTL":
                salt = self.salts.pop(0) if self.salts else os.urandom(4)
                self.peers[rid] = dict(addr=d.src, state="challenge", salt=salt, ping=now())
                return self._send(b"RPTACK" + salt, d.src)
            if tag == b"RPTK" and state == "challenge":
                if d.data[8:] == hashlib.sha256(s["salt"] + self.passphrase).digest():
                    s.update(state="config", ping=now())
                    return self._send(b"RPTACK" + idb, d.src)
                del self.peers[rid]
                self.events.append((now(), "peer %d: wrong passphrase, deleted" % rid))
            elif tag == b"RPTC" and state == "config":
                s.update(state="connected", ping=now())
                self.configs.append((d.t, rid, rptc_fields(d.data)))
                self.logins.append((d.t, rid, d.src))
                return self._send(b"RPTACK" + idb, d.src)
            elif tag == b"RPTO":
                return state == "connected" and self._send(b"RPTACK" + idb, d.src)
            elif tag == b"RPTPING" and state == "connected":
                s["ping"] = now()
                return self._send(b"MSTPONG" + idb, d.src)
            elif tag == b"RPTCL" and state == "connected":
                del self.peers[rid]
            elif tag == b"DMRD":
                if state == "connected":
                    for to, p in self.peers.items():
                        if to != rid and p["state"] == "connected":
                            self._send(d.data[:11] + struct.pack(">I", to) + d.data[15:], p["addr"])
                else:
                    self.events.append((now(), "DMRD from %d (%s) dropped" % (rid, state)))
                return
            elif tag is None:
                return
            self.events.append((now(), "%s from %d in state %s: MSTNAK" % (tag.decode(), rid, state)))
            self._send(b"MSTNAK" + idb, d.src)

    def dump(self, t0=None):
        t0 = t0 if t0 is not None else (self.log[0][0] if self.log else 0)
        print("---- HomeBrew master: datagrams and events ----")
        with self._cond:
            for t, way, addr, data in sorted(self.log + [(t, "--", "", e.encode()) for t, e in self.events]):
                tag = tag_of(data, PEER_TAGS + MASTER_TAGS) or b""
                shown = data.decode() if way == "--" else "%s %s" % (tag.decode() or "?", data[len(tag):].hex()[:48])
                print("  %8.3f %s %-22s %s" % (t - t0, way, addr and "%s:%d" % addr, shown))


def fill(vector_hex, stream, rid=None):
    """A DMRD vector's bytes: the x'd stream ID set, bytes 11-14 to `rid` if given, other x's 0."""
    b = bytearray(bytes.fromhex(vector_hex[:32] + "%08x" % stream + vector_hex[40:].replace("x", "0")))
    if rid is not None:
        b[11:15] = struct.pack(">I", rid)
    return bytes(b)


class HomeBrewPeer:
    """A small HomeBrew peer at ip:port: login() logs it in one step per answer;
    while connected it pings every `ping` seconds (None: only by ping()). `dmrd`
    holds the DMRD datagrams it received; `answers` every datagram from the master."""

    def __init__(self, tb, master, rid, passphrase=b"passw0rd", ip=bench.PEER2_IP, port=0, ping=5.0, **config):
        self.master, self.rid, self.passphrase = master, rid, passphrase
        self.config = dict(dict(callsign="N0CALL", rx="449000000", tx="444000000", power="25", colour="01",
                                latitude="+38.0000", longitude="-095.0000", height="075", slots="2",
                                software="corvane e2e peer"), **config)
        self.state, self.pongs, self.dmrd, self.answers = "idle", 0, [], []
        self.ep = tb.endpoint(ip, port, self._on)
        self.addr = self.ep.sock.getsockname()
        self._cond = threading.Condition()
        if ping:
            bench.periodic(ping, lambda: self.state == "connected" and self.ping())

    def _id(self):
        return struct.pack(">I", self.rid)

    def _on(self, d):
        if d.src != self.master:
            return
        with self._cond:
            tag, b = tag_of(d.data, MASTER_TAGS), d.data
            self.answers.append(d)
            if tag == b"DMRD":
                self.dmrd.append(d)
            elif tag in (b"MSTNAK", b"MSTCL"):
                self.state = "idle"
            elif tag == b"MSTPONG":
                self.pongs += 1
            elif tag == b"RPTACK" and self.state == "RPTL":  # the salt
                self.state = "RPTK"
                self.ep.send(b"RPTK" + self._id() + hashlib.sha256(b[6:10] + self.passphrase).digest(), d.src)
            elif tag == b"RPTACK" and b[6:10] == self._id() and self.state in ("RPTK", "RPTC"):
                self.state = "RPTC" if self.state == "RPTK" else "connected"
                if self.state == "RPTC":
                    self.ep.send(rptc(self.rid, **self.config), d.src)
            self._cond.notify_all()

    def login(self, timeout=2.0):
        """RPTL, then each step on its RPTACK; True once connected."""
        with self._cond:
            self.state = "RPTL"
            self.ep.send(b"RPTL" + self._id(), self.master)
            deadline = now() + timeout
            while self.state not in ("connected", "idle") and now() < deadline:
                self._cond.wait(0.05)
            return self.state == "connected"

    def ping(self):
        try:
            self.ep.send(b"RPTPING" + self._id(), self.master)
        except OSError:  # closed with the bench
            pass

    def send_call(self, vectors, gap=0.06, stream=None):
        """The call's DMRD vectors with a random stream ID (or `stream`) and this peer's ID; the stream ID."""
        stream = stream or int.from_bytes(os.urandom(4), "big") or 1
        for h in vectors:
            self.ep.send(fill(h, stream, self.rid), self.master)
            time.sleep(gap)
        return stream


# ---- self-test: the note's example datagrams (V01-V28) against this master and its peer
NOTE = {k: bytes.fromhex("".join(v.split())) for k, v in dict(
    V01="5250544c002f9be5", V02="52505441434b7857dd86",
    V03="5250544b002f9be56e2f3d3ecd16c07eb936c2e01730ac3135cef79fe507cb6ab4cea6a84ddf0ace",
    V04="52505441434b002f9be5", V05="""
    52505443002f9be54e3043414c4c202034343930303030303034343430303030
    3030323530312b33382e303030302d3039352e303030303037354c6f6f706261
    636b204c61622020202020202020484250207665726966792070656572202020
    203268747470733a2f2f6578616d706c652e696e76616c69642f686270202020
    2020202020202020202020202020202020202020202020202020202020202020
    2020202020202020202020202020202020202020202020202020202020202020
    2020202020202020202020202020202020202020202020202020202020206862
    702d6e6f74652d7065657220302e312020202020202020202020202020202020
    2020202020204842506e6f74655f506565722020202020202020202020202020
    2020202020202020202020202020""",
    V07="5250544f002f9be55453323d333130303b4449414c3d303b54494d45523d31303b", V09="52505450494e47002f9be5",
    V10="4d5354504f4e47002f9be5", V21="52505450494e47002f9be7", V22="4d53544e414b002f9be7",
    V23="52505441434b7f90ade7",
    V24="5250544b002f9be879573e2b51921c43aa0a1c4fffec9b14219ecb190a17bf77c24367b1bfc15468",
    V25="4d53544e414b002f9be8", V26="525054434c002f9be9", V27="4d53544e414b002f9be9",
    V28="4d5354434c002f9be5").items()}
V05 = dict(callsign="N0CALL", rx="449000000", tx="444000000", power="25", colour="01", latitude="+38.0000",
           longitude="-095.0000", height="075", location="Loopback Lab", description="HBP verify peer", slots="2",
           url="https://example.invalid/hbp", software="hbp-note-peer 0.1", package="HBPnote_Peer")
# The note's call (V11-V18) from peer 3120101; V19 is its header as repeated to 3120102.
CALL = ["444d5244%s2f9b81000c1c002f9be5%sa1b2c3d4%s0000" % f for f in (  # sequence, flags, burst
    ("00", "a1", "0f8a0dbc1ea809b00f403be1046dff57d75df5de318c296070f00a201f808685b7"),
    ("01", "90", "b9e881526173002a6bb9e881526755fd7df75f7173002a6bb9e881526173002a6b"),
    ("02", "81", "b9e881526173002a6bb9e88152613060f0f0c91173002a6bb9e881526173002a6b"),
    ("03", "82", "b9e881526173002a6bb9e881526171411000574173002a6bb9e881526173002a6b"),
    ("04", "83", "b9e881526173002a6bb9e881526170c033c1274173002a6bb9e881526173002a6b"),
    ("05", "84", "b9e881526173002a6bb9e88152615173c2b2b07173002a6bb9e881526173002a6b"),
    ("06", "85", "b9e881526173002a6bb9e8815261100000000e2173002a6bb9e881526173002a6b"),
    ("13", "a2", "0fe50d681e1809c80f303b4104adff57d75df5d964982a587790066017809f8584"))]
V19 = "444d5244002f9b81000c1c002f9be6a1a1b2c3d40f8a0dbc1ea809b00f403be1046dff57d75df5de318c296070f00a201f808685b70000"


def nak(rid):
    return b"MSTNAK" + struct.pack(">I", rid)


def self_test(res):
    with bench.Bench(sys.argv[0]) as tb:
        hm = HomeBrewMaster(tb, tick=0.2, timeout=60)
        try:
            _self_checks(res, tb, hm)
        finally:
            res.equal("no datagram of a wrong length or unknown tag", hm.faults, [])
            if res.failed:
                hm.dump()


def _self_checks(res, tb, hm):
    raw = tb.endpoint(bench.STRANGER_IP, 0)

    def ask(data, wait=0.5):  # one datagram from the raw endpoint: the master's answer, or None
        m = raw.mark()
        raw.send(data, hm.addr)
        d = raw.wait_for(timeout=wait, start=m)
        return d and d.data

    def answers(peer, start):
        time.sleep(0.1)
        return [d.data for d in peer.ep.received(None, start)]

    a = HomeBrewPeer(tb, hm.addr, 3120101, port=62101, ping=None, **V05)
    hm.salts.append(NOTE["V02"][6:])
    res.check("login: connected", a.login())
    res.equal("login: RPTL, RPTK, RPTC as V01, V03, V05", [s for _, s, _ in a.ep.sent],
              [NOTE["V01"], NOTE["V03"], NOTE["V05"]])
    res.equal("login: the master's answers as V02, V04, V06", answers(a, 0), [NOTE["V02"], NOTE["V04"], NOTE["V04"]])
    res.equal("login: RPTC fields read back", {k: v.rstrip() for k, v in hm.configs[-1][2].items()}, V05)
    m = a.ep.mark()
    a.ep.send(NOTE["V07"], hm.addr)
    a.ping()
    res.equal("RPTO and RPTPING answered as V08 and V10", answers(a, m), [NOTE["V04"], NOTE["V10"]])

    b = HomeBrewPeer(tb, hm.addr, 3120102, ip=bench.REPEATER_IP, ping=None)
    res.check("second peer: connected, twice", b.login() and b.login())
    salts = [d.data[6:] for d in b.ep.received() if d.data[:6] == b"RPTACK" and d.data[6:] != b"\0\x2f\x9b\xe6"]
    res.check("a fresh salt for each RPTL", len(salts) == 2 and salts[0] != salts[1], salts)

    for h in CALL:
        a.ep.send(bytes.fromhex(h), hm.addr)
    time.sleep(0.2)
    got = [d.data.hex() for d in b.dmrd]
    res.check("relay: the note's call reaches the other peer with its ID at 11-14 (header as V19)",
              len(got) == 8 and got[0] == V19 and all(g == w[:22] + "002f9be6" + w[30:] for g, w in zip(got, CALL)),
              got)
    res.equal("relay: no echo to the sender", a.dmrd, [])

    res.equal("ping from an unknown ID: V22 for V21", ask(NOTE["V21"]), NOTE["V22"])
    res.equal("RPTO from an unknown ID: silence", ask(b"RPTO\0\x2f\x9b\xe7TS2=9;", 0.3), None)
    res.equal("RPTC out of order: MSTNAK", ask(b"RPTC\0\x2f\x9b\xe7" + b" " * 294), NOTE["V22"])
    hm.salts.append(NOTE["V23"][6:])
    res.equal("wrong passphrase: V23 for RPTL, V25 for V24", [ask(b"RPTL\0\x2f\x9b\xe8"), ask(NOTE["V24"])],
              [NOTE["V23"], NOTE["V25"]])
    res.equal("wrong passphrase: the entry is gone (RPTC: MSTNAK)", ask(b"RPTC\0\x2f\x9b\xe8" + b" " * 294),
              NOTE["V25"])
    e = HomeBrewPeer(tb, hm.addr, 3120105, ip=bench.STRANGER_IP, ping=None)
    e.login()
    m = e.ep.mark()
    e.ep.send(NOTE["V26"], hm.addr)
    res.check("RPTCL: V27, entry gone", answers(e, m) == [NOTE["V27"]] and not hm.connected(3120105))
    m = a.ep.mark()
    a.ep.send(b"RPTK" + NOTE["V01"][4:] + bytes(32), hm.addr)
    a.ping()
    res.equal("a second RPTK while connected: MSTNAK, still connected", answers(a, m), [nak(3120101), NOTE["V10"]])
    m = b.ep.mark()
    for h in CALL[:2]:
        raw.send(bytes.fromhex(h), hm.addr)
    time.sleep(0.2)
    res.equal("DMRD of a connected ID from another address: dropped, no answer",
              [b.ep.received(None, m), raw.received(lambda d: d.data[:4] == b"DMRD")], [[], []])

    a2 = HomeBrewPeer(tb, hm.addr, 3120101, ping=None)
    res.check("the same ID from a new port logs in", a2.login())
    m = a.ep.mark()
    a.ping()
    res.equal("  ... and the old port's ping gets MSTNAK", answers(a, m), [nak(3120101)])

    hm.timeout = 0.6
    b.ping()
    a2.ping()
    last = now()
    dropped = hm.wait(lambda: not hm.connected(3120101), 2.0) and now()
    res.check("ping time-out 0.6 s, tick 0.2 s: dropped 0.6-0.8 s after the last ping",
              dropped and 0.6 <= dropped - last <= 0.85, dropped and dropped - last)
    hm.timeout = 60
    b.login()

    back, m = hm.restart(silent=0.4), b.ep.mark()
    b.ping()
    time.sleep(0.3)
    res.equal("restart: silent for a while", b.ep.received(None, m), [])
    time.sleep(max(0.0, back - now()))
    b.ping()
    res.equal("restart: then MSTNAK for the ping", answers(b, m), [nak(3120102)])
    res.check("restart: a new login works", b.login())
    m = b.ep.mark()
    hm.stop()
    res.equal("stop: MSTCL to the connected peer (V28, with its ID)", answers(b, m),
              [NOTE["V28"][:5] + b"\0\x2f\x9b\xe6"])


if __name__ == "__main__":
    if sys.argv[1:] != ["--self-test"]:
        sys.exit("usage: %s --self-test   (the stand-in against its own peer and the note's datagrams; root)"
                 % sys.argv[0])
    sys.argv[1:] = ["--binary", "/nonexistent"]
    bench.run_tests("HomeBrew master stand-in, self-test", lambda binary, res: self_test(res))
