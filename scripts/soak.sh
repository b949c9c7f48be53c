#!/usr/bin/env bash
# Soak run (not part of `make test`): relays TCP bytes with integrity checks, UDP datagrams and DNS
# queries through the release daemon on loopback, in private namespaces, for a bounded time.
# Defaults: 600 s, 1 GiB TCP, 1,000,000 UDP datagrams, 1,000,000 DNS queries. Options go to
# bench/soak.py (--seconds, --tcp-bytes, --udp, --dns, --dns-random-ports CLIENTS).
set -euo pipefail
cd "$(dirname "$0")/.."
export VEXAPROXY_BIN="${VEXAPROXY_BIN:-$PWD/build/release/vexaproxy}"
exec scripts/netns-run /usr/bin/python3 bench/soak.py "$@"
