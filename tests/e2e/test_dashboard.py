#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The dashboard in a real browser: Chromium, driven through chromedriver in
the gateway's namespace, opens the page of a gateway run with --http and
--ids. A call each way shows on its banner with the caller's callsign and a
running timer, then in the last-heard table; the table, the link tiles and
/metrics agree with what the peers sent; a gateway restart shows the
disconnected state and the page recovers by itself; the browser's console
shows no error but the refused reconnects while the gateway was down."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import bench
from bench import Bench, now
from peers import GW_AUDIO, GW_RPT, V, MasterStandIn, RepeaterStandIn, send_call

HTTP = "127.0.0.1:8080"
URL = "http://%s/" % HTTP
CHROMEDRIVER = "/usr/bin/chromedriver"
# The sources of the vectors' calls: rcall (the repeater's) and mcall (the master's).
RCALL_SRC, MCALL_SRC = 2620456, 2620123
IDS = {RCALL_SRC: ("DL1RPT", "Rita"), MCALL_SRC: ("DK2MST", "Mats"), 2629999: ("DB0TST", "Relais")}
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-proxy-server",
         "--window-size=1280,1000")
# While the gateway is down: its stream cut off as it stops, and the refused reconnects.
REFUSED = re.compile(r"/api/(events|status)\S* - Failed to load resource: "
                     r"net::(ERR_CONNECTION_REFUSED|ERR_INCOMPLETE_CHUNKED_ENCODING)")
webdriver = Service = None


def find_browser():
    """Path of Chromium (the binary itself, not the wrapper script, when there is one)."""
    for p in ("/usr/lib/chromium/chromium", shutil.which("chromium") or "", shutil.which("chromium-browser") or ""):
        if p and os.access(p, os.X_OK):
            return p
    return None


def skip_reason(binary):
    """Why this machine cannot run the test, or None. Selenium also when python3 is not the
    system's and Debian's python3-selenium sits beside it."""
    global webdriver, Service
    sys.path.append("/usr/lib/python3/dist-packages")  # searched last
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return "python3-selenium is not installed"
    if find_browser() is None:
        return "chromium is not installed"
    if not os.access(CHROMEDRIVER, os.X_OK):
        return "%s is missing (chromium-driver)" % CHROMEDRIVER
    return None


_http = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def get(path, timeout=2.0):
    with _http.open("http://%s%s" % (HTTP, path), timeout=timeout) as r:
        return r.read().decode()


def wait(fn, timeout, interval=0.1):
    """fn() until it gives something true or the time is up; its last value."""
    deadline = now() + timeout
    while True:
        try:
            got = fn()
        except Exception:  # the server not there yet
            got = None
        if got or now() >= deadline:
            return got
        time.sleep(interval)


def metrics(text):
    """{'name{labels}': value} of the Prometheus text."""
    out = {}
    for ln in text.splitlines():
        m = re.match(r"^([a-zA-Z_:][\w:]*(?:\{[^}]*\})?)\s+(\S+)$", ln)
        if m:
            out[m.group(1)] = float(m.group(2))
    return out


def pct(v):  # as the page writes a percentage
    if v == 0:
        return "0 %"
    return ("%.2f" if v < 1 else "%.1f" if v < 10 else "%.0f") % v + " %"


def quality_text(c):
    """The page's BER cell for a call of the API: BER, else bad frames, else a dash."""
    if c["bits"] > 0 and c["ber_pct"] is not None:
        return pct(c["ber_pct"])
    if c["frames"] > 0 and c["bad_pct"] is not None:
        return pct(c["bad_pct"]) + " bad"
    return "–"


BANNER_JS = """const b = document.querySelector('#onair-' + arguments[0]);
  return {active: b.getAttribute('data-active'), callsign: b.querySelector('.callsign').textContent,
          name: b.querySelector('.name').textContent, dest: b.querySelector('.dest').textContent,
          slot: b.querySelector('.slot').textContent, timer: b.querySelector('.timer').textContent};"""
ROWS_JS = """return [...document.querySelectorAll('#lastheard tbody tr')].map((tr) => {
  const t = (s) => { const e = tr.querySelector(s); return e ? e.textContent : null; };
  return {dir: tr.getAttribute('data-dir'), slot: t('.slot'), callsign: t('.cs'), name: t('.nm'),
          dest: t('.dest'), dur: t('.dur'), loss: t('.loss'), ber: t('.ber'), end: t('.end'),
          when: t('.rel'), exact: tr.querySelector('.rel').title};
});"""
TILE_JS = """const t = document.querySelector('#link-' + arguments[0]);
  return {up: t.getAttribute('data-up'), state: t.querySelector('.state').textContent,
          count: t.querySelector('.count').textContent, answer: t.querySelector('.answer').textContent};"""
