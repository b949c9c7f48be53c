"""Turns the medians measured by bench.py into the printed table, docs/benchmarks.md and the chart
docs/benchmarks.png (gnuplot)."""
import os
import subprocess

SECTIONS = [
    ("tcp", "TCP throughput, iperf3, 1 stream", "Gbit/s", ["direct", "VEXAProxy", "haproxy", "rinetd", "socat", "nginx stream"]),
    ("conn50", "TCP connections/s, wrk, 50 conns, Connection: close", "conn/s", ["direct", "VEXAProxy", "haproxy", "rinetd", "nginx stream"]),
    ("conn200", "TCP connections/s, wrk, 200 conns, Connection: close", "conn/s", ["direct", "VEXAProxy", "haproxy", "rinetd", "nginx stream"]),
    ("udp", "UDP request/response, dnsperf 10 sockets, to dnsmasq", "req/s", ["direct", "VEXAProxy", "nginx stream", "socat"]),
    ("dns_local", "DNS relay, locally answered name", "q/s", ["VEXAProxy", "dnsmasq"]),
    ("dns_fwd", "DNS relay, forwarded name", "q/s", ["VEXAProxy", "dnsmasq"]),
    ("scale", "held TCP connections, echo: memory", "KiB/conn", ["VEXAProxy", "haproxy"]),
]

# Target: (section, peers whose best VEXAProxy must reach, higher is better)
TARGETS = [
    ("tcp", ["haproxy", "rinetd"], "TCP throughput >= 1.0x best of haproxy, rinetd"),
    ("conn50", ["haproxy", "rinetd", "nginx stream"], "conn/s at 50 >= 1.0x best of haproxy, rinetd, nginx stream"),
    ("conn200", ["haproxy", "rinetd", "nginx stream"], "conn/s at 200 >= 1.0x best of haproxy, rinetd, nginx stream"),
    ("udp", ["nginx stream"], "UDP req/s >= 1.0x nginx stream udp, none lost"),
    ("dns_local", ["dnsmasq"], "DNS local answers >= 1.0x dnsmasq answering itself, none lost"),
    ("dns_fwd", ["dnsmasq"], "DNS forwarded >= 1.0x dnsmasq forwarding without cache, none lost"),
]


def fmt(v, unit=""):
    if v is None:
        return "n/a"
    if unit in ("Gbit/s", "ms", "KiB/conn", "MiB") or abs(v) < 100:
        return "%.2f" % v
    return "%.0f" % v


def extra(section, e):
    parts = []
    if "p99" in e:
        parts.append("p99 %s ms" % fmt(e["p99"], "ms"))
    if e.get("errors") and section != "scale":
        parts.append("%d socket errors" % e["errors"])
    if "lost" in e:
        parts.append("lost %d of %d" % (e["lost"], e["sent"]))
    if "log_lines" in e:
        parts.append("DNS log %d of %d lines" % (e["log_lines"], e["log_expected"]))
    if section == "scale":
        parts.append("connected %d (min of runs), echoes %d/%d ok, %d bad, %d errors, %d threads, RSS %.1f MiB, "
                     "set-up %.1f s" % (e["connected"], e["ok"], e["sent"], e["bad"], e["errors"],
                                         int(e["threads"]), e["rss_mib"], e["setup_s"]))
        if e.get("log_faults"):
            parts.append("%d pool fault lines in the main log" % e["log_faults"])
    return "; ".join(parts)


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def rows(res):
    """(section title, relay, median, unit, VEXAProxy / relay, extra, runs) per measured figure."""
    out = []
    for key, title, unit, relays in SECTIONS:
        mine = res.get((key, "VEXAProxy"), {}).get("value")
        for relay in relays:
            e = res.get((key, relay))
            if e is None:
                continue
            r = None if relay == "VEXAProxy" else ratio(mine, e["value"])
            out.append((title, relay, e["value"], unit, r, extra(key, e), e.get("runs", [])))
    return out


