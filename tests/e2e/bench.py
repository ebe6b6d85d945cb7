# SPDX-License-Identifier: GPL-2.0-or-later
"""End-to-end bench: the real binary in a network namespace (192.0.2.1), the
test's peers in a second one (.2 repeater, .3 master, .4 stranger, .5 second
peer), joined by a veth pair. Names carry the pid, so files may run side by
side; all is removed on every way out (finally, atexit, SIGINT/TERM/HUP), and
namespaces of killed runs are swept. Every wait is bounded."""

import argparse, atexit, collections, contextlib, ctypes, os, re, select, shutil, signal, socket, struct  # noqa: E401
import subprocess, sys, tempfile, threading, time, traceback  # noqa: E401

GW_IP, REPEATER_IP, MASTER_IP, STRANGER_IP, PEER2_IP = ("192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4",
                                                         "192.0.2.5")
CLONE_NEWNET, SO_TIMESTAMPNS = 0x40000000, getattr(socket, "SO_TIMESTAMPNS", 35)
_libc, _setns_lock, _live = ctypes.CDLL(None, use_errno=True), threading.Lock(), []
now = time.monotonic
# t: when the reader saw it (monotonic); kt: the kernel's receive stamp (wall clock).
Datagram = collections.namedtuple("Datagram", "t data src index kt")
Line = collections.namedtuple("Line", "t raw text index")

# RptrCall, RptrID, MyBridgeID and the frequencies are those of the RDAC vectors.
CONFIG = {"RptrCall": "ABC1DEF", "RptrID": "1193046", "RptrIP": REPEATER_IP, "RptrPort": "50000",
          "MasterIP": MASTER_IP, "RptrQRGtx": "439000000", "RptrQRGrx": "431400000",
          "MyBridgeID": "11259375", "NetworkKey": "0123456789abcdefABCDEF0123456789aBcDeF01"}


def config_text(lines=None):
    """corvane.cfg: a comment, then key=value lines (CONFIG, or the given pairs)."""
    return "# corvane end-to-end test configuration\n" + "".join("%s=%s\n" % kv for kv in lines or CONFIG.items())


class Skip(Exception):  # the machine cannot run the bench
    pass


