"""Benchmarks VEXAProxy against the relays an operator would pick instead, all on loopback inside the
private namespaces made by scripts/netns-run. Every figure is the median of RUNS runs; every run is
bounded in time. Writes docs/benchmarks.md and docs/benchmarks.png.

Run through bench/run.sh (`make bench`); BENCH_QUICK=1 shortens every run for a smoke test."""
import asyncio
import datetime
import json
import os
import platform
import re
import shutil
import signal
import statistics
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
SCALE_N = int(os.environ.get("BENCH_SCALE_N", "5000"))
# BENCH_ONLY=tcp,conn,udp,dns,scale runs some workloads only and prints them without rewriting the docs.
ONLY = set(filter(None, os.environ.get("BENCH_ONLY", "").split(",")))


def wanted(workload):
    return not ONLY or workload in ONLY
SCALE_HOLD_S = 8 if QUICK else 20      # the daemon ends a connection 60 s after accepting it
SCALE_EVERY_S = 2 if QUICK else 5
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
}
IPERF_PORT, WEB_PORT, ECHO_PORT = 5201, 8000, 7000

DAEMON_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<VEXAProxy DNSSrv="%(up)s">
  <Port TypProt="TCP" PortLocal="%(p_iperf)d" PortRemote="%(iperf)d" IPRemote="%(be)s"/>
  <Port TypProt="TCP" PortLocal="%(p_web)d" PortRemote="%(web)d" IPRemote="%(be)s"/>
  <Port TypProt="UDP" PortLocal="%(p_udp)d" PortRemote="5353" IPRemote="%(up)s"/>
  <Port TypProt="TCP" PortLocal="%(p_echo)d" PortRemote="%(echo)d" IPRemote="%(be)s"/>
  <DNS Name="%(lname)s" IP="%(lip)s"/>
</VEXAProxy>
""" % {"up": DNS_UP, "be": BACKEND, "iperf": IPERF_PORT, "web": WEB_PORT, "echo": ECHO_PORT,
       "p_iperf": PORTS["iperf"]["VEXAProxy"], "p_web": PORTS["web"]["VEXAProxy"],
       "p_udp": PORTS["udp"]["VEXAProxy"], "p_echo": PORTS["echo"]["VEXAProxy"],
       "lname": LOCAL_NAME, "lip": LOCAL_IP}


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


def haproxy_conf(scale=False, port=None):
    text = ("global\n  maxconn 9000\n\ndefaults\n  mode tcp\n  maxconn 9000\n  timeout connect 5s\n"
            "  timeout client 120s\n  timeout server 120s\n\n")
    kinds = (("echo", ECHO_PORT),) if scale else (("iperf", IPERF_PORT), ("web", WEB_PORT))
    for kind, target in kinds:
        text += ("listen %s\n  bind 127.0.0.1:%d\n  server s1 %s:%d\n\n"
                 % (kind, port or PORTS[kind]["haproxy"], BACKEND, target))
    return write(os.path.join(WORK, "haproxy-scale.cfg" if scale else "haproxy.cfg"), text)


def rinetd_conf():
    return write(os.path.join(WORK, "rinetd.conf"),
                 "127.0.0.1 %d %s %d\n127.0.0.1 %d %s %d\n" % (
                     PORTS["iperf"]["rinetd"], BACKEND, IPERF_PORT, PORTS["web"]["rinetd"], BACKEND, WEB_PORT))


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
  server { listen 127.0.0.1:%(udp)d udp; proxy_pass %(up)s:5353; proxy_responses 1; proxy_timeout 10s; }
}
""" % {"p": prefix, "iperf": PORTS["iperf"]["nginx stream"], "web": PORTS["web"]["nginx stream"],
       "udp": PORTS["udp"]["nginx stream"], "be": BACKEND, "ip": IPERF_PORT, "wp": WEB_PORT, "up": DNS_UP}
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
        "  ip daddr %s udp dport 53 dnat to %s:5353\n }\n}\n" % (DNS_UP, DNS_UP)).encode())


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


async def echo_handler(reader, writer):
    try:
        while True:
            data = await reader.read(4096)
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


async def scale_client(port, pid):
    """SCALE_N connections, each echoing a numbered line at once and then every SCALE_EVERY_S seconds
    (also while the others are still being opened, so none sits idle), held SCALE_HOLD_S seconds
    once all are open."""
    stats = {"connected": 0, "ok": 0, "bad": 0, "errors": 0, "sent": 0}
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
    hold_end[0] = time.monotonic() + SCALE_HOLD_S
    setup_s = time.monotonic() - t0
    await asyncio.sleep(min(2, SCALE_EVERY_S))
    held_status = loadgen.proc_status(pid)
    await asyncio.gather(*tasks)
    stats.update(setup_s=setup_s, rss_kib=held_status["rss_kib"], threads=held_status["threads"])
    return stats


