#!/usr/bin/env python3
"""Calls and position data from the Motorola repeater reach the DMR master:
the repeater stand-in sends whole calls (first header, a further header,
bursts A to F twice, terminator), group and private, and a position
transmission; the master stand-in checks what arrives with decoders of its
own, written here from the DMR codings (never the gateway's code):

- the three AMBE+2 frames of every burst (Golay(24,12) for A, Golay(23,12)
  whitened with the mask of A for B, C as is) are the frames that were sent;
- burst A carries the voice sync, bursts B to F a valid QR(16,7,6) EMB with
  LCSS 1, 3, 3, 2, 0;
- the embedded link control assembled over B to E passes its Hamming rows,
  column parity and checksum and names the call's destination and source;
- header and terminator carry the call's link control in BPTC(196,96) with a
  valid RS(12,9) check.

    python3 test_moto_to_master.py --binary PATH      exit 0 pass, 1 fail, 77 skip
"""

import random
import re
import time

import bench
from bench import Bench, CONFIG, GW_IP, config_text
import peers
from peers import MasterStandIn, RepeaterStandIn, key_from_text, rs_syndromes, sign
from peers import ambe_b_mask as b_mask, bits_of as to_bits, golay2312, int_of as to_int

KEY = key_from_text(CONFIG["NetworkKey"])
RPT_PORT = int(CONFIG["RptrPort"])
GW_RPT = (GW_IP, RPT_PORT)
REPEATER_PEER_ID = 2620001
TS = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"
# A colour sequence printed on its own (thread banners end in one) stays in
# front of whatever line comes next, from any thread.
BOL = r"^(?:\x1b\[[0-9;]*m)*"

# ---------------------------------------------------------------------------
# bits


def burst_of(pkt):
    """The 33-byte burst of a Hytera packet: burst byte k at (26 + k) XOR 1."""
    return bytes(pkt[(26 + k) ^ 1] for k in range(33))


# ---------------------------------------------------------------------------
# AMBE+2 frame check and decode


def decode_frame(coded):
    """49 frame bits of a 72-bit coded frame, or None if either codeword is
    not exact (the gateway's frames must arrive free of errors)."""
    s = [0] * 72
    for k in range(18):
        for c in range(4):
            s[18 * c + k] = coded[4 * k + c]
    a_word, b_word, c_bits = to_int(s[0:24]), to_int(s[24:47]), s[47:72]
    a = a_word >> 12
    cw = golay2312(a) << 1
    cw |= bin(cw).count("1") & 1
    if cw != a_word:
        return None
    b_word ^= b_mask(a)
    b = b_word >> 11
    if golay2312(b) != b_word:
        return None
    return [(a >> (11 - i)) & 1 for i in range(12)] + [(b >> (11 - i)) & 1 for i in range(12)] + c_bits


def burst_frames(burst):
    bits = to_bits(burst)
    return [bits[0:72], bits[72:108] + bits[156:192], bits[192:264]]


# ---------------------------------------------------------------------------
# EMB and embedded link control

EMB_ROWS = [0x0273, 0x04E5, 0x09C9, 0x11E2, 0x21B7, 0x411E, 0x804F]
EMB_CODEWORDS = set()
for _i in range(128):
    _v = 0
    for _k in range(7):
        if _i & (1 << _k):
            _v ^= EMB_ROWS[_k]
    EMB_CODEWORDS.add(_v)


def emb_of(burst):
    """(valid, colour code, PI, LCSS) of a burst's EMB."""
    centre = to_bits(burst)[108:156]
    v = to_int(centre[0:8] + centre[40:48])
    return v in EMB_CODEWORDS, v >> 12, (v >> 11) & 1, (v >> 9) & 3


def embedded_of(burst):
    return to_bits(burst)[116:148]


HAMMING_16_11 = [(0, 1, 2, 3, 5, 7, 8), (1, 2, 3, 4, 6, 8, 9), (2, 3, 4, 5, 7, 9, 10),
                 (0, 1, 2, 4, 6, 7, 10), (0, 2, 5, 6, 8, 9, 10)]


