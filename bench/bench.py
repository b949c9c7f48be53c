"""Benchmarks VEXAProxy against the relays an operator would pick instead, all on loopback inside the
private namespaces made by scripts/netns-run. Every figure is the median of RUNS runs; every run is
bounded in time. Writes docs/benchmarks.md and docs/benchmarks.png.

Run through bench/run.sh (`make bench`); BENCH_QUICK=1 shortens every run for a smoke test."""
import asyncio
import contextlib
import datetime
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))
import vexa  # noqa: E402
import loadgen  # noqa: E402

QUICK = os.environ.get("BENCH_QUICK") == "1"
RUNS = max(3, int(os.environ.get("BENCH_RUNS", "3")))
IPERF_S = 2 if QUICK else 5
WRK_S = 2 if QUICK else 5
DNS_S = 2 if QUICK else 5
# The small exchange: this many header-body-reply exchanges over one connection per run.
SMALL_N = int(os.environ.get("BENCH_SMALL_N", "200"))
SCALE_N = int(os.environ.get("BENCH_SCALE_N", "5000"))
# BENCH_ONLY=tcp,conn,udp,dns,scale,bulk runs some workloads only and prints them without rewriting the docs;
# freshdns, udpflood and silenttcp rewrite their own block of the docs whenever they run, and so do
# spoofudp, stucklookup and reconnecttcp (the attacks on the bounded tables) and small (the small exchange).
ONLY = set(filter(None, os.environ.get("BENCH_ONLY", "").split(",")))
# The client-table workloads. BENCH_ACCEPTANCE=1: fresh-port DNS for 600 s at 1000 q/s.
ACCEPTANCE = os.environ.get("BENCH_ACCEPTANCE") == "1"
FRESHDNS_S = int(os.environ.get("BENCH_FRESHDNS_S", 600 if ACCEPTANCE else 30 if QUICK else 60))
FRESHDNS_RATES = [int(r) for r in os.environ.get("BENCH_FRESHDNS_RATES", "1000" if ACCEPTANCE else "200,1000").split(",")]
UDPFLOOD_S = int(os.environ.get("BENCH_UDPFLOOD_S", 30 if QUICK else 60))
UDPFLOOD_RATE = int(os.environ.get("BENCH_UDPFLOOD_RATE", "1000"))
# Quick: 40 s, to see one sweep of the daemon's 30-second idle limit at least.
SILENTTCP_S = int(os.environ.get("BENCH_SILENTTCP_S", 40 if QUICK else 60))
SILENT_N = int(os.environ.get("BENCH_SILENT_N", "14000"))
# The daemon's task limit in these workloads (0: none); a pids cgroup, so that a daemon without
# bounds runs into its own limit and not into the machine's.
PIDS_MAX = int(os.environ.get("BENCH_PIDS_MAX", "1500"))
HAPROXY_MAXCONN = int(os.environ.get("BENCH_HAPROXY_MAXCONN", "9000"))
# The attacks on the bounded tables. spoofudp: a flood of spoofed sources beside devices that talk
# every second; stucklookup: a rule whose target name never resolves, each lookup hanging this long;
# reconnecttcp: silent clients that connect again the moment they are cut.
SPOOFUDP_S = int(os.environ.get("BENCH_SPOOFUDP_S", 30 if QUICK else 60))
SPOOFUDP_RATE = int(os.environ.get("BENCH_SPOOFUDP_RATE", "2000"))
SPOOF_DEVICES, SPOOF_BOUND = 20, 100
STUCK_LOOKUP_S = int(os.environ.get("BENCH_STUCK_LOOKUP_S", "5"))
STUCK_ROUNDS = int(os.environ.get("BENCH_STUCK_ROUNDS", "3"))
RECONNECTTCP_S = int(os.environ.get("BENCH_RECONNECTTCP_S", 30 if QUICK else 60))
RECONNECT_LOADS = [(300, 50), (SILENT_N, None)]   # (silent clients, the rule's MaxClients; None: the default)
TALK_HZ = 10
# Which column of the docs' "Bounded client tables" (and "Bounded tables under attack") these runs fill.
COLUMN = os.environ.get("BENCH_COLUMN", "after")
assert COLUMN in ("before", "after"), "BENCH_COLUMN is before or after"
PROBE_HZ = 5            # legitimate clients of each kind per second beside the UDP flood


# A pids cgroup for the daemon, limit tasks at most: cgroup v2 where its root offers the pids
# controller, else the v1 pids hierarchy; make gives None where neither can be written.
class PidsCgroup:
    def __init__(self, path, limit):
        self.path = path
        os.mkdir(path)
        try:
            self.set_limit(limit)
            self.procs_fd = os.open(os.path.join(path, "cgroup.procs"), os.O_WRONLY)
        except OSError:
            os.rmdir(path)  # no pids controller here: the next hierarchy may have one
            raise

    @staticmethod
    def make(name, limit):
        for root in ("/sys/fs/cgroup", "/sys/fs/cgroup/pids"):
            with contextlib.suppress(OSError):
                if root == "/sys/fs/cgroup":  # v2, if its root offers pids: handed to its children on request
                    with open(os.path.join(root, "cgroup.controllers")) as f:
                        if "pids" not in f.read().split():
                            continue
                    with open(os.path.join(root, "cgroup.subtree_control"), "w") as f:
                        f.write("+pids")
                elif not os.path.exists(os.path.join(root, "cgroup.procs")):
                    continue
                return PidsCgroup(os.path.join(root, name), limit)
        return None

    # For preexec_fn: the child enters the cgroup before it executes the daemon (a plain write:
    # nothing in the forked child may take a lock).
    def join(self):
        os.write(self.procs_fd, b"0")

    def describe(self):
        return "pids cgroup %s, pids.max %s" % ("v1" if "/pids/" in self.path else "v2", self.limit)

    def set_limit(self, limit):
        self.limit = limit
        with open(os.path.join(self.path, "pids.max"), "w") as f:
            f.write(str(limit))

    def _number(self, name, pattern=r"(\d+)"):
        with contextlib.suppress(OSError), open(os.path.join(self.path, name)) as f:
            m = re.search(pattern, f.read(), re.M)
            return int(m.group(1)) if m else None
        return None

    def tasks(self):
        return self._number("pids.current")

    # Forks and thread creations refused so far.
    def refused(self):
        return self._number("pids.events", r"^max (\d+)")

    # Once the daemon has ended: its tasks leave the cgroup a moment after it exits.
    def remove(self):
        os.close(self.procs_fd)
        for _ in range(100):
            with contextlib.suppress(OSError):
                return os.rmdir(self.path)
            time.sleep(0.1)


def wanted(workload):
    return not ONLY or workload in ONLY
SCALE_HOLD_S = 8 if QUICK else 20      # the daemon ends a connection 60 s after accepting it
SCALE_EVERY_S = 2 if QUICK else 5
# Bulk: the same held connections, each first moving this much each way through the relay in
# 64 KiB pieces, so that every receive buffer on the way has been filled at least once.
BULK_BYTES = int(os.environ.get("BENCH_BULK_KIB", "512")) * 1024
BULK_PIECE = 65536
WORK = "/tmp/vexa-bench"

BACKEND = "127.0.0.3"       # iperf3 server, web server, echo server
DNS_UP = "127.0.0.2"        # dnsmasq upstream, port 5353 (port 53 redirected to it)
DNS_FWD = "127.0.0.4"       # dnsmasq forwarding without cache, port 5354
LOCAL_NAME, LOCAL_IP = "local.bench", "10.1.2.3"
UP_NAME, UP_IP = "up.bench", "10.9.9.9"

