"""End-to-end bench: runs the real corvane binary in a network namespace of its
own and lets the test talk to it over real UDP from a second namespace.

    gateway namespace                 peer namespace
    192.0.2.1/24  <--- veth pair --->  192.0.2.2  repeater
                                       192.0.2.3  master
                                       192.0.2.4  stranger
                                       192.0.2.5  second Motorola peer

The test process itself stays in its own namespace; sockets are created in the
peer (or gateway) namespace by switching the calling thread there with setns()
just for the socket() call, so every socket keeps the namespace it was made in.

Everything created here is removed again: try/finally in run_tests(), atexit,
and handlers for SIGINT/SIGTERM/SIGHUP. Every wait is bounded.

Python 3 standard library only.
"""

import argparse
import atexit
import ctypes
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

SKIP = 77

GW_IP = "192.0.2.1"
REPEATER_IP = "192.0.2.2"
MASTER_IP = "192.0.2.3"
STRANGER_IP = "192.0.2.4"
PEER2_IP = "192.0.2.5"
PEER_IPS = (REPEATER_IP, MASTER_IP, STRANGER_IP, PEER2_IP)

CLONE_NEWNET = 0x40000000
NS_PREFIX = "cvn"           # namespaces are named cvn<pid>x<n>g / cvn<pid>x<n>p

_libc = ctypes.CDLL(None, use_errno=True)
_setns_lock = threading.Lock()
_live_benches = []
_handlers_installed = False


# The configuration every test starts from. RptrCall, RptrID, MyBridgeID and
# the frequencies are those for which the RDAC check values are published.
CONFIG = {
    "RptrCall": "ABC1DEF",
    "RptrID": "1193046",
    "RptrIP": REPEATER_IP,
    "RptrPort": "50000",
    "MasterIP": MASTER_IP,
    "RptrQRGtx": "439000000",
    "RptrQRGrx": "431400000",
    "MyBridgeID": "11259375",
    "NetworkKey": "0123456789abcdefABCDEF0123456789aBcDeF01",
}
CONFIG_ORDER = ("RptrCall", "RptrID", "RptrIP", "RptrPort", "MasterIP",
                "RptrQRGtx", "RptrQRGrx", "MyBridgeID", "NetworkKey")


def config_text(lines=None, **overrides):
    """corvane.cfg text: a comment line, then key=value lines in CONFIG_ORDER
    (or the given (key, value) list), LF endings."""
    if lines is None:
        cfg = dict(CONFIG, **overrides)
        lines = [(k, cfg[k]) for k in CONFIG_ORDER]
    out = "# corvane end-to-end test configuration\n"
    for k, v in lines:
        out += "%s=%s\n" % (k, v)
    return out


class Skip(Exception):
    """The environment cannot run the bench (not root, no ip, no netns)."""


# --------------------------------------------------------------------------
# small utilities

def now():
    return time.monotonic()