def targets(res):
    out = []
    for key, peers, text in TARGETS:
        mine = res.get((key, "VEXAProxy"), {})
        best_peer = max(peers, key=lambda p: res.get((key, p), {}).get("value") or 0)
        best = res.get((key, best_peer), {}).get("value")
        r = ratio(mine.get("value"), best)
        ok = r is not None and r >= 1.0
        notes = []
        if key.startswith("conn"):
            pr = ratio(mine.get("p99"), res.get((key, best_peer), {}).get("p99"))
            notes.append("p99 %sx %s's" % (fmt(pr), best_peer))
            ok = ok and pr is not None and pr <= 1.5
        if "lost" in mine:
            notes.append("lost %d" % mine["lost"])
            ok = ok and mine["lost"] == 0
        if "log_lines" in mine:
            notes.append("DNS log %d/%d lines" % (mine["log_lines"], mine["log_expected"]))
            ok = ok and mine["log_lines"] >= mine["log_expected"]
        out.append((text, "%sx %s" % (fmt(r), best_peer), "met" if ok else "missed", ", ".join(notes)))
    sc = res.get(("scale", "VEXAProxy"))
    hp = res.get(("scale", "haproxy"))
    if sc:
        ok = (sc["errors"] == 0 and sc["bad"] == 0 and sc["ok"] == sc["sent"] and not sc.get("log_faults")
              and sc["connected"] == sc.get("n", sc["connected"]))
        out.append(("5,000 connections held with no failure; memory per connection next to haproxy's",
                    "%s vs %s KiB/conn" % (fmt(sc["value"], "KiB/conn"), fmt(hp["value"], "KiB/conn") if hp else "n/a"),
                    "met" if ok else "missed",
                    "connected %d, %d echo errors, %d corrupt" % (sc["connected"], sc["errors"], sc["bad"])))
    return out


def markdown_table(res):
    lines = ["| Workload | Relay | Median | Unit | VEXAProxy ÷ relay | Runs | Notes |",
             "|---|---|---:|---|---:|---|---|"]
    for title, relay, val, unit, r, ex, runs in rows(res):
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            title, relay, fmt(val, unit), unit, "" if r is None else fmt(r) + "×",
            " / ".join(fmt(x, unit) for x in runs), ex))
    return "\n".join(lines)


def print_table(res):
    print()
    print("%-55s %-13s %12s %-9s %8s  %s" % ("Workload", "Relay", "Median", "Unit", "V/relay", "Notes"))
    for title, relay, val, unit, r, ex, _ in rows(res):
        print("%-55s %-13s %12s %-9s %8s  %s" % (title[:55], relay, fmt(val, unit), unit,
                                                 "" if r is None else fmt(r) + "x", ex))
    print()
    for text, r, state, notes in targets(res):
        print("%-7s %-75s %s %s" % (state, text, r, notes))
    print()