CONN_JS = """const e = document.querySelector('#conn-state'); return [e.getAttribute('data-state'), e.textContent];"""


def seconds(timer):
    m = re.fullmatch(r"(\d+):(\d\d)", timer or "")
    return int(m.group(1)) * 60 + int(m.group(2)) if m else None


class Browser:
    """Chromium under chromedriver, started from the calling thread (in the
    gateway's namespace); quit() ends both."""

    def __init__(self, profile):
        o = webdriver.ChromeOptions()
        o.binary_location = find_browser()
        for f in FLAGS + ("--user-data-dir=" + profile,):
            o.add_argument(f)
        o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.service = Service(CHROMEDRIVER)
        self.d = webdriver.Chrome(service=self.service, options=o)
        self.d.set_script_timeout(5)
        self.d.set_page_load_timeout(10)

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def errors(self):
        """Console entries at level SEVERE since the previous call."""
        return [e["message"] for e in self.d.get_log("browser") if e["level"] == "SEVERE"]

    def quit(self):
        try:
            self.d.quit()
        except Exception as e:
            print("chromedriver quit: %s" % e)
        finally:
            p = getattr(self.service, "process", None)
            if p and p.poll() is None:
                p.kill()


def start(tb, ids):
    return tb.start_gateway(bench.config_text(), args=("--http", HTTP, "--ids", ids))


def body(binary, res, shots):
    with Bench(binary) as tb:
        rep, master = RepeaterStandIn(tb), MasterStandIn(tb)
        rep.answering = True
        work = tempfile.mkdtemp(prefix="corvane-e2e-web-")
        tb.tmpdirs.append(work)
        ids = os.path.join(work, "ids.csv")
        with open(ids, "w") as f:
            f.write("RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n")
            for i, (cs, name) in IDS.items():
                f.write("%d,%s,%s,Tester,Hamburg,Hamburg,Germany\n" % (i, cs, name))
        start(tb, ids)
        try:
            with bench.in_netns(tb.gw_ns):
                browser = Browser(os.path.join(work, "profile"))
                try:
                    checks(res, tb, rep, master, browser, ids, shots)
                finally:
                    browser.quit()
        finally:
            for k, g in enumerate(tb.gateways):
                g.stop()
                res.check("run %d: nothing on standard error" % (k + 1), g.stderr == b"", g.stderr[-2000:])
            if res.failed:
                for g in tb.gateways:
                    g.dump(60)
            # Whatever the browser left in the namespace is ours: ended before the namespace goes.
            for p in bench.run_ip("netns", "pids", tb.gw_ns, check=False).stdout.split():
                subprocess.run(["kill", "-9", p], capture_output=True)


def one_call(res, b, ep, name, dst, gap, dir, src, tg):
    """Sends the call `name` `gap` s apart; while it runs, its banner shows the
    caller and a running timer; once it has ended, the banner is gone."""
    cs, nm = IDS[src]
    t = threading.Thread(target=send_call, args=(ep, name, dst, gap), daemon=True)
    first = len(ep.sent)
    t.start()
    on = wait(lambda: (lambda s: s if s["active"] == "true" else None)(b.js(BANNER_JS, dir)), 2.0, 0.05)
    res.check("%s: the banner comes up while the call runs, no reload" % name, on, on)
    res.equal("%s: banner shows callsign, name, talkgroup, slot" % name,
              on and (on["callsign"], on["name"], on["dest"], on["slot"]), (cs, nm, "TG %d" % tg, "Slot 2"))
    if gap >= 0.2:  # long enough to watch the timer move
        time.sleep(1.8)  # the page redraws its timers twice a second
        later = b.js(BANNER_JS, dir)
        res.check("%s: the banner's timer runs" % name, later["active"] == "true" and
                  seconds(on and on["timer"]) is not None and seconds(later["timer"]) is not None and
                  seconds(later["timer"]) > seconds(on["timer"]), (on, later))
    t.join(10)
    sent = ep.sent[first:]
    off = wait(lambda: b.js(BANNER_JS, dir)["active"] == "false", 2.0, 0.05)
    res.check("%s: the banner goes once the terminator is in" % name, off)
    return sent[-1][0] - sent[0][0]