def decode_embedded_lc(sent):
    """The 9 LC bytes of 128 embedded bits (fragments 1-4 in order), or a
    text saying what failed."""
    m = [0] * 128
    for c in range(16):
        for r in range(8):
            m[16 * r + c] = sent[8 * c + r]
    for r in range(7):
        row = m[16 * r:16 * r + 16]
        for p, cover in enumerate(HAMMING_16_11):
            if row[11 + p] != sum(row[d] for d in cover) & 1:
                return "Hamming row %d" % r
    for c in range(16):
        if m[112 + c] != sum(m[16 * r + c] for r in range(7)) & 1:
            return "column parity %d" % c
    lc = m[0:11] + m[16:27]
    for r in range(2, 7):
        lc += m[16 * r:16 * r + 10]
    data = bytes(to_int(lc[8 * i:8 * i + 8]) for i in range(9))
    crc = to_int([m[16 * r + 10] for r in range(2, 7)])
    if crc != sum(data) % 31:
        return "checksum"
    return data


# ---------------------------------------------------------------------------
# BPTC(196,96) and RS(12,9) of header and terminator


def decode_data_lc(pkt, mask):
    """9 LC bytes of a header or terminator packet, or a text of the fault."""
    bits = to_bits(burst_of(pkt))
    sent = bits[0:98] + bits[166:264]
    m = [sent[(k * 181) % 196] for k in range(196)]
    data = m[4:12]
    for r in range(1, 9):
        data += m[1 + 15 * r:12 + 15 * r]
    cw = bytes(to_int(data[8 * i:8 * i + 8]) for i in range(12))
    check = bytes(b ^ mask for b in cw[9:])
    if rs_syndromes(cw[:9] + check) != [0, 0, 0]:
        return "RS(12,9) check"
    return cw[:9]


# ---------------------------------------------------------------------------
# Motorola packets of the repeater


def call_header(opcode, src, dst, seq, call_info, marker, burst_type, call_seq=0x21):
    return (bytes([opcode]) + REPEATER_PEER_ID.to_bytes(4, "big") + bytes([call_seq]) +
            src.to_bytes(3, "big") + dst.to_bytes(3, "big") + bytes([0x02, 0x11, 0x22, 0x33, 0x44]) +
            bytes([call_info, 0x80, marker]) + seq.to_bytes(2, "big") + (seq * 480).to_bytes(4, "big") +
            bytes(4) + bytes([burst_type]))


def moto_header(op, src, dst, seq, marker):
    return sign(KEY, call_header(op, src, dst, seq, 0x20, marker, 0x01) +
                bytes([0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60, 0x00, 0x00, 0x00]) +
                dst.to_bytes(3, "big") + src.to_bytes(3, "big") +
                bytes([0x02, 0xF8, 0xC5, 0x00, 0x11, 0x01, 0x36, 0x04, 0xCD]))


def moto_terminator(op, src, dst, seq):
    return sign(KEY, call_header(op, src, dst, seq, 0x60, 0x5E, 0x02) +
                bytes([0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60, 0x00, 0x00, 0x00]) +
                dst.to_bytes(3, "big") + src.to_bytes(3, "big") +
                bytes([0x0D, 0x7F, 0xCA, 0x00, 0x12, 0x05, 0x0C]))


def moto_burst(op, src, dst, seq, letter, frames):
    lens = [0x14, 0x19, 0x19, 0x19, 0x22, 0x19]
    flags = [0x40, 0x06, 0x06, 0x06, 0x16, 0x06]
    bits = []
    for f in frames:
        bits += f + [0]
    bits += [0, 0]
    body = call_header(op, src, dst, seq, 0x20, 0x5D, 0x8A) + bytes([lens[letter], flags[letter]])
    body += bytes(to_int(bits[8 * i:8 * i + 8]) for i in range(19))
    if letter == 0:
        return sign(KEY, body)
    if letter == 5:
        return sign(KEY, body + bytes([0, 0, 0, 0, 0x10]))
    body += bytes([0x5A, 0xA5, 0x3C, 0xC3])   # noise the gateway must not pass on
    if letter == 4:
        body += bytes(3) + dst.to_bytes(3, "big") + src.to_bytes(3, "big")
    return sign(KEY, body + bytes([0x12]))


def data_packet(src, dst, dtype, payload=b""):
    body = call_header(0x84, src, dst, 0, 0x20, 0x5D, 0x40 | dtype)
    if dtype == 8:
        body += bytes(7) + payload.ljust(16, b"\x00")
    else:
        body += bytes(17)
    return sign(KEY, body)