# Listening ports of each relay per workload; the daemon listens on every address of its port.
PORTS = {
    "iperf": {"VEXAProxy": 10001, "haproxy": 10002, "rinetd": 10003, "socat": 10004, "nginx stream": 10005},
    "web": {"VEXAProxy": 11001, "haproxy": 11002, "rinetd": 11003, "nginx stream": 11005},
    "udp": {"VEXAProxy": 12001, "socat": 12004, "nginx stream": 12005},
    "echo": {"VEXAProxy": 13001, "haproxy": 13002},
    "small": {"VEXAProxy": 12101, "haproxy": 12102, "rinetd": 12103, "socat": 12104, "nginx stream": 12105},
}
IPERF_PORT, WEB_PORT, ECHO_PORT, UDP_ECHO_PORT, SMALL_PORT = 5201, 8000, 7000, 7001, 7002
# The client-table workloads' rules: silent clients, another TCP rule, a flooded and another UDP rule.
TABLE_PORTS = {"silent": 14001, "tcp_other": 14002, "flooded": 14003, "udp_other": 14004, "stuck": 14005}
HAPROXY_TABLE_PORTS = {"silent": 14011, "tcp_other": 14012}
# Source networks (127.N.0.0/16) of the loads, one per kind, apart from the 127.0.0.x of the servers.
NET_FRESHDNS, NET_FLOOD, NET_SILENT, NET_SPOOF, NET_DEVICES = 32, 64, 48, 80, 96
# stucklookup: the namespace's resolver asks STUCK_DNS:53, redirected to a port that swallows queries.
STUCK_NAME, STUCK_DNS, STUCK_DNS_PORT = "stuck.bench", "127.0.0.6", 5399

# The echo rule's bound: the held connections are more than its fair share of the budget.
DAEMON_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<VEXAProxy DNSSrv="%(up)s">
  <Port TypProt="TCP" PortLocal="%(p_iperf)d" PortRemote="%(iperf)d" IPRemote="%(be)s"/>
  <Port TypProt="TCP" PortLocal="%(p_web)d" PortRemote="%(web)d" IPRemote="%(be)s"/>
  <Port TypProt="UDP" PortLocal="%(p_udp)d" PortRemote="5353" IPRemote="%(up)s"/>
  <Port TypProt="TCP" PortLocal="%(p_echo)d" PortRemote="%(echo)d" IPRemote="%(be)s" MaxClients="%(n_echo)d"/>
  <Port TypProt="TCP" PortLocal="%(p_small)d" PortRemote="%(small)d" IPRemote="%(be)s"/>
  <DNS Name="%(lname)s" IP="%(lip)s"/>
</VEXAProxy>
""" % {"up": DNS_UP, "n_echo": SCALE_N + 1000, "be": BACKEND, "iperf": IPERF_PORT, "web": WEB_PORT, "echo": ECHO_PORT,
       "p_iperf": PORTS["iperf"]["VEXAProxy"], "p_web": PORTS["web"]["VEXAProxy"],
       "p_udp": PORTS["udp"]["VEXAProxy"], "p_echo": PORTS["echo"]["VEXAProxy"],
       "small": SMALL_PORT, "p_small": PORTS["small"]["VEXAProxy"], "lname": LOCAL_NAME, "lip": LOCAL_IP}


# The optional bounds of a daemon that knows them: BENCH_MAXCLIENTS=N on every rule of these
# workloads, BENCH_DNSMAXCLIENTS=N on the root element; unset, the daemon works its own out.
MAXCLIENTS = os.environ.get("BENCH_MAXCLIENTS", "")
DNSMAXCLIENTS = os.environ.get("BENCH_DNSMAXCLIENTS", "")


def tables_config(targets=None, **bounds):
    """The client-table rules; bounds: MaxClients of single rules (by TABLE_PORTS name) instead of
    BENCH_MAXCLIENTS; targets: IPRemote of single rules instead of the echo servers' address."""
    def rule(proto, name, target_port):
        bound = bounds.get(name) or MAXCLIENTS
        return '  <Port TypProt="%s" PortLocal="%d" PortRemote="%d" IPRemote="%s"%s/>\n' % (
            proto, TABLE_PORTS[name], target_port, (targets or {}).get(name, BACKEND),
            ' MaxClients="%s"' % bound if bound else "")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<VEXAProxy DNSSrv="%s"%s>\n' % (
                DNS_UP, ' DNSMaxClients="%s"' % DNSMAXCLIENTS if DNSMAXCLIENTS else "")
            + "".join(rule(proto, name, port) for proto, name, port in (
                ("TCP", "silent", ECHO_PORT), ("TCP", "tcp_other", ECHO_PORT), ("UDP", "flooded", UDP_ECHO_PORT),
                ("UDP", "udp_other", UDP_ECHO_PORT)) + (("TCP", "stuck", ECHO_PORT),) * ("stuck" in bounds))
            + '  <DNS Name="%s" IP="%s"/>\n</VEXAProxy>\n' % (LOCAL_NAME, LOCAL_IP))


TABLES_CONFIG = tables_config()


# Main-log lines that tell of a procedure that could not run or failed.
FAULT_LINE = re.compile(r"system_error|exception what|lock during|NOT added to pool|thread not complete")


def log(msg):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), msg), flush=True)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------- peers

class Proc:
    """A background process that is always ended, by its own id, when the block ends."""

    def __init__(self, name, argv, wait=None, **kw):
        self.name, self.argv, self.wait, self.kw = name, argv, wait, kw
        self.proc = None

    def __enter__(self):
        out = open(os.path.join(WORK, self.name.replace(" ", "_") + ".out"), "wb")
        self.proc = subprocess.Popen(self.argv, stdout=out, stderr=subprocess.STDOUT, **self.kw)
        out.close()
        if self.wait:
            wait_listen(*self.wait)
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def wait_listen(proto, addr, port, timeout=10):
    flag = "-Hltn" if proto == "tcp" else "-Hlun"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if subprocess.run(["ss", flag, "src", "%s:%d" % (addr, port)], capture_output=True).stdout.strip():
            return
        time.sleep(0.05)
    raise RuntimeError("nothing listens on %s %s:%d" % (proto, addr, port))


class LogLines:
    """Counts the lines of a log directory while it is being written. A file is counted once a newer
    one exists (the writer has moved on), long before the log's rotation, which keeps the newest 100
    files, can delete it; so lines of files rotated away during a long run are counted too."""

    def __init__(self, directory):
        self.dir, self.counted = directory, {}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _count(self, final):
        try:
            names = os.listdir(self.dir)
        except FileNotFoundError:
            return
        files = {int(m.group(1)): n for n in names for m in [re.match(r"C(\d+)\.log$", n)] if m}
        newest = max(files, default=0)
        for num, name in files.items():
            if num in self.counted or (num == newest and not final):
                continue
            try:
                with open(os.path.join(self.dir, name), "rb") as f:
                    self.counted[num] = sum(c.count(b"\n") for c in iter(lambda: f.read(1 << 20), b""))
            except FileNotFoundError:
                pass

    def _run(self):
        while not self.done.wait(0.5):
            self._count(False)

    def total(self):
        """Every line written; call once the daemon has stopped."""
        self.done.set()
        self.thread.join()
        self._count(True)
        return sum(self.counted.values())


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def haproxy_conf(scale=False, port=None, listens=None, maxconn=9000, idle_s=120, name="haproxy.cfg"):
    """listens: (name, port, target port) of each listener; by default the throughput, web and
    small-exchange listeners, or with scale one echo listener on port."""
    text = ("global\n  maxconn %d\n\ndefaults\n  mode tcp\n  maxconn %d\n  timeout connect 5s\n"
            "  timeout client %ds\n  timeout server %ds\n\n" % (maxconn, maxconn, idle_s, idle_s))
    if listens is None:
        kinds = (("echo", ECHO_PORT),) if scale else (("iperf", IPERF_PORT), ("web", WEB_PORT), ("small", SMALL_PORT))
        listens = [(kind, port or PORTS[kind]["haproxy"], target) for kind, target in kinds]
    for kind, lport, target in listens:
        text += "listen %s\n  bind 127.0.0.1:%d\n  server s1 %s:%d\n\n" % (kind, lport, BACKEND, target)
    return write(os.path.join(WORK, "haproxy-scale.cfg" if scale else name), text)


def rinetd_conf():
    return write(os.path.join(WORK, "rinetd.conf"),
                 "".join("127.0.0.1 %d %s %d\n" % (PORTS[kind]["rinetd"], BACKEND, target) for kind, target in (
                     ("iperf", IPERF_PORT), ("web", WEB_PORT), ("small", SMALL_PORT))))


