#!/usr/bin/env python3
"""A live demonstration: the real gateway in a network namespace of its own,
against a simulated Motorola repeater and DMR master in another one.

Shows the gateway's console as it runs, with the peers' side of the exchange
interleaved ("  [repeater] ..." / "  [master] ..."): registration, peer list,
keep-alives, login to the master and the RDAC identity cycle.

    python3 tests/e2e/demo.py --binary build/corvane [--seconds 40]
"""

import argparse
import sys
import time

import bench
from bench import CONFIG, GW_IP, Bench, Periodic, config_text, now
from peers import MasterStandIn, RepeaterStandIn, key_from_text

OPNAMES = {0x90: "registration request", 0x92: "peer-list request", 0x96: "keep-alive request",
           0x95: "registration reply", 0x99: "keep-alive reply"}


def describe(name, d):
    if name == "repeater":
        op = d.data[0] if d.data else None
        return "%s (%d bytes)" % (OPNAMES.get(op, "opcode 0x%02x" % op if op is not None else "empty"), len(d.data))
    if len(d.data) == 1:
        return 'login/keep-alive "%s"' % d.data.decode(errors="replace")
    if len(d.data) in (225, 71):
        return "RDAC identity message (%d bytes)" % len(d.data)
    return "%d bytes" % len(d.data)


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
        try:
            while now() < end and gw.running():
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
