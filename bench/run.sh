#!/usr/bin/env bash
# Benchmarks the release daemon against haproxy, rinetd, socat, nginx stream and dnsmasq on loopback,
# inside private namespaces (nothing on the host network is touched). Installs its peers from
# Debian's packages, builds the daemon, runs bench/bench.py and rewrites docs/benchmarks.md and
# docs/benchmarks.png. BENCH_QUICK=1 gives a short smoke run, BENCH_ONLY=a,b some workloads only
# (see bench/bench.py). Not part of the tests or CI.
set -euo pipefail
cd "$(dirname "$0")/.."
# The project's own packages plus the peers measured against.
scripts/deps.sh iperf3 haproxy rinetd socat nginx libnginx-mod-stream wrk dnsperf dnsmasq-base gnuplot-nox nftables
cmake --preset release >/dev/null
cmake --build --preset release -j2
# The whole run is bounded: every workload has a fixed duration; this is a last guard, longer
# by the client-table workloads' own durations when they are set longer.
guard=$((2400 + 5 * ${BENCH_FRESHDNS_S:-0} + 2 * ${BENCH_UDPFLOOD_S:-0} + 3 * ${BENCH_SILENTTCP_S:-0}
  + 2 * ${BENCH_SPOOFUDP_S:-0} + 3 * ${BENCH_RECONNECTTCP_S:-0} + 8 * ${BENCH_STUCK_ROUNDS:-0} * ${BENCH_STUCK_LOOKUP_S:-0}))
[ "${BENCH_ACCEPTANCE:-}" = 1 ] && guard=$((guard + 3000))
VEXAPROXY_BIN="$PWD/build/release/vexaproxy" exec timeout --foreground -k 30 "$guard" \
  scripts/netns-run /usr/bin/python3 bench/bench.py
