#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) and runs each for SECONDS (default 60), two
# at a time. The committed corpora under fuzz/corpus/ are read first, so every input that once
# crashed is replayed before new ones are tried. New inputs go to build/fuzz/corpus/, crashes to
# build/fuzz/artifacts/. Exits non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-${FUZZ_SECONDS:-60}}"
JOBS="${FUZZ_JOBS:-2}"
TARGETS=(config dns_query dns_frames cloud_decod http_host ipv6_target numfile parse_string dbstring allow_list)

fuzz/build.sh
mkdir -p build/fuzz/artifacts build/fuzz/logs
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
  local t="$1"
  mkdir -p "build/fuzz/corpus/$t"
  if build/fuzz/"fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=10 -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="build/fuzz/artifacts/$t-" "build/fuzz/corpus/$t" "fuzz/corpus/$t" \
       >"build/fuzz/logs/$t.log" 2>&1; then
    echo "fuzz $t: ok ($(grep -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/logs/$t.log" | grep -o '[0-9]*$') runs)"
  else
    echo "fuzz $t: FAILED, see build/fuzz/logs/$t.log and build/fuzz/artifacts/$t-*"
    tail -40 "build/fuzz/logs/$t.log"
    return 1
  fi
}

failed=0
pids=()
for t in "${TARGETS[@]}"; do
  run_one "$t" &
  pids+=($!)
  if (( ${#pids[@]} >= JOBS )); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
if (( failed )); then echo "== fuzzing found failures"; exit 1; fi
echo "== fuzzing passed"