def checks(res, tb, rep, master, b, ids, shots):
    gw = tb.gateways[-1]
    if not res.check("registration answered", rep.ep.wait_for(lambda d: d.data[:1] == b"\x90", 15) is not None):
        return
    status = wait(lambda: json.loads(get("/api/status")), 5.0)
    if not res.check("the gateway answers on --http", status, "no /api/status within 5 s"):
        return
    b.d.get(URL)
    live = wait(lambda: b.js(CONN_JS)[0] == "live", 5.0)
    res.check("the page goes live", live, b.js(CONN_JS))
    up = wait(lambda: all(b.js(TILE_JS, n)["up"] == "true" for n in ("repeater", "master")), 12.0)
    res.check("both link tiles turn up (master after its login)", up,
              [b.js(TILE_JS, n) for n in ("repeater", "master")])
    site = b.js("return [document.querySelector('#site-callsign').textContent, "
                "document.querySelector('#version').textContent, document.querySelector('#ids').textContent]")
    res.equal("site callsign, version and ID count as configured", site,
              [bench.CONFIG["RptrCall"], status["version"], str(len(IDS))])

    span_r = one_call(res, b, rep.ep, "rcall", GW_RPT, 0.4, "to_master", RCALL_SRC, 9)
    span_m = one_call(res, b, master.audio, "mcall", GW_AUDIO, 0.15, "to_repeater", MCALL_SRC, 262)

    rows = wait(lambda: (lambda r: r if len(r) == 2 else None)(b.js(ROWS_JS)), 3.0)
    api = json.loads(get("/api/lastheard"))
    if not (res.equal("two rows in last heard", len(rows or []), 2) and res.equal("two calls in /api/lastheard",
                                                                                   len(api), 2)):
        return
    to_master = master.audio.received(lambda d: len(d.data) == 72)
    to_repeater = rep.ep.received(lambda d: d.data[:1] in (b"\x80", b"\x81"))
    for row, c, dir, src, tg, span in ((rows[0], api[0], "to_repeater", MCALL_SRC, 262, span_m),
                                       (rows[1], api[1], "to_master", RCALL_SRC, 9, span_r)):
        cs, nm = IDS[src]
        res.equal("%s row: direction, slot, callsign, name, destination, end" % dir,
                  [row[k] for k in ("dir", "slot", "callsign", "name", "dest", "end")],
                  [dir, "2", cs, nm, "TG %d" % tg, "terminator"])
        res.equal("%s call: as the peer sent it (source, group, slot, 6 bursts, none lost, terminator)" % dir,
                  [c[k] for k in ("dir", "src", "callsign", "dst", "dst_kind", "slot", "bursts", "lost", "end")],
                  [dir, src, cs, tg, "group", 2, 6, 0, "terminator"])
        res.check("%s call: duration as the peer's sending (%.2f s)" % (dir, span),
                  abs(c["duration_s"] - span) <= 0.4, c["duration_s"])
        res.equal("%s row: duration, loss and BER as the API's" % dir, [row["dur"], row["loss"], row["ber"]],
                  ["%.1f s" % c["duration_s"], pct(c["loss_pct"]), quality_text(c)])
        res.check("%s row: relative time, exact local time on hover" % dir,
                  re.fullmatch(r"just now|\d+ s ago", row["when"] or "") and re.search(r"\d\d:\d\d", row["exact"]),
                  (row["when"], row["exact"]))
    tiles = {n: b.js(TILE_JS, n) for n in ("repeater", "master")}
    st = json.loads(get("/api/status"))
    res.equal("repeater tile: up, the one peer of the peer list besides us", (tiles["repeater"]["state"],
              tiles["repeater"]["count"], st["links"]["repeater"]["peers"]), ("up", "1", 1))
    res.check("master tile: up, logins as /api/status (at least one)", tiles["master"]["state"] == "up" and
              tiles["master"]["count"] == str(st["links"]["master"]["logins"]) and st["links"]["master"]["logins"] >= 1,
              (tiles["master"], st["links"]["master"]))
    # The page refreshes the ages with its status poll (every 5 s).
    aged = wait(lambda: (lambda t: t if all(re.fullmatch(r"just now|\d+ s ago", x["answer"]) for x in t.values())
                         else None)({n: b.js(TILE_JS, n) for n in ("repeater", "master")}), 6.0, 0.2)
    res.check("link tiles: last answer shown as an age", aged, tiles)

    m = metrics(get("/metrics"))
    res.equal("/metrics: one call each way, both links up, the ID list's entries",
              [m.get(k) for k in ('corvane_calls_total{direction="to_repeater"}',
                                  'corvane_calls_total{direction="to_master"}', 'corvane_link_up{link="repeater"}',
                                  'corvane_link_up{link="master"}', "corvane_id_list_entries",
                                  "corvane_call_duration_seconds_count")], [1, 1, 1, 1, len(IDS), 2])
    res.check("/metrics: voice packets as the peers sent or got them",
              m.get('corvane_voice_packets_total{direction="to_repeater"}') in (len(V["mcall"]), len(to_repeater)) and
              m.get('corvane_voice_packets_total{direction="to_master"}') in (len(V["rcall"]), len(to_master)),
              (m.get('corvane_voice_packets_total{direction="to_repeater"}'),
               m.get('corvane_voice_packets_total{direction="to_master"}'), len(to_repeater), len(to_master)))
    fec = sum(c["bit_errors"] for c in api if c["dir"] == "to_repeater" and c["ber_source"] == "fec")
    res.equal("/metrics: corrected bits and replaced frames as the calls'",
              [m.get("corvane_fec_corrections_total"), m.get("corvane_voice_frames_replaced_total")],
              [fec, sum(c["bad_frames"] for c in api if c["dir"] == "to_repeater")])
    res.check("/metrics: build version as /api/status",
              m.get('corvane_build_info{version="%s"}' % st["version"]) == 1, st["version"])
    res.equal("/metrics: master logins as the tile's", m.get('corvane_logins_total{link="master"}'),
              st["links"]["master"]["logins"])
    hist = b.js("return [document.querySelectorAll('#history svg .b-rpt').length, "
                "document.querySelectorAll('#history svg .b-net').length, "
                "document.querySelector('#hist-total').textContent]")
    res.equal("24-hour chart: a bar each way, 2 calls", hist, [1, 1, "2 calls"])
    if shots:
        os.makedirs(shots, exist_ok=True)
        res.check("screenshot saved", b.d.save_screenshot(os.path.join(shots, "dashboard.png")))
    b.d.set_window_size(360, 780)
    width = wait(lambda: (lambda w: w if w[1] <= 360 else None)(
        b.js("return [document.documentElement.scrollWidth, window.innerWidth]")), 2.0)
    res.check("a phone's 360 px: no horizontal scroll", width and width[0] <= width[1], width)
    if shots:
        b.d.save_screenshot(os.path.join(shots, "dashboard-phone.png"))
    b.d.set_window_size(1280, 1000)
    errs = b.errors()
    res.equal("console: no error in normal operation", errs, [])

    # A restart: the stream breaks, the page says so, and comes back by itself.
    started = st["started"]
    gw.stop()
    down = wait(lambda: b.js(CONN_JS)[0] == "disconnected", 5.0)
    res.check("gateway stopped: the page shows it disconnected, reconnecting", down and
              "reconnecting" in b.js(CONN_JS)[1], b.js(CONN_JS))
    time.sleep(3.5)  # long enough for a reconnect to be refused
    t0 = now()
    start(tb, ids)
    back = wait(lambda: b.js(CONN_JS)[0] == "live", 8.0)
    res.check("gateway started again: the page is live again by itself (%.1f s)" % (now() - t0), back,
              b.js(CONN_JS))
    st2 = json.loads(get("/api/status"))
    res.check("it is a new run", st2["started"] != started, (started, st2["started"]))
    fresh = wait(lambda: b.js("return document.querySelectorAll('#lastheard tbody tr').length === 0 && "
                              "!document.querySelector('#lastheard-empty').hidden && "
                              "document.querySelector('#hist-total').textContent === '0 calls'"), 2.0)
    res.check("the page shows the new run's snapshot (no calls yet)", fresh, b.js(ROWS_JS))
    errs = b.errors()
    res.equal("console: only refused reconnects while the gateway was down",
              [e for e in errs if not REFUSED.search(e)], [])
    time.sleep(1.0)
    res.equal("console: no error after the recovery", b.errors(), [])
    res.check("gateway running", tb.gateways[-1].running())


def main():
    ap = argparse.ArgumentParser(add_help=False)
    ap.add_argument("--shots", help="folder for the screenshot")
    ap.add_argument("--binary")
    opts, _ = ap.parse_known_args()
    sys.argv = [a for i, a in enumerate(sys.argv) if a != "--shots" and (i == 0 or sys.argv[i - 1] != "--shots")
                and not a.startswith("--shots=")]
    reason = skip_reason(os.path.abspath(opts.binary)) if opts.binary else None
    if reason:
        print("SKIPPED: %s\n0 passed, 0 failed, 1 skipped" % reason, flush=True)
        sys.exit(77)
    shots = os.path.abspath(opts.shots) if opts.shots else None
    bench.run_tests(__doc__, lambda binary, res: body(binary, res, shots))


if __name__ == "__main__":
    main()
