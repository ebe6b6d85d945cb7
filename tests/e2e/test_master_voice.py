#!/usr/bin/env python3
"""Calls from the DMR master reach the Motorola repeater: the master stand-in
sends whole calls as 72-byte Hytera packets (voice header twice, bursts A to
F with frames FEC-coded by peers.py, some with bit errors, terminator),
group and private, and the repeater stand-in checks what arrives with a
reader of its own, written here from the packet tables:

- voice header (0xDD, then 0x5D for the repeat), bursts, terminator, every
  one signed with the network key; call fields, RTP sequence and timestamp;
- the bare frames of every burst are the frames that were sent, or the
  substitute with the bad-frame bit where a frame had too many errors;
- the embedded bits and EMB byte of bursts B to E, burst F's fixed tail,
  burst E's link control, the header's and terminator's RS(12,9) check;
- a clump of packets leaves about 60 ms apart;
- console: RX, SENDE EIN, EMB, BER, ENDE and SENDE AUS lines;
- a slot-1 call and a stranger's call produce nothing at the repeater;
- a call that loses its terminator ends with "SENDE TIMEOUT" about 3 s
  after its last packet, with nothing sent;
- the master's one-byte keep-alive puts the login's timer back to 15 s.

    python3 test_master_voice.py --binary PATH      exit 0 pass, 1 fail, 77 skip
"""

import random
import re
import statistics
import time

import bench
from bench import Bench, CONFIG, GW_IP, MASTER_IP, STRANGER_IP, config_text, now
import peers
from peers import MasterStandIn, RepeaterStandIn, bits_of, int_of, key_from_text, tag_ok

KEY = key_from_text(CONFIG["NetworkKey"])
BRIDGE = int(CONFIG["MyBridgeID"])
RPT_PORT = int(CONFIG["RptrPort"])
GW_AUDIO = (GW_IP, 62006)
REPEATER_PEER_ID = 2620001
TS = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"
BOL = r"^(?:\x1b\[[0-9;]*m)*"
LOGIN_RX = BOL + TS + r" Sende Anmeldung an DMR Master  IP:" + re.escape(MASTER_IP) + r"$"

SUBSTITUTE = [1, 1, 1, 1] + [0] * 45
BURST_LEN = [62, 67, 67, 67, 76, 67]
# EMB bits 0-6 of the templates' bursts B to E (colour code 1, PI 0, LCSS 1 3 3 2) as the EMB byte.
EMB_BYTES = [0x12, 0x16, 0x16, 0x14]


# ---------------------------------------------------------------------------
# reading what reaches the repeater


def rs129_ok(lc, check, mask):
    """lc (9 bytes) and check XOR mask form an RS(12,9) codeword over
    GF(256) (0x11D): the polynomial vanishes at 2, 4 and 8."""
    return peers.rs_syndromes(bytes(lc) + bytes(b ^ mask for b in check)) == [0, 0, 0]


def is_voice(d):
    return len(d.data) in (62, 64, 66, 67, 76) and d.data[0] in (0x80, 0x81)


class Call:
    def __init__(self, src, dst, group, seq0, superframes=2, slot=2, errors=None, rng_seed=1):
        self.src, self.dst, self.group, self.seq0, self.slot = src, dst, group, seq0, slot
        rng = random.Random(rng_seed)
        self.n_bursts = 6 * superframes
        self.frames = [[[rng.getrandbits(1) for _ in range(49)] for _ in range(3)] for _ in range(self.n_bursts)]
        self.errors = errors or {}          # (burst, frame) -> (A errors, B errors)

    def lc(self):
        return peers.call_lc(self.src, self.dst, self.group)

    def packets(self, terminator=True):
        s, out = self.seq0, []
        out.append(peers.hytera_header(s, self.src, self.dst, self.slot, self.group))
        out.append(peers.hytera_header(s + 1, self.src, self.dst, self.slot, self.group))
        for i in range(self.n_bursts):
            errs = tuple(self.errors.get((i, k), (0, 0)) for k in range(3))
            out.append(peers.hytera_burst(s + 2 + i, self.src, self.dst, i % 6, self.frames[i], errs,
                                          self.slot, self.group))
        if terminator:
            out.append(peers.hytera_terminator(s + 2 + self.n_bursts, self.src, self.dst, self.slot, self.group))
        return out

    def replaced(self, i, k):
        a, b = self.errors.get((i, k), (0, 0))
        return a > 3 or (a >= 2 and b >= 3)


def send_all(ep, packets, gap, dst=GW_AUDIO):
    times = []
    for p in packets:
        ep.send(p, dst)
        times.append(now())
        if gap:
            time.sleep(gap)
    return times


