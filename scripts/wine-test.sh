#!/usr/bin/env bash
# CTest's emulator for the Windows test executables: runs one test under Wine in
# a fresh prefix (copied from the template) and removes the prefix afterwards.
# Needs DISPLAY and LOADPOST_WINE_TEMPLATE (set by scripts/test.sh); makes them
# itself when run by hand.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

exe="$1"
shift
# UI tests read pixels off the screen: each gets a display of its own so that
# tests running side by side never overlap.
if [ -z "${DISPLAY:-}" ] || [ "${LOADPOST_UI_TEST:-0}" = "1" ]; then loadpost_start_xvfb; fi
if [ -z "${LOADPOST_WINE_TEMPLATE:-}" ]; then
  LOADPOST_BUILD="$(cd "$(dirname "$exe")/.." && pwd)"
  loadpost_make_template
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/loadpost-test.XXXXXX")"
loadpost_fresh_prefix "$work"
export WINEPREFIX="$work/prefix" HOME="$work/home"
export LOADPOST_TEST_WORK="$work"
# Screenshots and other artefacts of a test go beside the build's binaries.
export LOADPOST_ARTIFACTS="${LOADPOST_ARTIFACTS:-$(cd "$(dirname "$exe")/.." && pwd)/test-artifacts}"
mkdir -p "$LOADPOST_ARTIFACTS"

wine "$exe" "$@" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
loadpost_stop_xvfb
rm -rf "$work"
exit "$status"
