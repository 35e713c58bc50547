#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each and reports the executions done.
#   run-fuzz.sh SECONDS BUILD_DIR PYTHON
# New inputs go to BUILD_DIR/work/<target> (the committed seeds in
# fuzz/corpus/<target> are only read); a crashing input is written to
# BUILD_DIR/artifacts/ and its report printed. Exits non-zero on any finding.
set -uo pipefail
secs=${1:-60}
build=${2:-build/fuzz}
py=${3:-.venv-asan/bin/python}
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
mkdir -p "$build/work" "$build/artifacts" "$build/logs"
failed=0
summary=()

run_target() {
  local name=$1; shift
  local log="$build/logs/$name.log"
  mkdir -p "$build/work/$name"
  local start=$SECONDS
  # -timeout catches hangs; a tiny search must never take 30 s.
  "$@" -max_total_time="$secs" -print_final_stats=1 -timeout=30 -rss_limit_mb=3072 \
    -artifact_prefix="$build/artifacts/$name-" "$build/work/$name" "fuzz/corpus/$name" >"$log" 2>&1
  local rc=$? took=$((SECONDS - start))
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  execs=${execs:-0}
  local line
  line=$(printf '%-12s %10s executions in %4d s (%s exec/s)' "$name" "$execs" "$took" \
    "$((execs / (took > 0 ? took : 1)))")
  if [ $rc -ne 0 ]; then
    failed=1
    line="$line  FAILED (exit $rc)"
    echo "=== fuzz target $name failed; end of its log ($log):" >&2
    tail -60 "$log" >&2
  fi
  summary+=("$line")
  echo "$line"
}

for t in eval render fingerprint; do
  run_target "$t" "$build/fuzz_$t"
done
run_target module scripts/sanitizers/asan-python "$py" fuzz/python/fuzz_module.py
run_target engine scripts/sanitizers/asan-python "$py" fuzz/python/fuzz_engine.py

echo "fuzz summary (${secs} s per target):"
printf '  %s\n' "${summary[@]}"
exit $failed
