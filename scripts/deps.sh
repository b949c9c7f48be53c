#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing VEXAProxy needs, and any further
# packages named as arguments (the benchmark's peers); skips what is there.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config libxml2-dev libgtest-dev libgmock-dev
  python3 python3-pytest python3-dnspython
  iproute2 util-linux nftables procps systemd
  dnsmasq-base socat bind9-dnsutils curl
  dpkg-dev lintian gzip
  clang libclang-rt-14-dev
  "$@"
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
