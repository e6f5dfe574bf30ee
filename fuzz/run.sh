#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (default 20 s each); exits
# non-zero as soon as one finds a crash, leak, timeout or failed check.
# Usage: fuzz/run.sh [seconds_per_target] [target...]
# New corpus entries go to fuzz/out/corpus/<target>/ (the seeds in
# fuzz/corpus/<target>/ are only read); crash inputs to fuzz/out/crashes/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
secs="${1:-20}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_decode fuzz_roundtrip fuzz_builder)

for t in "${targets[@]}"; do
  [ -x "$here/out/$t" ] || "$here/build.sh"
done
[ -d "$here/corpus/fuzz_decode" ] || python3 "$here/make_seeds.py"

mkdir -p "$here/out/crashes"
for t in "${targets[@]}"; do
  mkdir -p "$here/out/corpus/$t"
  echo "== $t: ${secs}s"
  # -timeout: no single input may take longer (a hang is a failure too).
  if ! ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$here/out/$t" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$here/out/crashes/$t-" \
      "$here/out/corpus/$t" "$here/corpus/$t" 2>"$here/out/$t.log"; then
    tail -n 60 "$here/out/$t.log"
    echo "FAILED: $t (log: $here/out/$t.log)"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+ +DONE' "$here/out/$t.log" || true
done
echo "fuzzing OK"
