#!/usr/bin/env bash
# Builds the fuzzers with clang (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer) and runs each for a bounded time from its seed corpus.
#   tests/fuzz/run.sh [build dir]     (default: build/fuzz)
# VESK_FUZZ_SECONDS sets the time per fuzzer (default 20). New inputs go to
# the build dir; a crashing input is saved there and fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/fuzz}
seconds=${VESK_FUZZ_SECONDS:-20}
cxx=${VESK_FUZZ_CXX:-clang++-16}

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target fuzz_prelude fuzz_memory_restore fuzz_codec

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for name in prelude memory_restore codec; do
  seeds=$root/tests/fuzz/corpus/${name%_restore}
  work=$build/work-$name
  mkdir -p "$work"
  echo "fuzz_$name: ${seconds}s from $(ls "$seeds" | wc -l) seeds"
  "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$build/crash-$name-" "$work" "$seeds" 2>"$build/fuzz_$name.log" || {
    tail -n 60 "$build/fuzz_$name.log" >&2
    echo "fuzz_$name failed; the input is saved as $build/crash-$name-*" >&2
    exit 1
  }
  grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz_$name.log" || true
done
