#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""--homebrew against a stand-in HomeBrew master (homebrew_master.py): the login
(RPTL, RPTK, RPTC of 302 bytes with the configuration's call sign and frequencies,
slots '2'), a ping every 5 s, a call each way through the master to and from a
second HomeBrew peer as the vectors, a master restart (a new login after the MSTNAK
to the next ping, calls again), a refused passphrase (a console line, a new try
about 5 s later)."""

import os, struct, tempfile, time  # noqa: E401

import bench
from bench import Bench, GW_IP, now
from homebrew_master import HomeBrewMaster, HomeBrewPeer, tag_of
from peers import GW_RPT, V, RepeaterStandIn, matches, send_call, tag_ok
from test_voice import voice

ID, PEER2_ID, PORT, GW = int(bench.CONFIG["RptrID"]), 2629998, 62031, (GW_IP, 62006)
PASSPHRASE = b"e2e Pass-phrase 7"
# The gateway's line when the master refuses its RPTK (the exact words are its own).
REFUSED = r"(?i)refus.*(passphrase|RPTK)"


def passphrase_file(tb):
    """The passphrase alone (no newline) in a file of mode 0600."""
    tb.tmpdirs.append(tempfile.mkdtemp(prefix="corvane-e2e-hb-"))
    path = os.path.join(tb.tmpdirs[-1], "passphrase")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    os.write(fd, PASSPHRASE)
    os.close(fd)
    return path


def body(binary, res):
    with Bench(binary) as tb:
        hm = HomeBrewMaster(tb, PORT, PASSPHRASE)
        rep, p2 = RepeaterStandIn(tb), HomeBrewPeer(tb, hm.addr, PEER2_ID, PASSPHRASE)
        rep.answering = True
        if not res.check("second peer logged in at the stand-in master", p2.login()):
            return
        gw = tb.start_gateway(bench.config_text(), args=["--homebrew=%d" % PORT, "--passphrase-file",
                                                         passphrase_file(tb)])
        try:
            checks(res, gw, hm, rep, p2)
        finally:
            res.check("gateway kept running", gw.running(), gw.proc.poll())
            gw.stop()
            res.check("nothing on standard error", gw.stderr == b"", gw.stderr[-2000:])
            res.check("the passphrase appears nowhere in the output",
                      PASSPHRASE not in b"\n".join(ln.raw for ln in gw.lines) + gw.stderr)
            res.equal("every datagram to the master from 192.0.2.1:62006",
                      {e[2] for e in hm.datagrams() if e[2][0] == GW_IP}, {GW})
            res.equal("no datagram of a wrong length or unknown tag", [f for f in hm.faults if f[1] == GW], [])
            res.equal("no DMRD dropped by the master (none sent while logged out)",
                      [e for e in hm.events if e[1].startswith("DMRD from %d " % ID)], [])
            if res.failed:
                gw.dump()
                hm.dump(gw.t_start)


def logins(hm, since):
    return [x for x in hm.logins if x[1] == ID and x[0] >= since]


def exchanges(hm, since):
    return hm.exchanges(GW, since)


def tags(pairs):
    return [(tag_of(q[1]), a and a[1][:6]) for q, a in pairs]


def compare_dmrd(frames, vectors):
    """None if the frames are the vectors' call (its header may come up to 3 times), sequence
    0, 1, ... and one non-zero stream ID; else what differs."""
    k = next((i for i, f in enumerate(frames) if f[15:16] != b"\xa1"), len(frames))
    want = [vectors[0]] * k + vectors[1:]
    if not 1 <= k <= 3 or len(frames) != len(want):
        return "%d frames, flags %s" % (len(frames), " ".join("%02x" % f[15] for f in frames if len(f) > 15))
    for i, (f, w) in enumerate(zip(frames, want)):
        if f[4] != i & 255:
            return "frame %d: sequence %d" % (i, f[4])
        if not matches(w[:8] + "xx" + w[10:], f):
            return "frame %d: got %s, want %s" % (i, f.hex(), w)
    streams = {f[16:20] for f in frames}
    if len(streams) != 1 or b"\0\0\0\0" in streams:
        return "stream IDs %s" % sorted(s.hex() for s in streams)


def from_repeater(res, hm, rep, p2, when):
    """rcall from the repeater: its DMRD at the master and at the second peer; the stream ID."""
    t, m = now(), len(p2.dmrd)
    send_call(rep.ep, "rcall", GW_RPT, 0.02)
    p2_want = [w[:22] + "%08x" % PEER2_ID + w[30:] for w in V["hcall_out"]]
    hm.wait(lambda: any(d.data[15:16] == b"\xa2" for d in p2.dmrd[m:]), 3.0)
    time.sleep(0.2)
    sent = [e[3] for e in hm.datagrams("rx", b"DMRD", GW, since=t)]
    res.equal("%s from the repeater: DMRD to the master as hcall_out" % when, compare_dmrd(sent, V["hcall_out"]),
              None)
    res.equal("%s from the repeater: the same at the second peer, its ID at 11-14" % when,
              compare_dmrd([d.data for d in p2.dmrd[m:]], p2_want), None)
    return sent[0][16:20] if sent else None


def to_repeater(res, rep, p2):
    """hcall_in from the second peer through the master: Motorola voice packets as mout, the
    header repeated or not, RTP sequence numbers counted from anywhere."""
    m, last = rep.ep.mark(), V["mout"][-1][:40] + "xxxx" + V["mout"][-1][44:]
    p2.send_call(V["hcall_in"], gap=0.06)
    rep.ep.wait_for(lambda d: matches(last, d.data), 3.0, m)
    time.sleep(0.3)
    got, k = rep.ep.received(voice, m), len(rep.ep.received(voice, m)) - 7
    want = [V["mout"][0]] + [V["mout"][1]] * (k - 1) + V["mout"][2:] if k in (1, 2) else []
    seqs = [struct.unpack_from(">H", d.data, 20)[0] for d in got if len(d.data) > 22]
    res.check("call from the second peer: at the repeater as mout (one or two headers), signed, RTP +1",
              want and all(matches(w[:40] + "xxxx" + w[44:], d.data) and tag_ok(d.data) for w, d in zip(want, got))
              and all(b - a & 0xFFFF == 1 for a, b in zip(seqs, seqs[1:])), [d.data.hex() for d in got])


def checks(res, gw, hm, rep, p2):
    if not hm.wait(lambda: logins(hm, 0) or not gw.running(), 10.0):
        return res.check("login: connected within 10 s", False, tags(exchanges(hm, 0)))
    if not res.check("login: gateway running (knows --homebrew?)", gw.running(),
                     "exit status %s: %s" % (gw.proc.poll(), [ln.text for ln in gw.lines[-3:]])):
        return
    t_login = logins(hm, 0)[0][0]
    steps = tags(exchanges(hm, 0))
    res.equal("login: RPTL, RPTK, RPTC in turn, each ACKed", steps[:3],
              [(b"RPTL", b"RPTACK"), (b"RPTK", b"RPTACK"), (b"RPTC", b"RPTACK")])
    first = [q[1] for q, a in exchanges(hm, 0)[:3]]
    res.equal("login: RPTL and RPTK carry the RptrID", [x[4:8] for x in first[:2]], [struct.pack(">I", ID)] * 2)
    rptc, fields = first[2], next(f for _, rid, f in hm.configs if rid == ID)
    res.equal("login: RPTC of 302 bytes: call sign, RX and TX frequency, slots",
              [len(rptc), fields["callsign"], fields["rx"], fields["tx"], fields["slots"]],
              [302, "ABC1DEF ", bench.CONFIG["RptrQRGrx"], bench.CONFIG["RptrQRGtx"], "2"])
    res.check("login: RPTC all printable ASCII, software ID names corvane",
              all(0x20 <= c < 0x7F for c in rptc[8:]) and "corvane" in fields["software"].lower(), fields)

    if not res.check("repeater registered", rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", 15) is not None):
        return
    time.sleep(0.5)
    stream1 = from_repeater(res, hm, rep, p2, "first call")
    to_repeater(res, rep, p2)

    def pings():
        return [q for q, a in exchanges(hm, t_login) if tag_of(q[1]) == b"RPTPING"]
    hm.wait(lambda: len(pings()) >= 2, t_login + 12 - now())
    ps, answers = pings(), [a and a[1][:7] for q, a in exchanges(hm, t_login) if tag_of(q[1]) == b"RPTPING"]
    gaps = [b[0] - a[0] for a, b in zip(ps, ps[1:])]
    res.check("pings: the first within 6 s of the login, then every 4-6 s, each answered with MSTPONG",
              len(ps) >= 2 and ps[0][0] - t_login <= 6 and all(4 <= g <= 6 for g in gaps)
              and set(answers) == {b"MSTPONG"}, (ps and ps[0][0] - t_login, gaps, answers))

    back = hm.restart(silent=2.0)
    hm.wait(lambda: logins(hm, back), 9.0)
    after = exchanges(hm, back)
    rptl = next((q[0] for q, a in after if tag_of(q[1]) == b"RPTL"), None)
    res.check("master restart: RPTL within 6 s of its return", rptl and rptl - back <= 6.0, rptl and rptl - back)
    res.check("  ... after its MSTNAK to a ping, and logged in again", tags(after)[:4] == [
        (b"RPTPING", b"MSTNAK"), (b"RPTL", b"RPTACK"), (b"RPTK", b"RPTACK"), (b"RPTC", b"RPTACK")], tags(after))
    if logins(hm, back) and res.check("after the restart: second peer logged in again", p2.login()):
        stream2 = from_repeater(res, hm, rep, p2, "after the restart, a call")
        res.check("a new stream ID for the new call", stream1 != stream2, (stream1, stream2))

    hm.passphrase, ln = b"not the gateway's passphrase", gw.mark()
    t = hm.restart()
    hm.wait(lambda: any(tag_of(q[1]) == b"RPTK" and a for q, a in exchanges(hm, t)), 8.0)
    refused = next((a for q, a in exchanges(hm, t) if tag_of(q[1]) == b"RPTK"), None)
    if not res.check("wrong passphrase: RPTK refused with MSTNAK", refused and refused[1][:6] == b"MSTNAK",
                     tags(exchanges(hm, t))):
        return
    hm.passphrase = PASSPHRASE
    line = gw.wait_for_line(REFUSED, 2.0, ln)
    res.check("wrong passphrase: a console line says so (%s)" % REFUSED, line and line.t - refused[0] < 2.0,
              [x.text for x in gw.lines[ln:]][-5:])
    hm.wait(lambda: any(tag_of(q[1]) == b"RPTL" for q, a in exchanges(hm, refused[0])), 9.0)
    retry = next((q[0] for q, a in exchanges(hm, refused[0]) if tag_of(q[1]) == b"RPTL"), None)
    res.check("wrong passphrase: a new try 4-7 s later", retry and 4.0 <= retry - refused[0] <= 7.0,
              retry and retry - refused[0])
    res.check("  ... which logs in, the passphrase right again", hm.wait(lambda: logins(hm, refused[0]), 2.0))


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
