"""Turns the medians measured by bench.py into the printed table, docs/benchmarks.md and the chart
docs/benchmarks.png (gnuplot)."""
import json
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
    ("bulk", "held TCP connections after bulk traffic: memory", "KiB/conn", ["VEXAProxy", "haproxy"]),
]

# Target: (section, peers whose best VEXAProxy must reach, that many times, higher is better)
TARGETS = [
    ("tcp", ["haproxy"], 2.0, "TCP throughput >= 2x haproxy"),
    ("conn50", ["haproxy", "rinetd", "nginx stream"], 1.0, "conn/s at 50 >= 1.0x best of haproxy, rinetd, nginx stream"),
    ("conn200", ["haproxy", "rinetd", "nginx stream"], 1.0, "conn/s at 200 >= 1.0x best of haproxy, rinetd, nginx stream"),
    ("udp", ["nginx stream"], 1.5, "UDP req/s >= 1.5x nginx stream udp, none lost"),
    ("dns_local", ["dnsmasq"], 1.3, "DNS local answers >= 1.3x dnsmasq answering itself, none lost, every record logged"),
    ("dns_fwd", ["dnsmasq"], 1.0, "DNS forwarded >= 1.0x dnsmasq forwarding without cache, none lost, every record logged"),
]
# Resident memory per connection held after bulk traffic, at most (KiB).
BULK_TARGET_KIB = 16


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
    if e.get("errors") and section not in ("scale", "bulk"):
        parts.append("%d socket errors" % e["errors"])
    if "lost" in e:
        parts.append("lost %d of %d" % (e["lost"], e["sent"]))
    if "log_lines" in e:
        parts.append("DNS log %d of %d lines" % (e["log_lines"], e["log_expected"]))
    if section == "bulk":
        parts.append("%d KiB each way, %d of %d pieces echoed intact" % (
            e["bulk_kib"], e["bulk_ok"], e["n"] * len(e["runs"]) * e["bulk_kib"] // 64))
    if section in ("scale", "bulk"):
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
    for key, peers, factor, text in TARGETS:
        mine = res.get((key, "VEXAProxy"), {})
        best_peer = max(peers, key=lambda p: res.get((key, p), {}).get("value") or 0)
        best = res.get((key, best_peer), {}).get("value")
        r = ratio(mine.get("value"), best)
        ok = r is not None and r >= factor
        notes = []
        if key.startswith("conn"):
            pr = ratio(mine.get("p99"), res.get((key, best_peer), {}).get("p99"))
            notes.append("p99 %sx %s's" % (fmt(pr), best_peer))
        if "lost" in mine:
            notes.append("lost %d" % mine["lost"])
            ok = ok and mine["lost"] == 0
        if "log_lines" in mine:
            notes.append("DNS log %d/%d lines" % (mine["log_lines"], mine["log_expected"]))
            ok = ok and mine["log_lines"] >= mine["log_expected"]
        out.append((text, "%sx %s" % (fmt(r), best_peer), "met" if ok else "missed", ", ".join(notes)))
    for key, text in (("scale", "5,000 connections held with no failure; memory per connection next to haproxy's"),
                      ("bulk", "the same after bulk traffic: at most %d KiB/conn" % BULK_TARGET_KIB)):
        sc = res.get((key, "VEXAProxy"))
        hp = res.get((key, "haproxy"))
        if not sc:
            continue
        ok = (sc["errors"] == 0 and sc["bad"] == 0 and sc["ok"] == sc["sent"] and not sc.get("log_faults")
              and sc["connected"] == sc.get("n", sc["connected"]))
        notes = "connected %d, %d echo errors, %d corrupt" % (sc["connected"], sc["errors"], sc["bad"])
        if key == "bulk":
            ok = ok and sc["value"] <= BULK_TARGET_KIB
        out.append((text, "%s vs %s KiB/conn" % (fmt(sc["value"], "KiB/conn"),
                                                 fmt(hp["value"], "KiB/conn") if hp else "n/a"),
                    "met" if ok else "missed", notes))
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
    panels = [(k, "value", t, u + (" (lower is better)" if k in ("scale", "bulk") else ""), r) for k, t, u, r in SECTIONS]
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
  {params['scale_hold_s']} s, each echoing every {params['scale_every_s']} s; bulk: the same after
  {params.get('bulk_kib', 0)} KiB each way
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

{current_tables_block(os.path.join(docs, "benchmarks.md"))}

{current_tables_block(os.path.join(docs, "benchmarks.md"), "attack")}

{current_block(os.path.join(docs, "benchmarks.md"), SMALL_BEGIN, SMALL_END)}

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
   pool threads per connection (client side and target side), haproxy an event loop. The echo
   rule's `MaxClients` is set above the number of connections, which is more than its fair share
   of the daemon's budget would be.
6. **Bulk**: the same connections, each first sending {params.get('bulk_kib', 0)} KiB in 64 KiB
   pieces, every piece echoed and compared before the next, so that every receive buffer on the way
   has been filled; memory is read 3 s after the last connection's last piece, while all are held.

## Running it

    make bench                 # full run, about 30 minutes; installs the peers with apt-get
    BENCH_QUICK=1 make bench   # smoke run, about 12 minutes (most of it the 5,000-connection runs and the client tables)
    BENCH_QUICK=1 BENCH_SCALE_N=1000 make bench   # shorter still: fewer held connections
    BENCH_ONLY=freshdns,udpflood,silenttcp BENCH_QUICK=1 make bench   # client tables only, 30-40 s each, 5 minutes
    BENCH_ONLY=freshdns,udpflood,silenttcp make bench   # client tables only, 60 s each, about 9 minutes
    BENCH_ONLY=freshdns,udpflood,silenttcp BENCH_ACCEPTANCE=1 make bench   # freshdns 600 s at 1000 q/s, the others 60 s: 24 minutes
    BENCH_ONLY=spoofudp,stucklookup,reconnecttcp make bench   # the bounded tables under attack, about 5 minutes
    BENCH_ONLY=small make bench   # the small exchange, under two minutes
    VEXAPROXY_BIN=$PWD/build/release/vexaproxy scripts/netns-run /usr/bin/python3 bench/profile.py dns_fwd /tmp/prof   # perf profile of one workload
    cmake --build --preset release --target bench_log_path && build/release/bench/bench_log_path   # the log path, per call

The benchmark is not part of `make test` or CI: it needs minutes of quiet CPU. It rewrites this
file and `docs/benchmarks.png`, except the blocks "Bounded client tables", "Bounded tables under
attack" and "Small exchange", which only runs of their own workloads rewrite (see there for their
settings); `BENCH_ONLY` picks workloads from `tcp`, `conn`, `udp`, `dns`, `scale`, `bulk`, `small`,
`freshdns`, `udpflood`, `silenttcp`, `spoofudp`, `stucklookup` and `reconnecttcp` (a partial run
prints its figures; `bench/bench.py --report /tmp/vexa-bench/results.json` writes them into this
file).
"""
    with open(os.path.join(docs, "benchmarks.md"), "w") as f:
        f.write(text)
    print("wrote docs/benchmarks.md and docs/benchmarks.png")


# ---------------------------------------------------------------- client tables

# The block of docs/benchmarks.md that runs of freshdns, udpflood or silenttcp rewrite; a full run
# keeps it as it is. Its figures live in bench/tables.json, one entry per column and run.
TABLES_BEGIN = "<!-- client tables: begin (bench.py rewrites this block when freshdns, udpflood or silenttcp run) -->"
TABLES_END = "<!-- client tables: end -->"
COLUMNS = ("before", "after")
# The attacks on the bounded tables have a block and a file of figures of their own.
ATTACK_BEGIN = "<!-- tables under attack: begin (bench.py rewrites this block when spoofudp, stucklookup or reconnecttcp run) -->"
ATTACK_END = "<!-- tables under attack: end -->"
GROUPS = {"tables": ("tables.json", TABLES_BEGIN, TABLES_END, ("freshdns", "udpflood", "silenttcp")),
          "attack": ("attack.json", ATTACK_BEGIN, ATTACK_END, ("spoofudp", "stucklookup", "reconnecttcp"))}
WORKLOAD_ORDER = GROUPS["tables"][3] + GROUPS["attack"][3]
KINDS = [
    ("query", "queries answered"),
    ("tcp_new", "new TCP client, other rule"),
    ("dns_new", "new DNS client"),
    ("udp_other_new", "new client, other UDP rule"),
    ("flooded_known", "known association, flooded rule"),
    ("flooded_new", "new client, flooded rule"),
    ("same_rule_new", "talking client, same rule"),
    ("other_rule_new", "client of another rule"),
    ("device", "devices, a datagram a second each"),
    ("talk_new", "talking client, same rule, every 100 ms"),
]
KIND_LABEL = dict(KINDS)


def fmt_opt(v, pattern):
    return "—" if v is None else pattern % v


def run_order(key):
    workload, load, relay = key.split("|")
    return WORKLOAD_ORDER.index(workload), int(load), relay != "VEXAProxy", relay


def summary(run):
    """(figure, value) rows of one run: its clients, then the relay's resources and log."""
    out = []
    for kind, label in KINDS:
        if kind not in run["whole"]:
            continue
        whole = run["whole"][kind]
        worst = min((w["kinds"][kind]["served_pct"] for w in run["windows"] if kind in w["kinds"]
                     and w["kinds"][kind]["served_pct"] is not None), default=None)
        out.append(("%s: served, worst window" % label, "%s, %s" % (
            fmt_opt(whole["served_pct"], "%.1f %%"), fmt_opt(worst, "%.1f %%"))))
        out.append(("%s: median, p99 of the served" % label, "%s, %s" % (
            fmt_opt(whole["p50_ms"], "%.1f"), fmt_opt(whole["p99_ms"], "%.1f ms"))))
    out += attack_summary(run)
    windows = run["windows"]
    if not windows:
        return out
    peak = lambda key: max((w.get(key) or 0 for w in windows), default=0)  # noqa: E731
    gone = next((w["t"] for w in windows if w.get("alive") is False), None)
    out.append(("peak threads / descriptors / RSS", "%d / %d / %.1f MiB%s" % (
        peak("threads"), peak("fds"), peak("rss_mib"), "" if gone is None else "; gone in window %d s" % gone)))
    if any("tasks" in w for w in windows):
        out.append(("peak tasks of the cgroup; forks refused", "%d; %d" % (
            peak("tasks"), sum(w.get("refused") or 0 for w in windows))))
    if any(w.get("log_other_s") is not None for w in windows):
        mean = lambda key: sum(w.get(key) or 0 for w in windows) / max(1, len(windows))  # noqa: E731
        out.append(("main-log lines/s beyond connect and table full: mean, peak window",
                    "%.1f, %.1f" % (mean("log_other_s"), peak("log_other_s"))))
        out.append(("connect / table-full lines/s, mean", "%.1f / %.1f" % (mean("log_connect_s"), mean("log_full_s"))))
    if any(w.get("log_peak_s") is not None for w in windows):
        total = sum(w.get(k) or 0 for w in windows for k in ("log_connect_s", "log_full_s", "log_other_s"))
        out.append(("main-log lines/s, all: mean, peak second", "%.1f, %.0f" % (
            total / max(1, len(windows)), peak("log_peak_s"))))
        if any(w.get("log_measured_s") is not None for w in windows):
            out.append(("main-log lines/s not naming the measured clients: mean, peak second", "%.1f, %.0f" % (
                (total - sum(w.get("log_measured_s") or 0 for w in windows)) / max(1, len(windows)),
                peak("log_load_peak_s"))))
    if run.get("cpu_pct") is not None:
        out.append(("daemon CPU, mean of the run", "%.0f %%" % run["cpu_pct"]))
    if "silent_connects" in run:
        out.append(("silent clients connected, peak; closed by the relay", "%d; %d" % (
            peak("silent_open"), sum(w.get("silent_closed") or 0 for w in windows))))
    if run.get("unsent"):
        out.append(("queries the client could not send", "%d" % run["unsent"]))
    if run.get("known_opened") is False:
        out.append(("known association answered before the flood", "no"))
    if run.get("flood"):
        out.append(("flood datagrams sent (failed)", "%d (%d)" % (run["flood"].get("sent", 0),
                                                                   run["flood"].get("failed", 0))))
    if run.get("stop"):
        out.append(("daemon stop", run["stop"]))
    return out


def attack_summary(run):
    """The rows of spoofudp's devices and of stucklookup's rounds."""
    out = []
    if "devices" in run:
        devs = run["devices"]
        out.append(("device replies lost: total, worst device", "%d, %d" % (
            sum(d["lost"] for d in devs), max(d["lost"] for d in devs))))
        out.append(("devices named in table-full lines; such lines", "%d of %d; %d" % (
            sum(1 for d in devs if d["evicted"]), len(devs), sum(d["evicted"] for d in devs))))
        out.append(("device associations made (connect lines)", "%d for %d devices" % (
            sum(d["connects"] for d in devs), len(devs))))
    if "rounds" in run:
        rounds = run["rounds"]

        def spread(key, unit=" s"):
            vals = sorted(r[key] for r in rounds if r.get(key) is not None)
            if not vals:
                return "—"
            return "%.2f%s (%s)" % (vals[len(vals) // 2], unit, ", ".join("%.2f" % v for v in vals))

        out.append(("new client, rule full of stuck lookups: to its connect, median (rounds)", spread("a_wait_s")))
        out.append(("evicted lookup's end to that connect", spread("a_room_to_connect_s")))
        out.append(("connection of the rule ended: to the next connect", spread("b_room_to_connect_s")))
        out.append(("next connect before the evicted lookup's end", "%d of %d rounds" % (
            sum(1 for r in rounds if r.get("b_before_lookup_end")), len(rounds))))
        out.append(("SIGTERM with lookups pending: stop took", spread("c_stop_s")))
        out.append(("stops", "; ".join(dict.fromkeys(str(r.get("c_stop")) for r in rounds))))
    return out


def rounds_table(run):
    keys = [("a_stuck", "(a) both lookups asked"), ("a_wait_s", "(a) to connect, s"), ("a_room_to_connect_s", "(a) lookup end to connect, s"),
            ("a_evicted", "(a) stuck one evicted"), ("b_healthy", "(b) healthy connection echoed"),
            ("b_stuck", "(b) lookup asked"), ("b_evicted", "(b) stuck one evicted"), ("b_room_to_connect_s", "(b) end to next connect, s"),
            ("b_before_lookup_end", "(b) before the lookup's end"), ("c_pending", "(c) lookups pending"),
            ("c_stop_s", "(c) stop, s")]
    lines = ["| round | " + " | ".join(h for _, h in keys) + " |", "|" + "---:|" * (len(keys) + 1)]
    for i, r in enumerate(run["rounds"]):
        lines.append("| %d | %s |" % (i + 1, " | ".join(
            "—" if r.get(k) is None else "%.2f" % r[k] if isinstance(r[k], float) else str(r[k]) for k, _ in keys)))
    return "\n".join(lines)


def window_table(run):
    kinds = [k for k, _ in KINDS if k in run["whole"]]
    head = ["t (s)"] + ["%s: served, p99" % KIND_LABEL[k] for k in kinds] + [
        "threads", "descriptors", "RSS MiB", "cgroup tasks", "forks refused", "log lines/s beyond",
        "connect lines/s", "table-full lines/s"]
    silent = "silent_connects" in run
    if silent:
        head += ["silent connected", "silent connecting", "closed by relay"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---:|" * len(head)]
    for w in run["windows"]:
        cells = ["%d" % w["t"]]
        for k in kinds:
            c = w["kinds"].get(k)
            cells.append("—" if not c else "%s, %s" % (fmt_opt(c["served_pct"], "%.0f %%"), fmt_opt(c["p99_ms"], "%.0f ms")))
        alive = w.get("alive", True)
        cells += [str(w.get("threads", "—")) if alive else "gone", str(w.get("fds", "—")),
                  fmt_opt(w.get("rss_mib"), "%.1f"), str(w.get("tasks", "—")), str(w.get("refused", "—")),
                  fmt_opt(w.get("log_other_s"), "%.1f"), fmt_opt(w.get("log_connect_s"), "%.1f"),
                  fmt_opt(w.get("log_full_s"), "%.1f")]
        if silent:
            cells += [str(w.get(k, "—")) for k in ("silent_open", "silent_pending", "silent_closed")]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def run_title(key, run):
    return "%s, %s, %s" % (run["workload"], run["load"], run["relay"])


def tables_block(data, group="tables"):
    keys = sorted({k for col in data.values() for k in col}, key=run_order)
    rows = ["| Workload | Relay | Figure | Before | After |", "|---|---|---|---|---|"]
    for key in keys:
        figures = {col: dict(summary(data[col][key])) for col in COLUMNS if key in data.get(col, {})}
        names = []
        for col in COLUMNS:
            if key in data.get(col, {}):
                names += [n for n, _ in summary(data[col][key]) if n not in names]
        any_run = next(data[col][key] for col in COLUMNS if key in data.get(col, {}))
        for i, name in enumerate(names):
            rows.append("| %s | %s | %s | %s | %s |" % (
                "%s, %s" % (any_run["workload"], any_run["load"]) if i == 0 else "", any_run["relay"] if i == 0 else "",
                name, figures.get("before", {}).get(name, ""), figures.get("after", {}).get(name, "")))
    runs_of = []
    for col in COLUMNS:
        runs = [data[col][k] for k in sorted(data.get(col, {}), key=run_order)]
        if not runs:
            runs_of.append("- **%s**: not measured yet" % col.capitalize())
            continue
        distinct = lambda values: ", ".join(dict.fromkeys(values))  # noqa: E731
        runs_of.append("- **%s**: %s, daemon sources of commit %s; %s; %s" % (
            col.capitalize(), distinct(r["date"] for r in runs), distinct(r["commit"] for r in runs),
            distinct("%s %d s" % (r["workload"], r["seconds"]) for r in runs),
            "; ".join(dict.fromkeys("%s: %s" % (r["relay"], r["limit"]) for r in runs))))
    details = []
    for col in COLUMNS:
        for key in sorted(data.get(col, {}), key=run_order):
            run = data[col][key]
            extra = []
            if run.get("budget"):
                extra.append("start-up line: `%s`" % run["budget"])
            if run.get("log_kinds"):
                extra.append("commonest main-log lines beyond connect and table full (digits as #): " + "; ".join(
                    "`%s` ×%d" % (text.replace("|", "/"), n) for text, n in run["log_kinds"][:4]))
            details.append("<details><summary>%s — %s, %s</summary>\n\n%s\n\n%s\n</details>\n" % (
                run_title(key, run), col, run["date"], rounds_table(run) if "rounds" in run else window_table(run),
                "\n".join("- " + e for e in extra)))
    if group == "attack":
        return ATTACK_TEXT % {"begin": ATTACK_BEGIN, "end": ATTACK_END, "runs": "\n".join(runs_of),
                              "table": "\n".join(rows), "details": "\n".join(details)}
    return """%(begin)s
## Bounded client tables

How the daemon bears outside input that grows its client tables: DNS clients that send every query
from a new source port, a UDP flood from thousands of source addresses, and thousands of TCP
clients that connect and never send. Clients measured beside the load count as served only with
a correct answer within 2 s; p99 is over the served ones. The daemon runs in a pids cgroup of its
own with a small pids.max, so that it meets its task limit and not the machine's (the limit of each
run is listed below); the peers run without one. Figures per 10-second window are under the table.

%(runs)s

%(table)s

### Over time, per 10-second window

"log lines/s beyond": main-log lines other than "connect" and "deleted because table full", per
second; threads, descriptors and RSS are the peaks of once-a-second samples of /proc; cgroup tasks
is the peak of pids.current, forks refused the growth of the cgroup's pids.events "max".

%(details)s
### What these workloads do

- **freshdns**: DNS queries at a fixed rate, each from a UDP socket of its own bound to a source
  (address, port) pair not used before in the run (the port runs through 5,360 ports below the
  ephemeral range, then the next address of 127.32.0.0/16 follows), each for a name of its
  own (`q<n>.up.bench`) that only the upstream dnsmasq answers: every query takes the forwarded
  path. Against the daemon's relay on port 53 and against dnsmasq forwarding to the same upstream
  without cache (`--cache-size=0`). An answer counts when it carries the query's id and question
  and the upstream's address.
- **udpflood**: datagrams to one UDP rule, each from a source pair of its own in 127.64.0.0/16 (a
  socket per datagram, closed at once), for the run's length; the rule's target, a UDP echo
  server, answers every one. Measured beside it, %(hz)d times a second each, every try on a new
  socket or connection: a new TCP client of another rule (connect, one line, its echo), a new DNS
  client, a new client of another UDP rule, a new client of the flooded rule, and one association
  of the flooded rule opened before the flood that keeps talking on its socket.
- **silenttcp**: TCP clients that connect to one rule and never send, spread over 16 addresses of
  127.48.0.0/16, connecting at up to 2,000 a second; one that the relay closes connects again half
  a second later, and one still not connected after 5 s starts over. Measured beside them, once a
  second each, a new connection to the same rule and one to another rule (one line, its echo).
  "Silent connected" counts the connections the kernel completed: accepted by the relay or waiting
  in its listen queue.
  Against the daemon and against haproxy (`maxconn` for the whole process, `timeout client 30s`
  like the daemon's idle limit), whose listeners stop accepting at the limit.

### Settings

The commands are under "Running it" below. A run fills the "after" column (`BENCH_COLUMN=before`
fills the other) and keeps the figures of workloads it did not run. `BENCH_ACCEPTANCE=1` makes
freshdns 600 s at 1000 q/s. More settings: `BENCH_FRESHDNS_S`, `BENCH_FRESHDNS_RATES` (comma
separated), `BENCH_UDPFLOOD_S`, `BENCH_UDPFLOOD_RATE`, `BENCH_SILENTTCP_S`, `BENCH_SILENT_N`,
`BENCH_PIDS_MAX` (0: no task limit), `BENCH_HAPROXY_MAXCONN`, and `BENCH_MAXCLIENTS`,
`BENCH_DNSMAXCLIENTS` to write `MaxClients` on every rule and `DNSMaxClients` on the root element.
%(end)s""" % {"begin": TABLES_BEGIN, "end": TABLES_END, "runs": "\n".join(runs_of), "table": "\n".join(rows),
              "details": "\n".join(details),
              "hz": next((r["probe_hz"] for col in data.values() for r in col.values() if "probe_hz" in r), 5)}


def current_tables_block(path, group="tables"):
    """The group's block as docs/benchmarks.md has it now, or "" when it has none."""
    _, begin, end_mark, _ = GROUPS[group]
    return current_block(path, begin, end_mark)


def current_block(path, begin, end_mark):
    """The block between these marks as docs/benchmarks.md has it now, or "" when it has none."""
    try:
        text = open(path).read()
    except FileNotFoundError:
        return ""
    start, end = text.find(begin), text.find(end_mark)
    return text[start:end + len(end_mark)] if start >= 0 and end > start else ""


def write_tables(root, column, runs):
    """Puts a run's figures into its column of each group's file (bench/tables.json for the client
    tables, bench/attack.json for the attacks; figures of workloads it did not run stay) and rewrites
    the group's block of docs/benchmarks.md from them."""
    for group, (name, _, _, workloads) in GROUPS.items():
        mine = {k: v for k, v in runs.items() if v["workload"] in workloads}
        if not mine:
            continue
        store = os.path.join(root, "bench", name)
        data = json.load(open(store)) if os.path.exists(store) else {}
        data.setdefault(column, {}).update(mine)
        with open(store, "w") as f:
            json.dump(data, f, indent=1, sort_keys=True)
            f.write("\n")
        docs = os.path.join(root, "docs", "benchmarks.md")
        put_block(docs, current_tables_block(docs, group), tables_block(data, group))
        print("wrote the %s block of docs/benchmarks.md (%s column) and bench/%s" % (group, column, name))


ATTACK_TEXT = """%(begin)s
## Bounded tables under attack

How the bounded client tables bear clients that work against them: a flood of spoofed UDP sources
beside devices that talk every second, a rule whose target name never resolves, and silent TCP
clients that connect again the moment they are cut. The daemon runs in the same pids cgroup as in
"Bounded client tables" (the limit of each run is listed below). Figures per 10-second window (per
round for stucklookup) are under the table.

%(runs)s

%(table)s

### Per window or round

%(details)s
### What these workloads do

- **spoofudp**: a UDP rule with `MaxClients="100"` relaying to a UDP echo server. 20 devices, each
  on a fixed source (address, port) of 127.96.0.0/16, exchange one datagram a second with the echo
  server through the rule on the same socket, opened before the flood; a reply not back within
  0.9 s is lost. Meanwhile 2,000 datagrams a second, each from a source pair of its own in
  127.80.0.0/16 (a socket per datagram, closed at once: the answers go nowhere). Counted: each
  device's lost replies and the main-log "connect" and "deleted because table full" lines that name
  its source. A device that keeps its association has one connect line and no table-full line.
- **stucklookup**: a TCP rule with `MaxClients="2"` whose `IPRemote` is a name the namespace's
  resolver asks a server that never answers (`/etc/resolv.conf` of the namespace: `options
  timeout:N attempts:1`, so each lookup hangs N s; N is in the load's name). Each round, on a fresh
  daemon: (a) two clients that send their request fill the rule with lookups; a third sends its
  own: the time until its "connect" line (the log is polled every 10 ms), and that time less the
  end of the evicted connection's lookup (N s after its query reached the server: no line marks
  it, its client is closed at the eviction); (b) a healthy connection (its lookup answered, talking
  every 0.3 s) and one stuck lookup fill the rule; a newcomer waits, and once the stuck one is
  evicted for it, the healthy connection ends and one more client comes: the time from that end
  to the rule's next "connect", and whether it came before the evicted lookup's end; (c) SIGTERM
  right after, while the newcomers' lookups are pending: the time to the daemon's exit.
- **reconnecttcp**: TCP clients of one rule that never send and connect again the moment the relay
  cuts them (up to 2,000 connects a second over 16 addresses of 127.48.0.0/16): 300 against
  `MaxClients="50"`, 14,000 against the rule's default bound. Beside them a talking client of the
  same rule makes a new connection every 100 ms (one line, its echo). Only that rule has clients,
  so the main log's lines are its own (and the thread failures of the pool, which name no rule);
  "peak second" is the most lines read in one of the sampler's once-a-second reads. The talking
  client's own lines (its connect and disconnect lines, about 30 a second; every measured client
  is at 127.0.0.1) are left out of the "not naming the measured clients" row. Daemon CPU is
  its user and system time over the run's length (100 %% is one core).

### Settings

`BENCH_ONLY=spoofudp,stucklookup,reconnecttcp make bench` runs them (about 5 minutes); a run fills
the "after" column (`BENCH_COLUMN=before` fills the other) and keeps the figures of workloads it
did not run, in `bench/attack.json`. More settings: `BENCH_SPOOFUDP_S`, `BENCH_SPOOFUDP_RATE`,
`BENCH_STUCK_LOOKUP_S` (how long a lookup hangs, 5), `BENCH_STUCK_ROUNDS` (3),
`BENCH_RECONNECTTCP_S`, `BENCH_SILENT_N` (the larger reconnecttcp load), `BENCH_PIDS_MAX`.
%(end)s"""


# ---------------------------------------------------------------- small exchange

# The block of docs/benchmarks.md that runs of small rewrite; the other runs keep it as it is.
SMALL_BEGIN = "<!-- small exchange: begin (bench.py rewrites this block when small runs) -->"
SMALL_END = "<!-- small exchange: end -->"
SMALL_PATHS = ["direct", "VEXAProxy", "haproxy", "nginx stream", "socat", "rinetd"]


def fmt_ms(v):
    return "n/a" if v is None else "%.3f" % v


def small_line(small):
    """The figures in one line, for the README to quote."""
    parts = ["%s %s / %s / %s" % (name, fmt_ms(small[name]["p50"]), fmt_ms(small[name]["p99"]), fmt_ms(small[name]["mean"]))
             for name in SMALL_PATHS if name in small]
    mine, hp = small.get("VEXAProxy", {}), small.get("haproxy", {})
    slow = [r["slow"] for r in mine.get("runs", [])]
    return "p50 / p99 / mean per exchange, ms: %s; VEXAProxy's p50 %s× and p99 %s× haproxy's, %d of its %d exchanges " \
        "over 10 ms." % ("; ".join(parts), fmt(ratio(mine.get("p50"), hp.get("p50"))),
                         fmt(ratio(mine.get("p99"), hp.get("p99"))), sum(slow),
                         sum(r["done"] for r in mine.get("runs", [])))


def small_block(saved):
    small, facts = saved["small"], saved["facts"]
    hp = small.get("haproxy", {})
    rows = ["| Path | p50 ms | p99 ms | mean ms | worst ms | p50 ÷ haproxy | p99 ÷ haproxy | p50 of each run, ms | "
            "over 10 ms, of done, each run |", "|---|---:|---:|---:|---:|---:|---:|---|---|"]
    for name in (n for n in SMALL_PATHS if n in small):
        e = small[name]
        runs = e["runs"]
        errors = "; ".join(dict.fromkeys(r["error"] for r in runs if r["error"]))
        rows.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s%s |" % (
            name, fmt_ms(e["p50"]), fmt_ms(e["p99"]), fmt_ms(e["mean"]), fmt_ms(e["worst"]),
            fmt(ratio(e["p50"], hp.get("p50"))) + "×", fmt(ratio(e["p99"], hp.get("p99"))) + "×",
            " / ".join(fmt_ms(r["p50"]) for r in runs), " / ".join("%d of %d" % (r["slow"], r["done"]) for r in runs),
            "; " + errors if errors else ""))
    n = max((r["done"] for e in small.values() for r in e["runs"]), default=0)
    return """%(begin)s
## Small exchange

A request sent in two pieces and a short reply, over one kept connection: how long each exchange
takes through each relay.

- Measured %(date)s, daemon sources of commit %(commit)s%(quick)s
- %(cores)s cores, shared with other builds: load average %(load0).2f at the start of the run,
  %(load1).2f at its end
- In one line: %(line)s

"÷ haproxy" is the path's figure divided by haproxy's from the same run: above 1 the exchange
takes longer than through haproxy. Each figure is the median of %(runs)d runs (p50: the median of
the runs' p50s, and so on). The last column counts the exchanges of each run that took over 10 ms,
those that waited for a delayed acknowledgement (below): where about half of a run's exchanges
wait, its p50 can land on either side, and the mean and that count say more.

%(table)s

### What this workload does

The client opens one TCP connection, with Nagle's algorithm off (`TCP_NODELAY`), and makes %(n)d
exchanges on it: it writes a 10-byte header and then a 10-byte body as two `send()` calls, then
reads a 10-byte reply. The server behind the relay (`loadgen.py --small-server`, Nagle off on its
side too) reads the 20 bytes and answers with the 10 bytes of the body. An exchange is timed from
the header's `send()` to the reply's last byte; the first exchange of a run can also wait for the
relay's own connection to the server. "direct" is the client talking to the server itself;
VEXAProxy runs a TCP rule, the peers their TCP forwarding settings of the throughput workload
(haproxy `mode tcp`, nginx `stream`, socat `TCP4-LISTEN,fork`, rinetd), each on a port of its own. A relay that leaves Nagle's algorithm on for its socket to the server
and writes the header and the body to it apart holds the body back until the header is
acknowledged; when the server's kernel delays that acknowledgement (no reply carries it, as the
server answers only once it has both pieces), the exchange waits for the delayed-acknowledgement
timer, about 40 ms on Linux. Whether the relay reads both pieces at once and whether the
acknowledgement is delayed change from exchange to exchange, so only some exchanges wait, and
how many changes from run to run.

`BENCH_ONLY=small make bench` runs it (under two minutes; `BENCH_SMALL_N` sets the number of
exchanges, %(n)d); a full run runs it too. Either rewrites this block.
%(end)s""" % {"begin": SMALL_BEGIN, "end": SMALL_END, "date": facts["date"], "commit": saved.get("commit", "?"),
              "cores": facts["cores"], "load0": facts["load"][0], "load1": facts["load_end"][0],
              "quick": " (quick run)" if saved["quick"] else "", "line": small_line(small), "runs": saved["runs"],
              "table": "\n".join(rows), "n": n}


def put_block(docs, old, block):
    """Puts block in docs/benchmarks.md in the place of old, or before "What each workload does"
    when there is no old one."""
    text = open(docs).read()
    if old:
        text = text.replace(old, block)
    else:
        at = text.find("\n## What each workload does")
        text = text[:at] + "\n" + block + "\n" + text[at:] if at >= 0 else text + "\n" + block + "\n"
    with open(docs, "w") as f:
        f.write(text)


def write_small(root, saved):
    """Rewrites the small exchange's block of docs/benchmarks.md (put before "What each workload
    does" when it has none) and prints its table."""
    docs = os.path.join(root, "docs", "benchmarks.md")
    block = small_block(saved)
    put_block(docs, current_block(docs, SMALL_BEGIN, SMALL_END), block)
    print(block[block.find("| Path"):block.find("### What this")])
    print("wrote the small exchange's block of docs/benchmarks.md")
