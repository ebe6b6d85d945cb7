#!/usr/bin/env python3
"""Both links of the real binary against stand-ins over real UDP: Motorola
link control (registration, peer list, keep-alive, answers to other peers,
authentication of what arrives), login to the master, RDAC identity cycle,
strangers on the master ports, and the too-many-peers exit.

The timers are real (5 s keep-alive, 6 s RDAC steps, 29 s re-login), so most
checks share one long gateway run.

    python3 test_links.py --binary PATH      exit 0 pass, 1 fail, 77 skip
"""

import re
import time

import bench
from bench import (Bench, CONFIG, GW_IP, MASTER_IP, PEER2_IP, REPEATER_IP, STRANGER_IP,
                   Periodic, config_text, now)
import peers
from peers import (MasterStandIn, RepeaterStandIn, key_from_text, sign, tag_ok)

KEY = key_from_text(CONFIG["NetworkKey"])
WRONG_KEY = bytes(x ^ 0x5A for x in KEY)
BRIDGE = int(CONFIG["MyBridgeID"])
RPTR_ID = int(CONFIG["RptrID"])
CALL = CONFIG["RptrCall"]
QRG_TX, QRG_RX = int(CONFIG["RptrQRGtx"]), int(CONFIG["RptrQRGrx"])
RPT_PORT = int(CONFIG["RptrPort"])
GW_RPT = (GW_IP, RPT_PORT)

REPEATER_PEER_ID = 2620001
PEER2_ID, PEER2_PORT = 3100001, 50002
STRANGER_PORT = 40404
FORGER_PORT = RPT_PORT + 1          # a second socket on the repeater's own address
VOICE_SRC, VOICE_DST = 2620123, 9

TS = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"
# A colour sequence printed on its own (thread banners end in one) stays in
# front of whatever line comes next, from any thread.
BOL = r"^(?:\x1b\[[0-9;]*m)*"
LOGIN_RX = BOL + TS + r" Sende Anmeldung an DMR Master  IP:" + re.escape(MASTER_IP) + r"$"


def op(code):
    return lambda d: len(d.data) > 0 and d.data[0] == code


def in_order(gw, wants, start=0, timeout=3.0):
    """Finds the lines of `wants` (exact texts) one after another from index
    `start`; returns (True, last line) or (False, the first missing text)."""
    deadline = now() + timeout
    pos, last = start, None
    for w in wants:
        ln = gw.wait_for_line(BOL + re.escape(w) + "$", timeout=max(deadline - now(), 0.05), start=pos)
        if ln is None:
            return False, w
        pos, last = ln.index + 1, ln
    return True, last


def peer_list_lines(entries):
    out = []
    for k, (pid, ip, port) in enumerate(entries, 1):
        out += ["PEER%d-ID:%d" % (k, pid), "PEER%d-IP = %s " % (k, ip), "PEER%d-Port = %d" % (k, port), ""]
    return out


# ---------------------------------------------------------------------------
# too many peers


def too_many_peers_run(binary, res):
    entries = [(PEER2_ID, PEER2_IP, PEER2_PORT), (BRIDGE, GW_IP, RPT_PORT), (3100002, "192.0.2.6", 50003)]
    with Bench(binary) as tb:
        rep = RepeaterStandIn(tb, KEY, RPT_PORT, REPEATER_PEER_ID, peer_list=entries)
        rep.answering = True
        gw = tb.start_gateway(config_text())
        failed = res.failed
        rc = gw.wait_exit(10.0)
        res.check("too many peers: process ends by itself", rc is not None, "still running 10 s after start")
        res.equal("too many peers: exit status", rc, 1)
        ok, miss = in_order(gw, ["SRC-ID:%d" % REPEATER_PEER_ID] + peer_list_lines(entries) +
                            ["", "TOO MANY PEERS IN NETWORK! (3)", "Program stopped."], timeout=1.0)
        res.check("too many peers: all three entries, then the message", ok, "missing %r" % miss)
        res.check("too many peers: nothing on standard error (no sanitizer report)", gw.stderr == b"",
                  gw.stderr[-2000:].decode("latin-1"))
        if res.failed > failed:
            gw.dump()


