#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Both links with their real timers: registration, keep-alive every 5 s, peer
list, another peer, wrongly signed datagrams, login once the repeater answers,
RDAC pairs every 6 s, re-login after 29 s without the master (repeater busy)."""

import time

import bench
from bench import Bench, GW_IP, PEER2_IP, REPEATER_IP, STRANGER_IP, periodic, now
from peers import GW_AUDIO, GW_RPT, P, V, MasterStandIn, RepeaterStandIn, tag_ok

BOL = r"^(?:\x1b\[[0-9;]*m)*"
LOGIN = BOL + r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} Sende Anmeldung an DMR Master  IP:192\.0\.2\.3$"
AUTH = "Authentication failed: packet from %s:%d dropped"


def op(code):
    return lambda d: d.data[:1] == bytes([code])


def body(binary, res):
    with Bench(binary) as tb:
        rep, master = RepeaterStandIn(tb), MasterStandIn(tb)
        peer2, stranger = tb.endpoint(PEER2_IP, 50002), tb.endpoint(STRANGER_IP, 40404)
        tb.run_gateway(res, checks, rep, master, peer2, stranger, tb.endpoint(REPEATER_IP, 50001))


def checks(res, gw, rep, master, peer2, stranger, forger):
    R = rep.ep
    reg = R.wait_for(op(0x90), 15)
    if not res.check("registration request from RptrPort, as the vector", reg and reg.src == GW_RPT and
                     reg.data == P["reg"], reg):
        return
    rep.answering = True
    ka = R.wait_for(op(0x96), 10, reg.index + 1)
    if not res.check("first keep-alive request 4-8 s after the registration", ka and 4 <= ka.t - reg.t <= 8, ka):
        return
    res.check("keep-alive time also sends \"A\" to the master",
              master.audio.wait_for(lambda d: d.data == b"A" and abs(d.t - ka.t) < 1, 1) is not None)
    plr = R.wait_for(op(0x92), 1.5, reg.index + 1)
    res.check("peer-list request after the 26-byte reply, as the vector", plr and plr.data == P["plreq"], plr)
    res.check("peer list printed", gw.wait_for_line(BOL + "PEER2-ID:11259375$", 2) is not None)
    login = gw.wait_for_line(LOGIN, 3)
    t97 = min([t for t, d, _ in R.sent if d == P["rptka"]], default=now())
    if not res.check("login line within 2.5 s of the first keep-alive reply", login and
                     0 <= login.t - t97 <= 2.5, login):
        return
    a = master.audio.wait_for(lambda d: d.data == b"A" and d.t > t97, 1.5)
    res.check("login \"A\" from port 62006 to the master's port 62006", a and a.src == GW_AUDIO, a)

    # Until the re-login the repeater answers no keep-alive but is busy with
    # voice, and a stranger sends one-byte datagrams to the master port.
    rep.answering = False
    busy = periodic(1.0, lambda: R.send(bytes.fromhex(V["rcall"][2]), GW_RPT))
    pinger = periodic(2.0, lambda: stranger.send(b"A", GW_AUDIO))

    for name, sender, pkt, want, line in (
            ("0x94", peer2, P["reg94"], P["ans95"], "Login PEER-ID:3100001 from IP:192.0.2.5"),
            ("0x98", peer2, P["ka98"], P["ans99"], "Send 99 PEER-ID:3100001 IP:192.0.2.5"),
            ("wrongly signed 0x98", forger, P["ka98bad"], None, AUTH % (REPEATER_IP, 50001))):
        m, ln = sender.mark(), gw.mark()
        sender.send(pkt, GW_RPT)
        got = sender.wait_for(None, 1.0, m)
        res.check("%s answered with the vector (or not at all)" % name, (got and got.data) == want, got)
        auth = gw.wait_for_line(BOL + line + "$", 1.5, ln)
        res.check("%s printed %r" % (name, line), auth is not None)
    ms = gw.mark()
    stranger.send(bytes([0x98]) + bytes(19), GW_RPT)
    master.audio.send(b"\x01\x02\x03\x04", (GW_IP, 62005))
    stranger.send(b"\x01\x02\x03\x04", (GW_IP, 62005))
    res.check("master's datagram on port 62005 printed once, the stranger's not",
              gw.wait_for_line(BOL + "Local_Repeater_rdac $", 1.5, ms) and
              len(gw.lines_matching(BOL + "Local_Repeater_rdac $", ms)) == 1)
    res.equal("a second dropped datagram within 10 s prints no line", len(gw.lines_matching("Authentication", ms)), 0)

    pairs = []
    for k in range(2):
        p = master.rdac.wait_for(lambda d: len(d.data) == 225, 9, pairs[-1][1].index + 1 if pairs else 0)
        q = p and master.rdac.wait_for(None, 1.0, p.index + 1)
        if not res.check("RDAC pair %d: 225 and 71 bytes as the vectors, from port 62006" % (k + 1), q and p.data ==
                         P["rdac225"] and q.data == P["rdac71"] and p.src == GW_AUDIO, (p, q)):
            break
        res.check("RDAC pair %d about %d s after the login" % (k + 1, 6 * k + 6), 5 <= p.t - login.t - 6 * k <= 8.5)
        pairs.append((p, q))
        stranger.send(bytes(24), (GW_IP, 62007))  # not the master: the cycle goes on
    m = gw.mark()
    master.rdac_reply()
    res.check("master's 24-byte reply taken", gw.wait_for_line(BOL + "Local_Repeater_rdac $", 2, m) is not None)
    time.sleep(max(auth.t + 10.5 - now(), 0))
    m = gw.mark()
    stranger.send(bytes([0x98]) + bytes(19), GW_RPT)
    res.check("dropped datagram printed again after 10 s, with its sender",
              gw.wait_for_line(BOL + AUTH % (STRANGER_IP, 40404) + "$", 1.5, m) is not None)

    relogin = gw.wait_for_line(LOGIN, max(login.t + 34 - now(), 0.1), login.index + 1)
    busy.set()
    pinger.set()
    res.check("re-login 27-32 s after the login (the busy repeater stays alive, the master's timer runs out)",
              relogin and 27 <= relogin.t - login.t <= 32, relogin and relogin.t - login.t)
    n = len(master.rdac.received(lambda d: len(d.data) == 225 and d.t < relogin.t))
    res.check("RDAC cycle ended by the master's reply (at most one more pair)", 2 <= n <= 3, n)
    to_rep = R.received()
    res.check("every datagram to the repeater signed", all(tag_ok(d.data) for d in to_rep))
    res.check("no registration request once the repeater answered", not [d for d in to_rep if op(0x90)(d) and d.t > t97])
    kas = [d for d in to_rep if op(0x96)(d)]
    gaps = [b.t - a.t for a, b in zip(kas, kas[1:])]
    res.check("keep-alive requests every 5 s, each as the vector", len(kas) >= 6 and all(
        4.5 <= g <= 7 for g in gaps) and all(d.data == P["ka"] for d in kas), gaps)


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