def run_ip(*args, check=True):
    r = subprocess.run(["ip", *args], capture_output=True, stdin=subprocess.DEVNULL, timeout=10, text=True)
    if check and r.returncode:
        raise RuntimeError("ip %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


def sweep_stale_namespaces():
    """Removes cvn<pid>x<n>[gp] namespaces (and what runs in them) whose run is gone."""
    for m in re.finditer(r"^(cvn(\d+)x\d+[gp])\b", run_ip("netns", "list", check=False).stdout, re.M):
        if not os.path.exists("/proc/" + m.group(2)):
            for p in run_ip("netns", "pids", m.group(1), check=False).stdout.split():
                subprocess.run(["kill", "-9", p], capture_output=True)
            run_ip("netns", "del", m.group(1), check=False)


@contextlib.contextmanager
def in_netns(ns):
    """The calling thread in network namespace `ns`, and back; what it starts or
    opens meanwhile (sockets, processes) stays there."""
    own, fd = os.open("/proc/thread-self/ns/net", os.O_RDONLY), os.open("/var/run/netns/" + ns, os.O_RDONLY)
    try:
        if _libc.setns(fd, CLONE_NEWNET):
            raise OSError(ctypes.get_errno(), "setns " + ns)
        yield
    finally:
        if _libc.setns(own, CLONE_NEWNET):
            os.write(2, b"bench: cannot return to own network namespace\n")
            os._exit(1)
        os.close(fd)
        os.close(own)


def socket_in_netns(ns, kind=socket.SOCK_DGRAM):
    with _setns_lock, in_netns(ns):
        return socket.socket(socket.AF_INET, kind)


def _wait(cond, find, timeout, done=lambda: False):
    """Under `cond`: find() until it gives something, `done()` or the time is up."""
    deadline = now() + timeout
    with cond:
        while True:
            got = find()
            if got is not None or done() or now() >= deadline:
                return got
            cond.wait(min(deadline - now(), 0.2))


class Endpoint:
    """A bound UDP socket; a thread records each datagram after on_datagram(d)."""

    def __init__(self, sock, on_datagram=None):
        self.sock, self.on_datagram, self.records, self.sent = sock, on_datagram, [], []
        self._cond, self._stop = threading.Condition(), False
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop:
            try:
                if not select.select([self.sock], [], [], 0.05)[0]:
                    continue
                data, anc, _, src = self.sock.recvmsg(65535, socket.CMSG_SPACE(16))
            except (OSError, ValueError):
                continue
            kt = [struct.unpack("qq", c[:16]) for _, kind, c in anc if kind == SO_TIMESTAMPNS]
            d = Datagram(now(), data, src, len(self.records), kt[0][0] + kt[0][1] / 1e9 if kt else None)
            if self.on_datagram:
                self.on_datagram(d)
            with self._cond:
                self.records.append(d)
                self._cond.notify_all()

    def send(self, data, addr):
        with self._cond:
            self.sent.append((now(), bytes(data), addr))
        self.sock.sendto(bytes(data), addr)

    def mark(self):
        return len(self.records)

    def received(self, predicate=None, start=0):
        with self._cond:
            return [d for d in self.records[start:] if predicate is None or predicate(d)]

    def wait_for(self, predicate=None, timeout=5.0, start=0):
        """First datagram from index `start` on that satisfies the predicate, or None."""
        return _wait(self._cond, lambda: next(iter(self.received(predicate, start)), None), timeout)

    def close(self):
        self._stop = True
        self._thread.join(timeout=2)
        self.sock.close()


def periodic(interval, fn):
    """Calls fn() every `interval` seconds in a thread until the returned event is set."""
    ev = threading.Event()
    threading.Thread(target=lambda: [fn() for _ in iter(lambda: ev.wait(interval), True)], daemon=True).start()
    return ev


class Gateway:
    """The binary under `ip netns exec` (which execs it: same pid); stdout in `lines`
    (or to `stdout`, a file descriptor nobody reads). Without `rt` it runs as an
    unprivileged run would: no real-time priority (no CAP_SYS_NICE, RLIMIT_RTPRIO 0),
    so a fault there cannot starve the test run. `prefix`: commands that exec the
    binary (setpriv, prlimit), after those."""

    def __init__(self, binary, ns, workdir, args=(), env=None, rt=False, stdout=subprocess.PIPE, prefix=()):
        self.lines, self.stderr, self._eof, self._cond, self.t_start = [], b"", stdout != subprocess.PIPE, \
            threading.Condition(), now()
        wrap = ([] if rt else ["setpriv", "--bounding-set", "-sys_nice",
                               "prlimit", "--rtprio=0"]) + list(prefix)
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns] + wrap + [binary] + list(args), cwd=workdir,
                                     stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                                     start_new_session=True, env=dict(os.environ, **(env or {})))
        for pipe in (self.proc.stdout, self.proc.stderr):
            if pipe:
                threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        partial = b""
        for chunk in iter(lambda: os.read(pipe.fileno(), 65536), b""):
            with self._cond:
                if pipe is self.proc.stderr:
                    self.stderr += chunk
                    continue
                *done, partial = (partial + chunk).split(b"\n")
                for raw in done:
                    self.lines.append(Line(now(), raw, raw.decode("latin-1").rstrip("\r"), len(self.lines)))
                self._cond.notify_all()
        with self._cond:
            if pipe is self.proc.stdout:
                self.lines += [Line(now(), partial, partial.decode("latin-1"), len(self.lines))] if partial else []
                self._eof = True
            self._cond.notify_all()

    def mark(self):
        return len(self.lines)

    def lines_matching(self, regex, start=0):
        with self._cond:
            return [ln for ln in self.lines[start:] if re.search(regex, ln.text)]

    def in_order(self, regexes, start=0, timeout=2.0):
        """Lines matching the regexes one after another: the first missing one, or None."""
        for rx in regexes:
            ln = self.wait_for_line(rx, timeout, start)
            if ln is None:
                return rx
            start = ln.index + 1

    def wait_for_line(self, regex, timeout=5.0, start=0):
        """First line from index `start` on that matches (re.search), or None."""
        return _wait(self._cond, lambda: next(iter(self.lines_matching(regex, start)), None), timeout,
                     lambda: self._eof)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        """Exit status (once the output has ended), or None if still running after `timeout` seconds."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        _wait(self._cond, lambda: True if self._eof else None, 2.0)
        return rc

    def stop(self):
        """SIGTERM, then SIGKILL, to the whole process group; the exit status."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            if self.wait_exit(3) is not None:
                break
        return self.wait_exit(3)

    def dump(self, last=150):
        print("---- gateway output (last %d lines) ----" % last)
        for ln in self.lines[-last:]:
            print("  %7.3f %r" % (ln.t - self.t_start, ln.text))
        print("---- gateway stderr ----\n%s\n---- end ----" % self.stderr.decode("latin-1")[-6000:])


