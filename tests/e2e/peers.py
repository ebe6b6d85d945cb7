"""Stand-ins for the gateway's two peers, and the packets of both links,
written out from the packet tables (never taken from the gateway's code).

Motorola link: every packet ends in a 10-byte tag, the first 10 bytes of
HMAC-SHA1 (Python's hmac module) keyed with the 20-byte network key, over all
bytes before it. Multi-byte numbers are most significant byte first.

Master link: the login and keep-alive byte "A", the RDAC identity messages
(225 and 71 bytes) and the 72-byte Hytera voice packets.
"""

import hashlib
import hmac
import threading

import bench

TAG_LEN = 10

# --------------------------------------------------------------------------
# authentication


def auth_tag(key, body):
    return hmac.new(bytes(key), bytes(body), hashlib.sha1).digest()[:TAG_LEN]


def sign(key, body):
    return bytes(body) + auth_tag(key, body)


def tag_ok(key, packet):
    packet = bytes(packet)
    if len(packet) <= TAG_LEN:
        return False
    return hmac.compare_digest(packet[-TAG_LEN:], auth_tag(key, packet[:-TAG_LEN]))


def key_from_text(text):
    """The 20 key bytes of a NetworkKey value: hexadecimal, padded on the
    left with '0' to 40 characters."""
    return bytes.fromhex(text.rjust(40, "0"))


def u32be(v):
    return (v & 0xFFFFFFFF).to_bytes(4, "big")


# --------------------------------------------------------------------------
# Motorola control packets the gateway sends (expected bytes)


def gw_registration(bridge_id, key):
    """0x90 registration request, 24 bytes."""
    return sign(key, bytes([0x90]) + u32be(bridge_id) + bytes([0x62, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00]))


def gw_keepalive(bridge_id, key):
    """0x96 keep-alive request, 24 bytes: the registration with another opcode."""
    return sign(key, bytes([0x96]) + u32be(bridge_id) + bytes([0x62, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00]))


def gw_peer_list_request(bridge_id, key):
    """0x92 peer-list request, 15 bytes."""
    return sign(key, bytes([0x92]) + u32be(bridge_id))


def gw_peer_reg_reply(bridge_id, key):
    """0x95 registration reply to another peer, 19 bytes."""
    return sign(key, bytes([0x95]) + u32be(bridge_id) + bytes([0x04, 0x04, 0x04, 0x00]))


def gw_peer_keepalive_reply(bridge_id, key):
    """0x99 keep-alive reply to another peer, 20 bytes."""
    return sign(key, bytes([0x99]) + u32be(bridge_id) + bytes([0x62, 0x00, 0x00, 0xE0, 0x1C]))


# --------------------------------------------------------------------------
# Motorola packets the repeater and other peers send


def rpt_registration_reply(peer_id, key, num_peers=1):
    """The repeater's answer to a registration: 26 bytes (opcode 0x91, peer
    ID, mode, 4 flag bytes, number of peers, 4 version bytes, tag). The
    gateway reacts to the length alone."""
    body = (bytes([0x91]) + u32be(peer_id) + bytes([0x6A, 0x00, 0x00, 0x80, 0x5C])
            + num_peers.to_bytes(2, "big") + bytes([0x04, 0x03, 0x04, 0x00]))
    assert len(body) == 16
    return sign(key, body)


def rpt_peer_list(peer_id, key, entries):
    """0x93 peer-list reply: byte 6 = list length in bytes, entries of 11
    bytes from offset 7 (ID, IPv4 a.b.c.d, port, mode byte)."""
    lst = b""
    for pid, ip, port in entries:
        lst += u32be(pid) + bytes(int(x) for x in ip.split(".")) + port.to_bytes(2, "big") + bytes([0x6A])
    body = bytes([0x93]) + u32be(peer_id) + len(lst).to_bytes(2, "big") + lst
    return sign(key, body)


def rpt_keepalive_reply(peer_id, key):
    """0x97 keep-alive reply of the repeater, 20 bytes."""
    return sign(key, bytes([0x97]) + u32be(peer_id) + bytes([0x6A, 0x00, 0x00, 0x80, 0x5C]))


