#!/usr/bin/env bash
# Runs the benchmarks (not part of the test suite): the native Google Benchmark
# programs of bench/ in an optimised build, then the Windows ones of bench/win/
# under Wine. Each prints its own figures and ratios.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/install-deps.sh

cmake --preset bench >/dev/null && cmake --build --preset bench -j 2 >/dev/null || exit 1
for b in build/bench/bin/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true
done
# serve's queries per second from PyVISA, against watch's readings in the same run.
echo "== serve_bench.py"
/usr/bin/python3 bench/serve_bench.py build/bench/bin/loadpost-cli 2>/dev/null

cmake --preset win64 -DLOADPOST_BENCH=ON >/dev/null && cmake --build --preset win64 -j 2 >/dev/null || exit 1
for b in build/win64/bin/*_bench.exe; do
  [ -f "$b" ] || continue
  echo "== $(basename "$b")"
  scripts/wine-test.sh "$b"
done
