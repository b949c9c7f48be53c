#!/usr/bin/env bash
# Every test of VEXAProxy: installs what is missing, builds the release, ASan+UBSan and TSan
# variants, and runs the unit tests (all three) and the system tests (release and ASan) inside
# private namespaces, then builds the package and runs it under a real systemd (tests/service).
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build() {
  echo "== build $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$(nproc)"
}
unit() {
  echo "== unit tests ($1)"
  scripts/netns-run ctest --test-dir "build/$1" --output-on-failure --timeout 300
}
system() {
  echo "== system tests ($1)"
  VEXAPROXY_BIN="$PWD/build/$1/vexaproxy" scripts/netns-run /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/system
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

build release
unit release
system release
build asan
unit asan
system asan
build tsan
unit tsan
echo "== Debian package"
scripts/package.sh
echo "== the package under a real systemd"
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/service
echo "== fuzzing (${FUZZ_SECONDS:-60} s per target)"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
echo "== all tests passed"
