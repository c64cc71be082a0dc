#!/usr/bin/env bash
# Builds Loadpost.exe and the simulated tester and runs the program under Wine.
# With a display ($DISPLAY) the window shows until you close it. Without one, a
# virtual display is used: the program runs a few seconds, a screenshot of the
# main window is written to build/win64/loadpost-screenshot.png and its path is
# printed.
#   LOADPOST_SIM_SCENARIO=<file>  another scenario of the simulated tester
#                                 (see sim/scenarios/)
#   LOADPOST_RUN_SECONDS=<n>      how long to run without a display (default 10)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash scripts/install-deps.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j 2 --target Loadpost ftd2xx >/dev/null

export LOADPOST_BUILD="$ROOT/build/win64"
source scripts/wine-env.sh
headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  loadpost_start_xvfb
fi
loadpost_make_template
run_dir="$LOADPOST_BUILD/run-prefix"
if [ ! -d "$run_dir/prefix" ]; then loadpost_fresh_prefix "$run_dir"; fi
export WINEPREFIX="$run_dir/prefix" HOME="$run_dir/home"
exe="$LOADPOST_BUILD/bin/Loadpost.exe"

if [ "$headless" -eq 0 ]; then
  # On a desktop the window manager frames the windows.
  wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  wine "$exe"
  exit 0
fi

wine "$exe" >/dev/null 2>&1 &
sleep "${LOADPOST_RUN_SECONDS:-10}"
shot="$LOADPOST_BUILD/loadpost-screenshot.png"
geometry="$(xwininfo -root -tree 2>/dev/null | grep -F '"Trevane(TM) Loadpost"' | head -1 |
  sed -E 's/.* ([0-9]+x[0-9]+)\+[-0-9]+\+[-0-9]+ +\+([-0-9]+)\+([-0-9]+).*/\1+\2+\3/')"
if [ -n "$geometry" ]; then
  import -window root -crop "$geometry" +repage "$shot"
else
  import -window root "$shot"
fi
wineserver -k >/dev/null 2>&1 || true
loadpost_stop_xvfb
echo "Screenshot of the main window: $shot"