def chart(res, path, work):
    """One panel per workload, bars per relay, VEXAProxy's in its own colour."""
    panels = [(k, "value", t, u + (" (lower is better)" if k == "scale" else ""), r) for k, t, u, r in SECTIONS]
    panels[7:7] = [("conn%d" % c, "p99", "p99 latency, wrk, %d conns" % c, "ms (lower is better)",
                    SECTIONS[1][3]) for c in (50, 200)]
    panels = [p for p in panels if any((p[0], r) in res for r in p[4])]
    script = ["set terminal pngcairo size 1500,%d font 'DejaVu Sans,10'" % (380 * ((len(panels) + 2) // 3)),
              "set output '%s'" % path, "set style fill solid 0.85 border -1", "set boxwidth 0.7",
              "set grid ytics", "unset key", "set yrange [0:*]", "set xtics rotate by -25",
              "set multiplot layout %d,3 title 'VEXAProxy and the relays it is measured against (loopback, medians)'"
              % ((len(panels) + 2) // 3)]
    for key, field, title, unit, relays in panels:
        data = os.path.join(work, "chart-%s-%s.dat" % (key, field))
        with open(data, "w") as f:
            for i, relay in enumerate(r for r in relays if (key, r) in res):
                v = res[(key, relay)].get(field) or 0
                f.write('%d "%s" %g %d\n' % (i, relay, v, 1 if relay == "VEXAProxy" else 0))
        script += ["set title '%s'" % title.replace("'", ""), "set ylabel '%s'" % unit,
                   "plot '%s' using 1:3:($4 > 0 ? 0xd62728 : 0x1f77b4):xtic(2) with boxes lc rgb variable" % data]
    script.append("unset multiplot")
    gp = os.path.join(work, "chart.gp")
    with open(gp, "w") as f:
        f.write("\n".join(script) + "\n")
    r = subprocess.run(["gnuplot", gp], capture_output=True, text=True)
    if r.returncode != 0:
        print("gnuplot failed:", r.stderr)


def write_all(res, facts, root, quick, runs, params):
    print_table(res)
    docs = os.path.join(root, "docs")
    chart(res, os.path.join(docs, "benchmarks.png"), "/tmp/vexa-bench")
    tgt = ["| Target | VEXAProxy ÷ best peer | State | Notes |", "|---|---:|---|---|"]
    tgt += ["| %s | %s | %s | %s |" % t for t in targets(res)]
    notes_path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "findings.md")
    findings = open(notes_path).read().strip() if os.path.exists(notes_path) else ""
    versions = ", ".join("%s %s" % kv for kv in facts["versions"].items())
    text = f"""# Benchmarks

How VEXAProxy compares with the relays an operator would otherwise pick, measured by `make bench`
(`bench/run.sh`). Everything runs inside private network namespaces on loopback only: the clients,
the servers behind the relays, the daemon (release build, started from a generated configuration
at its usual path inside the namespace) and every peer relay. Each figure is the **median of
{runs} runs**; the individual runs are listed next to it.

![Benchmark chart](benchmarks.png)

## Machine and run

- Cores: {facts['cores']}; CPU: {facts['cpu']}; kernel {facts['kernel']}
- Date: {facts['date']}; whole run: {facts['minutes']:.1f} minutes
- Mode: {"quick smoke run (`BENCH_QUICK=1`): short runs" if quick else "full run"}: iperf3 {params['iperf_s']} s,
  wrk {params['wrk_s']} s, dnsperf {params['dns_s']} s per run; scale: {params['scale_n']} connections held
  {params['scale_hold_s']} s, each echoing every {params['scale_every_s']} s
- Load average at start {facts['load'][0]:.2f}, at end {facts['load_end'][0]:.2f}
- Peers (Debian packages): {versions}

**These figures are noisy.** The machine has only {facts['cores']} cores, shared during this run with
other builds and test runs; client, server and relay also share the same cores, so every
figure here is lower than the same program would reach on an idle or larger machine, and two runs
of the benchmark can differ by tens of percent. Compare the figures of one run with each other (the
ratio column), not with figures from another machine or another day.

## Results

"VEXAProxy ÷ relay" is VEXAProxy's median divided by that relay's median from the same run: above 1
VEXAProxy is faster (for KiB/conn, above 1 means VEXAProxy uses more memory per connection).

{markdown_table(res)}

## Targets

Ratios are against the best peer of the same run.

{chr(10).join(tgt)}

{findings}

## What each workload does

1. **TCP throughput**: `iperf3 -c`, one stream, to an `iperf3 -s` behind each relay; direct is the
   same client talking to the server itself. haproxy runs `mode tcp` (2 threads), rinetd and socat
   (`fork`) and nginx `stream` (`worker_processes auto`) with default buffers.
2. **TCP connection rate**: `wrk -t2 -c50|-c200 -H "Connection: close" --latency`, one request per
   connection, for a 168-byte file served by nginx (one worker); requests/s and the 99th percentile latency.
3. **UDP request/response**: `dnsperf -c 10` (10 client sockets) asking dnsmasq, which answers the
   name itself, through a UDP rule, through nginx `stream` udp (`proxy_responses 1`) and through socat
   (`UDP4-LISTEN,fork`).
4. **DNS relay**: `dnsperf -c 10` at the relay's port 53: once for a name configured in a `DNS`
   element (answered by the daemon) and once for a name it forwards to its `DNSSrv` (dnsmasq, reached
   through an nftables redirect from port 53 to 5353). Peers: that dnsmasq answering the same name
   itself, and a second dnsmasq forwarding to it with `--cache-size=0`. The daemon writes every
   datagram to its DNS log (2 records for a local answer, 4 for a forwarded query); the log lines are
   counted after each workload.
5. **Scale**: {params['scale_n']} TCP connections opened in batches of 250 to an echo server (Python
   asyncio) through a TCP rule, each sending a numbered line at once and then every
   {params['scale_every_s']} s, checking every echo byte for byte. Resident memory (VmRSS) and thread
   count are read from /proc while all connections are open; memory per connection is (RSS while
   holding − RSS before) ÷ connections. A fresh daemon is started for each run. The daemon runs two
   pool threads per connection (client side and target side), haproxy an event loop.

## Running it

    make bench                 # full run, about 15 minutes; installs the peers with apt-get
    BENCH_QUICK=1 make bench   # smoke run, about 7 minutes (most of it the 5,000-connection runs)
    BENCH_QUICK=1 BENCH_SCALE_N=1000 make bench   # shorter still: fewer held connections

The benchmark is not part of `make test` or CI: it needs minutes of quiet CPU. It rewrites this
file and `docs/benchmarks.png`.
"""
    with open(os.path.join(docs, "benchmarks.md"), "w") as f:
        f.write(text)
    print("wrote docs/benchmarks.md and docs/benchmarks.png")