# ---------------------------------------------------------------------------


def hyt72(master, start):
    return master.audio.received(lambda d: len(d.data) == 72, start=start)


def call_run(res, gw, rep, master, private, seq0, kind):
    op = 0x81 if private else 0x80
    src, dst = (3107001, 3107002) if private else (2620123, 262)
    rng = random.Random(seq0)
    frames = [[[rng.getrandbits(1) for _ in range(49)] for _ in range(3)] for _ in range(12)]
    m = master.audio.mark()
    ln = gw.mark()
    packets = [moto_header(op, src, dst, seq0, 0xDD), moto_header(op, src, dst, seq0 + 1, 0x5D)]
    for n in range(12):
        packets.append(moto_burst(op, src, dst, seq0 + 2 + n, n % 6, frames[n]))
    packets.append(moto_terminator(op, src, dst, seq0 + 14))
    for p in packets:
        rep.send(p, GW_RPT)
        time.sleep(0.02)
    deadline = time.monotonic() + 3.0
    while len(hyt72(master, m)) < 15 and time.monotonic() < deadline:
        time.sleep(0.05)
    got = [d.data for d in hyt72(master, m)]
    if not res.equal("%s call: 15 packets reach the master's port 62006" % kind, len(got), 15):
        return
    types = [p[19] for p in got]
    res.equal("%s call: frame types in order" % kind, types,
              [0xEE, 0x11] + [0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC] * 2 + [0x22])
    res.equal("%s call: packet types" % kind, [p[8] for p in got], [2] + [1] * 13 + [3])
    res.equal("%s call: sequence numbers" % kind, [p[4] | p[5] << 8 for p in got], list(range(seq0, seq0 + 15)))
    res.check("%s call: IDs and call type in every packet" % kind,
              all(int.from_bytes(p[64:67], "little") == dst and int.from_bytes(p[68:71], "little") == src and
                  p[62] == (0 if private else 1) for p in got))
    res.equal("%s call: sync packet's source ID at 38, 40, 42" % kind, bytes(got[0][i] for i in (38, 40, 42)),
              src.to_bytes(3, "big"))
    res.equal("%s call: header keeps slot type and sync at 38, 40, 42" % kind,
              bytes(got[1][i] for i in (38, 40, 42)), bytes([0x6D, 0x57, 0x5D]))
    want_lc = bytes([3 if private else 0, 0, 0]) + dst.to_bytes(3, "big") + src.to_bytes(3, "big")
    res.equal("%s call: header link control (BPTC, RS check 0x96)" % kind, decode_data_lc(got[1], 0x96), want_lc)
    res.equal("%s call: terminator link control (BPTC, RS check 0x99)" % kind, decode_data_lc(got[14], 0x99),
              want_lc)

    bursts = got[2:14]
    decoded = [[decode_frame(c) for c in burst_frames(burst_of(p))] for p in bursts]
    res.check("%s call: every burst carries the three frames that were sent" % kind, decoded == frames,
              "first mismatch in burst %s" % next((i for i in range(12) if decoded[i] != frames[i]), None))
    sync = to_bits(bytes.fromhex("755FD7DF75F7"))
    res.check("%s call: voice sync in both bursts A" % kind,
              all(to_bits(burst_of(bursts[i]))[108:156] == sync for i in (0, 6)))
    embs = [emb_of(burst_of(p)) for i, p in enumerate(bursts) if i % 6]
    res.equal("%s call: EMB of bursts B-F valid, colour code 1, PI 0, LCSS 1 3 3 2 0" % kind, embs,
              [(True, 1, 0, l) for l in (1, 3, 3, 2, 0)] * 2)
    for sf in (0, 1):
        emb_bits = []
        for i in range(1, 5):
            emb_bits += embedded_of(burst_of(bursts[6 * sf + i]))
        res.equal("%s call: embedded link control of superframe %d" % (kind, sf + 1), decode_embedded_lc(emb_bits),
                  want_lc)
    res.equal("%s call: burst F has no embedded signalling" % kind, embedded_of(burst_of(bursts[5])), [0] * 32)
    res.equal("%s call: burst E begins EE EE 11 11" % kind, bursts[4][:4], bytes([0xEE, 0xEE, 0x11, 0x11]))

    plus = gw.wait_for_line(BOL + r"%s Moto RX\+ slot:2 destination_id:%d source_id:%d rptr_id:%d$" %
                            (TS, dst, src, REPEATER_PEER_ID), timeout=1.0, start=ln)
    minus = gw.wait_for_line(BOL + r"%s Moto RX- ID:%d$" % (TS, src), timeout=1.0, start=ln)
    res.check("%s call: \"Moto RX+\" and \"Moto RX-\" lines" % kind, plus is not None and minus is not None
              and plus.index < minus.index)

    # A repeated packet, a slot-1 packet and an unknown burst type send nothing.
    m2 = master.audio.mark()
    rep.send(moto_terminator(op, src, dst, seq0 + 14), GW_RPT)
    hdr1 = bytearray(call_header(op, src, dst, seq0 + 15, 0x00, 0xDD, 0x01) + bytes(25))
    rep.send(sign(KEY, hdr1), GW_RPT)
    rep.send(sign(KEY, call_header(op, src, dst, seq0 + 16, 0x20, 0x5D, 0x03) + bytes(25)), GW_RPT)
    time.sleep(0.3)
    res.equal("%s call: repeat, slot 1 and burst type 3 send nothing" % kind, len(hyt72(master, m2)), 0)