def peer_registration(peer_id, key):
    """0x94 registration request of another peer, 24 bytes."""
    return sign(key, bytes([0x94]) + u32be(peer_id) + bytes([0x6A, 0x00, 0x00, 0x80, 0x5C, 0x04, 0x03, 0x04, 0x00]))


def peer_keepalive(peer_id, key):
    """0x98 keep-alive request of another peer, 20 bytes."""
    return sign(key, bytes([0x98]) + u32be(peer_id) + bytes([0x6A, 0x00, 0x00, 0x80, 0x5C]))


def moto_burst_a(key, peer_id, call_seq, src, dst, rtp_seq, timestamp, call_tag=b"\x01\x02\x03\x04"):
    """Voice burst A of a group call on slot 2 as the repeater sends it:
    31-byte call header, burst_len 0x14, burst_flags 0x40, 19 bytes of voice
    frames (silence: all zero), tag; 62 bytes."""
    hdr = (bytes([0x80]) + u32be(peer_id) + bytes([call_seq & 0xFF]) + (src & 0xFFFFFF).to_bytes(3, "big")
           + (dst & 0xFFFFFF).to_bytes(3, "big") + bytes([0x02]) + bytes(call_tag)
           + bytes([0x20, 0x80, 0x5D]) + (rtp_seq & 0xFFFF).to_bytes(2, "big")
           + (timestamp & 0xFFFFFFFF).to_bytes(4, "big") + bytes(4) + bytes([0x8A]))
    assert len(hdr) == 31
    return sign(key, hdr + bytes([0x14, 0x40]) + bytes(19))


# --------------------------------------------------------------------------
# RDAC identity messages

RDAC_FW = "Zolt CV 0.92"
RDAC_MODEL_SLOT = "ZizOz-000G0000-001000-U1-0-B"


def _text_slot(buf, off, chars, text):
    for i in range(chars):
        buf[off + 2 * i] = ord(text[i]) if i < len(text) else 0
        buf[off + 2 * i + 1] = 0


def rdac_check_byte(msg, pos):
    """(((sum of bytes 13 .. pos-1) AND 0xFF) XOR 0xFF) + 0x33, modulo 256."""
    return (((sum(msg[13:pos]) & 0xFF) ^ 0xFF) + 0x33) & 0xFF


def rdac_check_word(msg):
    """16-bit one's-complement sum of the message as big-endian words, with
    bytes 10 and 11 taken as zero and an odd length padded, inverted."""
    m = bytearray(msg)
    m[10] = m[11] = 0
    if len(m) % 2:
        m.append(0)
    s = 0
    for i in range(0, len(m), 2):
        s += (m[i] << 8) | m[i + 1]
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def _seal(msg, check_pos):
    msg[check_pos] = rdac_check_byte(msg, check_pos)
    w = rdac_check_word(msg)
    msg[10], msg[11] = w >> 8, w & 0xFF
    return bytes(msg)


def rdac225(call, rptr_id):
    m = bytearray(225)
    m[0:10] = bytes([0x7E, 0x04, 0x00, 0x00, 0x10, 0x20, 0x00, 0x03, 0x00, 0xE1])
    m[12] = 0x02
    m[13:15] = bytes([0xD4, 0x82])
    m[15:17] = bytes([0xCE, 0x00])
    m[17] = 0x00
    m[18:22] = rptr_id.to_bytes(4, "little")
    m[22], m[23] = 0x02, 0x00
    _text_slot(m, 24, 16, "D5.05.09.005")
    _text_slot(m, 56, 16, RDAC_FW)
    _text_slot(m, 88, 16, call)
    _text_slot(m, 120, 32, RDAC_MODEL_SLOT)
    _text_slot(m, 184, 16, "00000Z0000")
    m[216:220] = rptr_id.to_bytes(4, "little")
    m[220] = 0x01
    m[221:223] = b"\x00\x00"
    m[224] = 0x03
    return _seal(m, 223)