# ---------------------------------------------------------------------------
# the long run


class Ctx:
    pass


def first_voice(marks, timeout):
    """First Motorola voice header (66 bytes, opcode 0x80/0x81) that reaches
    any of the endpoints after its mark: (name, datagram) or (None, None)."""
    deadline = now() + timeout
    while True:
        for name, ep, m in marks:
            got = ep.received(lambda d: len(d.data) == 66 and d.data[0] in (0x80, 0x81), start=m)
            if got:
                return name, got[0]
        if now() >= deadline:
            return None, None
        time.sleep(0.02)


def voice_probe(c):
    """The master sends a voice header on slot 2; returns where the gateway
    relayed it (name, datagram), then closes the call with a terminator."""
    marks = [(n, ep, ep.mark()) for n, ep in c.voice_eps]
    c.seq += 1
    c.master.audio.send(peers.hytera_header(c.seq, VOICE_SRC, VOICE_DST), (GW_IP, 62006))
    where = first_voice(marks, 1.5)
    c.seq += 1
    c.master.audio.send(peers.hytera_terminator(c.seq, VOICE_SRC, VOICE_DST), (GW_IP, 62006))
    time.sleep(0.15)
    return where


def probe_after(c, action):
    """Runs action() (which makes some peer send to the gateway's Motorola
    port) and then a voice probe, again if the repeater itself sent anything
    in between (a datagram of the repeater may rightly take the voice back)."""
    for _ in range(3):
        t0 = now()
        r = action()
        where = voice_probe(c)
        if not any(t0 <= t for t, _, _ in c.rep.ep.sent):
            return r, where
    return r, where


def links_run(binary, res):
    with Bench(binary) as tb:
        c = Ctx()
        c.seq = 100
        entries = [(PEER2_ID, PEER2_IP, PEER2_PORT), (BRIDGE, GW_IP, RPT_PORT)]
        c.rep = rep = RepeaterStandIn(tb, KEY, RPT_PORT, REPEATER_PEER_ID, peer_list=entries)
        c.master = master = MasterStandIn(tb)
        peer2 = tb.endpoint(PEER2_IP, PEER2_PORT, "peer2")
        stranger = tb.endpoint(STRANGER_IP, STRANGER_PORT, "stranger")
        forger = tb.endpoint(REPEATER_IP, FORGER_PORT, "forger")
        c.voice_eps = [("repeater", rep.ep), ("second peer", peer2), ("stranger", stranger),
                       ("forger at the repeater's address", forger)]
        gw = tb.start_gateway(config_text())
        failed = res.failed
        try:
            _links_checks(c, tb, gw, rep, master, peer2, stranger, forger, entries, res)
        finally:
            res.check("long run: gateway kept running", gw.running(), "exit status %s" % gw.proc.poll())
            gw.stop()
            res.check("long run: nothing on standard error (no sanitizer report)", gw.stderr == b"",
                      gw.stderr[-2000:].decode("latin-1"))
            if res.failed > failed:
                gw.dump(last=250)


