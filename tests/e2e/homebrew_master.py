#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A stand-in HomeBrew (MMDVM flavour) master and a small HomeBrew peer for the
end-to-end tests, written from the protocol note, never from the gateway.

The master answers as HBlink3 was seen to: RPTL -> RPTACK + a fresh random salt;
RPTK with SHA-256(salt + passphrase) -> RPTACK + ID, a wrong hash -> MSTNAK and the
entry deleted; RPTC while waiting for it -> RPTACK + ID, connected; RPTPING while connected -> MSTPONG;
RPTCL -> MSTNAK and the entry deleted; any other step -> MSTNAK. A session is an ID and the
address that sent its RPTL; a new RPTL replaces it. DMRD from a connected peer goes
to every other connected peer, bytes 11-14 set to the receiver's ID; any other DMRD
is dropped. Every datagram is logged with its time."""

import hashlib, os, struct, threading, time  # noqa: E401

import bench
from bench import now

# Tags a peer sends, longest first where one is the prefix of another.
PEER_TAGS = (b"RPTPING", b"RPTCL", b"RPTL", b"RPTK", b"RPTC", b"DMRD")
MASTER_TAGS = (b"RPTACK", b"MSTPONG", b"MSTNAK", b"DMRD")
# Where each tag carries the peer's ID, and its length.
ID_AT = {b"RPTPING": 7, b"RPTCL": 5, b"DMRD": 11}
LENGTH = {b"RPTL": 8, b"RPTK": 40, b"RPTC": 302, b"RPTPING": 11, b"RPTCL": 9, b"DMRD": 55}
# The RPTC fields test_homebrew reads: (name, offset, length).
RPTC_FIELDS = (("callsign", 8, 8), ("rx", 16, 9), ("tx", 25, 9), ("slots", 97, 1), ("software", 222, 40))


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
    """The master at ip:port in the peers' namespace.
    log: (t, "rx"|"tx", addr, data); logins: (t, id, addr) each time a peer became
    connected; configs: (t, id, fields) per RPTC accepted; faults: datagrams of a
    wrong length or with an unknown tag; events: what the master did, as text."""

    def __init__(self, tb, port, passphrase, ip=bench.MASTER_IP):
        self.passphrase = passphrase
        self.peers, self.log, self.logins, self.configs, self.faults, self.events = {}, [], [], [], [], []
        self.silent_until, self._cond = 0.0, threading.Condition(threading.RLock())
        self.ep = tb.endpoint(ip, port, self._on)
        self.addr = (ip, self.ep.sock.getsockname()[1])

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

    def restart(self, silent=0.0):
        """Forgets every peer and answers nothing for `silent` seconds; the time it is back."""
        with self._cond:
            self.peers.clear()
            self.silent_until = now() + silent
            self.events.append((now(), "restart, silent %.1f s" % silent))
            return self.silent_until

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
            if tag is None or len(d.data) != LENGTH[tag]:
                self.faults.append((d.t, d.src, "%s of %d bytes" % (tag and tag.decode() or "unknown tag",
                                                                   len(d.data)), d.data[:16].hex()))
            rid = u32(d.data, ID_AT.get(tag, 4))
            if now() < self.silent_until or rid is None:
                return
            s = self.peers.get(rid)
            s = s if s and s["addr"] == d.src else None  # another address is another session
            state, idb = s and s["state"], struct.pack(">I", rid)
            if tag == b"RPTL":
                salt = os.urandom(4)
                self.peers[rid] = dict(addr=d.src, state="challenge", salt=salt)
                return self._send(b"RPTACK" + salt, d.src)
            if tag == b"RPTK" and state == "challenge":
                if d.data[8:] == hashlib.sha256(s["salt"] + self.passphrase).digest():
                    s["state"] = "config"
                    return self._send(b"RPTACK" + idb, d.src)
                del self.peers[rid]
                self.events.append((now(), "peer %d: wrong passphrase, deleted" % rid))
            elif tag == b"RPTC" and state == "config":
                s["state"] = "connected"
                self.configs.append((d.t, rid, rptc_fields(d.data)))
                self.logins.append((d.t, rid, d.src))
                return self._send(b"RPTACK" + idb, d.src)
            elif tag == b"RPTPING" and state == "connected":
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


def fill(vector_hex, stream, rid):
    """A DMRD vector's bytes: the x'd stream ID set, bytes 11-14 to `rid`, other x's 0."""
    b = bytearray(bytes.fromhex(vector_hex[:32] + "%08x" % stream + vector_hex[40:].replace("x", "0")))
    b[11:15] = struct.pack(">I", rid)
    return bytes(b)


class HomeBrewPeer:
    """A small HomeBrew peer: login() logs it in one step per answer (the stand-in
    master drops no silent peer, so it never pings); `dmrd` holds the DMRD datagrams
    it received."""

    def __init__(self, tb, master, rid, passphrase, ip=bench.PEER2_IP):
        self.master, self.rid, self.passphrase = master, rid, passphrase
        self.config = dict(callsign="N0CALL", rx="449000000", tx="444000000", slots="2", software="corvane e2e peer")
        self.state, self.dmrd = "idle", []
        self.ep = tb.endpoint(ip, 0, self._on)
        self._cond = threading.Condition()

    def _id(self):
        return struct.pack(">I", self.rid)

    def _on(self, d):
        if d.src != self.master:
            return
        with self._cond:
            tag, b = tag_of(d.data, MASTER_TAGS), d.data
            if tag == b"DMRD":
                self.dmrd.append(d)
            elif tag == b"MSTNAK":
                self.state = "idle"
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

    def send_call(self, vectors, gap=0.06):
        """The call's DMRD vectors with a random stream ID and this peer's ID; the stream ID."""
        stream = int.from_bytes(os.urandom(4), "big") or 1
        for h in vectors:
            self.ep.send(fill(h, stream, self.rid), self.master)
            time.sleep(gap)
        return stream