def run_ip(*args, check=True, timeout=10):
    r = subprocess.run(["ip", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=timeout, text=True)
    if check and r.returncode != 0:
        raise RuntimeError("ip %s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def sweep_stale_namespaces():
    """Removes namespaces that an earlier bench run left behind when it was
    killed outright (SIGKILL gives no chance to clean up). Only names of our
    own pattern whose creating process is gone are touched."""
    r = run_ip("netns", "list", check=False)
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        m = re.fullmatch(NS_PREFIX + r"(\d+)x\d+[gp]", name)
        if m and not _pid_alive(int(m.group(1))):
            # A gateway that the dead run started may still live in it.
            pids = run_ip("netns", "pids", name, check=False).stdout.split()
            for p in pids:
                try:
                    os.kill(int(p), signal.SIGKILL)
                except (ValueError, ProcessLookupError):
                    pass
            run_ip("netns", "del", name, check=False)


# --------------------------------------------------------------------------
# namespaces and sockets

def _setns_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            e = ctypes.get_errno()
            raise OSError(e, "setns(%s): %s" % (path, os.strerror(e)))
    finally:
        os.close(fd)


def socket_in_netns(ns, family=socket.AF_INET, kind=socket.SOCK_DGRAM):
    """Creates a socket inside network namespace `ns` and returns it; the
    calling thread is back in its own namespace afterwards."""
    with _setns_lock:
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            _setns_path("/var/run/netns/" + ns)
            try:
                return socket.socket(family, kind)
            finally:
                if _libc.setns(own, CLONE_NEWNET) != 0:
                    # Staying in the wrong namespace would make every later
                    # socket wrong; there is no sane way on.
                    os.write(2, b"bench: cannot return to own network namespace\n")
                    os._exit(1)
        finally:
            os.close(own)


class Datagram:
    """One received datagram. `t` is when the reader thread saw it (monotonic);
    `kt` is when the kernel queued it (wall clock, SO_TIMESTAMPNS), free of the
    reader thread's own wake-up delay; None for plain-socket waits."""
    __slots__ = ("t", "data", "src", "index", "kt")

    def __init__(self, t, data, src, index, kt=None):
        self.t, self.data, self.src, self.index, self.kt = t, data, src, index, kt

    def __repr__(self):
        return "Datagram(t=%.3f, len=%d, src=%s:%d, %s)" % (
            self.t, len(self.data), self.src[0], self.src[1], self.data[:32].hex())


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def kernel_stamp(ancillary):
    """The SO_TIMESTAMPNS receive time (struct timespec, wall clock) as float
    seconds, comparable with time.time(); None when the kernel sent none."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            sec, nsec = struct.unpack("qq", data[:16])
            return sec + nsec / 1e9
    return None


class Endpoint:
    """A bound UDP socket with a reader thread that records every datagram
    (arrival time, bytes, sender) and can hand each to a callback."""

    def __init__(self, sock, name, on_datagram=None):
        self.sock = sock
        self.name = name
        self.addr = sock.getsockname()
        self.on_datagram = on_datagram
        self.records = []        # received
        self.sent = []           # (t, data, dst)
        self._cond = threading.Condition()
        self._stop = False
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self._thread = threading.Thread(target=self._loop, name="ep-" + name, daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop:
            try:
                r, _, _ = select.select([self.sock], [], [], 0.05)
            except (OSError, ValueError):
                return
            if not r:
                continue
            try:
                data, anc, _, src = self.sock.recvmsg(65535, socket.CMSG_SPACE(16))
            except OSError:
                continue
            d = Datagram(now(), data, src, len(self.records), kernel_stamp(anc))
            # The callback (a stand-in's answer) runs before the datagram is
            # visible to waiters, so a test that reacts to a datagram never
            # changes how the stand-in treats that same datagram.
            if self.on_datagram:
                try:
                    self.on_datagram(d)
                except Exception:
                    traceback.print_exc()
            with self._cond:
                self.records.append(d)
                self._cond.notify_all()

    def send(self, data, addr):
        data = bytes(data)
        with self._cond:
            self.sent.append((now(), data, addr))
        self.sock.sendto(data, addr)

    def mark(self):
        """Index of the next datagram to arrive, for 'from now on' waits."""
        with self._cond:
            return len(self.records)

    def received(self, predicate=None, start=0, until=None):
        with self._cond:
            recs = list(self.records[start:])
        return [d for d in recs if (predicate is None or predicate(d)) and (until is None or d.t <= until)]

    def wait_for(self, predicate=None, timeout=5.0, start=0):
        """First recorded datagram from index `start` on that satisfies the
        predicate; waits at most `timeout` seconds. None when none came."""
        deadline = now() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.records):
                    d = self.records[i]
                    i += 1
                    if predicate is None or predicate(d):
                        return d
                left = deadline - now()
                if left <= 0:
                    return None
                self._cond.wait(min(left, 0.2))

    def close(self):
        self._stop = True
        self._thread.join(timeout=2)
        try:
            self.sock.close()
        except OSError:
            pass


def wait_for_datagram(source, predicate=None, timeout=5.0, start=0):
    """Waits for a datagram satisfying the predicate. `source` is an Endpoint
    (searches its record from index `start`) or a plain socket (reads it
    directly; datagrams that do not match are consumed). Returns the Datagram
    or None after `timeout` seconds."""
    if isinstance(source, Endpoint):
        return source.wait_for(predicate, timeout, start)
    deadline = now() + timeout
    n = 0
    while True:
        left = deadline - now()
        if left <= 0:
            return None
        r, _, _ = select.select([source], [], [], min(left, 0.2))
        if not r:
            continue
        data, src = source.recvfrom(65535)
        d = Datagram(now(), data, src, n)
        n += 1
        if predicate is None or predicate(d):
            return d


class Periodic:
    """Calls fn() every `interval` seconds in a thread until stopped."""

    def __init__(self, interval, fn):
        self.interval, self.fn = interval, fn
        self._ev = threading.Event()
        self._t = threading.Thread(target=self._loop, daemon=True)
        self._t.start()

    def _loop(self):
        while not self._ev.wait(self.interval):
            try:
                self.fn()
            except Exception:
                traceback.print_exc()

    def stop(self):
        self._ev.set()
        self._t.join(timeout=2)


# --------------------------------------------------------------------------
# the gateway process

class Line:
    __slots__ = ("t_first", "t", "raw", "text", "index")

    def __init__(self, t_first, t, raw, index):
        self.t_first, self.t, self.raw, self.index = t_first, t, raw, index
        # Lines may end in "\r\n"; frames of the progress bar are separated by
        # "\r" inside one line.
        self.text = raw.decode("latin-1").rstrip("\r")

    def __repr__(self):
        return "Line(%d, %.3f, %r)" % (self.index, self.t, self.text)


class Gateway:
    """The corvane binary, running under `ip netns exec` in a working directory
    of its own. Standard output is read by a thread into Line records (with
    arrival times); standard error is kept whole (sanitizer reports)."""

    def __init__(self, binary, ns, workdir):
        self.binary, self.ns, self.workdir = binary, ns, workdir
        self.lines = []
        self.stderr = b""
        self.raw = b""
        self._cond = threading.Condition()
        self._eof = False
        self.t_start = now()
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", ns, binary], cwd=workdir,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        self._tout = threading.Thread(target=self._read_stdout, daemon=True)
        self._terr = threading.Thread(target=self._read_stderr, daemon=True)
        self._tout.start()
        self._terr.start()

    def _read_stdout(self):
        fd = self.proc.stdout.fileno()
        partial, t_first = b"", None
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            t = now()
            if not chunk:
                with self._cond:
                    if partial:
                        self.lines.append(Line(t_first, t, partial, len(self.lines)))
                    self._eof = True
                    self._cond.notify_all()
                return
            with self._cond:
                self.raw += chunk
                if t_first is None:
                    t_first = t
                parts = (partial + chunk).split(b"\n")
                partial = parts.pop()
                for p in parts:
                    self.lines.append(Line(t_first, t, p, len(self.lines)))
                    t_first = t
                if not partial:
                    t_first = None
                self._cond.notify_all()

    def _read_stderr(self):
        fd = self.proc.stderr.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                return
            with self._cond:
                self.stderr += chunk

    # --- output

    def mark(self):
        with self._cond:
            return len(self.lines)

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def wait_for_line(self, regex, timeout=5.0, start=0):
        """First line from index `start` on that matches `regex` (re.search
        on the text without its trailing CR). None after `timeout` seconds or
        when the output ended without it."""
        rx = re.compile(regex) if isinstance(regex, str) else regex
        deadline = now() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    ln = self.lines[i]
                    i += 1
                    if rx.search(ln.text):
                        return ln
                if self._eof:
                    return None
                left = deadline - now()
                if left <= 0:
                    return None
                self._cond.wait(min(left, 0.2))

    def lines_matching(self, regex, start=0, until=None):
        rx = re.compile(regex) if isinstance(regex, str) else regex
        return [ln for ln in self.snapshot()[start:]
                if rx.search(ln.text) and (until is None or ln.t <= until)]

    def wait_eof(self, timeout):
        deadline = now() + timeout
        with self._cond:
            while not self._eof:
                left = deadline - now()
                if left <= 0:
                    return False
                self._cond.wait(min(left, 0.2))
            return True

    # --- process

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        """Exit status (negative: killed by that signal), or None if the
        process is still running after `timeout` seconds."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        self.wait_eof(2.0)
        return rc

    def stop(self):
        """Ends the gateway (SIGTERM, then SIGKILL), and the shell children of
        its start-up report with it: they share the process group that
        start_new_session gave it. Returns the exit status."""
        if self.proc.poll() is None:
            for sig, wait in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
                try:
                    os.killpg(self.proc.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.proc.wait(timeout=wait)
                    break
                except subprocess.TimeoutExpired:
                    continue
        self.wait_eof(2.0)
        return self.proc.returncode

    def dump(self, out=sys.stdout, last=150):
        lines = self.snapshot()
        out.write("---- gateway output (%d lines, last %d shown) ----\n" % (len(lines), min(last, len(lines))))
        for ln in lines[-last:]:
            out.write("  %7.3f %r\n" % (ln.t - self.t_start, ln.text))
        if self.stderr:
            out.write("---- gateway stderr ----\n")
            out.write(self.stderr.decode("latin-1")[-6000:])
            out.write("\n")
        out.write("---- end ----\n")


# --------------------------------------------------------------------------
# the bench

class Bench:
    """Two namespaces joined by a veth pair. Use as a context manager."""

    _counter = 0

    def __init__(self, binary):
        self.binary = os.path.abspath(binary)
        Bench._counter += 1
        base = "%s%dx%d" % (NS_PREFIX, os.getpid(), Bench._counter)
        self.gw_ns = base + "g"
        self.peer_ns = base + "p"
        self.gw_if = "%sg" % base[:14]
        self.peer_if = "%sp" % base[:14]
        self.gateways = []
        self.endpoints = []
        self.sockets = []
        self.tmpdirs = []
        self._made = []
        self._closed = False

    # --- set-up and removal

    def __enter__(self):
        self.setup()
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    def setup(self):
        check_environment()
        _install_handlers()
        _live_benches.append(self)
        sweep_stale_namespaces()
        for ns in (self.gw_ns, self.peer_ns):
            r = run_ip("netns", "add", ns, check=False)
            if r.returncode != 0:
                self.cleanup()
                raise Skip("cannot create network namespace (%s)" % r.stderr.strip())
            self._made.append(ns)
        run_ip("link", "add", self.gw_if, "netns", self.gw_ns, "type", "veth",
               "peer", "name", self.peer_if, "netns", self.peer_ns)
        run_ip("-n", self.gw_ns, "addr", "add", GW_IP + "/24", "dev", self.gw_if)
        for ip in PEER_IPS:
            run_ip("-n", self.peer_ns, "addr", "add", ip + "/24", "dev", self.peer_if)
        for ns, dev in ((self.gw_ns, self.gw_if), (self.peer_ns, self.peer_if)):
            run_ip("-n", ns, "link", "set", "lo", "up")
            run_ip("-n", ns, "link", "set", dev, "up")
        self._wait_link()

    def _wait_link(self):
        """Bounded wait until a datagram crosses the veth pair."""
        rx = socket_in_netns(self.gw_ns)
        tx = socket_in_netns(self.peer_ns)
        try:
            rx.bind((GW_IP, 0))
            tx.bind((REPEATER_IP, 0))
            port = rx.getsockname()[1]
            deadline = now() + 5.0
            while now() < deadline:
                tx.sendto(b"probe", (GW_IP, port))
                r, _, _ = select.select([rx], [], [], 0.1)
                if r:
                    rx.recvfrom(64)
                    return
            raise RuntimeError("veth link between the namespaces did not come up within 5 s")
        finally:
            rx.close()
            tx.close()

    def cleanup(self):
        if self._closed:
            return
        self._closed = True
        for g in self.gateways:
            try:
                g.stop()
            except Exception:
                traceback.print_exc()
        for e in self.endpoints:
            e.close()
        for s in self.sockets:
            try:
                s.close()
            except OSError:
                pass
        for ns in reversed(self._made):
            run_ip("netns", "del", ns, check=False)
        for d in self.tmpdirs:
            shutil.rmtree(d, ignore_errors=True)
        if self in _live_benches:
            _live_benches.remove(self)

    # --- sockets

    def socket(self, ip, port=0, ns=None):
        """A plain UDP socket bound to ip:port in the peer namespace (or `ns`)."""
        s = socket_in_netns(ns or self.peer_ns)
        self.sockets.append(s)
        s.bind((ip, port))
        return s

    def endpoint(self, ip, port, name, on_datagram=None, ns=None):
        """A recording Endpoint bound to ip:port in the peer namespace."""
        s = socket_in_netns(ns or self.peer_ns)
        try:
            s.bind((ip, port))
        except OSError:
            s.close()
            raise
        e = Endpoint(s, name, on_datagram)
        self.endpoints.append(e)
        return e

    # --- gateway

    def start_gateway(self, config=None, extra_files=None):
        """Starts the binary in the gateway namespace, in a fresh temporary
        working directory that holds `config` as corvane.cfg (no file when
        config is None)."""
        d = tempfile.mkdtemp(prefix="corvane-e2e-")
        self.tmpdirs.append(d)
        if config is not None:
            with open(os.path.join(d, "corvane.cfg"), "w", newline="") as f:
                f.write(config)
        for name, text in (extra_files or {}).items():
            with open(os.path.join(d, name), "w", newline="") as f:
                f.write(text)
        g = Gateway(self.binary, self.gw_ns, d)
        self.gateways.append(g)
        return g


def _cleanup_all():
    for b in list(_live_benches):
        try:
            b.cleanup()
        except Exception:
            traceback.print_exc()


def _on_signal(signum, frame):
    sys.stdout.write("\nbench: signal %d, removing namespaces and stopping the gateway\n" % signum)
    sys.stdout.flush()
    _cleanup_all()
    os._exit(128 + signum)


def _install_handlers():
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_cleanup_all)
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, _on_signal)


def check_environment():
    if os.geteuid() != 0:
        raise Skip("needs root (network namespaces)")
    if shutil.which("ip") is None:
        raise Skip("needs the 'ip' command (iproute2)")
    if not os.path.isdir("/proc/self/ns") or not os.path.exists("/proc/thread-self/ns/net"):
        raise Skip("kernel without network namespace support")


# --------------------------------------------------------------------------
# results and the test-file entry point

class Results:
    """Collects named checks; prints each and closes with 'N passed, N failed'."""

    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.failures = []
        self.on_fail = None          # called once at the first failure of a group

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("PASS  %s" % name)
        else:
            self.failed += 1
            self.failures.append(name)
            print("FAIL  %s%s" % (name, (": " + detail) if detail else ""))
        sys.stdout.flush()
        return bool(ok)

    def equal(self, name, got, want):
        if got == want:
            return self.check(name, True)
        return self.check(name, False, "got %s, want %s" % (_show(got), _show(want)))

    def skip(self, name, reason):
        self.skipped += 1
        print("SKIP  %s: %s" % (name, reason))
        sys.stdout.flush()

    def summary(self):
        line = "%d passed, %d failed" % (self.passed, self.failed)
        if self.skipped:
            line += ", %d skipped" % self.skipped
        return line


def _show(v):
    if isinstance(v, (bytes, bytearray)):
        return v.hex(" ")
    return repr(v)


def run_tests(description, body):
    """Entry point of a test file: parses --binary, runs body(binary, results)
    and exits 0 (all passed), 1 (a failure) or 77 (environment cannot run it)."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--binary", required=True, help="path of the corvane executable")
    args = ap.parse_args()
    res = Results()
    t0 = now()
    try:
        if not (os.path.isfile(args.binary) and os.access(args.binary, os.X_OK)):
            res.check("binary exists", False, "%s is not an executable file" % args.binary)
        else:
            body(os.path.abspath(args.binary), res)
    except Skip as e:
        print("SKIP: %s" % e)
        print("0 passed, 0 failed, 1 skipped")
        sys.stdout.flush()
        _cleanup_all()
        sys.exit(SKIP)
    except Exception:
        traceback.print_exc()
        res.check("test ran to its end", False, "unexpected exception (above)")
    finally:
        _cleanup_all()
    print("wall time %.1f s" % (now() - t0))
    print(res.summary())
    sys.stdout.flush()
    sys.exit(1 if res.failed else 0)
