#!/bin/sh
# Builds the frame receiver's fuzz target with libFuzzer, ASan and UBSan and runs
# it. Usage: scripts/fuzz.sh [seconds] [extra libFuzzer options...]
# Not part of the test suite. The corpus and any crash files stay in
# build/fuzz/ (override with FUZZ_DIR).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
[ $# -gt 0 ] && shift
out=${FUZZ_DIR:-$root/build/fuzz}
mkdir -p "$out/corpus" "$out/crashes"

clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" \
  "$root/tests/fuzz/frame_fuzz.cpp" \
  "$root/core/link/frame.cpp" "$root/core/link/tester_commands.cpp" "$root/core/link/reply_mailbox.cpp" "$root/core/link/pdo.cpp" \
  -o "$out/frame_fuzz"

# A few well-formed frames to start from: a version reply, a notice, a
# capability list header and a calibration record.
printf '\000\002\003\001\024\036\010\003' > "$out/corpus/version"
printf '\000\002\001\040\040\003' > "$out/corpus/notice"
printf '\000\377\002\002\012\001\012\003\002\014\344\001\001\007\350\003\346\003\354\377\355\377\000\003' > "$out/corpus/mixed"

"$out/frame_fuzz" -max_total_time="$seconds" -artifact_prefix="$out/crashes/" -print_final_stats=1 "$@" "$out/corpus"
