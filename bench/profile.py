"""Profiles the daemon under one workload with perf: the relay's own samples only (perf record -p),
with call graphs, while dnsperf drives it. Run inside scripts/netns-run:

    VEXAPROXY_BIN=$PWD/build/release/vexaproxy scripts/netns-run /usr/bin/python3 bench/profile.py \\
        dns_fwd /tmp/prof-dns [seconds]

Workloads: dns_fwd (names the relay forwards to its server), dns_local (a name it answers itself),
udp (a UDP rule in front of a DNS server) and udp_echo (a UDP echo rule: every datagram comes back
with a dump line in the main log). Writes perf.data, report.txt (the top symbols, self time) and
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

UDP_PORT, ECHO_PORT = 12001, 12010
CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<VEXAProxy DNSSrv="%(up)s">
  <Port TypProt="UDP" PortLocal="%(udp)d" PortRemote="5353" IPRemote="%(up)s"/>
  <Port TypProt="UDP" PortLocal="%(echo)d" Echo="0"/>
  <DNS Name="%(lname)s" IP="%(lip)s"/>
</VEXAProxy>
""" % {"up": bench.DNS_UP, "udp": UDP_PORT, "echo": ECHO_PORT, "lname": bench.LOCAL_NAME, "lip": bench.LOCAL_IP}

# port the load goes to, name asked, DNS log records per query
WORKLOADS = {
    "dns_fwd": (53, bench.UP_NAME, 4),
    "dns_local": (53, bench.LOCAL_NAME, 2),
    "udp": (UDP_PORT, bench.UP_NAME, 0),
    "udp_echo": (ECHO_PORT, bench.UP_NAME, 0),
}


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
    daemon = vexa.Daemon(CONFIG)
    try:
        bench.wait_listen("udp", bench.DNS_UP, 5353)
        daemon.start(listed=True)
        bench.wait_listen("udp", "0.0.0.0", 53)
        counter = bench.LogLines(vexa.DNS_LOG_DIR)
        qfile = os.path.join(bench.WORK, "profile-q.txt")
        bench.write(qfile, "%s A\n" % qname)
        perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-g", "-p",
                                 str(daemon.proc.pid), "-o", os.path.join(out, "perf.data"), "--",
                                 "sleep", str(seconds)], stdout=subprocess.DEVNULL)
        time.sleep(0.2)
        load = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", qfile, "-c", "10",
                               "-l", str(seconds), "-t", "2"], capture_output=True, text=True)
        perf.wait()
        daemon.stop(timeout=120)
        lines = counter.total()
    finally:
        daemon.kill()
        upstream.terminate()
        upstream.wait()
        subprocess.run(["nft", "delete", "table", "ip", "vexa_bench"], check=False)
    figures = {k: re.search(p, load.stdout) for k, p in (
        ("sent", r"Queries sent:\s+(\d+)"), ("completed", r"Queries completed:\s+(\d+)"),
        ("lost", r"Queries lost:\s+(\d+)"), ("qps", r"Queries per second:\s+([\d.]+)"))}
    summary = ["workload %s, %d s, %s" % (workload, seconds, vexa.BIN)]
    summary += ["%s %s" % (k, m.group(1) if m else "?") for k, m in figures.items()]
    if per_query and figures["sent"]:
        summary.append("DNS log lines %d of %d" % (lines, per_query * int(figures["sent"].group(1))))
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
