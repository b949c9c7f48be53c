"""Profiles the daemon under one workload with perf: the relay's own samples only (perf record -p),
with call graphs, while dnsperf drives it. Run inside scripts/netns-run:

    VEXAPROXY_BIN=$PWD/build/release/vexaproxy scripts/netns-run /usr/bin/python3 bench/profile.py \\
        dns_fwd /tmp/prof-dns [seconds]

Workloads: dns_fwd (names the relay forwards to its server), dns_local (a name it answers itself),
udp (a UDP rule in front of a DNS server), udp_echo (a UDP echo rule: every datagram comes back
with a dump line in the main log) conn (wrk, 50 connections each asking one page through a TCP
rule in front of nginx and closing) and tcp (one iperf3 stream through a TCP rule). Writes perf.data, report.txt (the top symbols, self time) and
summary.txt (dnsperf's figures and the DNS log's lines against the datagrams) into the directory.
The profile counts cpu-clock samples: this machine's virtual CPUs have no hardware counters."""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "system"))
import vexa  # noqa: E402
import bench  # noqa: E402

UDP_PORT, ECHO_PORT, WEB_PORT, IPERF_PORT = 12001, 12010, 11001, 10001
CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<VEXAProxy DNSSrv="%(up)s">
  <Port TypProt="TCP" PortLocal="%(web)d" PortRemote="%(be_web)d" IPRemote="%(be)s"/>
  <Port TypProt="TCP" PortLocal="%(iperf)d" PortRemote="%(be_iperf)d" IPRemote="%(be)s"/>
  <Port TypProt="UDP" PortLocal="%(udp)d" PortRemote="5353" IPRemote="%(up)s"/>
  <Port TypProt="UDP" PortLocal="%(echo)d" Echo="0"/>
  <DNS Name="%(lname)s" IP="%(lip)s"/>
