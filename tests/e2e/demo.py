#!/usr/bin/env python3
"""A live demonstration: the real gateway in a network namespace of its own,
against a simulated Motorola repeater and DMR master in another one.

Shows the gateway's console as it runs, with the peers' side of the exchange
interleaved ("  [repeater] ..." / "  [master] ..."): registration, peer list,
keep-alives, login to the master and the RDAC identity cycle, then a voice
call relayed each way: from the master to the repeater and back.

    python3 tests/e2e/demo.py --binary build/corvane [--seconds 40]
"""

import argparse
import random
import sys
import threading
import time

import bench
from bench import CONFIG, GW_IP, Bench, Periodic, config_text, now
import peers
from peers import MasterStandIn, RepeaterStandIn, key_from_text

OPNAMES = {0x90: "registration request", 0x92: "peer-list request", 0x96: "keep-alive request",
           0x95: "registration reply", 0x99: "keep-alive reply"}


MOTO_VOICE = {66: "voice header", 64: "voice terminator", 62: "voice burst A", 76: "voice burst E",
              67: "voice burst B/C/D/F"}
HYT_FRAMES = {0xEE: "call start", 0x11: "voice header", 0x22: "terminator", 0x77: "burst A", 0x88: "burst B",
              0x99: "burst C", 0xAA: "burst D", 0xBB: "burst E", 0xCC: "burst F"}


def describe(name, d):
    if name == "repeater":
        op = d.data[0] if d.data else None
        if op in (0x80, 0x81) and len(d.data) in MOTO_VOICE:
            return "%s (%d bytes, %s call, seq %d)" % (MOTO_VOICE[len(d.data)], len(d.data),
                                                       "group" if op == 0x80 else "private",
                                                       int.from_bytes(d.data[20:22], "big"))
        return "%s (%d bytes)" % (OPNAMES.get(op, "opcode 0x%02x" % op if op is not None else "empty"), len(d.data))
    if len(d.data) == 1:
        return 'login/keep-alive "%s"' % d.data.decode(errors="replace")
    if len(d.data) in (225, 71):
        return "RDAC identity message (%d bytes)" % len(d.data)
    if len(d.data) == 72:
        return "Hytera voice packet: %s (seq %d)" % (HYT_FRAMES.get(d.data[19], "frame type 0x%02x" % d.data[19]),
                                                    d.data[4] | d.data[5] << 8)
    return "%d bytes" % len(d.data)


def send_paced(ep, packets, dst):
    """Sends the packets 60 ms apart, as a radio call arrives, in a thread."""
    def run():
        for p in packets:
            ep.send(p, dst)
            time.sleep(0.06)
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def master_call():
    rng = random.Random(1)
    src, dst = 2620123, 262
    frames = [[[rng.getrandbits(1) for _ in range(49)] for _ in range(3)] for _ in range(6)]
    return ([peers.hytera_header(100, src, dst)]
            + [peers.hytera_burst(101 + n, src, dst, n, frames[n]) for n in range(6)]
            + [peers.hytera_terminator(107, src, dst)])


def repeater_call(key):
    rng = random.Random(2)
    frames = [[[rng.getrandbits(1) for _ in range(49)] for _ in range(3)] for _ in range(6)]
    return peers.moto_call(key, 2620001, 7, 2620456, 9, 500, frames)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--seconds", type=float, default=40.0)
    args = ap.parse_args()
    try:
        bench.check_environment()
    except bench.Skip as e:
        print("demo needs %s" % e, file=sys.stderr)
        return 77
    key = key_from_text(CONFIG["NetworkKey"])
    with Bench(args.binary) as tb:
        rep = RepeaterStandIn(tb, key, int(CONFIG["RptrPort"]), 2620001,
                              peer_list=[(int(CONFIG["MyBridgeID"]), GW_IP, int(CONFIG["RptrPort"]))])
        rep.answering = True
        master = MasterStandIn(tb)
        print("== simulated repeater at %s:%s, master at %s; gateway at %s ==" %
              (bench.REPEATER_IP, CONFIG["RptrPort"], bench.MASTER_IP, GW_IP))
        gw = tb.start_gateway(config_text())
        # The master keeps the login alive and answers the second RDAC pair.
        ka = Periodic(10.0, lambda: master.keepalive())
        replied = False
        seen = {"repeater": 0, "master": 0, "rdac": 0, "lines": 0}
        end = now() + args.seconds
        login_at, calls = None, []
        try:
            while now() < end and gw.running():
                if login_at is None and gw.lines_matching(r"Sende Anmeldung an DMR Master"):
                    login_at = now()
                if login_at is not None and not calls and now() >= login_at + 2.0:
                    print("  [master] sends a group call 2620123 -> TG 262 on slot 2: header, bursts A-F, terminator")
                    calls.append(send_paced(master.audio, master_call(), (GW_IP, 62006)))
                if len(calls) == 1 and now() >= login_at + 5.0:
                    print("  [repeater] sends a group call 2620456 -> TG 9 on slot 2: header, bursts A-F, terminator")
                    calls.append(send_paced(rep.ep, repeater_call(key), (GW_IP, int(CONFIG["RptrPort"]))))
                for ln in gw.snapshot()[seen["lines"]:]:
                    print(ln.text.replace("\r", ""))
                    seen["lines"] += 1
                for key_, ep, name in (("repeater", rep.ep, "repeater"), ("master", master.audio, "master"),
                                       ("rdac", master.rdac, "master")):
                    for d in ep.received(start=seen[key_]):
                        print("  [%s] received %s" % (name, describe(name, d)))
                        seen[key_] += 1
                if not replied and seen["rdac"] >= 4:
                    master.rdac_reply()
                    print("  [master] sent the 24-byte RDAC reply: the cycle ends")
                    replied = True
                time.sleep(0.1)
        finally:
            ka.stop()
        print("== demonstration over after %.0f s ==" % args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
