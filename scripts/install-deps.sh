#!/usr/bin/env bash
# Installs the Debian packages the build, the program under Wine and the tests
# need. Quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  xvfb xauth x11-utils imagemagick
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  python3
  # loadpost-cli: options (CLI11) and JSON output and reports (nlohmann-json), header-only
  libcli11-dev nlohmann-json3-dev
  # loadpost-cli serve: its sockets (standalone Asio, header-only, also for the MinGW build)
  libasio-dev
  # loadpost-cli --db and history: the results history, an embedded SQLite database (C API)
  libsqlite3-dev
  # serve's tests drive it as a lab does, through PyVISA and its pure-Python backend
  python3-pyvisa python3-pyvisa-py
  # tests: a real JUnit consumer reads the JUnit XML of report --junit as a CI system would
  python3-junitparser
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