def position_run(res, gw, rep, master):
    m = master.audio.mark()
    ln = gw.mark()
    src, dst = 2620555, 0x0A0B0C
    accu = b"ABCDEFGHIJKLMN04807.038N011311.00E,012K,xxxxxxxx"  # '.' at 19 and 30
    rep.send(data_packet(src, dst, 6), GW_RPT)
    time.sleep(0.02)
    rep.send(data_packet(src, dst, 8, b"first block....."), GW_RPT)
    for i in range(3):
        time.sleep(0.02)
        rep.send(data_packet(src, dst, 8, accu[16 * i:16 * i + 16]), GW_RPT)
    rpt = master.audio.wait_for(lambda d: len(d.data) == 66, timeout=2.0, start=m)
    if not res.check("position: a 66-byte report reaches the master", rpt is not None):
        return
    want = bytearray(66)
    text = b"%d6.6" % REPEATER_PEER_ID + b"\x00"
    want[9:12] = dst.to_bytes(3, "big")
    want[0:len(text)] = text
    want[6] = ord("Q")
    want[25:28] = src.to_bytes(3, "big")
    want[43:52] = b"04807.038"
    want[53:62] = b"011311.00"
    want[62] = ord("2")
    want[63] = ord("1")
    res.equal("position: report bytes", rpt.data, bytes(want))
    res.check("position: one report for four blocks",
              len(master.audio.received(lambda d: len(d.data) == 66, start=m)) == 1)
    line = gw.wait_for_line(BOL + r"\[%d\]Decoded GPS Manual \[19\]: LAT\(04807\.038\) LONG\(011311\.00\) "
                            r"SPEED\(012\) RPT:%d$" % (src, REPEATER_PEER_ID), timeout=1.0, start=ln)
    res.check("position: \"Decoded GPS\" line", line is not None)


def body(binary, res):
    with Bench(binary) as tb:
        rep = RepeaterStandIn(tb, KEY, RPT_PORT, REPEATER_PEER_ID)
        rep.answering = True
        master = MasterStandIn(tb)
        gw = tb.start_gateway(config_text())
        failed = res.failed
        try:
            reg = rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", timeout=15)
            if not res.check("gateway registers with the repeater", reg is not None):
                return
            time.sleep(0.5)
            call_run(res, gw, rep, master, False, 1000, "group call")
            call_run(res, gw, rep, master, True, 3000, "private call")
            call_run(res, gw, rep, master, False, 5000, "group call after a private one")
            position_run(res, gw, rep, master)
        finally:
            res.check("gateway kept running", gw.running(), "exit status %s" % gw.proc.poll())
            gw.stop()
            res.check("nothing on standard error (no sanitizer report)", gw.stderr == b"",
                      gw.stderr[-2000:].decode("latin-1"))
            if res.failed > failed:
                gw.dump(last=150)


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
