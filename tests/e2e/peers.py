# SPDX-License-Identifier: GPL-2.0-or-later
"""Stand-ins for the gateway's two peers. Packets come from call_vectors.txt
(built once from the packet tables, never from the gateway); only the
authentication tag is computed here, with Python's hmac: the first 10 bytes
of HMAC-SHA1 keyed with the 20-byte network key, over the bytes before it."""

import hashlib
import hmac
import os
import time

import bench

KEY = bytes.fromhex(bench.CONFIG["NetworkKey"])
BRIDGE, RPT_PORT = int(bench.CONFIG["MyBridgeID"]), int(bench.CONFIG["RptrPort"])
GW_RPT, GW_AUDIO = (bench.GW_IP, RPT_PORT), (bench.GW_IP, 62006)
V = {}
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "call_vectors.txt")) as _f:
    for _name, _hex in (ln.split() for ln in _f if ln.strip() and not ln.startswith("#")):
        V.setdefault(_name, []).append(_hex)
P = {name: bytes.fromhex(h[0]) for name, h in V.items() if "x" not in h[0]}  # the single packets


def tag_ok(packet):
    return len(packet) > 10 and hmac.compare_digest(
        packet[-10:], hmac.new(KEY, packet[:-10], hashlib.sha1).digest()[:10])


def matches(want_hex, data):
    """data equals the vector, except where the vector has an 'x'."""
    return len(want_hex) == 2 * len(data) and all(w in ("x", g) for w, g in zip(want_hex, data.hex()))


def send_call(ep, name, dst, gap):
    """Sends the call `name` of the vectors (rcall or mcall) `gap` seconds apart."""
    for h in V[name]:
        ep.send(bytes.fromhex(h), dst)
        time.sleep(gap)


class RepeaterStandIn:
    """The Motorola repeater at REPEATER_IP:RptrPort. While `answering` it answers
    validly signed registration (0x90), peer-list (0x92) and keep-alive (0x96)
    requests; `peer_list` is the vector of its peer-list reply."""

    def __init__(self, tb, peer_list="peers2"):
        self.answering, self.peer_list = False, peer_list
        self.ep = tb.endpoint(bench.REPEATER_IP, RPT_PORT, self._on)

    def _on(self, d):
        answer = {0x90: "rptreply", 0x92: self.peer_list, 0x96: "rptka"}.get(d.data[:1] and d.data[0])
        if self.answering and answer and tag_ok(d.data):
            self.ep.send(P[answer], d.src)


class MasterStandIn:
    """The DMR master at MASTER_IP: voice port 62006 (login and keep-alive "A",
    voice) and RDAC port 62007 (identity messages)."""

    def __init__(self, tb):
        self.audio = tb.endpoint(bench.MASTER_IP, 62006)
        self.rdac = tb.endpoint(bench.MASTER_IP, 62007)

    def rdac_reply(self):
        self.rdac.send(bytes(24), (bench.GW_IP, 62007))