def rdac71(call, rptr_id, bridge_id, qrg_tx, qrg_rx):
    m = bytearray(71)
    m[0:6] = bytes([0x7E, 0x04, 0x00, 0x00, 0x10, 0x20])
    m[6:8] = bytes([0x00, 0x04])
    m[8:10] = bytes([0x00, 0x47])
    m[12:15] = bytes([0x02, 0xD4, 0x82])
    m[15:17] = bytes([0x34, 0x00])
    m[17] = 0x00
    m[18:21] = (rptr_id & 0xFFFFFF).to_bytes(3, "little")
    m[21] = bridge_id & 0xFF
    m[22], m[23] = 0x02, 0x01
    m[29:33] = (qrg_tx & 0xFFFFFFFF).to_bytes(4, "little")
    m[33:37] = (qrg_rx & 0xFFFFFFFF).to_bytes(4, "little")
    _text_slot(m, 37, 16, call)
    m[70] = 0x03
    return _seal(m, 69)


# --------------------------------------------------------------------------
# Hytera voice packets (72 bytes) as the master sends them

_START_HYT_BURST = bytes.fromhex(
    "EA007E098C0DB017401E8070008400FF00D7DEF5C4318805C027A011811000060099")


def hytera_header(seq, src, dst, slot=2, group=True):
    """Voice LC header packet of the master (template start_hyt)."""
    p = bytearray(72)
    p[0:26] = bytes([0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x05, 0x01, 0x02, 0, 0, 0,
                     0x22, 0x22, 0x11, 0x11, 0x11, 0x11, 0x00, 0x00, 0x10, 0x00])
    p[4:6] = (seq & 0xFFFF).to_bytes(2, "little")
    p[16] = p[17] = 0x22 if slot == 2 else 0x11
    p[26:60] = _START_HYT_BURST
    p[38], p[40], p[42] = (src >> 16) & 0xFF, (src >> 8) & 0xFF, src & 0xFF
    p[60:72] = bytes([0x02, 0x00, 0x01 if group else 0x00, 0x00]) + (dst & 0xFFFFFF).to_bytes(3, "little") \
        + b"\x00" + (src & 0xFFFFFF).to_bytes(3, "little") + b"\x00"
    return bytes(p)


_ENDE_HYT_BURST = bytes.fromhex(
    "8500AA093C0DC817301E2070AD8457FF5DD7D9F5D064B006A020E01D811800 1F00AA".replace(" ", ""))


def hytera_terminator(seq, src, dst, slot=2, group=True):
    """Terminator packet of the master (template ende_hyt)."""
    p = bytearray(72)
    p[0:26] = bytes([0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0x05, 0x01, 0x02, 0, 0, 0,
                     0x22, 0x22, 0x22, 0x22, 0x11, 0x11, 0x00, 0x00, 0x10, 0x00])
    p[4:6] = (seq & 0xFFFF).to_bytes(2, "little")
    p[16] = p[17] = 0x22 if slot == 2 else 0x11
    p[26:60] = _ENDE_HYT_BURST
    p[60:72] = bytes([0x02, 0x00, 0x01 if group else 0x00, 0x00]) + (dst & 0xFFFFFF).to_bytes(3, "little") \
        + b"\x00" + (src & 0xFFFFFF).to_bytes(3, "little") + b"\x00"
    return bytes(p)


# --------------------------------------------------------------------------
# stand-ins


class RepeaterStandIn:
    """The Motorola repeater, master of its IP link, at REPEATER_IP:port.

    While `answering` is set it answers what carries a valid tag: the
    registration 0x90 with the 26-byte reply, the peer-list request 0x92 with
    `peer_list`, the keep-alive request 0x96 with 0x97. Every datagram is
    recorded (Endpoint.records) with its arrival time; its sends too."""

    def __init__(self, tb, key, port, peer_id, peer_list=(), ip=bench.REPEATER_IP):
        self.key = key
        self.peer_id = peer_id
        self.peer_list = list(peer_list)
        self.answering = False
        self.lock = threading.Lock()
        self.ep = tb.endpoint(ip, port, "repeater", self._on)

    def _on(self, d):
        if not self.answering or not tag_ok(self.key, d.data):
            return
        op = d.data[0]
        if op == 0x90:
            self.ep.send(rpt_registration_reply(self.peer_id, self.key), d.src)
        elif op == 0x92:
            self.ep.send(rpt_peer_list(self.peer_id, self.key, self.peer_list), d.src)
        elif op == 0x96:
            self.ep.send(rpt_keepalive_reply(self.peer_id, self.key), d.src)

    def send(self, data, addr):
        self.ep.send(data, addr)

    def last_send_time(self):
        return self.ep.sent[-1][0] if self.ep.sent else None