def check_call(res, name, call, got, terminator=True):
    """Checks the Motorola packets of one relayed call against the tables."""
    want_len = [66, 66] + BURST_LEN * (call.n_bursts // 6) + ([64] if terminator else [])
    if not res.equal("%s: packet lengths at the repeater" % name, [len(d.data) for d in got], want_len):
        return
    pk = [d.data for d in got]
    res.check("%s: every packet signed with the network key" % name, all(tag_ok(KEY, p) for p in pk))
    op = 0x80 if call.group else 0x81
    res.equal("%s: opcode in every packet" % name, {p[0] for p in pk}, {op})
    res.equal("%s: peer ID, call_seq, IDs, call tag the same in every packet" % name,
              {(p[1:5], p[5], p[6:9], p[9:12], p[12], p[13:17]) for p in pk},
              {(BRIDGE.to_bytes(4, "big"), pk[0][5], call.src.to_bytes(3, "big"), call.dst.to_bytes(3, "big"),
                0x02, pk[0][13:17])})
    res.check("%s: call tag bytes below 255" % name, all(b < 255 for b in pk[0][13:17]), pk[0][13:17].hex())
    markers = [p[19] for p in pk]
    res.equal("%s: byte 19 (0xDD first header, 0x5D repeat and bursts, 0x5E terminator)" % name, markers,
              [0xDD, 0x5D] + [0x5D] * call.n_bursts + ([0x5E] if terminator else []))
    res.equal("%s: call_info, RTP version, SSRC, burst type" % name,
              [(p[17], p[18], p[26:30], p[30]) for p in pk],
              [(0x20, 0x80, bytes(4), 0x01)] * 2 + [(0x20, 0x80, bytes(4), 0x8A)] * call.n_bursts +
              ([(0x60, 0x80, bytes(4), 0x02)] if terminator else []))
    res.equal("%s: RTP sequence numbers are the master's" % name,
              [int.from_bytes(p[20:22], "big") for p in pk], [call.seq0 + i for i in range(len(pk))])
    stamps = [int.from_bytes(p[22:26], "big") for p in pk]
    res.equal("%s: RTP timestamp +480 per packet" % name, [(b - a) & 0xFFFFFFFF for a, b in zip(stamps, stamps[1:])],
              [480] * (len(pk) - 1))
    lc = call.lc()
    for i, (mask, mid, tail) in ((0, (0x96, bytes([0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60]), bytes([0x00, 0x11, 0x01, 0x36, 0x04, 0xCD]))),
                                 (1, (0x96, bytes([0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60]), bytes([0x00, 0x11, 0x01, 0x36, 0x04, 0xCD])))):
        p = pk[i]
        res.check("%s: header %d bytes 31-46 (fixed, link control %s) and 50-55" % (name, i + 1, lc.hex()),
                  p[31:38] == mid and p[38:47] == lc and p[50:56] == tail, p[31:56].hex())
        res.check("%s: header %d RS(12,9) check bytes" % (name, i + 1), rs129_ok(p[38:47], p[47:50], mask))
    if terminator:
        p = pk[-1]
        res.check("%s: terminator bytes 31-46 and 50-53" % name,
                  p[31:38] == bytes([0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60]) and p[38:47] == lc and
                  p[50:54] == bytes([0x00, 0x12, 0x05, 0x0C]), p[31:54].hex())
        res.check("%s: terminator RS(12,9) check bytes" % name, rs129_ok(p[38:47], p[47:50], 0x99))

    frames_ok, bad_ok, tail_bits = [], [], []
    emb_ok, f_ok, e_ok, len_ok = True, True, True, True
    full = peers.embedded_lc(lc)
    for i in range(call.n_bursts):
        p = pk[2 + i]
        letter = i % 6
        len_ok &= p[31] == BURST_LEN[letter] - 42 and p[32] == [0x40, 0x06, 0x06, 0x06, 0x16, 0x06][letter]
        bits = bits_of(p[33:52])
        for k in range(3):
            want = SUBSTITUTE if call.replaced(i, k) else call.frames[i][k]
            if bits[50 * k:50 * k + 49] != want:
                frames_ok.append((i, k))
            if bits[50 * k + 49] != (1 if call.replaced(i, k) else 0):
                bad_ok.append((i, k))
        tail_bits.append(bits[150:152])
        if 1 <= letter <= 4:
            if bits_of(p[52:56]) != full[32 * (letter - 1):32 * letter] or p[len(p) - 11] != EMB_BYTES[letter - 1]:
                emb_ok = False
        if letter == 4:
            e_ok &= p[56:65] == lc
        if letter == 5:
            f_ok &= p[52:57] == bytes([0, 0, 0, 0, 0x10])
    res.check("%s: burst_len and burst_flags of every burst" % name, len_ok)
    res.check("%s: every frame as sent, or the substitute where it had too many errors" % name, not frames_ok,
              "wrong frames (burst, frame): %s" % frames_ok)
    res.check("%s: bad-frame bits set exactly for the replaced frames" % name, not bad_ok, repr(bad_ok))
    res.check("%s: the two bits after the frames are zero" % name, all(t == [0, 0] for t in tail_bits))
    res.check("%s: bursts B-E carry the embedded fragments and EMB bytes 12 16 16 14" % name, emb_ok)
    res.check("%s: burst E carries the link control at 56-64" % name, e_ok)
    res.check("%s: burst F ends in 00 00 00 00 10" % name, f_ok)


def in_order(gw, patterns, start, timeout=2.0):
    deadline = now() + timeout
    pos, found = start, []
    for pat in patterns:
        ln = gw.wait_for_line(pat, timeout=max(deadline - now(), 0.05), start=pos)
        if ln is None:
            return False, pat
        found.append(ln)
        pos = ln.index + 1
    return True, found


def voice_at(rep, start):
    return rep.ep.received(is_voice, start=start)


def wait_count(rep, start, n, timeout):
    deadline = now() + timeout
    while len(voice_at(rep, start)) < n and now() < deadline:
        time.sleep(0.05)
    return voice_at(rep, start)


# ---------------------------------------------------------------------------


def body(binary, res):
    with Bench(binary) as tb:
        rep = RepeaterStandIn(tb, KEY, RPT_PORT, REPEATER_PEER_ID)
        rep.answering = True
        master = MasterStandIn(tb)
        stranger = tb.endpoint(STRANGER_IP, 62006, "stranger-62006")
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
                gw.dump(last=200)


def _checks(res, gw, rep, master, stranger):
    reg = rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", timeout=15)
    if not res.check("gateway registers with the repeater", reg is not None):
        return
    # The registration reply tells the gateway where the repeater is.
    deadline = now() + 3
    while not any(len(d) == 26 for _, d, _ in rep.ep.sent) and now() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    res.check("start banner of the master-side reader",
              bool(gw.lines_matching(r"Start Voice to Motorola Pthread$")))

    # --- a group call sent in one clump, with bit errors --------------------
    errors = {(1, 0): (3, 2), (2, 1): (2, 3), (3, 2): (4, 0), (7, 0): (1, 3), (9, 1): (0, 3), (9, 2): (3, 0)}
    group = Call(2620123, 262, True, 1000, errors=errors, rng_seed=11)
    m, ln = rep.ep.mark(), gw.mark()
    send_all(master.audio, group.packets(), gap=0)
    got = wait_count(rep, m, 15, timeout=4.0)
    check_call(res, "group call", group, got)
    gaps = [b.t - a.t for a, b in zip(got, got[1:])]
    if gaps:
        res.check("group call: a clump leaves about 60 ms apart (every gap >= 40 ms, median 55-75 ms)",
                  min(gaps) >= 0.040 and 0.055 <= statistics.median(gaps) <= 0.075,
                  "gaps %s" % ["%.0f" % (g * 1000) for g in gaps])
    ok, found = in_order(gw, [
        r"^_{78}$",
        BOL + TS + r" RX SLOT=2 DST_ID=262 SRC_ID=2620123 TYPE=Voice$",
        BOL + TS + r" SENDE EIN (\d+)$",
        BOL + TS + r" EMB-Hardbits: CC:0001 PI:0 LCSS:10$",
        BOL + TS + r" EMB-Decode Slot:2 DestID:262 SrcID:2620123$",
        BOL + TS + r" VOICE RX SLOT 2 ENDE USER_ID=2620123 $",
        BOL + TS + r" SENDE AUS (\d+)$"], start=ln)
    if res.check("group call: console RX, SENDE EIN, EMB, ENDE, SENDE AUS lines in order", ok, "missing %r" % (found,)):
        n_ein = re.search(r"SENDE EIN (\d+)$", found[2].text).group(1)
        n_aus = re.search(r"SENDE AUS (\d+)$", found[6].text).group(1)
        res.check("group call: SENDE EIN and SENDE AUS name the same call_seq as the packets",
                  n_ein == n_aus and got and int(n_ein) == got[0].data[5], "%s %s" % (n_ein, n_aus))
        res.equal("group call: ID lines printed once",
                  len(gw.lines_matching(r"EMB-Decode Slot:2", start=ln)), 1)
    ber = [l.text for l in gw.lines_matching(BOL + r"BER : ", start=ln)]
    res.equal("group call: BER lines for the bursts with errors (5, 5, 7, 4 and 6 of 141 bits)", ber,
              ["BER : 3.546099%", "BER : 3.546099%", "BER : 4.964539%", "BER : 2.836879%", "BER : 4.255319%"])
    delays = gw.lines_matching(BOL + TS + r" add delay: \d+ us at pacnum: \d+$", start=ln)
    res.equal("group call: the repeated header, sent in the clump, prints its delay (and nothing else does)",
              [re.search(r"pacnum: (\d+)$", l.text).group(1) for l in delays], ["1001"])

    # --- a private call at the pace of the air interface ---------------------
    private = Call(3107001, 3107002, False, 2000, superframes=1, rng_seed=12)
    m, ln = rep.ep.mark(), gw.mark()
    send_all(master.audio, private.packets(), gap=0.06)
    got = wait_count(rep, m, 9, timeout=2.0)
    check_call(res, "private call", private, got)
    res.check("private call: FLCO 3 in the link control of header and burst E",
              len(got) == 9 and got[0].data[38] == 0x03 and got[6].data[56] == 0x03)
    res.check("private call: next call_seq", len(got) == 9 and got[0].data[5] == (group_seq(rep) + 1) & 0xFF)
    res.check("private call: SENDE EIN / ENDE / SENDE AUS lines",
              in_order(gw, [BOL + TS + r" SENDE EIN \d+$",
                            BOL + TS + r" EMB-Decode Slot:2 DestID:3107002 SrcID:3107001$",
                            BOL + TS + r" VOICE RX SLOT 2 ENDE USER_ID=3107001 $",
                            BOL + TS + r" SENDE AUS \d+$"], start=ln)[0])
    res.check("private call: no BER line for a clean call", not gw.lines_matching(r"BER : ", start=ln))

    # --- a slot-1 call and a stranger's call ----------------------------------
    m, ln = rep.ep.mark(), gw.mark()
    slot1 = Call(2620777, 9, True, 3000, superframes=1, slot=1, rng_seed=13)
    send_all(master.audio, slot1.packets(), gap=0.01)
    strange = Call(2620888, 262, True, 4000, superframes=1, rng_seed=14)
    send_all(stranger, strange.packets(), gap=0.01)
    time.sleep(0.8)
    res.equal("slot-1 and stranger's calls: nothing reaches the repeater", voice_at(rep, m), [])
    res.check("slot-1 call: RX and ENDE lines",
              in_order(gw, [BOL + TS + r" RX SLOT=1 DST_ID=9 SRC_ID=2620777 TYPE=Voice$",
                            BOL + TS + r" VOICE RX SLOT 1 ENDE USER_ID=2620777 $"], start=ln, timeout=0.5)[0])
    res.equal("slot-1 call: no SENDE line", gw.lines_matching(r"SENDE", start=ln), [])
    res.equal("stranger's call: nothing printed", gw.lines_matching(r"2620888", start=ln), [])

    # --- the master's keep-alive byte ---------------------------------------
    login = gw.wait_for_line(LOGIN_RX, timeout=12.0)
    if not res.check("gateway logs into the master", login is not None):
        return
    time.sleep(max(login.t + 1.0 - now(), 0))
    t_ka = now()
    master.keepalive()

    # --- a call that loses its terminator -------------------------------------
    lost = Call(2620456, 262, True, 5000, superframes=1, rng_seed=15)
    m, ln = rep.ep.mark(), gw.mark()
    times = send_all(master.audio, lost.packets(terminator=False), gap=0.06)
    got = wait_count(rep, m, 8, timeout=2.0)
    check_call(res, "call without terminator", lost, got, terminator=False)
    to = gw.wait_for_line(BOL + TS + r" SENDE TIMEOUT \d+$", timeout=5.0, start=ln)
    if res.check("call without terminator: \"SENDE TIMEOUT\" line", to is not None):
        res.check("call without terminator: time-out about 3 s after the last packet",
                  2.8 <= to.t - times[-1] <= 3.6, "%.2f s" % (to.t - times[-1]))
        res.equal("call without terminator: time-out names the call_seq",
                  int(to.text.rsplit(" ", 1)[1]), got[0].data[5] if got else None)
    time.sleep(0.3)
    res.equal("call without terminator: nothing more sent to the repeater", len(voice_at(rep, m)), 8)

    # The byte put the timer back to 15 s: the next login follows about 15 s
    # after it, long before the 29 s of a login left alone.
    relogin = gw.wait_for_line(LOGIN_RX, timeout=max(t_ka + 19.0 - now(), 0.1), start=login.index + 1)
    if res.check("keep-alive byte: login repeated once its 15 s have run out", relogin is not None,
                  "no second login within 19 s of the byte"):
        res.check("keep-alive byte: the next login about 15 s after the byte (12-18 s)",
                  12.0 <= relogin.t - t_ka <= 18.0, "%.2f s" % (relogin.t - t_ka))

    res.check("every datagram to the repeater signed", all(tag_ok(KEY, d.data) for d in rep.ep.received()))


def group_seq(rep):
    """call_seq of the first relayed call."""
    first = rep.ep.received(lambda d: is_voice(d) and len(d.data) == 66)
    return first[0].data[5] if first else -1


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
