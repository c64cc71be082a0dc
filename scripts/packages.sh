#!/usr/bin/env bash
# Builds the packages a user installs, into build/packages/:
#   Loadpost-<version>-win64-setup.exe  Windows installer (NSIS)
#   Loadpost-<version>-win64.zip        the same files, portable
#   loadpost_<version>_amd64.deb        Debian/Ubuntu: loadpost-cli, its man page, the user guide, the udev rule
# <version> is the project's version, with the git commit ("+g1369c17") and
# ".dirty" for a tree with uncommitted changes.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
jobs="${LOADPOST_JOBS:-2}"

bash scripts/install-deps.sh
# The Debian package from a plain build (no sanitizers) of the command line.
cmake --preset package >/dev/null
cmake --build --preset package -j "$jobs" >/dev/null
cpack --preset deb >/dev/null
# The Windows packages from the win64 build: the two programs and the user guide.
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs" --target Loadpost loadpost-cli loadpost_guide_html >/dev/null
cpack --preset win64 >/dev/null

deb="$(cat build/package/generated/build_version.txt)"
win="$(cat build/win64/generated/build_version.txt)"
for f in "loadpost_${deb}_amd64.deb" "Loadpost-${win}-win64-setup.exe" "Loadpost-${win}-win64.zip"; do
  echo "$ROOT/build/packages/$f"
done