</VEXAProxy>
""" % {"up": bench.DNS_UP, "web": WEB_PORT, "be_web": bench.WEB_PORT, "iperf": IPERF_PORT, "be_iperf": bench.IPERF_PORT, "be": bench.BACKEND, "udp": UDP_PORT, "echo": ECHO_PORT, "lname": bench.LOCAL_NAME, "lip": bench.LOCAL_IP}

# port the load goes to, name asked, DNS log records per query
WORKLOADS = {
    "dns_fwd": (53, bench.UP_NAME, 4),
    "dns_local": (53, bench.LOCAL_NAME, 2),
    "udp": (UDP_PORT, bench.UP_NAME, 0),
    "udp_echo": (ECHO_PORT, bench.UP_NAME, 0),
    "conn": (WEB_PORT, None, 0),
    "tcp": (IPERF_PORT, None, 0),
}


def switches_and_cpu(pid):
    """Context switches of all the daemon's threads (those alive now) and its CPU seconds so far."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                total += sum(int(l.split()[1]) for l in f if "ctxt_switches:" in l)
        except OSError:
            pass
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return total, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    workload, out = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    port, qname, per_query = WORKLOADS[workload]
    assert vexa.in_private_namespaces(), "run inside scripts/netns-run"
    os.makedirs(out, exist_ok=True)
    os.makedirs(bench.WORK, exist_ok=True)
    bench.dns_redirect()
    upstream = subprocess.Popen(bench.dnsmasq(bench.DNS_UP, 5353, [
        "--no-resolv", "--address=/%s/%s" % (bench.LOCAL_NAME, bench.LOCAL_IP),
        "--address=/%s/%s" % (bench.UP_NAME, bench.UP_IP)]))
    web_prefix, web_conf = bench.nginx_web_conf()
    web = subprocess.Popen(["nginx", "-p", web_prefix, "-c", web_conf, "-g", "daemon off;"])
    iperf = subprocess.Popen(["iperf3", "-s", "-B", bench.BACKEND, "-p", str(bench.IPERF_PORT)],
                             stdout=subprocess.DEVNULL)
    daemon = vexa.Daemon(CONFIG)
    try:
        bench.wait_listen("udp", bench.DNS_UP, 5353)
        daemon.start(listed=True)
        bench.wait_listen("udp", "0.0.0.0", 53)
        qfile = os.path.join(bench.WORK, "profile-q.txt")
        bench.write(qfile, "%s A\n" % qname)
        counter = bench.LogLines(vexa.DNS_LOG_DIR)
        warmup, warm_sent = int(os.environ.get("PROFILE_WARMUP", "0")), 0
        if warmup and workload == "conn":
            bench.WRK_S = warmup
            bench.run_wrk(port, 50)
        elif warmup and qname is not None:
            warm = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", qfile, "-c", "10",
                                   "-l", str(warmup), "-t", "2"], capture_output=True, text=True)
            m = re.search(r"Queries sent:\s+(\d+)", warm.stdout)
            warm_sent = int(m.group(1)) if m else 0
        # PROFILE_EVENT=sched:sched_switch shows where the daemon's threads give up the CPU.
        event = os.environ.get("PROFILE_EVENT", "cpu-clock")
        rate = ["-F", "999"] if event == "cpu-clock" else []
        # PROFILE_CALLGRAPH=dwarf unwinds through the C library, which has no frame pointers.
        graph = ["--call-graph", os.environ["PROFILE_CALLGRAPH"]] if os.environ.get("PROFILE_CALLGRAPH") else ["-g"]
        perf = subprocess.Popen(["perf", "record", "-q", "-e", event, *rate, *graph, "-p",
                                 str(daemon.proc.pid), "-o", os.path.join(out, "perf.data"), "--",
                                 "sleep", str(seconds)], stdout=subprocess.DEVNULL)
        # The system calls of the daemon's threads, those created during the run included (checked
        # against /proc). PROFILE_WARMUP seconds of the same load first show the steady state, with
        # the pool's workers grown.
        stat_file = os.path.join(out, "stat.txt")
        stat = subprocess.Popen(["perf", "stat", "-x", ",", "-o", stat_file, "-e",
                                 "context-switches,raw_syscalls:sys_enter,syscalls:sys_enter_futex", "-p",
                                 str(daemon.proc.pid), "--", "sleep", str(seconds)], stdout=subprocess.DEVNULL)
        time.sleep(0.2)
        sw0, cpu0 = switches_and_cpu(daemon.proc.pid)
        if workload == "tcp":
            bench.IPERF_S = seconds
            gbits = bench.run_iperf(port)
            # "per request" below is then per MiB relayed
            load = subprocess.CompletedProcess([], 0, "Queries per second: %s\n" % (gbits * 1e9 / 8 / 2**20))
        elif qname is None:
            bench.WRK_S = seconds
            rate, p99, errors = bench.run_wrk(port, 50)
            load = subprocess.CompletedProcess([], 0, "Queries per second: %s\nwrk p99 %s ms, errors %s\n" % (
                rate, p99, errors))
        else:
            load = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", qfile, "-c", "10",
                                   "-l", str(seconds), "-t", "2"], capture_output=True, text=True)
        sw1, cpu1 = switches_and_cpu(daemon.proc.pid)
        perf.wait()
        stat.wait()
        daemon.stop(timeout=120)
        lines = counter.total()
    finally:
        daemon.kill()
        for p in (web, iperf):
            p.terminate()
            p.wait()
        upstream.terminate()
        upstream.wait()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_bench"], check=False)
    figures = {k: re.search(p, load.stdout) for k, p in (
        ("sent", r"Queries sent:\s+(\d+)"), ("completed", r"Queries completed:\s+(\d+)"),
        ("lost", r"Queries lost:\s+(\d+)"), ("qps", r"Queries per second:\s+([\d.]+)"))}
    summary = ["workload %s, %d s, %s" % (workload, seconds, vexa.BIN)]
    summary += ["%s %s" % (k, m.group(1) if m else "?") for k, m in figures.items()]
    summary += [l for l in load.stdout.splitlines() if l.startswith("wrk ")]
    done = float(figures["qps"].group(1)) * seconds if figures["qps"] and figures["qps"].group(1) != "None" else 0
    if done:
        summary.append("daemon per request: %.1f us CPU, %.2f context switches (threads alive at the end)" % (
            1e6 * (cpu1 - cpu0) / done, (sw1 - sw0) / done))
    if done and os.path.exists(stat_file):
        counts = {}
        with open(stat_file) as f:
            for line in f:
                parts = line.split(",")
                if len(parts) > 2 and parts[0].strip().isdigit():
                    counts[parts[2]] = int(parts[0])
        summary.append("perf stat per request: %s" % ", ".join(
            "%.2f %s" % (n / done, name) for name, n in counts.items()))
    if per_query and figures["sent"]:
        summary.append("DNS log lines %d of %d" % (lines, per_query * (int(figures["sent"].group(1)) + warm_sent)))
    def perf_report(*sort):
        return subprocess.run(["perf", "report", "-i", os.path.join(out, "perf.data"), "--stdio", "--no-children",
                               "-g", "none", "--percent-limit", "0.7", "--sort", *sort],
                              capture_output=True, text=True).stdout
    # Where the time goes by binary (kernel, libc, the daemon), then by symbol.
    report = perf_report("dso") + perf_report("dso,symbol")
    with open(os.path.join(out, "report.txt"), "w") as f:
        f.write(report)
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write("\n".join(summary) + "\n")
    print("\n".join(summary))


if __name__ == "__main__":
    main()