class MasterStandIn:
    """The DMR master at MASTER_IP: its voice port 62006 (login "A",
    keep-alive "A", voice) and its RDAC port 62007 (identity messages)."""

    def __init__(self, tb, ip=bench.MASTER_IP):
        self.audio = tb.endpoint(ip, 62006, "master-62006")
        self.rdac = tb.endpoint(ip, 62007, "master-62007")

    def keepalive(self, gw_ip=bench.GW_IP):
        self.audio.send(b"A", (gw_ip, 62006))

    def rdac_reply(self, gw_ip=bench.GW_IP):
        self.rdac.send(bytes(24), (gw_ip, 62007))

    def pairs(self, start=0, until=None):
        """RDAC messages received as (225-byte, 71-byte) pairs, in order."""
        recs = self.rdac.received(start=start, until=until)
        out = []
        i = 0
        while i < len(recs):
            if len(recs[i].data) == 225 and i + 1 < len(recs) and len(recs[i + 1].data) == 71:
                out.append((recs[i], recs[i + 1]))
                i += 2
            else:
                out.append((recs[i], None))
                i += 1
        return out


# --------------------------------------------------------------------------
# Hytera voice bursts of the master, with AMBE+2 frames coded here
#
# A voice burst is 264 bits: coded frame 1 at bits 0-71, frame 2 at 72-107
# and 156-191, frame 3 at 192-263; the 48 centre bits 108-155 hold the voice
# sync (burst A) or EMB bits 0-7, 32 embedded bits, EMB bits 8-15. In the
# packet burst byte k stands at packet byte (26 + k) XOR 1.

# Bytes 26-59 of the templates Voice_hyt1 .. Voice_hyt6 (bursts A .. F).
VOICE_HYT_AREAS = [bytes.fromhex(t.replace(" ", "")) for t in (
    "98 C4 9C D0 4B 05 F0 D4 39 05 BB 6F 37 36 FD 55 F7 7D 76 5F CB 16 FD CE 8E DF 70 E0 A3 22 72 C5 00 19",
    "A8 FB 56 C5 6B 22 3E C1 CA D1 E5 98 61 32 60 30 A0 00 17 09 95 6F D1 2E B8 EA 56 C5 6B 23 2E C1 00 F3",
    "BE EE 76 C2 87 07 62 95 EC 3B E0 9C 41 56 00 70 00 A0 45 37 C5 E3 3B 62 9C EC 56 E0 E3 45 62 C5 00 19",
    "BE EE 14 C0 A7 67 62 91 DB 19 E5 88 61 32 90 70 B0 01 47 C7 95 6F F3 2E 98 CA 32 E5 6F 67 2E 85 00 F3",
    "88 DB 32 E5 6F 67 2E 85 DB F3 E5 88 61 32 31 50 21 81 77 40 94 6F F3 2E 98 CA 32 E5 6F 67 2C 84 00 F3",
    "98 CA 32 E5 6F 67 2C 94 CA F3 E5 98 61 32 00 10 00 00 26 0E 95 6F F3 2C 98 CA 32 E5 6F 67 2C 95 00 F3",
)]


def bits_of(data):
    return [(b >> (7 - j)) & 1 for b in data for j in range(8)]


def int_of(bits):
    v = 0
    for b in bits:
        v = (v << 1) | b
    return v


