#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A live demonstration: the real gateway in a network namespace of its own,
against a simulated Motorola repeater and DMR master in another one.

Shows the gateway's console as it runs, with the peers' side of the exchange
interleaved ("  [repeater] ..." / "  [master] ..."): registration, peer list,
keep-alives, login to the master and the RDAC identity cycle, then a voice
call relayed each way: from the master to the repeater and back.

The gateway serves its dashboard (--http 127.0.0.1:8080 in its namespace);
the demonstration forwards http://127.0.0.1:8080/ of this machine to it, and
gives it a small ID list so calls show callsigns. With --keep the simulated
peers stay up, with a call every 20 seconds, until Ctrl-C.

    python3 demo.py --binary build/corvane [--seconds 40] [--keep]   (./demo.sh builds and runs it)
"""

import argparse
import os
import select
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tests", "e2e"))

import bench  # noqa: E402
from bench import GW_IP, Bench, periodic, config_text, now, socket_in_netns  # noqa: E402
from peers import GW_AUDIO, GW_RPT, MasterStandIn, RepeaterStandIn, send_call  # noqa: E402

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


HTTP_PORT = 8080
# The callers of the demonstration's calls, as an operator's ID list has them.
DEMO_IDS = ("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n"
            "2620123,DL1DMO,Anna,Demo,Kassel,Hessen,Germany\n"
            "2620456,DB9DMO,Jonas,Demo,Fulda,Hessen,Germany\n")


def forward_http(ns, port, stop):
    """http://127.0.0.1:port/ of this machine, passed on to 127.0.0.1:port in the
    gateway's namespace; a thread per connection, ends with `stop`. False when
    the port is taken here."""
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        lsock.bind(("127.0.0.1", port))
    except OSError as e:
        print("demo: cannot forward 127.0.0.1:%d here (%s); the dashboard is only inside the namespace" % (port, e))
        return False
    lsock.listen(16)

    def pipe(a, b):
        try:
            while not stop.is_set():
                r, _, _ = select.select([a, b], [], [], 0.5)
                for s in r:
                    data = s.recv(65536)
                    if not data:
                        return
                    (b if s is a else a).sendall(data)
        except OSError:
            pass
        finally:
            a.close()
            b.close()

    def accept():
        while not stop.is_set():
            r, _, _ = select.select([lsock], [], [], 0.5)
            if not r:
                continue
            c, _ = lsock.accept()
            u = socket_in_netns(ns, socket.SOCK_STREAM)
            try:
                u.connect(("127.0.0.1", port))
            except OSError:
                c.close()
                u.close()
                continue
            threading.Thread(target=pipe, args=(c, u), daemon=True).start()
        lsock.close()

    threading.Thread(target=accept, daemon=True).start()
    return True


def send_paced(ep, name, dst):
    """Sends a call of the test vectors 60 ms apart, as a radio call arrives, in a thread."""
    t = threading.Thread(target=send_call, args=(ep, name, dst, 0.06), daemon=True)
    t.start()
    return t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--seconds", type=float, default=40.0)
    ap.add_argument("--keep", action="store_true",
                    help="keep the simulated peers running, a call every 20 s, until Ctrl-C")
    args = ap.parse_args()
    try:
        bench.check_environment()
    except bench.Skip as e:
        print("demo: %s" % e, file=sys.stderr)
        return 77
    with Bench(args.binary) as tb:
        rep = RepeaterStandIn(tb)
        rep.answering = True
        master = MasterStandIn(tb)
        print("== simulated repeater at %s:%d, master at %s; gateway at %s ==" %
              (bench.REPEATER_IP, GW_RPT[1], bench.MASTER_IP, GW_IP))
        fd, ids = tempfile.mkstemp(prefix="corvane-demo-ids-", suffix=".csv")
        with os.fdopen(fd, "w") as f:
            f.write(DEMO_IDS)
        gw = tb.start_gateway(config_text(), args=("--http", "127.0.0.1:%d" % HTTP_PORT, "--ids", ids))
        stop_fwd = threading.Event()
        if forward_http(tb.gw_ns, HTTP_PORT, stop_fwd):
            print("== dashboard: http://127.0.0.1:%d/ ==" % HTTP_PORT)
        # The master keeps the login alive and answers the second RDAC pair.
        ka = periodic(10.0, lambda: master.audio.send(b"A", GW_AUDIO))
        replied = False
        seen = {"repeater": 0, "master": 0, "rdac": 0, "lines": 0}
        end = float("inf") if args.keep else now() + args.seconds
        login_at, calls, next_call = None, [], None
        try:
            while now() < end and gw.running():
                if login_at is None and gw.lines_matching(r"Sende Anmeldung an DMR Master"):
                    login_at = now()
                if login_at is not None and not calls and now() >= login_at + 2.0:
                    print("  [master] sends a group call 2620123 -> TG 262 on slot 2: headers, bursts A-F, terminator")
                    calls.append(send_paced(master.audio, "mcall", GW_AUDIO))
                if len(calls) == 1 and now() >= login_at + 5.0:
                    print("  [repeater] sends a group call 2620456 -> TG 9 on slot 2: headers, bursts A-F, terminator")
                    calls.append(send_paced(rep.ep, "rcall", GW_RPT))
                    next_call = now() + 20.0
                if args.keep and next_call is not None and now() >= next_call:
                    who, ep, name, dst = ((" [master]", master.audio, "mcall", GW_AUDIO) if len(calls) % 2 == 0
                                          else (" [repeater]", rep.ep, "rcall", GW_RPT))
                    print(" %s sends another call (Ctrl-C ends the demonstration)" % who)
                    calls.append(send_paced(ep, name, dst))
                    next_call = now() + 20.0
                for ln in gw.lines_matching("", seen["lines"]):
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
        except KeyboardInterrupt:
            print("== stopped ==")
        finally:
            ka.set()
            stop_fwd.set()
            os.unlink(ids)
        if not args.keep:
            print("== demonstration over after %.0f s ==" % args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