def nginx_stream_conf():
    prefix = os.path.join(WORK, "nginx-stream")
    os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
    text = """load_module /usr/lib/nginx/modules/ngx_stream_module.so;
worker_processes auto;
worker_rlimit_nofile 19000;
pid %(p)s/nginx.pid;
error_log %(p)s/logs/error.log;
events { worker_connections 9000; }
stream {
  server { listen 127.0.0.1:%(iperf)d; proxy_pass %(be)s:%(ip)d; }
  server { listen 127.0.0.1:%(web)d; proxy_pass %(be)s:%(wp)d; }
  server { listen 127.0.0.1:%(small)d; proxy_pass %(be)s:%(sp)d; }
  server { listen 127.0.0.1:%(udp)d udp; proxy_pass %(up)s:5353; proxy_responses 1; proxy_timeout 10s; }
}
""" % {"p": prefix, "iperf": PORTS["iperf"]["nginx stream"], "web": PORTS["web"]["nginx stream"],
       "udp": PORTS["udp"]["nginx stream"], "be": BACKEND, "ip": IPERF_PORT, "wp": WEB_PORT, "up": DNS_UP,
       "small": PORTS["small"]["nginx stream"], "sp": SMALL_PORT}
    return prefix, write(os.path.join(prefix, "nginx.conf"), text)


def nginx_web_conf():
    prefix = os.path.join(WORK, "nginx-web")
    os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
    os.makedirs(os.path.join(prefix, "www"), exist_ok=True)
    write(os.path.join(prefix, "www", "small.html"), "<html><body>VEXAProxy bench</body></html>\n" * 4)
    text = """worker_processes 1;
worker_rlimit_nofile 19000;
pid %(p)s/nginx.pid;
error_log %(p)s/logs/error.log;
events { worker_connections 9000; }
http {
  access_log off;
  client_body_temp_path %(p)s/body;
  proxy_temp_path %(p)s/proxy;
  fastcgi_temp_path %(p)s/fastcgi;
  uwsgi_temp_path %(p)s/uwsgi;
  scgi_temp_path %(p)s/scgi;
  server { listen %(be)s:%(wp)d backlog=4096; root %(p)s/www; }
}
""" % {"p": prefix, "be": BACKEND, "wp": WEB_PORT}
    return prefix, write(os.path.join(prefix, "nginx.conf"), text)


def dnsmasq(addr, port, extra):
    return [shutil.which("dnsmasq") or "/usr/sbin/dnsmasq", "--keep-in-foreground", "--no-hosts",
            "--bind-interfaces", "--listen-address=" + addr, "--port=%d" % port, "--user=root",
            "--pid-file=", "--log-facility=/dev/null", "--dns-forward-max=1000"] + extra


def dns_redirect():
    subprocess.run(["nft", "-f", "-"], check=True, input=(
        "table ip vexa_bench {\n chain out {\n  type nat hook output priority -100;\n"
        "  ip daddr %s udp dport 53 dnat to %s:5353\n  ip daddr %s tcp dport 53 dnat to %s:5353\n }\n}\n"
        % (DNS_UP, DNS_UP, DNS_UP, DNS_UP)).encode())


# ---------------------------------------------------------------- workloads

def run_iperf(port, addr="127.0.0.1"):
    res = subprocess.run(["iperf3", "-c", addr, "-p", str(port), "-t", str(IPERF_S), "-J"],
                         capture_output=True, timeout=IPERF_S + 30)
    try:
        data = json.loads(res.stdout)
        return data["end"]["sum_received"]["bits_per_second"] / 1e9
    except (ValueError, KeyError):
        log("iperf3 failed: %s" % res.stdout[-300:])
        return None


UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def run_wrk(port, conns, addr="127.0.0.1"):
    url = "http://%s:%d/small.html" % (addr, port)
    res = subprocess.run(["wrk", "-t2", "-c%d" % conns, "-d%ds" % WRK_S, "--latency", "--timeout", "5s",
                          "-H", "Connection: close", url], capture_output=True, text=True, timeout=WRK_S + 30)
    out = res.stdout
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    errs = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    nerr = (sum(int(x) for x in errs.groups()) if errs else 0) + (int(non2xx.group(1)) if non2xx else 0)
    if not rps:
        log("wrk failed: %s %s" % (out[-300:], res.stderr[-300:]))
        return None, None, None
    return float(rps.group(1)), (float(p99.group(1)) * UNITS[p99.group(2)] if p99 else None), nerr


def run_small(addr, port):
    """One run of the small exchange: p50, p99, mean and worst of its exchanges, in ms, and how many
    took over 10 ms (an exchange that waited for a delayed acknowledgement)."""
    times, error = loadgen.small_exchange(addr, port, SMALL_N)
    if error:
        log("small exchange to %s:%d: %s" % (addr, port, error))
    return {"p50": median(times), "p99": loadgen.percentile(times, 0.99), "mean": statistics.mean(times) if times else None,
            "worst": max(times, default=None), "done": len(times), "slow": sum(t > 10 for t in times), "error": error}


def run_dnsperf(addr, port, name):
    qfile = os.path.join(WORK, "q-%s.txt" % name)
    write(qfile, "%s A\n" % name)
    res = subprocess.run(["dnsperf", "-s", addr, "-p", str(port), "-d", qfile, "-c", "10", "-l", str(DNS_S),
                          "-t", "2"], capture_output=True, text=True, timeout=DNS_S + 30)
    out = res.stdout
    qps = re.search(r"Queries per second:\s+([\d.]+)", out)
    sent = re.search(r"Queries sent:\s+(\d+)", out)
    lost = re.search(r"Queries lost:\s+(\d+)", out)
    noerr = re.search(r"NOERROR (\d+)", out)
    if not qps:
        log("dnsperf failed: %s %s" % (out[-300:], res.stderr[-300:]))
        return None, None, None, None
    return float(qps.group(1)), int(sent.group(1)), int(lost.group(1)), int(noerr.group(1)) if noerr else 0


