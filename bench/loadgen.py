"""Clients and samplers of the client-table workloads of bench.py (freshdns, udpflood, silenttcp and
the attacks on the bounded tables: spoofudp, stucklookup, reconnecttcp):
DNS queries each from a source never used before, a flood from thousands of source addresses,
thousands of TCP clients that connect and say nothing, the legitimate clients measured beside them,
and a sampler of the relay's threads, descriptors, memory and main-log lines. Figures are kept per
10-second window of the run. Also the client and server of the small exchange: small requests,
each sent in two pieces, over one connection. Every loop here has a count and a deadline and ends
by itself.

The flood and the silent clients run in processes of their own (`loadgen.py --udp-flood ...`,
`--silent-hold ...`), so that their work does not delay the measured clients of this process."""
import collections
import errno
import json
import os
import re
import resource
import selectors
import socket
import struct
import sys
import threading
import time

WINDOW_S = 10
ANSWER_S = 2.0          # a client counts as served only with a correct answer within this time
# Source ports chosen by the benchmark lie below the kernel's ephemeral range (bench.py sets it to
# 16384-65000), so that no socket of the relay, bound to 0.0.0.0 on a kernel-chosen port, ever holds
# one; ports 5000-14999 hold the benchmark's listeners.
CLIENT_PORTS = list(range(1024, 5000)) + list(range(15000, 16384))
IP_BIND_ADDRESS_NO_PORT = 24


