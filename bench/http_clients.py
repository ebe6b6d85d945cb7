#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Clients of the gateway's dashboard for the benches, in one process with
one thread (run it inside the gateway's network namespace; it connects to
127.0.0.1 only):

    http_clients.py --port P [--sse N] [--stall N] [--rate R --count C] [--max-time S]
                    [--sse-from A] [--stall-from A --stall-addrs N] [--load-from A --load-addrs N]

  --sse N     N clients of /api/events that read the stream as it comes;
  --stall N   N connections that send the start of a request and never its end;
  --rate R    requests per second (keep-alive connections, up to --conns of them
              at once, reopened when the server closes one) over a mix of the
              dashboard's paths, at most --count in all.
It runs until a line arrives on standard input, or --max-time seconds, or
(with --rate and no --sse/--stall) until the last request is answered; then
prints one JSON object: what each kind of client saw.  Each kind of client
connects from addresses of its own in 127.0.0.0/8 (the server limits the
connections from one address): the i-th from its first address + i modulo its
count of addresses (the event streams: one address each)."""

import argparse
import errno
import ipaddress
import json
import selectors
import socket
import sys
import time

PATHS = ["/api/status", "/api/status", "/api/lastheard?limit=200", "/api/history", "/metrics", "/", "/app.js",
         "/api/lastheard?limit=20", "/nothing-here"]
now = time.monotonic


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))] if v else None


def parse_response(buf):
    """(status, length of the whole response, whether the server closes the
    connection after it) of a complete response at the start of buf, or None
    while incomplete; a length of -1: the response ends when the server closes."""
    head_end = buf.find(b"\r\n\r\n")
    if head_end < 0:
        return None
    lines = buf[:head_end].decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {k.strip().lower(): v.strip() for k, _, v in (ln.partition(":") for ln in lines[1:])}
    body, close = head_end + 4, "close" in headers.get("connection", "").lower()
    if status in (204, 304) or 100 <= status < 200:
        return status, body, close
    if "content-length" in headers:
        n = body + int(headers["content-length"])
        return (status, n, close) if len(buf) >= n else None
    if "chunked" in headers.get("transfer-encoding", "").lower():
        pos = body
        while True:
            eol = buf.find(b"\r\n", pos)
            if eol < 0:
                return None
            size = int(buf[pos:eol].split(b";")[0], 16)
            pos = eol + 2 + size + 2
            if len(buf) < pos:
                return None
            if size == 0:   # no trailers from this server
                return status, pos, close
    return status, -1, True


class Conn:
    def __init__(self, kind, port, sel, src):
        self.kind, self.buf, self.t_open, self.t_sent, self.closed, self.path = kind, b"", now(), None, None, None
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.sel, self.connected = sel, False
        self.sock.bind((src, 0))
        err = self.sock.connect_ex(("127.0.0.1", port))
        if err not in (0, errno.EINPROGRESS):
            raise OSError(err, "connect")
        sel.register(self.sock, selectors.EVENT_WRITE, self)

    def send(self, data):
        self.sock.sendall(data)   # small requests: the socket buffer takes them whole

    def close(self):
        if self.closed is None:
            self.closed = now()
            self.sel.unregister(self.sock)
            self.sock.close()


def request(path):
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: corvane-bench\r\n\r\n" % path).encode()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--sse", type=int, default=0)
    ap.add_argument("--stall", type=int, default=0)
    ap.add_argument("--rate", type=float, default=0)
    ap.add_argument("--count", type=int, default=0)
    ap.add_argument("--conns", type=int, default=32)
    ap.add_argument("--max-time", type=float, default=600)
    ap.add_argument("--sse-from", default="127.0.1.1")
    ap.add_argument("--stall-from", default="127.0.3.1")
    ap.add_argument("--stall-addrs", type=int, default=1)
    ap.add_argument("--load-from", default="127.0.2.1")
    ap.add_argument("--load-addrs", type=int, default=4)
    args = ap.parse_args()
    sel = selectors.DefaultSelector()
    sel.register(sys.stdin, selectors.EVENT_READ, None)
    t0 = now()
    out = {"sse": {"clients": args.sse, "connect_failed": 0, "events": {}, "bytes": 0, "closed_by_server": 0,
                   "first_event_s": []},
           "stall": {"clients": args.stall, "connect_failed": 0, "bytes": 0, "closed_by_server_after_s": []},
           "load": {"planned": args.count, "sent": 0, "answered": 0, "status": {}, "connect_failed": 0,
                    "cut_off": 0, "closed_by_server": 0, "behind_max": 0, "ms": []}}
    section = {"sse": out["sse"], "stall": out["stall"], "req": out["load"]}
    conns, opened = [], {"sse": 0, "stall": 0, "req": 0}
    sources = {"sse": (args.sse_from, max(1, args.sse)), "stall": (args.stall_from, args.stall_addrs),
               "req": (args.load_from, args.load_addrs)}

    def open_conn(kind):
        first, count = sources[kind]
        src = str(ipaddress.IPv4Address(first) + opened[kind] % count)
        opened[kind] += 1
        try:
            c = Conn(kind, args.port, sel, src)
        except OSError as e:
            section[kind]["connect_failed"] += 1
            print("connect: %s" % e, file=sys.stderr)
            return None
        conns.append(c)
        return c

    for _ in range(args.sse):
        open_conn("sse")
    for _ in range(args.stall):
        open_conn("stall")
    load = out["load"]
    idle = []           # keep-alive connections waiting for a request
    busy = set()
    period = 1.0 / args.rate if args.rate else None
    t_load = now() + 0.5
    stop = False
    while not stop and now() - t0 < args.max_time:
        if period and load["sent"] >= args.count and not busy and not args.sse and not args.stall:
            break
        # Requests due now; a request that finds no free connection waits (the
        # backlog is counted), up to --conns connections at once.
        while period and load["sent"] < args.count and now() >= t_load + load["sent"] * period:
            c = idle.pop() if idle else (open_conn("req") if len(busy) < args.conns else None)
            if c is None:
                load["behind_max"] = max(load["behind_max"], int((now() - t_load) / period) - load["sent"])
                break
            c.path = PATHS[load["sent"] % len(PATHS)]
            c.t_sent = now()
            busy.add(c)
            load["sent"] += 1
            if c.connected:
                try:
                    c.send(request(c.path))
                except OSError:
                    load["cut_off"] += 1
                    busy.discard(c)
                    c.close()
        timeout = 0.2
        if period and load["sent"] < args.count:
            timeout = max(0.0, min(timeout, t_load + load["sent"] * period - now()))
        for key, ev in sel.select(timeout):
            c = key.data
            if c is None:
                stop = True
                continue
            if not c.connected:
                err = c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err:
                    section[c.kind]["connect_failed"] += 1
                    busy.discard(c)
                    c.close()
                    continue
                c.connected = True
                sel.modify(c.sock, selectors.EVENT_READ, c)
                if c.kind == "sse":
                    c.send(request("/api/events").replace(b"\r\n\r\n", b"\r\nAccept: text/event-stream\r\n\r\n"))
                elif c.kind == "stall":
                    c.send(b"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n")
                elif c.path:
                    c.send(request(c.path))
                continue
            try:
                data = c.sock.recv(65536)
            except OSError:
                data = b""
            if c.kind == "sse":
                out["sse"]["bytes"] += len(data)
                c.buf += data
                *lines, c.buf = c.buf.split(b"\n")
                for ln in lines:
                    if ln.startswith(b"event:"):
                        name = ln[6:].strip().decode("latin-1")
                        out["sse"]["events"][name] = out["sse"]["events"].get(name, 0) + 1
                        if not hasattr(c, "t_first"):
                            c.t_first = now()
                            out["sse"]["first_event_s"].append(round(c.t_first - c.t_open, 4))
                if not data:
                    out["sse"]["closed_by_server"] += 1
                    c.close()
            elif c.kind == "stall":
                out["stall"]["bytes"] += len(data)
                if not data:
                    out["stall"]["closed_by_server_after_s"].append(round(now() - c.t_open, 2))
                    c.close()
            else:
                c.buf += data
                while c.path:
                    got = parse_response(c.buf)
                    if got is None or (got[1] < 0 and data):
                        break
                    status, n, close = got
                    load["answered"] += 1
                    load["status"][str(status)] = load["status"].get(str(status), 0) + 1
                    load["ms"].append((now() - c.t_sent) * 1000.0)
                    c.buf, c.path = (c.buf[n:] if n >= 0 else b""), None
                    busy.discard(c)
                    if close:
                        data = b""   # closed below, as the server asked
                    else:
                        idle.append(c)
                if not data:
                    if c.path:   # closed before the whole answer
                        load["cut_off"] += 1
                    else:
                        load["closed_by_server"] += 1
                    busy.discard(c)
                    if c in idle:
                        idle.remove(c)
                    c.close()
    ms = load.pop("ms")
    load.update(ms_median=pct(ms, 50), ms_p99=pct(ms, 99), ms_max=max(ms) if ms else None,
                seconds=round(now() - t_load, 2) if period else None)
    out["stall"]["still_open"] = sum(1 for c in conns if c.kind == "stall" and c.closed is None)
    out["sse"]["still_open"] = sum(1 for c in conns if c.kind == "sse" and c.closed is None)
    for c in conns:
        if c.closed is None:
            c.close()
    json.dump(out, sys.stdout)
    print(flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