def run_scale(port, pid):
    base = loadgen.proc_status(pid)
    base_rss, base_threads = base["rss_kib"], base["threads"]
    st = asyncio.run(scale_client(port, pid))
    st["base_rss_kib"], st["base_threads"] = base_rss, base_threads
    st["kib_per_conn"] = (st["rss_kib"] - base_rss) / max(1, st["connected"])
    return st


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
    res = {}
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
                  wait=("udp", DNS_FWD, 5354)), \
             Proc("echo-server", [sys.executable, os.path.abspath(__file__), "--echo-server", BACKEND,
                                  str(ECHO_PORT)], wait=("tcp", BACKEND, ECHO_PORT)), \
             Proc("haproxy", ["haproxy", "-db", "-f", haproxy_conf()], wait=("tcp", "127.0.0.1", 10002)) , \
             Proc("rinetd", ["rinetd", "-f", "-c", rinetd_conf()], wait=("tcp", "127.0.0.1", 10003)), \
             Proc("socat-tcp", ["socat", "TCP4-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % PORTS["iperf"]["socat"],
                                "TCP4:%s:%d" % (BACKEND, IPERF_PORT)], wait=("tcp", "127.0.0.1", 10004)), \
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

            daemon.stop()

            # 4. DNS relay: local answers and forwarded queries. Every datagram must reach the DNS log:
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

            # 5. Scale: a fresh daemon per run so that its pool starts from nothing
            for name in (("VEXAProxy", "haproxy") if wanted("scale") else ()):
                runs = []
                for run in range(RUNS):
                    if name == "VEXAProxy":
                        daemon = vexa.Daemon(DAEMON_CONFIG)
                        daemon.start()
                        wait_listen("tcp", "0.0.0.0", PORTS["echo"]["VEXAProxy"])
                        st = run_scale(PORTS["echo"][name], daemon.proc.pid)
                        daemon.stop(timeout=120)
                        st["log_faults"] = sum(1 for l in daemon.main() if FAULT_LINE.search(l))
                    else:
                        # A port of its own per run: the last run's connections may still hold the old one.
                        port = PORTS["echo"]["haproxy"] + 10 * run
                        with Proc("haproxy-scale", ["haproxy", "-db", "-f", haproxy_conf(scale=True, port=port)],
                                  wait=("tcp", "127.0.0.1", port)) as hs:
                            st = run_scale(port, hs.proc.pid)
                    runs.append(st)
                    log("scale %-10s %s" % (name, st))
                res[("scale", name)] = {
                    "value": median([r["kib_per_conn"] for r in runs]),
                    "connected": min(r["connected"] for r in runs), "errors": sum(r["errors"] for r in runs),
                    "bad": sum(r["bad"] for r in runs), "ok": sum(r["ok"] for r in runs),
                    "sent": sum(r["sent"] for r in runs), "threads": median([r["threads"] for r in runs]),
                    "rss_mib": median([r["rss_kib"] for r in runs]) / 1024.0,
                    "setup_s": median([r["setup_s"] for r in runs]), "runs": [r["kib_per_conn"] for r in runs],
                    "log_faults": sum(r.get("log_faults", 0) for r in runs), "n": SCALE_N}
    finally:
        daemon.kill()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_bench"], check=False)
    facts["minutes"] = (time.monotonic() - t_start) / 60.0
    facts["load_end"] = os.getloadavg()
    saved = {"res": {"|".join(k): v for k, v in res.items()}, "facts": facts, "quick": QUICK, "runs": RUNS,
             "params": {"iperf_s": IPERF_S, "wrk_s": WRK_S, "dns_s": DNS_S, "scale_n": SCALE_N,
                        "scale_hold_s": SCALE_HOLD_S, "scale_every_s": SCALE_EVERY_S}}
    with open(os.path.join(WORK, "results.json"), "w") as f:
        json.dump(saved, f, indent=1)
    if not ONLY:
        write_report(saved)


def write_report(saved):
    """Also reachable as `bench.py --report FILE` to redo the table and chart from saved results."""
    import report
    res = {tuple(k.split("|")): v for k, v in saved["res"].items()}
    report.write_all(res, saved["facts"], ROOT, saved["quick"], saved["runs"], saved["params"])


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    main()