class Bench:
    """Two namespaces joined by a veth pair; a context manager."""

    def __init__(self, binary):
        self.binary, base = os.path.abspath(binary), "cvn%dx%d" % (os.getpid(), len(_live) + 1)
        self.gw_ns, self.peer_ns = base + "g", base + "p"
        self.gateways, self.endpoints, self.sockets, self.tmpdirs, self._made = [], [], [], [], []

    def __enter__(self):
        check_environment()
        _live.append(self)
        sweep_stale_namespaces()
        for ns in (self.gw_ns, self.peer_ns):
            r = run_ip("netns", "add", ns, check=False)
            if r.returncode:
                raise Skip("cannot create a network namespace (%s)" % r.stderr.strip())
            self._made.append(ns)
        gif, pif = self.gw_ns[:14] + "g", self.peer_ns[:14] + "p"
        run_ip("link", "add", gif, "netns", self.gw_ns, "type", "veth", "peer", "name", pif, "netns", self.peer_ns)
        run_ip("-n", self.gw_ns, "addr", "add", GW_IP + "/24", "dev", gif)
        for ip in (REPEATER_IP, MASTER_IP, STRANGER_IP, PEER2_IP):
            run_ip("-n", self.peer_ns, "addr", "add", ip + "/24", "dev", pif)
        for ns, dev in ((self.gw_ns, gif), (self.peer_ns, pif), (self.gw_ns, "lo"), (self.peer_ns, "lo")):
            run_ip("-n", ns, "link", "set", dev, "up")
        probe, tx = self.endpoint(GW_IP, 0, ns=self.gw_ns), self.socket(REPEATER_IP)
        for _ in range(50):
            tx.sendto(b"probe", probe.sock.getsockname())
            if probe.wait_for(timeout=0.1):
                return self
        raise RuntimeError("the veth link did not come up within 5 s")

    def __exit__(self, *exc):
        self.cleanup()

    def cleanup(self):
        for g in self.gateways:
            g.stop()
        for e in self.endpoints + self.sockets:
            e.close()
        for ns in reversed(self._made):
            run_ip("netns", "del", ns, check=False)
        for d in self.tmpdirs:
            shutil.rmtree(d, ignore_errors=True)
        self.gateways, self.endpoints, self.sockets, self.tmpdirs, self._made = [], [], [], [], []

    def socket(self, ip, port=0, ns=None):  # bound to ip:port in the peer namespace (or `ns`)
        self.sockets.append(socket_in_netns(ns or self.peer_ns))
        self.sockets[-1].bind((ip, port))
        return self.sockets[-1]

    def endpoint(self, ip, port, on_datagram=None, ns=None):
        s = self.socket(ip, port, ns)
        self.sockets.remove(s)
        self.endpoints.append(Endpoint(s, on_datagram))
        return self.endpoints[-1]

    def run_gateway(self, res, checks, *args):
        """checks(res, gw, *args); then the gateway must run still, stderr empty."""
        gw = self.start_gateway(config_text())
        try:
            checks(res, gw, *args)
        finally:
            res.check("gateway kept running", gw.running(), gw.proc.poll())
            gw.stop()
            res.check("nothing on standard error", gw.stderr == b"", gw.stderr[-2000:])
            if res.failed:
                gw.dump()

    def start_gateway(self, config=None, **kw):
        """The binary in the gateway namespace, in a fresh directory with `config` as corvane.cfg;
        keywords as Gateway's."""
        self.tmpdirs.append(tempfile.mkdtemp(prefix="corvane-e2e-"))
        if config is not None:
            with open(os.path.join(self.tmpdirs[-1], "corvane.cfg"), "w") as f:
                f.write(config)
        self.gateways.append(Gateway(self.binary, self.gw_ns, self.tmpdirs[-1], **kw))
        return self.gateways[-1]


def _cleanup_all(signum=None, frame=None):
    for b in _live:
        try:
            b.cleanup()
        except Exception:
            traceback.print_exc()
    if signum:
        print("\nbench: signal %d, namespaces removed" % signum, flush=True)
        os._exit(128 + signum)


def check_environment():
    if os.geteuid() != 0:
        raise Skip("needs root (network namespaces)")
    if shutil.which("ip") is None:
        raise Skip("needs the 'ip' command (iproute2)")
    if not os.path.exists("/proc/thread-self/ns/net"):
        raise Skip("kernel without network namespaces")
    if not _live:
        atexit.register(_cleanup_all)
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, _cleanup_all)


class Results:
    """Named checks, one line each."""

    def __init__(self):
        self.passed = self.failed = 0

    def check(self, name, ok, detail=""):
        self.passed, self.failed = self.passed + bool(ok), self.failed + (not ok)
        print("%s  %s%s" % ("PASS" if ok else "FAIL", name, "" if ok or detail == "" else ": %s" % (detail,)), flush=True)
        return bool(ok)

    def equal(self, name, got, want):
        return self.check(name, got == want, "got %r, want %r" % (got, want))


def run_tests(description, body):
    """Runs body(binary, results); exits 0 (all passed), 1 (a failure) or 77 (skipped)."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--binary", required=True)
    binary, res, t0 = os.path.abspath(ap.parse_args().binary), Results(), now()
    try:
        body(binary, res)
    except Skip as e:
        print("SKIPPED: %s\n0 passed, 0 failed, 1 skipped" % e, flush=True)
        _cleanup_all()
        sys.exit(77)
    except Exception:
        traceback.print_exc()
        res.check("test ran to its end", False, "unexpected exception (above)")
    finally:
        _cleanup_all()
    print("wall time %.1f s\n%d passed, %d failed" % (now() - t0, res.passed, res.failed), flush=True)
    sys.exit(1 if res.failed else 0)