def bytes_of(bits):
    return bytes(int_of(bits[8 * i:8 * i + 8]) for i in range(len(bits) // 8))


def golay2312(d):
    """23-bit systematic Golay codeword of 12-bit d (generator 0xC75)."""
    r = d << 11
    for i in range(22, 10, -1):
        if r & (1 << i):
            r ^= 0xC75 << (i - 11)
    return (d << 11) | r


def ambe_b_mask(a):
    """Whitening of the B codeword: p0 = 16A, p(n) = 173 p(n-1) + 13849 mod
    2^16, mask bit 23 - n = bit 15 of p(n)."""
    p = 16 * a
    m = 0
    for n in range(1, 24):
        p = (173 * p + 13849) & 0xFFFF
        m |= ((p >> 15) & 1) << (23 - n)
    return m


def gf_mul(a, b):
    """Product in GF(256) with the polynomial 0x11D of the RS(12,9) code."""
    r = 0
    while b:
        if b & 1:
            r ^= a
        a <<= 1
        if a & 0x100:
            a ^= 0x11D
        b >>= 1
    return r


def rs_syndromes(cw):
    """The three RS(12,9) syndromes of a 12-byte codeword (roots 2, 4, 8)."""
    out = []
    x = 1
    for _ in range(3):
        x = gf_mul(x, 2)
        acc = 0
        for byte in cw:
            acc = gf_mul(acc, x) ^ byte
        out.append(acc)
    return out


def ambe_code(frame, a_errors=0, b_errors=0):
    """72 coded bits of a bare 49-bit frame (A 12, B 12, C 25 bits, MSB
    first): A as extended Golay(24,12), B as Golay(23,12) whitened with the
    mask of A, C as is, written in 4 rows of 18 and sent by columns. The
    first a_errors bits of the A codeword (never its parity bit) and
    b_errors bits of the B codeword are flipped."""
    a, b = int_of(frame[0:12]), int_of(frame[12:24])
    a_word = golay2312(a) << 1
    a_word |= bin(a_word).count("1") & 1
    b_word = golay2312(b) ^ ambe_b_mask(a)
    s = [(a_word >> (23 - i)) & 1 for i in range(24)] + [(b_word >> (22 - i)) & 1 for i in range(23)] + list(frame[24:49])
    for i in range(a_errors):
        s[i] ^= 1
    for i in range(b_errors):
        s[24 + 2 * i] ^= 1
    coded = [0] * 72
    for k in range(18):
        for c in range(4):
            coded[4 * k + c] = s[18 * c + k]
    return coded


HAMMING_16_11 = [(0, 1, 2, 3, 5, 7, 8), (1, 2, 3, 4, 6, 8, 9), (2, 3, 4, 5, 7, 9, 10),
                 (0, 1, 2, 4, 6, 7, 10), (0, 2, 5, 6, 8, 9, 10)]


def embedded_lc(lc9):
    """The 128 transmitted bits of the embedded link control of 9 LC bytes:
    an 8 x 16 matrix (rows 0-1: 11 LC bits; rows 2-6: 10 LC bits and one bit
    of the checksum, the byte sum mod 31; Hamming(16,11) parity in columns
    11-15; row 7 the column parity), sent column by column."""
    lc = bits_of(lc9)
    crc = sum(lc9) % 31
    m = [0] * 128
    pos = 0
    for r in range(7):
        n = 11 if r < 2 else 10
        m[16 * r:16 * r + n] = lc[pos:pos + n]
        pos += n
        if r >= 2:
            m[16 * r + 10] = (crc >> (6 - r)) & 1
        for p, cover in enumerate(HAMMING_16_11):
            m[16 * r + 11 + p] = sum(m[16 * r + d] for d in cover) & 1
    for c in range(16):
        m[112 + c] = sum(m[16 * r + c] for r in range(7)) & 1
    return [m[16 * r + c] for c in range(16) for r in range(8)]


def call_lc(src, dst, group=True):
    """Link control of a voice call: FLCO 0 group / 3 unit to unit, FID 0,
    options 0, destination, source."""
    return bytes([0x00 if group else 0x03, 0, 0]) + (dst & 0xFFFFFF).to_bytes(3, "big") + (src & 0xFFFFFF).to_bytes(3, "big")


def hytera_burst(seq, src, dst, letter, frames, errors=((0, 0), (0, 0), (0, 0)), slot=2, group=True):
    """Voice burst letter 0..5 (A..F) of the master (templates Voice_hyt1 ..
    Voice_hyt6): the three frames coded with the given (A, B) bit errors,
    the template's centre, and in B to E the call's embedded link control
    fragment between the template's EMB halves."""
    area = VOICE_HYT_AREAS[letter]
    burst = bits_of(bytes(area[k ^ 1] for k in range(33)))
    for k in range(3):
        coded = ambe_code(frames[k], *errors[k])
        if k == 0:
            burst[0:72] = coded
        elif k == 1:
            burst[72:108] = coded[:36]
            burst[156:192] = coded[36:]
        else:
            burst[192:264] = coded
    if 1 <= letter <= 4:
        frag = embedded_lc(call_lc(src, dst, group))[32 * (letter - 1):32 * letter]
        burst[116:148] = frag
    burst_bytes = bytes_of(burst)
    p = bytearray(72)
    p[0:26] = bytes([0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x05, 0x01, 0x02, 0, 0, 0,
                     0x22, 0x22, 0x77 + 0x11 * letter, 0x77 + 0x11 * letter, 0x11, 0x11, 0x00, 0x00, 0x10, 0x00])
    if letter == 4:
        p[0:4] = bytes([0xEE, 0xEE, 0x11, 0x11])
    p[4:6] = (seq & 0xFFFF).to_bytes(2, "little")
    p[16] = p[17] = 0x22 if slot == 2 else 0x11
    p[26:60] = area
    for k in range(33):
        p[(26 + k) ^ 1] = burst_bytes[k]
    p[60:72] = bytes([0x02, 0x00, 0x01 if group else 0x00, 0x00]) + (dst & 0xFFFFFF).to_bytes(3, "little") \
        + b"\x00" + (src & 0xFFFFFF).to_bytes(3, "little") + b"\x00"
    return bytes(p)


# --------------------------------------------------------------------------
# a voice call of the repeater (Motorola voice packets, signed)


def _moto_head(peer_id, call_seq, src, dst, group, call_tag, call_info, marker, rtp_seq, burst_type):
    return (bytes([0x80 if group else 0x81]) + u32be(peer_id) + bytes([call_seq & 0xFF])
            + (src & 0xFFFFFF).to_bytes(3, "big") + (dst & 0xFFFFFF).to_bytes(3, "big") + bytes([0x02])
            + bytes(call_tag) + bytes([call_info, 0x80, marker]) + (rtp_seq & 0xFFFF).to_bytes(2, "big")
            + ((480 * rtp_seq) & 0xFFFFFFFF).to_bytes(4, "big") + bytes(4) + bytes([burst_type]))


def moto_call(key, peer_id, call_seq, src, dst, seq0, frames, group=True, call_tag=b"\x11\x22\x33\x44"):
    """A whole call as the repeater sends it on slot 2: first voice header
    (0xDD), one burst per entry of `frames` (three 49-bit frames each;
    letters A to F in turn), voice terminator; RTP sequence numbers from
    seq0 on."""
    lc = call_lc(src, dst, group)
    out = [sign(key, _moto_head(peer_id, call_seq, src, dst, group, call_tag, 0x20, 0xDD, seq0, 0x01)
                + bytes([0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60]) + lc
                + bytes([0x02, 0xF8, 0xC5, 0x00, 0x11, 0x01, 0x36, 0x04, 0xCD]))]
    for n, three in enumerate(frames):
        letter = n % 6
        bits = []
        for f in three:
            bits += list(f) + [0]
        body = (_moto_head(peer_id, call_seq, src, dst, group, call_tag, 0x20, 0x5D, seq0 + 1 + n, 0x8A)
                + bytes([(0x14, 0x19, 0x19, 0x19, 0x22, 0x19)[letter], (0x40, 0x06, 0x06, 0x06, 0x16, 0x06)[letter]])
                + bytes_of(bits + [0, 0]))
        if letter == 5:
            body += bytes([0, 0, 0, 0, 0x10])
        elif letter:
            body += bytes_of(embedded_lc(lc)[32 * (letter - 1):32 * letter])
            if letter == 4:
                body += lc
            body += bytes([(0x12, 0x16, 0x16, 0x14)[letter - 1]])
        out.append(sign(key, body))
    out.append(sign(key, _moto_head(peer_id, call_seq, src, dst, group, call_tag, 0x60, 0x5E,
                                    seq0 + 1 + len(frames), 0x02)
                    + bytes([0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60]) + lc
                    + bytes([0x0D, 0x7F, 0xCA, 0x00, 0x12, 0x05, 0x0C])))
    return out