def run_dns_tcp_fresh(addr, port, name, workers=8):
    """Queries over TCP, a new connection for each (as a stub resolver retries a truncated answer):
    answers per second over DNS_S seconds, and the connections that failed."""
    labels = b"".join(bytes([len(l)]) + l.encode() for l in name.split("."))
    msg = struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"
    query = struct.pack(">H", len(msg)) + msg
    done, failed = [0] * workers, [0] * workers
    stop = time.monotonic() + DNS_S

    def work(i):
        while time.monotonic() < stop:
            try:
                with socket.create_connection((addr, port), timeout=2) as s:
                    s.sendall(query)
                    data = b""
                    while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                        chunk = s.recv(4096)
                        if not chunk:
                            raise OSError("closed before the answer")
                        data += chunk
                done[i] += 1
            except OSError:
                failed[i] += 1

    threads = [threading.Thread(target=work, args=(i,)) for i in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(done) / DNS_S, sum(done), sum(failed)


def run_dnsperf_tcp(addr, port, name):
    """Many queries per connection: dnsperf over TCP with its 10 connections kept open."""
    qfile = os.path.join(WORK, "q-tcp-%s.txt" % name)
    write(qfile, "%s A\n" % name)
    res = subprocess.run(["dnsperf", "-m", "tcp", "-s", addr, "-p", str(port), "-d", qfile, "-c", "10",
                          "-l", str(DNS_S), "-t", "2"], capture_output=True, text=True, timeout=DNS_S + 30)
    qps = re.search(r"Queries per second:\s+([\d.]+)", res.stdout)
    sent = re.search(r"Queries sent:\s+(\d+)", res.stdout)
    lost = re.search(r"Queries lost:\s+(\d+)", res.stdout)
    if not qps:
        log("dnsperf -m tcp failed: %s %s" % (res.stdout[-300:], res.stderr[-300:]))
        return None, None, None
    return float(qps.group(1)), int(sent.group(1)), int(lost.group(1))


async def echo_handler(reader, writer):
    try:
        while True:
            data = await reader.read(BULK_PIECE)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


def echo_server_main(addr, port):
    loadgen.raise_nofile()

    async def main():
        server = await asyncio.start_server(echo_handler, addr, port, backlog=4096)
        async with server:
            await server.serve_forever()
    asyncio.run(main())


async def scale_client(port, pid, bulk):
    """SCALE_N connections, each echoing a numbered line at once and then every SCALE_EVERY_S seconds
    (also while the others are still being opened, so none sits idle), held SCALE_HOLD_S seconds
    once all are open. With bulk, each first sends BULK_BYTES in pieces, every piece echoed and
    checked before the next, and memory is read once the last piece has been quiet for 3 s."""
    piece = os.urandom(BULK_PIECE)
    stats = {"connected": 0, "ok": 0, "bad": 0, "errors": 0, "sent": 0, "bulk_ok": 0}
    held = asyncio.Event()
    hold_end = [0.0]
    settled = [0]

    def settle_one():
        settled[0] += 1
        if settled[0] == SCALE_N:
            held.set()

    async def one(i):
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 20)
        except (OSError, asyncio.TimeoutError):
            stats["errors"] += 1
            settle_one()
            return
        stats["connected"] += 1
        first = True
        try:
            for _ in range(bulk // BULK_PIECE):
                writer.write(piece)
                await writer.drain()
                got = await asyncio.wait_for(reader.readexactly(BULK_PIECE), 60)
                stats["bulk_ok" if got == piece else "bad"] += 1
            for r in range(100000):
                msg = b"conn %05d round %05d VEXAProxy scale check\n" % (i, r)
                writer.write(msg)
                await writer.drain()
                stats["sent"] += 1
                got = await asyncio.wait_for(reader.readexactly(len(msg)), 20)
                stats["ok" if got == msg else "bad"] += 1
                if first:
                    first = False
                    settle_one()
                if held.is_set() and time.monotonic() >= hold_end[0]:
                    break
                await asyncio.sleep(SCALE_EVERY_S)
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as e:
            stats["errors"] += 1
            kind = "err_" + type(e).__name__
            stats[kind] = stats.get(kind, 0) + 1
            if first:
                settle_one()
        finally:
            writer.close()

    t0 = time.monotonic()
    tasks = []
    for i in range(SCALE_N):
        tasks.append(asyncio.create_task(one(i)))
        if i % 250 == 249:
            await asyncio.sleep(0.05)
    await asyncio.wait_for(held.wait(), 120)
    # The daemon ends a connection 60 s after accepting it: a bulk run, longer to set up, holds less.
    hold_end[0] = time.monotonic() + (5 if bulk else SCALE_HOLD_S)
    setup_s = time.monotonic() - t0
    await asyncio.sleep(3 if bulk else min(2, SCALE_EVERY_S))
    held_status = loadgen.proc_status(pid)
    await asyncio.gather(*tasks)
    stats.update(setup_s=setup_s, rss_kib=held_status["rss_kib"], threads=held_status["threads"])
    return stats


def run_scale(port, pid, bulk=0):
    base = loadgen.proc_status(pid)
    base_rss, base_threads = base["rss_kib"], base["threads"]
    st = asyncio.run(scale_client(port, pid, bulk))
    st["base_rss_kib"], st["base_threads"] = base_rss, base_threads
    st["kib_per_conn"] = (st["rss_kib"] - base_rss) / max(1, st["connected"])
    return st


# ---------------------------------------------------------------- client tables

class Relay:
    """The relay of one run: its process, its pids cgroup and main log (the daemon's only), how its
    tasks or connections are bounded, and, once it has ended, how its stop went."""

    def __init__(self, name, pid, limit, cgroup=None, log_dir=None):
        self.name, self.pid, self.limit, self.cgroup, self.log_dir = name, pid, limit, cgroup, log_dir
        self.stop = None


@contextlib.contextmanager
def tables_daemon(run_name, config=TABLES_CONFIG):
    """A fresh daemon with the client-table rules (or config), in a pids cgroup of PIDS_MAX tasks
    entered before it executes. Stopped as the tests stop it, unless the run has stopped it already
    (relay.stop set); how that went is kept instead of failing the run."""
    cgroup = PidsCgroup.make("vexa-bench-%d-%s" % (os.getpid(), run_name), PIDS_MAX) if PIDS_MAX else None
    if cgroup:
        preexec, limit = cgroup.join, cgroup.describe()
    elif PIDS_MAX:
        preexec, limit = loadgen.nproc_limit(PIDS_MAX), "RLIMIT_NPROC %d (no pids cgroup usable; root ignores it)" % PIDS_MAX
    else:
        preexec, limit = None, "no task limit"
    daemon = vexa.Daemon(config, preexec_fn=preexec)
    try:
        daemon.start(listed=True)
        wait_listen("udp", "0.0.0.0", 53)
        relay = Relay("VEXAProxy", daemon.proc.pid, limit, cgroup, vexa.MAIN_LOG_DIR)
        relay.daemon = daemon
        yield relay
        if relay.stop is None:
            stop_daemon(relay)
    finally:
        daemon.kill()
        if cgroup:
            cgroup.remove()


def stop_daemon(relay):
    """SIGTERM; returns the seconds to the daemon's exit and keeps how the stop went."""
    t = time.monotonic()
    try:
        relay.daemon.stop(timeout=120)
        relay.stop = "stopped, exit 0"
    except AssertionError as e:
        relay.stop = str(e).splitlines()[0][:160]
    return time.monotonic() - t


def measure(relay, seconds, lead=1.0, watch=()):
    """The run's start (lead seconds from now, for the clients to get ready), its clients' figures
    and the sampler of the relay (watch: client addresses whose log lines it counts one by one)."""
    t0 = time.monotonic() + lead
    return t0, loadgen.Windows(t0), loadgen.Sampler(relay.pid, t0, seconds, relay.cgroup, relay.log_dir, watch)


def table_run(relay, windows, sampler, seconds, **extra):
    """One run's record: per 10-second window the clients' figures and the relay's resources (the
    sampler finished before the relay stopped)."""
    per_window, whole = windows.figures()
    resources = sampler.windows()
    rows = []
    for w in range(-(-seconds // loadgen.WINDOW_S)):
        row = {"t": w * loadgen.WINDOW_S, "kinds": per_window.get(w, {})}
        row.update(resources.get(w, {}))
        short = loadgen.WINDOW_S / min(loadgen.WINDOW_S, seconds - row["t"])   # a last window cut short
        for key in ("log_connect_s", "log_full_s", "log_other_s", "log_measured_s"):
            if row.get(key) is not None:
                row[key] *= short
        rows.append(row)
    tail = sampler.log
    cpu = [(s["t"], s["proc"]["cpu_s"]) for s in sampler.samples if s["proc"]]
    extra.update(relay=relay.name, limit=relay.limit, stop=relay.stop, windows=rows, whole=whole, seconds=seconds,
                 log_kinds=tail.kinds.most_common(8) if tail else [], budget=tail.budget if tail else None,
                 cpu_pct=100 * (cpu[-1][1] - cpu[0][1]) / (cpu[-1][0] - cpu[0][0]) if len(cpu) > 1 else None)
    return extra


def print_windows(run):
    log("%s %s %s (%s)%s" % (run["workload"], run["load"], run["relay"], run["limit"],
                             ", stop: %s" % run["stop"] if run["stop"] else ""))
    for row in run["windows"]:
        kinds = ", ".join("%s %s%% p99 %s ms" % (k, "%.1f" % v["served_pct"] if v["served_pct"] is not None else "-",
                                                 "%.1f" % v["p99_ms"] if v["p99_ms"] is not None else "-")
                          for k, v in sorted(row["kinds"].items()))
        log("  %4d s: %s; threads %s, fds %s, RSS %.1f MiB, tasks %s, refused %s, log other %s/s%s" % (
            row["t"], kinds, row.get("threads"), row.get("fds"), row.get("rss_mib") or 0, row.get("tasks"),
            row.get("refused"), "%.1f" % row["log_other_s"] if row.get("log_other_s") is not None else "-",
            ", silent open %d" % row["silent_open"] if "silent_open" in row else ""))


def run_freshdns(rate, relay_name, dnsmasq_fwd):
    """DNS queries, each from a source pair of its own, at `rate` a second, all of them for names
    the upstream answers (the forwarded path)."""
    if relay_name == "VEXAProxy":
        cm, dest = tables_daemon("freshdns%d" % rate), ("127.0.0.1", 53)
    else:
        cm = contextlib.nullcontext(Relay("dnsmasq", dnsmasq_fwd.proc.pid, "no task limit (one process, one thread)"))
        dest = (DNS_FWD, 5354)
    with cm as relay:
        t0, windows, sampler = measure(relay, FRESHDNS_S, lead=0.5)
        unsent = loadgen.fresh_dns(dest, rate, FRESHDNS_S, t0, "q%d." + UP_NAME, UP_IP, NET_FRESHDNS, windows)
        sampler.finish()
    return table_run(relay, windows, sampler, FRESHDNS_S, workload="freshdns", load="%d q/s" % rate, unsent=unsent)


def run_udpflood():
    """UDPFLOOD_RATE datagrams a second to one UDP rule, each from a new source pair, while new and
    known clients of the daemon's other services and of the flooded rule are measured."""
    local = "127.0.0.1"
    with tables_daemon("udpflood") as relay:
        known = loadgen.KnownUdpClient((local, TABLE_PORTS["flooded"]), b"known")
        t0, windows, sampler = measure(relay, UDPFLOOD_S)
        flood = subprocess.Popen([sys.executable, os.path.join(HERE, "loadgen.py"), "--udp-flood", local,
                                  str(TABLE_PORTS["flooded"]), str(UDPFLOOD_RATE), str(UDPFLOOD_S), str(NET_FLOOD),
                                  repr(t0)], stdout=subprocess.PIPE)
        loadgen.Clients({
            "tcp_new": loadgen.new_tcp_client((local, TABLE_PORTS["tcp_other"]), b"tcp"),
            "dns_new": loadgen.new_dns_client((local, 53), "n%d." + UP_NAME, UP_IP),
            "udp_other_new": loadgen.new_udp_client((local, TABLE_PORTS["udp_other"]), b"other"),
            "flooded_known": known,
            "flooded_new": loadgen.new_udp_client((local, TABLE_PORTS["flooded"]), b"new"),
        }, PROBE_HZ, t0, UDPFLOOD_S, windows).join()
        out, _ = flood.communicate(timeout=UDPFLOOD_S + 60)
        sampler.finish()
        known.close()
    return table_run(relay, windows, sampler, UDPFLOOD_S, workload="udpflood", load="%d datagrams/s" % UDPFLOOD_RATE,
                     flood=json.loads(out or b"{}"), known_opened=known.opened, probe_hz=PROBE_HZ)


def silent_load(relay, port, count, seconds, probes, hz, again=0.5):
    """`count` silent clients of one rule (loadgen.py --silent-hold, cut ones connecting again
    `again` seconds later) beside the measured clients `probes`, each `hz` times a second."""
    t0, windows, sampler = measure(relay, seconds)
    holder = subprocess.Popen([sys.executable, os.path.join(HERE, "loadgen.py"), "--silent-hold", "127.0.0.1",
                               str(port), str(count), str(seconds), str(NET_SILENT), repr(t0), repr(again)],
                              stdout=subprocess.PIPE)
    loadgen.Clients(probes, hz, t0, seconds, windows).join()
    out, _ = holder.communicate(timeout=seconds + 60)
    sampler.finish()
    return windows, sampler, json.loads(out or b"[]")


def add_silent(run, samples):
    """The silent clients' own samples, per window of the run."""
    closed = 0
    for row in run["windows"]:
        mine = [x for x in samples if row["t"] <= x["t"] < row["t"] + loadgen.WINDOW_S]
        if mine:
            row["silent_open"] = max(x["open"] for x in mine)
            row["silent_pending"] = max(x["pending"] for x in mine)
            row["silent_closed"] = mine[-1]["closed"] - closed
            closed = mine[-1]["closed"]
    run["silent_connects"] = samples[-1]["connects"] if samples else 0
    return run


def run_silenttcp(relay_name):
    """SILENT_N clients that connect to one rule and never send, with a talking client of the same
    rule and a client of another rule, each a new connection every second."""
    local = "127.0.0.1"
    with contextlib.ExitStack() as stack:
        if relay_name == "VEXAProxy":
            ports, relay = TABLE_PORTS, stack.enter_context(tables_daemon("silenttcp"))
        else:
            ports = HAPROXY_TABLE_PORTS
            conf = haproxy_conf(listens=[(k, p, ECHO_PORT) for k, p in ports.items()], maxconn=HAPROXY_MAXCONN,
                                idle_s=30, name="haproxy-tables.cfg")
            hp = stack.enter_context(Proc("haproxy-tables", ["haproxy", "-db", "-f", conf],
                                          wait=("tcp", local, ports["silent"])))
            relay = Relay("haproxy", hp.proc.pid, "maxconn %d, timeout client 30 s" % HAPROXY_MAXCONN)
        windows, sampler, samples = silent_load(relay, ports["silent"], SILENT_N, SILENTTCP_S, {
            "same_rule_new": loadgen.new_tcp_client((local, ports["silent"]), b"talk"),
            "other_rule_new": loadgen.new_tcp_client((local, ports["tcp_other"]), b"other"),
        }, 1)
    run = table_run(relay, windows, sampler, SILENTTCP_S, workload="silenttcp", load="%d silent clients" % SILENT_N)
    return add_silent(run, samples)


def run_reconnecttcp(count, bound):
    """`count` silent clients of one rule (MaxClients `bound`, or the default) that connect again the
    moment the relay cuts them, beside a talking client of the same rule TALK_HZ times a second."""
    port = TABLE_PORTS["silent"]
    with tables_daemon("reconnecttcp%d" % count, tables_config(silent=bound)) as relay:
        windows, sampler, samples = silent_load(relay, port, count, RECONNECTTCP_S, {
            "talk_new": loadgen.new_tcp_client(("127.0.0.1", port), b"talk")}, TALK_HZ, again=0)
    run = table_run(relay, windows, sampler, RECONNECTTCP_S, workload="reconnecttcp", probe_hz=TALK_HZ,
                    load="%d silent clients, %s" % (count, "MaxClients %d" % bound if bound else "default bound"))
    return add_silent(run, samples)


def run_spoofudp():
    """SPOOFUDP_RATE datagrams a second to a UDP rule of SPOOF_BOUND associations, each from a
    source (address, port) of its own that never reads the answer, beside SPOOF_DEVICES devices that
    each exchange a datagram with the rule's target every second from a fixed source."""
    port = TABLE_PORTS["flooded"]
    with tables_daemon("spoofudp", tables_config(flooded=SPOOF_BOUND)) as relay:
        devices = [loadgen.KnownUdpClient(("127.0.0.1", port), b"device%02d" % k,
                                          src=("127.%d.0.%d" % (NET_DEVICES, k + 1), loadgen.CLIENT_PORTS[k]),
                                          answer_s=0.9) for k in range(SPOOF_DEVICES)]
        opened = sum(d.opened for d in devices)
        t0, windows, sampler = measure(relay, SPOOFUDP_S, watch=[d.name for d in devices])
        flood = subprocess.Popen([sys.executable, os.path.join(HERE, "loadgen.py"), "--udp-flood", "127.0.0.1",
                                  str(port), str(SPOOFUDP_RATE), str(SPOOFUDP_S), str(NET_SPOOF), repr(t0)],
                                 stdout=subprocess.PIPE)
        # One kind for all devices: try k goes to device k mod n, so each talks once a second.
        loadgen.Clients({"device": lambda k: devices[k % len(devices)](k // len(devices))},
                        len(devices), t0, SPOOFUDP_S, windows).join()
        out, _ = flood.communicate(timeout=SPOOFUDP_S + 60)
        sampler.finish()
        for d in devices:
            d.close()
    watched = sampler.log.watched
    per_device = [{"lost": d.lost, "evicted": watched[d.name, "deleted because table full"],
                   "connects": watched[d.name, "connect"]} for d in devices]
    return table_run(relay, windows, sampler, SPOOFUDP_S, workload="spoofudp", load="%d sources/s" % SPOOFUDP_RATE,
                     flood=json.loads(out or b"{}"), devices=per_device, devices_opened=opened,
                     probe_hz=1, bound=SPOOF_BOUND)


class Swallower:
    """The namespace's DNS server for stucklookup: a UDP socket that takes queries and answers none,
    except while `answer` is set: then an A record of the echo servers' address."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((STUCK_DNS, STUCK_DNS_PORT))
        self.sock.settimeout(0.1)
        self.answer, self.done, self.times = threading.Event(), threading.Event(), []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done.is_set():
            try:
                data, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            self.times.append(time.monotonic())
            if self.answer.is_set() and len(data) > 12:
                end = data.index(b"\0", 12) + 5      # the question: the name, its type and class
                self.sock.sendto(data[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + data[12:end]
                                 + b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04"
                                 + socket.inet_aton(BACKEND), peer)

    def close(self):
        self.done.set()
        self.thread.join()
        self.sock.close()


@contextlib.contextmanager
def stuck_resolver():
    """The namespace's /etc/resolv.conf (an overlay of the host's) names STUCK_DNS, each lookup
    waiting STUCK_LOOKUP_S for an answer that never comes; port 53 there is redirected to the
    Swallower. Everything is put back afterwards."""
    path = "/etc/resolv.conf"
    link = os.readlink(path) if os.path.islink(path) else None
    old = None if link or not os.path.exists(path) else open(path, "rb").read()
    write(path + ".bench", "nameserver %s\noptions timeout:%d attempts:1\n" % (STUCK_DNS, STUCK_LOOKUP_S))
    os.replace(path + ".bench", path)           # replaces a symbolic link itself, never its target
    subprocess.run(["nft", "-f", "-"], check=True, input=(
        "table ip vexa_bench_stuck {\n chain out {\n  type nat hook output priority -100;\n"
        "  ip daddr %s udp dport 53 dnat to %s:%d\n }\n}\n" % (STUCK_DNS, STUCK_DNS, STUCK_DNS_PORT)).encode())
    swallower = Swallower()
    try:
        yield swallower
    finally:
        swallower.close()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_bench_stuck"], check=False)
        os.unlink(path)
        if link:
            os.symlink(link, path)
        elif old is not None:
            with open(path, "wb") as f:
                f.write(old)


class StuckClient:
    """A client of the stuck rule: connects, sends its request at once (talk), and with keep one more
    line every 0.3 s, reading the echoes. eof: when the relay closed it; every wait here is bounded."""

    def __init__(self, talk=True, keep=False):
        self.sock = socket.create_connection(("127.0.0.1", TABLE_PORTS["stuck"]), timeout=5)
        self.name = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.t, self.keep, self.eof, self.closed = time.monotonic(), keep, None, False
        self.echoed = threading.Event()
        if talk:
            self.sock.sendall(b"request\n")
        self.sock.settimeout(0.3)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.closed and time.monotonic() < self.t + 120:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                if self.keep:
                    self.sock.sendall(b"still here\n")
                continue
            except OSError:
                data = b""
            if not data:
                self.eof = None if self.closed else time.monotonic()
                return
            self.echoed.set()

    def close(self):
        self.closed = True
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)
        self.thread.join(5)
        self.sock.close()


def log_time(tail, text, since, timeout):
    """When a main-log line containing text was first read at or after since (time.monotonic()),
    polling the log every 10 ms; None if none came within timeout."""
    deadline = time.monotonic() + timeout
    while True:
        tail.read()
        hit = next((t for t, line in tail.lines if t >= since and text in line), None)
        if hit is not None or time.monotonic() > deadline:
            return hit
        time.sleep(0.01)


def wait_until(cond, timeout):
    deadline = time.monotonic() + timeout
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.02)
    return cond()


def stuck_round(relay, swallower):
    """One round on a fresh daemon whose stuck rule has MaxClients 2. (a) Two clients stuck in
    their lookups fill the rule; a third talks: how long until its "connect", and how long after the
    evicted one's lookup ended. (b) A healthy connection (its lookup
    answered) and a stuck one fill the rule; once the stuck one is evicted for a newcomer, the
    healthy one ends and one more client comes: how long until the next "connect". (c) With lookups
    pending, SIGTERM: how long the stop takes."""
    L = STUCK_LOOKUP_S

    def lookup_end(client):
        """No line marks the end of an evicted connection's lookup (its client was closed at the
        eviction): it is L after the lookup's query reached the Swallower."""
        return next((t for t in swallower.times if t >= client.t), client.t) + L

    tail = loadgen.MainLogTail(vexa.MAIN_LOG_DIR, keep=True)
    r, clients = {}, []
    try:
        # (a): a client counts as stuck once its lookup's query has reached the Swallower; before
        # that it is still silent to the rule, which would evict it first.
        queries = len(swallower.times)
        s1 = StuckClient()
        time.sleep(0.2)
        s2 = StuckClient()
        clients += [s1, s2]
        r["a_stuck"] = wait_until(lambda: len(swallower.times) >= queries + 2, 5)
        c1 = StuckClient()
        clients.append(c1)
        t_c1 = log_time(tail, c1.name + " connect", c1.t, 2 * L + 10)
        victim = next((s for s in (s1, s2) if log_time(tail, s.name + " deleted because table full", 0, 0)), None)
        r["a_wait_s"] = t_c1 - c1.t if t_c1 else None
        r["a_evicted"] = victim is not None
        if victim and t_c1:
            r["a_room_to_connect_s"] = t_c1 - lookup_end(victim)
        # Every lookup ends within L of its start: the rule is empty again.
        wait_until(lambda: all(c.eof for c in clients), 2 * L + 10)
        for c in clients:
            c.close()
        clients = []
        # (b)
        swallower.answer.set()
        x = StuckClient(keep=True)
        clients.append(x)
        r["b_healthy"] = x.echoed.wait(5)
        swallower.answer.clear()
        queries = len(swallower.times)
        s1 = StuckClient()
        r["b_stuck"] = wait_until(lambda: len(swallower.times) > queries, 5)
        c1 = StuckClient()
        clients += [s1, c1]
        t_evict = log_time(tail, s1.name + " deleted because table full", s1.t, L + 5)
        r["b_evicted"] = t_evict is not None
        x.close()
        t_room = time.monotonic()
        c2 = StuckClient()
        clients.append(c2)
        got = [log_time(tail, c.name + " connect", c.t, 2 * L + 10) for c in (c1, c2)]
        t_next = min((t for t in got if t and t >= t_room), default=None)
        r["b_room_to_connect_s"] = t_next - t_room if t_next else None
        r["b_before_lookup_end"] = t_next is not None and t_next < lookup_end(s1)
        # (c): the newcomers' lookups are pending now (each began when its client was taken).
        r["c_pending"] = sum(1 for t in got if t)
        r["c_stop_s"] = stop_daemon(relay)
        r["c_stop"] = relay.stop
    finally:
        for c in clients:
            c.close()
        tail.read()
        t_first = tail.lines[0][0] if tail.lines else 0
        write(os.path.join(WORK, "stucklookup-%d.log" % relay.pid), "".join(
            "%8.3f %s\n" % (t - t_first, line) for t, line in tail.lines))
    return r


def run_stucklookup():
    """STUCK_ROUNDS rounds of stuck_round, each on a fresh daemon."""
    rounds, t_start = [], time.monotonic()
    with stuck_resolver() as swallower:
        for k in range(STUCK_ROUNDS):
            with tables_daemon("stucklookup%d" % k, tables_config(targets={"stuck": STUCK_NAME}, stuck=2)) as relay:
                rounds.append(stuck_round(relay, swallower))
            log("stucklookup round %d: %s" % (k + 1, rounds[-1]))
        queries = len(swallower.times)
    return {"workload": "stucklookup", "load": "2 connections, lookups of %d s" % STUCK_LOOKUP_S, "relay": "VEXAProxy",
            "limit": relay.limit, "stop": relay.stop, "windows": [], "whole": {},
            "seconds": round(time.monotonic() - t_start), "log_kinds": [],
            "budget": None, "rounds": rounds, "lookup_s": STUCK_LOOKUP_S, "dns_queries": queries}


def run_tables(dnsmasq_fwd):
    """The client-table workloads that BENCH_ONLY asks for (all of them by default)."""
    plan = [(run_freshdns, rate, relay, dnsmasq_fwd) for rate in (FRESHDNS_RATES if wanted("freshdns") else ())
            for relay in ("VEXAProxy", "dnsmasq")]
    plan += [(run_udpflood,)] if wanted("udpflood") else []
    plan += [(run_silenttcp, relay) for relay in (("VEXAProxy", "haproxy") if wanted("silenttcp") else ())]
    plan += [(run_spoofudp,)] if wanted("spoofudp") else []
    plan += [(run_stucklookup,)] if wanted("stucklookup") else []
    plan += [(run_reconnecttcp, n, bound) for n, bound in (RECONNECT_LOADS if wanted("reconnecttcp") else ())]
    tables = {}
    for func, *args in plan:
        run = func(*args)
        print_windows(run)
        tables["%s|%s|%s" % (run["workload"], run["load"].split()[0], run["relay"])] = run
    return tables


# ---------------------------------------------------------------- the run

def machine_facts():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    versions = {}
    for pkg in ("iperf3", "haproxy", "rinetd", "socat", "nginx", "wrk", "dnsperf", "dnsmasq-base"):
        versions[pkg] = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True,
                                       text=True).stdout or "?"
    return {"cores": os.cpu_count(), "kernel": platform.release(), "cpu": model,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "versions": versions, "load": os.getloadavg()}


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--echo-server":
        return echo_server_main(sys.argv[2], int(sys.argv[3]))
    if len(sys.argv) == 3 and sys.argv[1] == "--report":
        with open(sys.argv[2]) as f:
            return write_report(json.load(f))
    assert vexa.in_private_namespaces(), "run bench/run.sh: the benchmark runs only inside scripts/netns-run"
    # 5,000 held connections need about 10,000 descriptors in the relay; the silent clients 14,000 here.
    loadgen.raise_nofile()
    # Client ports start above every listening port of the benchmark: a client port taken from
    # that range would keep a relay of a later workload from binding its own.
    for key, val in (("net/ipv4/ip_local_port_range", "16384 65000"), ("net/ipv4/tcp_tw_reuse", "1"),
                     ("net/core/somaxconn", "8192"), ("net/ipv4/tcp_max_syn_backlog", "8192")):
        try:
            write("/proc/sys/" + key, val)
        except OSError:
            pass
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    facts = machine_facts()
    t_start = time.monotonic()
    log("machine: %(cores)s cores, kernel %(kernel)s, %(cpu)s" % facts)
    res, tables, small = {}, {}, {}
    web_prefix, web_conf = nginx_web_conf()
    ngs_prefix, ngs_conf = nginx_stream_conf()
    dns_redirect()
    daemon = vexa.Daemon(DAEMON_CONFIG)
    try:
        with Proc("iperf3-server", ["iperf3", "-s", "-B", BACKEND, "-p", str(IPERF_PORT)],
                  wait=("tcp", BACKEND, IPERF_PORT)), \
             Proc("nginx-web", ["nginx", "-p", web_prefix, "-c", web_conf, "-g", "daemon off;"],
                  wait=("tcp", BACKEND, WEB_PORT)), \
             Proc("dnsmasq-up", dnsmasq(DNS_UP, 5353, ["--no-resolv", "--address=/%s/%s" % (LOCAL_NAME, LOCAL_IP),
                                                       "--address=/%s/%s" % (UP_NAME, UP_IP)]),
                  wait=("udp", DNS_UP, 5353)), \
             Proc("dnsmasq-fwd", dnsmasq(DNS_FWD, 5354, ["--no-resolv", "--cache-size=0",
                                                         "--server=%s#5353" % DNS_UP]),
                  wait=("udp", DNS_FWD, 5354)) as dnsmasq_fwd, \
             Proc("echo-server", [sys.executable, os.path.abspath(__file__), "--echo-server", BACKEND,
                                  str(ECHO_PORT)], wait=("tcp", BACKEND, ECHO_PORT)), \
             Proc("udp-echo-server", [sys.executable, os.path.join(HERE, "loadgen.py"), "--udp-echo", BACKEND,
                                      str(UDP_ECHO_PORT)], wait=("udp", BACKEND, UDP_ECHO_PORT)), \
             Proc("haproxy", ["haproxy", "-db", "-f", haproxy_conf()], wait=("tcp", "127.0.0.1", 10002)) , \
             Proc("rinetd", ["rinetd", "-f", "-c", rinetd_conf()], wait=("tcp", "127.0.0.1", 10003)), \
             Proc("socat-tcp", ["socat", "TCP4-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % PORTS["iperf"]["socat"],
                                "TCP4:%s:%d" % (BACKEND, IPERF_PORT)], wait=("tcp", "127.0.0.1", 10004)), \
             Proc("socat-small", ["socat", "TCP4-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % PORTS["small"]["socat"],
                                  "TCP4:%s:%d" % (BACKEND, SMALL_PORT)], wait=("tcp", "127.0.0.1", PORTS["small"]["socat"])), \
             Proc("socat-udp", ["socat", "-T", "10", "UDP4-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork"
                                % PORTS["udp"]["socat"], "UDP4:%s:5353" % DNS_UP],
                  wait=("udp", "127.0.0.1", 12004)), \
             Proc("nginx-stream", ["nginx", "-p", ngs_prefix, "-c", ngs_conf, "-g", "daemon off;"],
                  wait=("tcp", "127.0.0.1", 10005)):
            daemon.start()
            wait_listen("tcp", "0.0.0.0", PORTS["echo"]["VEXAProxy"])

            # 1. TCP throughput
            targets = [("direct", BACKEND, IPERF_PORT)] + [(k, "127.0.0.1", p) for k, p in PORTS["iperf"].items()]
            for name, addr, port in (targets if wanted("tcp") else []):
                vals = [run_iperf(port, addr) for _ in range(RUNS)]
                res[("tcp", name)] = {"value": median(vals), "runs": vals}
                log("iperf3 %-13s %s Gbit/s" % (name, ["%.2f" % v for v in vals if v is not None]))

            # 2. TCP connection rate and p99
            targets = [("direct", BACKEND, WEB_PORT)] + [(k, "127.0.0.1", p) for k, p in PORTS["web"].items()]
            for conns in ((50, 200) if wanted("conn") else ()):
                for name, addr, port in targets:
                    runs = [run_wrk(port, conns, addr) for _ in range(RUNS)]
                    res[("conn%d" % conns, name)] = {
                        "value": median([r[0] for r in runs]), "p99": median([r[1] for r in runs]),
                        "errors": sum(r[2] or 0 for r in runs), "runs": [r[0] for r in runs]}
                    log("wrk -c%d %-13s %s conn/s, p99 %s ms, errors %d" % (
                        conns, name, [r[0] for r in runs], [r[1] for r in runs], res[("conn%d" % conns, name)]["errors"]))

            # 3. UDP request/response
            targets = [("direct", DNS_UP, 5353)] + [(k, "127.0.0.1", p) for k, p in PORTS["udp"].items()]
            for name, addr, port in (targets if wanted("udp") else []):
                runs = [run_dnsperf(addr, port, UP_NAME) for _ in range(RUNS)]
                res[("udp", name)] = {"value": median([r[0] for r in runs]), "runs": [r[0] for r in runs],
                                      "lost": sum(r[2] or 0 for r in runs), "sent": sum(r[1] or 0 for r in runs)}
                log("dnsperf udp %-13s %s q/s, lost %d of %d" % (name, [r[0] for r in runs],
                                                                  res[("udp", name)]["lost"], res[("udp", name)]["sent"]))

            # 4. Small exchange: one connection of header-body-reply exchanges, a server for the workload.
            targets = [("direct", BACKEND, SMALL_PORT)] + [(k, "127.0.0.1", p) for k, p in PORTS["small"].items()]
            with (Proc("small-server", [sys.executable, os.path.join(HERE, "loadgen.py"), "--small-server", BACKEND,
                                        str(SMALL_PORT), "600"], wait=("tcp", BACKEND, SMALL_PORT))
                  if wanted("small") else contextlib.nullcontext()):
                for name, addr, port in (targets if wanted("small") else []):
                    runs = [run_small(addr, port) for _ in range(RUNS)]
                    small[name] = dict({k: median([r[k] for r in runs]) for k in ("p50", "p99", "mean", "worst")},
                                       runs=runs)
                    log("small %-13s p50 %s ms, p99 %s ms" % (name, ["%.3f" % r["p50"] for r in runs if r["p50"]],
                                                             ["%.3f" % r["p99"] for r in runs if r["p99"]]))

            daemon.stop()

            # 5. DNS relay: local answers and forwarded queries. Every datagram must reach the DNS log:
            # a fresh daemon per run (its logs start empty), whose stop writes out every queued line.
            for key, name, addr, port, per_query in (
                    ("dns_local", "VEXAProxy", "127.0.0.1", 53, 2), ("dns_local", "dnsmasq", DNS_UP, 5353, 0),
                    ("dns_fwd", "VEXAProxy", "127.0.0.1", 53, 4), ("dns_fwd", "dnsmasq", DNS_FWD, 5354, 0))[
                    :4 if wanted("dns") else 0]:
                qname = LOCAL_NAME if key == "dns_local" else UP_NAME
                runs, lines = [], 0
                for _ in range(RUNS):
                    if per_query:
                        daemon = vexa.Daemon(DAEMON_CONFIG)
                        daemon.start()
                        wait_listen("udp", "0.0.0.0", 53)
                        counter = LogLines(vexa.DNS_LOG_DIR)
                    runs.append(run_dnsperf(addr, port, qname))
                    if per_query:
                        daemon.stop(timeout=120)
                        lines += counter.total()
                entry = {"value": median([r[0] for r in runs]), "runs": [r[0] for r in runs],
                         "lost": sum(r[2] or 0 for r in runs), "sent": sum(r[1] or 0 for r in runs),
                         "noerror": sum(r[3] or 0 for r in runs)}
                if per_query:
                    entry["log_expected"] = per_query * entry["sent"]
                    entry["log_lines"] = lines
                res[(key, name)] = entry
                log("dnsperf %s %-10s %s q/s, lost %d of %d, NOERROR %d%s" % (
                    key, name, entry["runs"], entry["lost"], entry["sent"], entry["noerror"],
                    ", DNS log %d of %d lines" % (lines, entry["log_expected"])
                    if per_query else ""))

            # 5b. DNS over TCP, local and forwarded names: a new connection per query, and many queries
            # per connection; VEXAProxy (a fresh daemon, whose DNS log is counted) beside dnsmasq.
            for key, name, addr, port in (
                    ("dns_tcp_local", "VEXAProxy", "127.0.0.1", 53), ("dns_tcp_local", "dnsmasq", DNS_UP, 5353),
                    ("dns_tcp_fwd", "VEXAProxy", "127.0.0.1", 53), ("dns_tcp_fwd", "dnsmasq", DNS_FWD, 5354))[
                    :4 if wanted("dns_tcp") else 0]:
                qname = LOCAL_NAME if key == "dns_tcp_local" else UP_NAME
                ours = name == "VEXAProxy"
                if ours:
                    daemon = vexa.Daemon(DAEMON_CONFIG)
                    daemon.start()
                    wait_listen("tcp", "0.0.0.0", 53)
                    counter = LogLines(vexa.DNS_LOG_DIR)
                fresh = run_dns_tcp_fresh(addr, port, qname)
                many = run_dnsperf_tcp(addr, port, qname)
                entry = {"fresh_qps": fresh[0], "fresh_done": fresh[1], "fresh_failed": fresh[2],
                         "many_qps": many[0], "many_sent": many[1], "many_lost": many[2]}
                if ours:
                    daemon.stop(timeout=120)
                    entry["log_lines"] = counter.total()
                res[(key, name)] = entry
                log("dns_tcp %s %-10s new connection per query %s q/s (%s failed), 10 connections %s q/s "
                    "(lost %s of %s)%s" % (key[8:], name, "%.0f" % fresh[0], fresh[2],
                                           "%.0f" % many[0] if many[0] else None, many[2], many[1],
                                           ", DNS log %d lines" % entry["log_lines"] if ours else ""))

            # 6. Scale: a fresh daemon per run so that its pool starts from nothing; then the same with bulk
            for key, name in [(k, n) for k in ("scale", "bulk") if wanted(k) for n in ("VEXAProxy", "haproxy")]:
                bulk = BULK_BYTES if key == "bulk" else 0
                runs = []
                for run in range(RUNS):
                    if name == "VEXAProxy":
                        daemon = vexa.Daemon(DAEMON_CONFIG)
                        daemon.start()
                        wait_listen("tcp", "0.0.0.0", PORTS["echo"]["VEXAProxy"])
                        st = run_scale(PORTS["echo"][name], daemon.proc.pid, bulk)
                        daemon.stop(timeout=120)
                        st["log_faults"] = sum(1 for l in daemon.main() if FAULT_LINE.search(l))
                    else:
                        # A port of its own per run: the last run's connections may still hold the old one.
                        port = PORTS["echo"]["haproxy"] + 10 * run + (100 if bulk else 0)
                        with Proc("haproxy-scale", ["haproxy", "-db", "-f", haproxy_conf(scale=True, port=port)],
                                  wait=("tcp", "127.0.0.1", port)) as hs:
                            st = run_scale(port, hs.proc.pid, bulk)
                    runs.append(st)
                    log("%s %-10s %s" % (key, name, st))
                res[(key, name)] = {
                    "value": median([r["kib_per_conn"] for r in runs]),
                    "connected": min(r["connected"] for r in runs), "errors": sum(r["errors"] for r in runs),
                    "bad": sum(r["bad"] for r in runs), "ok": sum(r["ok"] for r in runs),
                    "sent": sum(r["sent"] for r in runs), "threads": median([r["threads"] for r in runs]),
                    "rss_mib": median([r["rss_kib"] for r in runs]) / 1024.0,
                    "setup_s": median([r["setup_s"] for r in runs]), "runs": [r["kib_per_conn"] for r in runs],
                    "log_faults": sum(r.get("log_faults", 0) for r in runs), "n": SCALE_N,
                    "bulk_ok": sum(r["bulk_ok"] for r in runs), "bulk_kib": bulk // 1024}

            # 7. Client tables: fresh-port DNS, a UDP flood, silent TCP clients
            tables = run_tables(dnsmasq_fwd)
    finally:
        daemon.kill()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_bench"], check=False)
    facts["minutes"] = (time.monotonic() - t_start) / 60.0
    facts["load_end"] = os.getloadavg()
    # The daemon's sources measured: the last commit outside bench/ and docs/.
    commit = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %cs", "--", ".", ":!bench", ":!docs"],
                            capture_output=True, text=True).stdout.strip()
    for run in tables.values():
        run.update(date=facts["date"], quick=QUICK, commit=commit, cores=facts["cores"])
    saved = {"res": {"|".join(k): v for k, v in res.items()}, "tables": tables, "small": small, "commit": commit,
             "facts": facts, "quick": QUICK, "runs": RUNS,
             "params": {"iperf_s": IPERF_S, "wrk_s": WRK_S, "dns_s": DNS_S, "scale_n": SCALE_N,
                        "scale_hold_s": SCALE_HOLD_S, "scale_every_s": SCALE_EVERY_S,
                        "bulk_kib": BULK_BYTES // 1024}}
    with open(os.path.join(WORK, "results.json"), "w") as f:
        json.dump(saved, f, indent=1)
    if not ONLY:
        write_report(saved)
    if tables:
        import report
        report.write_tables(ROOT, COLUMN, tables)
    if small:
        import report
        report.write_small(ROOT, saved)


def write_report(saved):
    """Also reachable as `bench.py --report FILE` to redo the table and chart from saved results."""
    import report
    res = {tuple(k.split("|")): v for k, v in saved["res"].items()}
    report.write_all(res, saved["facts"], ROOT, saved["quick"], saved["runs"], saved["params"])
    if saved.get("small"):
        report.write_small(ROOT, saved)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    main()
