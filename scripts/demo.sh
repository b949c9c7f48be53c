#!/usr/bin/env bash
# Shows the daemon at work: builds it, starts it on the sample configuration examples/demo-loopback.xml
# inside private namespaces (nothing on the host is touched) next to a web server, a DNS server and
# a fake cloud server on loopback, sends traffic through every kind of rule, prints what each client
# saw, stops the daemon with SIGTERM and prints both of its logs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
VEXAPROXY_BIN="$PWD/build/release/vexaproxy" exec scripts/netns-run /usr/bin/python3 scripts/demo.py
