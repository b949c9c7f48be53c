#!/usr/bin/env bash
# Shows the daemon at work: builds it, starts it on the sample configuration inside private
# namespaces (nothing on the host is touched), asks it to reload, stops it with SIGTERM and prints
# what it logged.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
exec scripts/netns-run bash -c '
  set -euo pipefail
  mkdir -p /etc/VEXAProxy
  cp examples/VEXAProxy.xml /etc/VEXAProxy/VEXAProxy.xml
  echo "== starting: build/release/vexaproxy service"
  build/release/vexaproxy service &
  pid=$!
  for _ in $(seq 50); do [ -s /var/log/VEXA/VEXAProxy/logs/bad/C0000001.log ] && break; sleep 0.1; done
  echo "== SIGHUP"; kill -HUP $pid; sleep 1.2
  echo "== SIGTERM"; kill -TERM $pid
  wait $pid; echo "== exit code $?"
  echo "== main log (/var/log/VEXA/VEXAProxy/logs/bad)"; cat /var/log/VEXA/VEXAProxy/logs/bad/*.log
  echo "== DNS log (/var/log/VEXA/VEXAProxy/logs/dns)"; cat /var/log/VEXA/VEXAProxy/logs/dns/*.log
'