def _links_checks(c, tb, gw, rep, master, peer2, stranger, forger, entries, res):
    R = rep.ep

    # --- registration while the repeater is silent --------------------------
    reg1 = R.wait_for(op(0x90), timeout=15)
    if not res.check("registration request reaches the repeater", reg1 is not None, "none within 15 s"):
        return
    res.equal("registration: source is the gateway's RptrPort", reg1.src, GW_RPT)
    res.equal("registration: bytes (0x90, ID, 62 00 00 80 5C 04 03 04 00, tag)", reg1.data,
              peers.gw_registration(BRIDGE, KEY))
    res.check("registration: tag valid", tag_ok(KEY, reg1.data))
    rep.answering = True            # from the next datagram on, the repeater answers

    hb1 = R.wait_for(op(0x96), timeout=10, start=reg1.index + 1)
    if not res.check("keep-alive request reaches the repeater", hb1 is not None, "none within 10 s"):
        return
    res.check("keep-alive: first one about 5 s after the registration", 4.0 <= hb1.t - reg1.t <= 8.0,
              "%.2f s" % (hb1.t - reg1.t))
    res.equal("keep-alive: bytes (0x96, ID, 62 00 00 80 5C 04 03 04 00, tag)", hb1.data,
              peers.gw_keepalive(BRIDGE, KEY))
    regs = R.received(op(0x90), start=reg1.index + 1, until=hb1.t)
    res.check("registration repeated just before the keep-alive while the repeater is silent",
              bool(regs) and hb1.t - regs[-1].t < 0.5 and regs[-1].data == peers.gw_registration(BRIDGE, KEY),
              "0x90 between first registration and keep-alive: %s" % regs)
    a_hb = master.audio.wait_for(lambda d: d.data == b"A" and abs(d.t - hb1.t) < 1.0, timeout=1.0)
    res.check("keep-alive time also sends \"A\" to the master", a_hb is not None)

    # --- the repeater answers: peer list and login ---------------------------
    time.sleep(0.3)
    sent26 = [t for t, d, _ in R.sent if len(d) == 26]
    sent97 = [t for t, d, _ in R.sent if d[0] == 0x97]
    if not res.check("repeater stand-in answered the keep-alive", bool(sent97),
                     "sent: %s" % [(d[:1].hex(), len(d)) for _, d, _ in R.sent]):
        return
    t97 = sent97[0]
    plr = R.wait_for(op(0x92), timeout=1.5, start=reg1.index + 1)
    res.check("peer-list request follows the 26-byte reply within 1.5 s",
              plr is not None and bool(sent26) and 0 <= plr.t - sent26[0] <= 1.5)
    if plr:
        res.equal("peer-list request: bytes (0x92, ID, tag)", plr.data, peers.gw_peer_list_request(BRIDGE, KEY))
    plen = len(peers.rpt_peer_list(REPEATER_PEER_ID, KEY, entries))
    ok, miss = in_order(gw, ["len master peer %d" % plen, "Master peer list reply", "Len %d" % plen,
                             "SRC-ID:%d" % REPEATER_PEER_ID] + peer_list_lines(entries), timeout=2.0)
    res.check("peer list printed (debug lines, SRC-ID, both entries)", ok, "missing %r" % miss)

    login = gw.wait_for_line(LOGIN_RX, timeout=max(t97 + 3.0 - now(), 0.1))
    if not res.check("login line after the first keep-alive reply", login is not None,
                     "no \"Sende Anmeldung\" line within 3 s of the 0x97"):
        return
    res.check("login: not before the first keep-alive reply, and within 2.5 s of it",
              t97 <= login.t <= t97 + 2.5, "%.2f s after the 0x97" % (login.t - t97))
    a_login = master.audio.wait_for(lambda d: d.data == b"A" and d.t > t97, timeout=1.5)
    res.check("login: \"A\" reaches the master's port 62006 from the gateway's port 62006",
              a_login is not None and a_login.src == (GW_IP, 62006), repr(a_login))
    tl = login.t
    pinger = Periodic(2.0, lambda: stranger.send(b"A", (GW_IP, 62006)))
    # From here until the re-login the repeater answers no keep-alive: first
    # quiet (so that nothing of it moves the voice destination during the
    # probes below), then busy with a call, which must keep it alive.
    rep.answering = False

    # --- another peer registers ---------------------------------------------
    m = peer2.mark()
    peer2.send(peers.peer_registration(PEER2_ID, KEY), GW_RPT)
    r95 = peer2.wait_for(op(0x95), timeout=1.5, start=m)
    res.check("0x94 of a second peer answered with 0x95 to that peer", r95 is not None and r95.src == GW_RPT,
              repr(r95))
    if r95:
        res.equal("0x95: bytes (0x95, ID, 04 04 04 00, tag)", r95.data, peers.gw_peer_reg_reply(BRIDGE, KEY))
    res.check("0x94: line \"Login PEER-ID:... from IP:...\"",
              gw.wait_for_line(BOL + r"Login PEER-ID:%d from IP:%s$" % (PEER2_ID, re.escape(PEER2_IP)), 1.5) is not None)

    # --- strangers on the master ports --------------------------------------
    ms, rm = gw.mark(), R.mark()
    stranger.send(peers.hytera_header(7, VOICE_SRC, VOICE_DST, slot=2), (GW_IP, 62006))
    stranger.send(peers.hytera_header(8, VOICE_SRC, VOICE_DST, slot=1), (GW_IP, 62006))
    stranger.send(b"\x01\x02\x03\x04", (GW_IP, 62005))
    time.sleep(1.2)
    stranger_rx = gw.lines_matching(r"RX SLOT", start=ms)
    stranger_svc = gw.lines_matching(BOL + r"Local_Repeater_rdac $", start=ms)
    stranger_voice = R.received(lambda d: len(d.data) in (64, 66) and d.data[0] in (0x80, 0x81), start=rm)

    ms = gw.mark()
    master.audio.send(b"\x01\x02\x03\x04", (GW_IP, 62005))
    res.check("datagram of the master on port 62005 prints \"Local_Repeater_rdac \"",
              gw.wait_for_line(BOL + r"Local_Repeater_rdac $", 1.5, start=ms) is not None)
    res.check("stranger's datagram on port 62005 prints nothing", not stranger_svc, repr(stranger_svc))

    # --- voice goes to the repeater, whoever else keeps alive -----------------
    ms = gw.mark()

    def peer2_keepalive():
        mk = peer2.mark()
        peer2.send(peers.peer_keepalive(PEER2_ID, KEY), GW_RPT)
        return peer2.wait_for(op(0x99), timeout=1.5, start=mk)

    r99, (where, vd) = probe_after(c, peer2_keepalive)
    res.check("0x98 of a second peer answered with 0x99 to that peer", r99 is not None and r99.src == GW_RPT,
              repr(r99))
    if r99:
        res.equal("0x99: bytes (0x99, ID, 62 00 00 E0 1C, tag)", r99.data, peers.gw_peer_keepalive_reply(BRIDGE, KEY))
    res.check("0x98: line \"Send 99 PEER-ID:... IP:...\"",
              gw.wait_for_line(BOL + r"Send 99 PEER-ID:%d IP:%s$" % (PEER2_ID, re.escape(PEER2_IP)), 1.5, start=ms)
              is not None)
    res.equal("voice after a second peer's keep-alive goes to the repeater", where, "repeater")
    if vd is not None:
        res.check("relayed voice header carries a valid tag", tag_ok(KEY, vd.data))
    res.check("stranger's voice on port 62006 prints nothing", not stranger_rx, repr(stranger_rx))
    res.check("stranger's voice on port 62006 is not relayed", not stranger_voice, repr(stranger_voice))

    # --- a wrongly signed datagram from the repeater's own address ------------
    ms = gw.mark()
    bad = peers.peer_keepalive(PEER2_ID, WRONG_KEY)

    def forged():
        mk = forger.mark()
        forger.send(bad, GW_RPT)
        return forger.wait_for(None, timeout=1.0, start=mk)

    answer, (where, vd) = probe_after(c, forged)
    auth1 = gw.wait_for_line(BOL + r"Authentication failed: packet from %s:%d dropped$" % (re.escape(REPEATER_IP), FORGER_PORT),
                             1.0, start=ms)
    res.check("wrongly signed 0x98: line \"Authentication failed: packet from 192.0.2.2:%d dropped\"" % FORGER_PORT,
              auth1 is not None)
    res.check("wrongly signed 0x98: not answered", answer is None, repr(answer))
    res.equal("voice after a wrongly signed datagram still goes to the repeater", where, "repeater")

    # Unauthenticated 26 bytes must not draw a peer-list request; a datagram
    # too short for a tag is dropped too; within 10 s no second line.
    rm = R.mark()
    stranger.send(sign(WRONG_KEY, bytes([0x91]) + bytes(15)), GW_RPT)
    stranger.send(b"\x97\x01\x02", GW_RPT)
    stranger.send(bytes([0x97]) + bytes(19), GW_RPT)
    time.sleep(1.2)
    res.check("unauthenticated 26-byte datagram draws no peer-list request",
              not R.received(op(0x92), start=rm))
    res.check("no stranger datagram answered", not stranger.received(lambda d: d.src == GW_RPT))
    n_auth = len(gw.lines_matching(BOL + r"Authentication failed", start=ms))
    res.equal("\"Authentication failed\" printed once within 10 s", n_auth, 1)

    # --- the repeater is busy with a long over --------------------------------
    burst = [0]

    def repeater_voice():
        burst[0] += 1
        rep.send(peers.moto_burst_a(KEY, REPEATER_PEER_ID, 1, VOICE_SRC, VOICE_DST, burst[0], 480 * burst[0]), GW_RPT)

    busy = Periodic(1.0, repeater_voice)

    # --- RDAC cycle after the login ------------------------------------------
    want225 = peers.rdac225(CALL, RPTR_ID)
    want71 = peers.rdac71(CALL, RPTR_ID, BRIDGE, QRG_TX, QRG_RX)
    res.check("(bench) RDAC builders give the published check values",
              want225[223] == 0xBB and want225[10:12] == b"\xfc\x20" and
              want71[69] == 0x02 and want71[10:12] == b"\x08\xba")
    pairs = []
    start, prev_t = 0, tl
    for k in range(4):
        p = master.rdac.wait_for(lambda d: len(d.data) == 225, timeout=max(prev_t + 10.0 - now(), 0.1), start=start)
        if p is None:
            res.check("RDAC pair %d arrives" % (k + 1), False, "none within 10 s of the previous step")
            break
        q = master.rdac.wait_for(None, timeout=1.0, start=p.index + 1)
        pairs.append((p, q))
        start, prev_t = (q.index + 1) if q else p.index + 1, p.t
        if k == 0:
            res.check("RDAC: first pair about 6 s after the login", 5.0 <= p.t - tl <= 8.5,
                      "%.2f s" % (p.t - tl))
            res.equal("RDAC: sent from the gateway's port 62006", p.src, (GW_IP, 62006))
            res.equal("RDAC 225: call sign, RptrID at 18 and 216, firmware, model, check byte BB, check word FC 20",
                      p.data, want225)
            res.equal("RDAC 71: RptrID, bridge ID byte, frequencies, call sign, check byte 02, check word 08 BA",
                      q.data if q else None, want71)
            # A stranger's 24-byte reply must not end the cycle.
            stranger.send(bytes(24), (GW_IP, 62007))
        if k == 2:
            # More than 10 s after the first one, a dropped packet is reported again.
            ms2 = gw.mark()
            stranger.send(bytes([0x98]) + bytes(19), GW_RPT)
            res.check("\"Authentication failed\" printed again after 10 s, with the stranger's address",
                      gw.wait_for_line(BOL + r"Authentication failed: packet from %s:%d dropped$" % (
                          re.escape(STRANGER_IP), STRANGER_PORT), 1.5, start=ms2) is not None)
    res.equal("RDAC: four pairs after the login (a stranger's reply does not end the cycle)", len(pairs), 4)
    if len(pairs) >= 2:
        gaps = ["%.2f" % (b[0].t - a[0].t) for a, b in zip(pairs, pairs[1:])]
        res.check("RDAC: pairs about 6 s apart", all(5.0 <= float(g) <= 8.5 for g in gaps), "gaps %s" % gaps)
        res.check("RDAC: every pair 225 then 71 bytes, unchanged",
                  all(p.data == want225 and q is not None and q.data == want71 for p, q in pairs))
    ok, miss = in_order(gw, ["Local_Repeater_rdac %d" % i for i in (2, 3, 4, 0)], start=login.index, timeout=0.5)
    res.check("RDAC: steps printed 2, 3, 4, 0", ok, "missing %r" % miss)

    # --- the master stays silent: login again --------------------------------
    relogin = gw.wait_for_line(LOGIN_RX, timeout=max(tl + 34.0 - now(), 0.1), start=login.index + 1)
    pinger.stop()
    busy.stop()
    rep.answering = True
    if not res.check("login repeated while the master stays silent (stranger's one-byte datagrams do not count)",
                     relogin is not None, "no second login within 34 s"):
        return
    # Last keep-alive reply just before the login: a repeater counted dead
    # after 20 s would have caused a login about 19 s after it.
    res.check("re-login about 29 s after the login: a repeater busy with voice (no keep-alive replies) "
              "stays alive, and the master's timer runs out", 27.0 <= relogin.t - tl <= 32.0,
              "%.2f s (about 19 s: voice from the repeater did not keep it alive; about 29 s expected)"
              % (relogin.t - tl))
    extra = master.rdac.received(start=start, until=relogin.t)
    res.check("RDAC: nothing more sent until the next login", not extra, repr(extra))
    ended = gw.lines_matching(BOL + r"Local_Repeater_rdac $", start=login.index)
    ended = [ln for ln in ended if pairs and ln.t > pairs[0][0].t]
    res.check("RDAC: stranger's 24-byte reply printed nothing", not ended, repr(ended))

    # --- second cycle, ended by the master's 24-byte reply -------------------
    mrd = master.rdac.mark()
    p = master.rdac.wait_for(lambda d: len(d.data) == 225, timeout=max(relogin.t + 10.0 - now(), 0.1), start=mrd)
    if res.check("RDAC: new cycle after the re-login", p is not None and 5.0 <= p.t - relogin.t <= 8.5,
                 repr(p)):
        master.rdac_reply()
        end = gw.wait_for_line(BOL + r"Local_Repeater_rdac $", timeout=8.0, start=relogin.index)
        if res.check("RDAC: master's 24-byte reply is taken (\"Local_Repeater_rdac \")", end is not None):
            time.sleep(max(end.t + 7.5 - now(), 0))
            later = master.rdac.received(start=mrd)
            later = [d for d in later if d.t > end.t + 0.05]
            res.check("RDAC: no pair after the reply", not later, repr(later))
            n = len(master.rdac.received(lambda d: len(d.data) == 225, start=mrd))
            res.check("RDAC: cycle ended after at most one more pair", n <= 2, "%d pairs" % n)

    # --- whole-run checks -----------------------------------------------------
    to_rep = R.received()
    res.check("every datagram to the repeater carries a valid tag", all(tag_ok(KEY, d.data) for d in to_rep),
              repr([d for d in to_rep if not tag_ok(KEY, d.data)][:3]))
    late_regs = [d for d in to_rep if d.data[:1] == b"\x90" and d.t > t97]
    res.check("no registration request once the repeater answers", not late_regs, repr(late_regs))
    hbs = [d for d in to_rep if d.data[:1] == b"\x96"]
    gaps = [b.t - a.t for a, b in zip(hbs, hbs[1:])]
    res.check("keep-alive requests about every 5 s, each the same bytes",
              len(hbs) >= 8 and all(4.5 <= g <= 7.0 for g in gaps) and
              all(d.data == peers.gw_keepalive(BRIDGE, KEY) for d in hbs),
              "%d requests, gaps %s" % (len(hbs), ["%.2f" % g for g in gaps]))
    n92 = len([d for d in to_rep if d.data[:1] == b"\x92"])
    n26 = len([1 for _, d, _ in R.sent if len(d) == 26])
    res.equal("one peer-list request per 26-byte reply of the repeater", n92, n26)
    for banner in (r"Start Moto           Modul  V0\.01$", r"Start Repeater RDAC  Modul  V1\.01$",
                   r"Start Local Repeater Modul  V1\.34$"):
        res.check("thread banner %r printed" % banner.rstrip("$").replace("\\", ""), bool(gw.lines_matching(banner)))


def body(binary, res):
    too_many_peers_run(binary, res)
    links_run(binary, res)


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
