#!/usr/bin/env bash
# Default searches on the harness's problems, the engine at an earlier
# revision against the current one, one after the other on the same machine,
# at a given max_complexity (default 7, which every problem reaches in
# seconds).
#
#   BEFORE=REV [ONLY='NAME|NAME...'] bench/compare-before.sh [MAX_COMPLEXITY]
#
# BEFORE (required) is any git revision: a commit, a tag, main, HEAD~3.
# Needs the git history and `make bench` run once (for build/bench and the
# venvs). The old engine is exported (git archive) into
# build/before-<commit>/src and built beside it. An engine older than
# search_bench's --data mode gets today's search_bench, reduced to what that
# engine has: no evaluation-path switch.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${BEFORE:-}" ]; then
  echo "usage: BEFORE=REV [ONLY='NAME|NAME...'] bench/compare-before.sh [MAX_COMPLEXITY]" >&2
  exit 2
fi
REV=$(git rev-parse --short "$BEFORE^{commit}")
MAXC=${1:-7}
ROOT=$PWD
DIR=build/before-$REV
OLD=$ROOT/$DIR/src
VENV=${VENV:-$ROOT/.venv}  # the build tools' venv, as in the Makefile
CMAKE=$VENV/bin/cmake
NINJA=$VENV/bin/ninja

if [ ! -d "$OLD" ]; then
  mkdir -p "$OLD"
  git archive "$REV" | tar -x -C "$OLD"
  if ! grep -q -- '--data' "$OLD/bench/search_bench.cpp"; then
    sed -e 's/^const char\* path_name(vok::EvalPath path).*$/const char* path_name(int) { return "before"; }/' \
        -e 's/path_name(config\.eval_path)/path_name(0)/' \
        -e 's/^\( *\)config\.eval_path = vok::EvalPath::PerSample;/\1(void)0;/' \
        bench/search_bench.cpp >"$OLD/bench/search_bench.cpp"
    printf 'add_executable(search_bench search_bench.cpp)\ntarget_link_libraries(search_bench PRIVATE vok_engine)\n' \
        >"$OLD/bench/CMakeLists.txt"
  fi
fi
"$CMAKE" -S "$OLD" -B $DIR/build -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DVOK_BUILD_BENCH=ON -DVOK_BUILD_TESTS=OFF -DVOK_BUILD_PYTHON=OFF >/dev/null
"$CMAKE" --build $DIR/build --target search_bench >/dev/null
NEW=build/bench/bench/search_bench
[ -x "$NEW" ] || { echo "run make bench first (it builds $NEW)" >&2; exit 2; }

DATA=$DIR/data
mkdir -p "$DATA"
.venv-bench/bin/python - "$DATA" <<'EOF'
import sys
from pathlib import Path
sys.path.insert(0, "bench")
import harness, kit
for name in harness.PROBLEMS:
    harness.write_data_file(kit.PROBLEMS[name], Path(sys.argv[1]) / f"{name}.txt")
EOF

printf '%-15s %9s %9s %8s %9s %9s  %s\n' problem "before s" "now s" speedup "before MB" "now MB" "same result"
for f in "$DATA"/*.txt; do
  name=$(basename "$f" .txt)
  [[ "$name" =~ ^(${ONLY:-.*})$ ]] || continue
  run() {
    /usr/bin/time -f '%e %M' -o "$DATA/time" "$1" --data "$f" --max-complexity "$MAXC" 2>/dev/null | tail -1
  }
  old_json=$(run $DIR/build/bench/search_bench); old_t=$(cat "$DATA/time")
  new_json=$(run "$NEW"); new_t=$(cat "$DATA/time")
  python3 - "$name" "$old_t" "$new_t" "$old_json" "$new_json" <<'EOF'
import json, sys
name, old_t, new_t, old_j, new_j = sys.argv[1:]
(os_, om), (ns, nm) = (map(float, old_t.split()), map(float, new_t.split()))
keys = ("candidates", "error", "formula", "levels")
a, b = json.loads(old_j), json.loads(new_j)
same = all(a.get(k) == b.get(k) for k in keys)
speedup = f"{os_ / ns:7.1f}x" if ns >= 0.05 else "      -"  # too short to time
print(f"{name:<15} {os_:9.2f} {ns:9.2f} {speedup} {om / 1024:9.1f} {nm / 1024:9.1f}  {'yes' if same else 'NO'}")
EOF
done
