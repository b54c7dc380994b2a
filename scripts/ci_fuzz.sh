#!/usr/bin/env bash
# Fuzzes the link logic (reading, selection, encoding, formatting) with
# libFuzzer under ASan + UBSan for a bounded time; any crash, sanitizer report
# or violated property fails the run.
#
#   scripts/ci_fuzz.sh                              # CI: 90 seconds
#   MANILINK_FUZZ_SECONDS=3600 scripts/ci_fuzz.sh   # a longer local run
#
# The corpus grows in build/fuzz/corpus; fuzz/corpus (the seeds) is only read.
# A finding is written to build/fuzz/artifacts/; add it to fuzz/corpus so
# that every later run replays it, and add a test for it.
set -euo pipefail
source "$(dirname "$0")/ci_lib.sh"
BUILD="$ROOT/build/fuzz"
SECONDS_TO_RUN="${MANILINK_FUZZ_SECONDS:-90}"

if ! command -v clang++ >/dev/null || ! clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a |
    grep -q /; then
  apt-get update -q && apt-get install -y -q clang libclang-rt-14-dev
fi
use_tools

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DMANILINK_WERROR=ON -DMANILINK_FUZZ=ON
ninja -C "$BUILD" link_fuzzer

mkdir -p "$BUILD/corpus" "$BUILD/artifacts"
log="$BUILD/fuzz.log"
# First replay every seed (and every earlier finding kept there), then fuzz.
"$BUILD/link_fuzzer" -runs=0 "$ROOT/fuzz/corpus"
set +e
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
  "$BUILD/link_fuzzer" -dict="$ROOT/fuzz/link.dict" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1 \
  -artifact_prefix="$BUILD/artifacts/" "$BUILD/corpus" "$ROOT/fuzz/corpus" 2>&1 | tee "$log" |
  grep -E '^#[0-9]+ +(INITED|DONE|pulse)|ERROR|SUMMARY|property violated|stat::'
status=${PIPESTATUS[0]}
set -e
edges="$(grep -oE 'Loaded [0-9]+ modules +\([0-9]+ inline 8-bit counters' "$log" |
  grep -oE '[0-9]+ inline' | grep -oE '[0-9]+' || true)"
last="$(grep -E '^#[0-9]+' "$log" | tail -1)"
echo "fuzz summary: $(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" || true);" \
  "last status: $last; instrumented edges: ${edges:-?}; exit $status"
exit "$status"
