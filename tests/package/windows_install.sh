#!/usr/bin/env bash
# The Windows installer as a user runs it, in a fresh Wine prefix on a display
# of its own: windows_check.py makes the packages with cpack, installs
# silently, starts the installed programs, uninstalls and checks each step.
#   windows_install.sh <win64 build folder> <source folder>
set -uo pipefail
build="$1"
source_dir="$2"
export LOADPOST_BUILD="$build"
source "$source_dir/scripts/wine-env.sh"
loadpost_start_xvfb || exit 1
if [ -z "${LOADPOST_WINE_TEMPLATE:-}" ]; then loadpost_make_template; fi
work="$(mktemp -d "${TMPDIR:-/tmp}/loadpost-install.XXXXXX")"
loadpost_fresh_prefix "$work"
export WINEPREFIX="$work/prefix" HOME="$work/home" LOADPOST_TEST_WORK="$work"
export LOADPOST_ARTIFACTS="${LOADPOST_ARTIFACTS:-$build/test-artifacts}"
mkdir -p "$LOADPOST_ARTIFACTS"
python3 "$source_dir/tests/package/windows_check.py" "$build" "$source_dir"
status=$?
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
loadpost_stop_xvfb
rm -rf "$work"
exit "$status"