def source_pair(net, i):
    """The i-th source (address, port) in 127.net.0.0/16: the port runs fastest, then the address,
    so a pair comes back only after len(CLIENT_PORTS) * 65,000 others."""
    a = (i // len(CLIENT_PORTS)) % 65000 + 1
    return "127.%d.%d.%d" % (net, a >> 8, a & 255), CLIENT_PORTS[i % len(CLIENT_PORTS)]


def raise_nofile():
    """Up to the hard limit (a container may not let even root raise it)."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def percentile(values, q):
    if not values:
        return None
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


# ---------------------------------------------------------------- DNS messages

def dns_query(qid, name):
    """A query with RD set, one A/IN question and no EDNS record; returns (datagram, question)."""
    question = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0" + struct.pack("!HH", 1, 1)
    return struct.pack("!HHHHHH", qid, 0x0100, 1, 0, 0, 0) + question, question


def dns_answer_ok(data, qid, question, address):
    """The answer to exactly this query: same id and question, NOERROR, an A record with `address`."""
    if len(data) < 12 + len(question):
        return False
    rid, flags, qd, an = struct.unpack("!HHHH", data[:8])
    return (rid == qid and flags & 0x8000 and flags & 0xF == 0 and qd == 1 and an >= 1
            and data[12:12 + len(question)] == question
            and b"\x00\x01\x00\x01" in data[12 + len(question):]
            and data[12 + len(question):].endswith(b"\x00\x04" + socket.inet_aton(address)))


# ---------------------------------------------------------------- figures per window

class Windows:
    """Outcomes of clients by kind and 10-second window (by the time the client started)."""

    def __init__(self, t0):
        self.t0 = t0
        self.lock = threading.Lock()
        self.data = collections.defaultdict(lambda: collections.defaultdict(lambda: {"n": 0, "ok": 0, "lat": []}))

    def add(self, kind, t_start, latency):
        """latency: seconds to the correct answer, None without one; a late one counts as none."""
        w = max(0, int((t_start - self.t0) // WINDOW_S))
        with self.lock:
            cell = self.data[w][kind]
            cell["n"] += 1
            if latency is not None and latency <= ANSWER_S:
                cell["ok"] += 1
                cell["lat"].append(latency * 1000.0)

    def figures(self):
        """{window: {kind: {n, ok, served_pct, p50_ms, p99_ms}}} and the whole run per kind."""
        out, whole = {}, collections.defaultdict(lambda: {"n": 0, "ok": 0, "lat": []})
        with self.lock:
            for w, kinds in self.data.items():
                out[w] = {}
                for kind, c in kinds.items():
                    out[w][kind] = cell_figures(c)
                    whole[kind]["n"] += c["n"]
                    whole[kind]["ok"] += c["ok"]
                    whole[kind]["lat"] += c["lat"]
        return out, {kind: cell_figures(c) for kind, c in whole.items()}


def cell_figures(c):
    return {"n": c["n"], "ok": c["ok"], "served_pct": 100.0 * c["ok"] / c["n"] if c["n"] else None,
            "p50_ms": percentile(c["lat"], 0.50), "p99_ms": percentile(c["lat"], 0.99)}


# ---------------------------------------------------------------- the relay's resources

def proc_status(pid):
    """Threads, resident KiB, open descriptors and CPU seconds of a process; None once it has gone."""
    try:
        rss = threads = 0
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                elif line.startswith("Threads:"):
                    threads = int(line.split()[1])
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        cpu_s = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")   # utime + stime
        return {"threads": threads, "rss_kib": rss, "fds": len(os.listdir("/proc/%d/fd" % pid)), "cpu_s": cpu_s}
    except (FileNotFoundError, ProcessLookupError):
        return None


class MainLogTail:
    """Reads the main log's new lines as they are written and sorts them: "connect" lines, "deleted
    because table full" lines (the bounded tables' evictions) and all others, whose kinds (digits
    folded) are counted too. Files are read from where the last call stopped; rotation keeps 100
    files of about 1 MB, far more than a second of any workload writes.

    Lines that name a client at 127.0.0.1 (the measured clients' own) are counted once more apart.
    watch: client addresses ("a.b.c.d:port") whose "connect" and "table full" lines are counted one
    by one in `watched`; keep: every line is kept in `lines` with the time.monotonic() it was read."""

    STAMP = re.compile(r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d ")
    CLIENT = re.compile(r"  (\S+) (connect|deleted because table full)$")

    def __init__(self, directory, watch=(), keep=False):
        self.dir, self.offsets, self.partial = directory, {}, {}
        self.kinds = collections.Counter()
        self.budget = None
        self.watch, self.watched = set(watch), collections.Counter()
        self.lines = [] if keep else None

    def read(self):
        counts = {"connect": 0, "table_full": 0, "other": 0, "measured": 0}
        try:
            names = sorted(n for n in os.listdir(self.dir) if re.match(r"C\d+\.log$", n))
        except FileNotFoundError:
            return counts
        for name in names:
            try:
                with open(os.path.join(self.dir, name), "rb") as f:
                    f.seek(self.offsets.get(name, 0))
                    data = self.partial.pop(name, b"") + f.read()
                    self.offsets[name] = f.tell()
            except FileNotFoundError:
                continue
            lines = data.split(b"\n")
            if lines[-1]:
                self.partial[name] = lines[-1]
            for raw in lines[:-1]:
                line = self.STAMP.sub("", raw.decode("utf-8", "replace"), count=1)
                if self.lines is not None:
                    self.lines.append((time.monotonic(), line))
                counts["measured"] += "  127.0.0.1:" in line
                if self.watch:
                    m = self.CLIENT.search(line)
                    if m and m.group(1) in self.watch:
                        self.watched[m.group(1), m.group(2)] += 1
                if line.endswith(" connect"):
                    counts["connect"] += 1
                elif "deleted because table full" in line:
                    counts["table_full"] += 1
                else:
                    counts["other"] += 1
                    if line.startswith("Budget ") and self.budget is None:
                        self.budget = line
                    self.kinds[re.sub(r"\d+", "#", line)[:120]] += 1
        return counts


class Sampler:
    """Once a second: the relay's threads, descriptors and RSS, the tasks of its pids cgroup and the
    forks the cgroup refused, and (for the daemon) the main log's new lines by sort."""

    def __init__(self, pid, t0, seconds, cgroup=None, log_dir=None, watch=()):
        self.pid, self.t0, self.cgroup = pid, t0, cgroup
        self.log = MainLogTail(log_dir, watch) if log_dir else None
        self.samples = []
        self.deadline = t0 + seconds
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        if self.log:
            self.log.read()  # the start-up lines are no part of the run (but the "Budget " line is kept)
            self.log.kinds.clear()
        self.thread.start()

    def _run(self):
        while not self.stop_event.wait(1.0) and time.monotonic() < self.deadline + 5:
            s = {"t": time.monotonic() - self.t0, "proc": proc_status(self.pid)}
            if self.cgroup:
                s["tasks"], s["refused"] = self.cgroup.tasks(), self.cgroup.refused()
            if self.log:
                s["log"] = self.log.read()
            self.samples.append(s)

    def finish(self):
        self.stop_event.set()
        self.thread.join()

    def windows(self):
        """Per window: peak threads, descriptors and RSS, peak cgroup tasks, forks refused,
        main-log lines per second by sort (and those of the measured clients), the most main-log
        lines of one sample's second, all and without the measured clients' own; alive False once
        the process has gone."""
        out = {}
        last_t = 0.0
        for s in self.samples:
            w = out.setdefault(max(0, int(s["t"] // WINDOW_S)), {
                "alive": True, "threads": 0, "fds": 0, "rss_mib": 0.0, "log_connect_s": 0.0,
                "log_full_s": 0.0, "log_other_s": 0.0, "log_measured_s": 0.0, "log_peak_s": 0.0,
                "log_load_peak_s": 0.0})
            p = s["proc"]
            if p is None:
                w["alive"] = False
            else:
                w["threads"] = max(w["threads"], p["threads"])
                w["fds"] = max(w["fds"], p["fds"])
                w["rss_mib"] = max(w["rss_mib"], p["rss_kib"] / 1024.0)
            if s.get("tasks") is not None:
                w["tasks"] = max(w.get("tasks", 0), s["tasks"])
            if s.get("refused") is not None:
                w["refused_end"] = s["refused"]
            if "log" in s:
                for key, name in (("connect", "log_connect_s"), ("table_full", "log_full_s"), ("other", "log_other_s"),
                                  ("measured", "log_measured_s")):
                    w[name] += s["log"][key] / float(WINDOW_S)
                lines = s["log"]["connect"] + s["log"]["table_full"] + s["log"]["other"]
                dt = max(0.5, s["t"] - last_t)
                w["log_peak_s"] = max(w["log_peak_s"], lines / dt)
                w["log_load_peak_s"] = max(w["log_load_peak_s"], (lines - s["log"]["measured"]) / dt)
            last_t = s["t"]
        if not self.log:
            for w in out.values():
                for name in ("log_connect_s", "log_full_s", "log_other_s", "log_measured_s", "log_peak_s",
                             "log_load_peak_s"):
                    w[name] = None
        refused = 0
        for w in sorted(out):
            if "refused_end" in out[w]:
                out[w]["refused"] = out[w]["refused_end"] - refused
                refused = out[w].pop("refused_end")
        return out


def nproc_limit(limit):
    """preexec_fn of the fallback without a pids cgroup."""
    def apply():
        resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
    return apply


# ---------------------------------------------------------------- fresh-port DNS queries

def fresh_dns(dest, rate, seconds, t0, qname, address, net, windows):
    """Open loop: query i leaves at t0 + i/rate from source pair i of 127.net.0.0/16 on a socket of its
    own, which waits ANSWER_S for the answer and is closed. Returns queries the client could not send
    (its own source pair busy, or no descriptor left)."""
    sel = selectors.DefaultSelector()
    pending = collections.deque()      # [socket, sent at, id, question], oldest first
    total, unsent, i = int(rate * seconds), 0, 0
    hard_end = t0 + seconds + ANSWER_S + 5
    while (i < total or pending) and time.monotonic() < hard_end:
        now = time.monotonic()
        while i < total and t0 + i / rate <= now:
            src = source_pair(net, i)
            qid = i & 0xFFFF
            query, question = dns_query(qid, qname % i)
            try:
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            except OSError:
                unsent += 1
                i += 1
                continue
            try:
                s.setblocking(False)
                s.bind(src)
                s.sendto(query, dest)
            except OSError:
                s.close()
                unsent += 1
                i += 1
                continue
            entry = [s, time.monotonic(), qid, question]
            sel.register(s, selectors.EVENT_READ, entry)
            pending.append(entry)
            i += 1
        while pending and (pending[0][0] is None or pending[0][1] + ANSWER_S <= now):
            entry = pending.popleft()
            if entry[0] is not None:
                windows.add("query", entry[1], None)
                sel.unregister(entry[0])
                entry[0].close()
        wake = [now + 0.05] + ([t0 + i / rate] if i < total else []) + ([pending[0][1] + ANSWER_S] if pending else [])
        for key, _ in sel.select(max(0.0, min(wake) - now)):
            entry = key.data
            s = entry[0]
            try:
                data = s.recv(4096)
                ok = dns_answer_ok(data, entry[2], entry[3], address)
            except OSError:
                ok = False
            windows.add("query", entry[1], time.monotonic() - entry[1] if ok else None)
            sel.unregister(s)
            s.close()
            entry[0] = None
    for entry in pending:
        if entry[0] is not None:
            windows.add("query", entry[1], None)
            entry[0].close()
    sel.close()
    return unsent


# ---------------------------------------------------------------- one legitimate client each

def udp_exchange(sock, dest, payload, check, deadline):
    """Sends payload and waits until deadline for a datagram that passes check; answers to earlier
    tries on the same socket are skipped."""
    sock.sendto(payload, dest)
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            data = sock.recv(65535)
        except socket.timeout:
            return False
        if check(data):
            return True


def new_udp_client(dest, tag):
    """A client the relay has not seen: a new socket, one datagram, its echo."""
    def probe(k):
        payload = b"%s %06d legitimate" % (tag, k)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            return udp_exchange(s, dest, payload, lambda d: d == payload, time.monotonic() + ANSWER_S)
    return probe


def new_dns_client(dest, qname, address):
    def probe(k):
        query, question = dns_query(k & 0xFFFF, qname % k)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            return udp_exchange(s, dest, query, lambda d: dns_answer_ok(d, k & 0xFFFF, question, address),
                                time.monotonic() + ANSWER_S)
    return probe


class KnownUdpClient:
    """One association made before the load starts (two exchanges: a client that answered back, as
    a device talking every second is), which keeps talking on the same socket (from source src) and
    counts the exchanges without their answer within answer_s."""

    def __init__(self, dest, tag, src=("127.0.0.1", 0), answer_s=ANSWER_S):
        self.dest, self.tag, self.answer_s = dest, tag, answer_s
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(src)
        self.name = "%s:%d" % self.sock.getsockname()
        self.lock = threading.Lock()   # one exchange at a time on the one socket
        self.lost = 0
        self.opened = self(-2) and self(-1)
        self.lost = 0                  # the opening exchanges are not the load's

    def __call__(self, k):
        payload = b"%s %06d known" % (self.tag, k)
        with self.lock:
            ok = udp_exchange(self.sock, self.dest, payload, lambda d: d == payload, time.monotonic() + self.answer_s)
            self.lost += not ok
            return ok

    def close(self):
        self.sock.close()


def new_tcp_client(dest, tag):
    """A new connection: connect, send one line, read its echo, close."""
    def probe(k):
        line = b"%s %06d legitimate\n" % (tag, k)
        deadline = time.monotonic() + ANSWER_S
        try:
            with socket.create_connection(dest, timeout=ANSWER_S) as s:
                s.sendall(line)
                got = b""
                while len(got) < len(line):
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return False
                    s.settimeout(left)
                    data = s.recv(4096)
                    if not data:
                        return False
                    got += data
                return got == line and time.monotonic() <= deadline
        except OSError:
            return False
    return probe


class Clients:
    """Runs each kind of legitimate client `hz` times a second from t0 for `seconds`, each try in a
    thread of its own (a slow answer does not hold back the next try), and records the outcomes."""

    def __init__(self, probes, hz, t0, seconds, windows):
        self.threads = [threading.Thread(target=self._kind, args=(kind, probe, hz, t0, seconds, windows), daemon=True)
                        for kind, probe in probes.items()]
        for t in self.threads:
            t.start()

    @staticmethod
    def _kind(kind, probe, hz, t0, seconds, windows):
        tries = []

        def one(k, start):
            try:
                ok = probe(k)
            except OSError:
                ok = False
            windows.add(kind, start, time.monotonic() - start if ok else None)

        for k in range(int(seconds * hz)):
            start = t0 + k / hz
            time.sleep(max(0.0, start - time.monotonic()))
            t = threading.Thread(target=one, args=(k, time.monotonic()), daemon=True)
            t.start()
            tries.append(t)
            tries = [x for x in tries if x.is_alive()]
        for t in tries:
            t.join(ANSWER_S + 5)

    def join(self):
        for t in self.threads:
            t.join()


# ---------------------------------------------------------------- load processes

def udp_flood(addr, port, rate, seconds, net, t0):
    """`rate` datagrams a second for `seconds` from t0, each from a source pair never used before in
    this run, each from a socket that is closed at once (the answers go nowhere)."""
    total, sent, failed = int(rate * seconds), 0, 0
    for i in range(total):
        delay = t0 + i / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        elif time.monotonic() > t0 + seconds + 1:   # behind: what is left would land after the run
            break
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind(source_pair(net, i))
                s.sendto(b"flood %08d" % i, (addr, port))
            sent += 1
        except OSError:
            failed += 1
    return {"sent": sent, "failed": failed, "seconds": time.monotonic() - t0}


def silent_hold(addr, port, count, seconds, net, t0, again=0.5, connect_rate=2000):
    """Keeps `count` TCP connections to addr:port that never send a byte, spread over 16 source
    addresses of 127.net.0.0/16. A connection the relay closes is opened again `again` seconds later;
    connects are paced to `connect_rate` a second, and one still pending after 5 s starts over.
    Returns one sample a second: open, pending, closed by the relay, failed and timed-out connects."""
    raise_nofile()
    end = t0 + seconds
    ep = selectors.EpollSelector()
    socks = [None] * count
    state = ["wait"] * count
    due = [t0 + k / connect_rate for k in range(count)]
    stats = {"closed": 0, "failed": 0, "timeouts": 0, "connects": 0}
    samples, next_sample = [], t0 + 1.0

    def drop(k, again):
        ep.unregister(socks[k])
        socks[k].close()
        socks[k], state[k], due[k] = None, "wait", time.monotonic() + again

    pending = collections.deque(range(count))   # slots waiting to connect, in due order
    budget_t = t0
    while time.monotonic() < end:
        now = time.monotonic()
        # Connects, paced: one slot every 1/connect_rate seconds at most.
        while pending and due[pending[0]] <= now and budget_t <= now:
            k = pending.popleft()
            budget_t = max(budget_t, now - 0.1) + 1.0 / connect_rate
            try:
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            except OSError:
                due[k] = now + 1.0
                pending.append(k)
                stats["failed"] += 1
                continue
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
            s.bind(("127.%d.0.%d" % (net, k % 16 + 1), 0))
            rc = s.connect_ex((addr, port))
            stats["connects"] += 1
            if rc not in (0, errno.EINPROGRESS):
                s.close()
                stats["failed"] += 1
                due[k] = now + 0.5
                pending.append(k)
                continue
            socks[k], state[k], due[k] = s, "connecting", now + 5.0
            ep.register(s, selectors.EVENT_WRITE, k)
        for key, ev in ep.select(0.02):
            k = key.data
            s = socks[k]
            if state[k] == "connecting":
                err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err:
                    stats["failed"] += 1
                    drop(k, 0.5)
                    pending.append(k)
                else:
                    state[k] = "open"
                    ep.modify(s, selectors.EVENT_READ, k)
            else:
                try:
                    data = s.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    stats["closed"] += 1
                    drop(k, again)
                    pending.append(k)
        now = time.monotonic()
        if now >= next_sample:
            late = [k for k in range(count) if state[k] == "connecting" and due[k] <= now]
            for k in late:
                stats["timeouts"] += 1
                drop(k, 0.0)
                pending.append(k)
            samples.append(dict(stats, t=now - t0, open=state.count("open"), pending=state.count("connecting")))
            next_sample += 1.0
    for k in range(count):
        if socks[k] is not None:
            socks[k].close()
    return samples


def udp_echo(addr, port):
    """The target of the UDP rules: sends every datagram back to its sender (ended by SIGTERM)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        s.bind((addr, port))
        while True:
            data, peer = s.recvfrom(65535)
            try:
                s.sendto(data, peer)
            except OSError:
                pass


# ---------------------------------------------------------------- small exchange

SMALL_PART = 10         # header, body and reply are this many bytes each


def small_server(addr, port, seconds, connections=100, exchanges=10000):
    """The server of the small exchange, Nagle off on its side: on each connection (a thread each,
    at most `connections`) reads a header and a body (20 bytes) and answers with the body (10 bytes),
    at most `exchanges` times, each read waiting 30 s at most. Ends after `seconds` (or SIGTERM)."""
    deadline = time.monotonic() + seconds

    def serve(conn):
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(30)
            try:
                for _ in range(exchanges):
                    got = b""
                    while len(got) < 2 * SMALL_PART:
                        data = conn.recv(2 * SMALL_PART - len(got))
                        if not data:
                            return
                        got += data
                    conn.sendall(got[SMALL_PART:])
            except OSError:
                pass

    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, port))
        s.listen(16)
        s.settimeout(1.0)
        threads = []
        while len(threads) < connections and time.monotonic() < deadline:
            try:
                conn, _ = s.accept()
            except socket.timeout:
                continue
            threads.append(threading.Thread(target=serve, args=(conn,), daemon=True))
            threads[-1].start()
        for t in threads:
            t.join(max(0, deadline - time.monotonic()))


def small_exchange(addr, port, count, seconds=60.0):
    """One connection, Nagle off; `count` times a 10-byte header and a 10-byte body as two send()
    calls, then the 10-byte reply. Returns the milliseconds of each exchange (from the header's
    send to the reply's last byte) and the error that cut the run short, if one did; no read waits
    more than 5 s and the whole run no more than `seconds`."""
    times, error = [], None
    deadline = time.monotonic() + seconds
    try:
        with socket.create_connection((addr, port), timeout=5) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for k in range(count):
                if time.monotonic() > deadline:
                    error = "out of time after %d exchanges" % k
                    break
                header, body = b"head %05d" % k, b"body %05d" % k
                t = time.perf_counter()
                if s.send(header) != SMALL_PART or s.send(body) != SMALL_PART:
                    error = "short send"
                    break
                got = b""
                while len(got) < SMALL_PART:
                    data = s.recv(SMALL_PART - len(got))
                    if not data:
                        break
                    got += data
                times.append((time.perf_counter() - t) * 1e3)
                if got != body:
                    error = "reply %r to exchange %d" % (got, k)
                    break
    except OSError as e:
        error = "%s after %d exchanges" % (e, len(times))
    return times, error


def main(argv):
    if argv[0] == "--udp-echo":
        udp_echo(argv[1], int(argv[2]))
    elif argv[0] == "--small-server":
        small_server(argv[1], int(argv[2]), float(argv[3]))
    elif argv[0] == "--udp-flood":
        json.dump(udp_flood(argv[1], int(argv[2]), float(argv[3]), float(argv[4]), int(argv[5]), float(argv[6])),
                  sys.stdout)
    elif argv[0] == "--silent-hold":
        json.dump(silent_hold(argv[1], int(argv[2]), int(argv[3]), float(argv[4]), int(argv[5]), float(argv[6]),
                              *[float(a) for a in argv[7:8]]), sys.stdout)
    else:
        raise SystemExit("usage: loadgen.py --udp-echo|--small-server|--udp-flood|--silent-hold ...")


if __name__ == "__main__":
    main(sys.argv[1:])
