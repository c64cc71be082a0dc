#!/bin/sh
# Builds the fuzz targets with libFuzzer, ASan and UBSan and runs each: the
# frame receiver and reply decoding, then the SCPI server's input (the line
# cap, the parser and the instrument's commands).
# Usage: scripts/fuzz.sh [seconds per target] [extra libFuzzer options...]
# Not part of the test suite. The corpora and any crash files stay in
# build/fuzz/ (override with FUZZ_DIR).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
[ $# -gt 0 ] && shift
out=${FUZZ_DIR:-$root/build/fuzz}
mkdir -p "$out/corpus" "$out/crashes" "$out/scpi-corpus"
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I$root"

clang++ $flags \
  "$root/tests/fuzz/frame_fuzz.cpp" \
  "$root/core/link/frame.cpp" "$root/core/link/tester_commands.cpp" "$root/core/link/reply_mailbox.cpp" "$root/core/link/pdo.cpp" \
  -o "$out/frame_fuzz"

clang++ $flags \
  "$root/tests/fuzz/scpi_fuzz.cpp" \
  "$root/server/scpi_errors.cpp" "$root/server/scpi_lines.cpp" "$root/server/scpi_parser.cpp" \
  "$root/server/scpi_values.cpp" "$root/server/instrument.cpp" "$root/server/instrument_load.cpp" \
  "$root/server/instrument_source.cpp" \
  "$root/core/config/config_rules.cpp" "$root/core/link/pdo.cpp" "$root/core/link/profile_text.cpp" \
  "$root/core/link/measured_values.cpp" "$root/core/base/tester_state.cpp" "$root/core/base/utf8.cpp" \
  -o "$out/scpi_fuzz"

# A few well-formed frames to start from: a version reply, a notice, a
# capability list header and a calibration record.
printf '\000\002\003\001\024\036\010\003' > "$out/corpus/version"
printf '\000\002\001\040\040\003' > "$out/corpus/notice"
printf '\000\377\002\002\012\001\012\003\002\014\344\001\001\007\350\003\346\003\354\377\355\377\000\003' > "$out/corpus/mixed"

# Messages a client sends, the first byte the read size.
printf '\000*IDN?;*OPC?\nMEAS:VOLT?;CURR?\r\n' > "$out/scpi-corpus/queries"
printf '\003CURR:LIM:ACC;MODE FORC;LIM 4.5;:CURR 4.5 A;INP ON\nSYST:ERR?\n' > "$out/scpi-corpus/load"
printf '\000PROF:SEL 1;VOLT 9000 MV;:SWE:STEP:CURR MIN;TIME MIN;:SWE\nRIPP 0.5;:RIPP:RES?\n' > "$out/scpi-corpus/runs"
printf "\\000SYST:NAME 'a''b';*ESE 36;*STB?;:SOUR2:CURR #H12\\n" > "$out/scpi-corpus/errors"

"$out/frame_fuzz" -max_total_time="$seconds" -artifact_prefix="$out/crashes/frame-" -print_final_stats=1 "$@" "$out/corpus"
"$out/scpi_fuzz" -max_total_time="$seconds" -artifact_prefix="$out/crashes/scpi-" -print_final_stats=1 "$@" "$out/scpi-corpus"
