#!/usr/bin/env bash
# Builds the Debian package with CPack, lists its contents and runs lintian.
# Usage: scripts/package.sh [BUILD_DIR]   (default build/deb; a directory without a CMake cache is
# configured as Debian builds packages: build type None and the flags of dpkg-buildflags, with
# hardening=+all unless DEB_BUILD_MAINT_OPTIONS says otherwise)
# Fails when the build or cpack fails, or when lintian reports an error; warnings and lower tags are
# printed (and explained in docs/packaging.md) but do not fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/deb}

if [ ! -f "$build/CMakeCache.txt" ]; then
  DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all} \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DVEXAPROXY_DPKG_BUILDFLAGS=ON -DVEXAPROXY_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

out=$(mktemp -d /tmp/vexaproxy-pkg.XXXXXX)
trap 'rm -rf "$out"' EXIT
echo "== cpack"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/vexaproxy_*.deb)
mkdir -p "$build/package"
cp "$deb" "$build/package/"
deb="$build/package/$(basename "$deb")"
echo "$deb"

echo "== dpkg-deb -I"
dpkg-deb -I "$deb"
echo "== dpkg-deb -c"
dpkg-deb -c "$deb"

echo "== lintian"
if ! command -v lintian >/dev/null 2>&1; then
  echo "lintian is not installed (apt-get install lintian): skipped"
  exit 0
fi
set +e
report=$(lintian --display-info --pedantic --tag-display-limit 0 "$deb" 2>&1)
set -e
if [ -z "$report" ]; then
  echo "lintian: no tags"
else
  echo "$report"
fi
# Keep only tag lines (E:, W:, I:, P:, X:) to judge the result.
errors=$(printf '%s\n' "$report" | grep -c '^E: ' || true)
warnings=$(printf '%s\n' "$report" | grep -c '^W: ' || true)
echo "lintian: $errors error(s), $warnings warning(s)"
if [ "$errors" -gt 0 ]; then
  echo "lintian reported errors" >&2
  exit 1
fi
