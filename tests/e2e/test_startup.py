#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Start-up of the real binary: the report with a valid configuration and its
four sockets, and exit status 1 with its lines for a missing or invalid
configuration, a fixed port taken, and a repeater naming too many peers."""

import re

import bench
from bench import Bench, CONFIG, config_text
from peers import RepeaterStandIn

CFG = "corvane.cfg"


def in_order(gw, texts, timeout=1.0):
    """The texts as whole lines (after any colour codes), in order: the first missing one, or None."""
    return gw.in_order([r"^(\x1b\[[0-9;]*m)*" + re.escape(w) + "$" for w in texts], 0, timeout)


def exit_run(tb, res, title, config, wants, taken_port=None):
    blocker = taken_port and tb.socket("0.0.0.0", taken_port, ns=tb.gw_ns)
    gw = tb.start_gateway(config)
    res.equal("%s: exit status" % title, gw.wait_exit(8.0), 1)
    res.equal("%s: lines in order" % title, in_order(gw, wants), None)
    res.check("%s: nothing on standard error" % title, gw.stderr == b"", gw.stderr[-500:])
    if blocker:
        tb.sockets.remove(blocker)
        blocker.close()


def body(binary, res):
    with Bench(binary) as tb:
        gw = tb.start_gateway(config_text())
        missing = in_order(gw, ["Initialize Golay-23-12 table", "Read Configfile " + CFG, "RptrCall=[ABC1DEF]",
                                "NetworkKey=[%s]" % CONFIG["NetworkKey"], "Corvane 0.92 initialized...entering "
                                "processing id "], timeout=5.0)
        res.equal("valid config: configuration echoed, then the banner", missing, None)
        bar = gw.wait_for_line(r"\] 99 %$", timeout=5.0)
        res.check("valid config: progress bar drawn to 99 %", bar and bar.raw.count(b"\r") >= 100, bar)
        res.check("valid config: report ends with the memory line",
                  gw.wait_for_line(r"^Vorhandener Arbeitsspeicher: \d+MB$", 5.0) is not None)
        udp = bench.run_ip("netns", "exec", tb.gw_ns, "cat", "/proc/net/udp").stdout
        for port in (62005, 62006, 62007, 50000):
            res.check("valid config: UDP port %d bound on 0.0.0.0" % port, "00000000:%04X" % port in udp)
        res.equal("valid config: keeps running", gw.wait_exit(1.0), None)
        res.check("valid config: nothing on standard error", gw.stderr == b"", gw.stderr[-500:])
        gw.stop()

        exit_run(tb, res, "missing config", None, ["Can not read Configfile " + CFG])
        bad = dict(CONFIG, RptrPort="1023", NetworkKey="12g4")
        exit_run(tb, res, "rejected values", config_text(list(bad.items())),
                 ["Error in RptrPort=[1023] [1024-65535]", "Error in NetworkKey=[12g4]",
                  "Configuration file invalid... (7)", "Can not read Configfile " + CFG])
        for port, line in ((62005, "* Local_Repeater_srv_open() failed"),
                           (62007, "Local_Repeater_rdac_srv_open() failed"), (50000, "Corvane_srv_open failed")):
            exit_run(tb, res, "port %d taken" % port, config_text(),
                     ["Failed to bind server socket on IP 0.0.0.0, port %d, errno=98" % port, line], port)

        RepeaterStandIn(tb, peer_list="peers3").answering = True
        exit_run(tb, res, "too many peers", config_text(),
                 ["SRC-ID:2620001", "PEER3-ID:3100002", "TOO MANY PEERS IN NETWORK! (3)", "Program stopped."])


if __name__ == "__main__":
    bench.run_tests(__doc__, body)
