# Sourced by the run and test scripts: a display (Xvfb when none is given or
# when asked for) and a template Wine prefix made once per build folder.
#   LOADPOST_BUILD   build folder (default build/win64)
#   LOADPOST_XVFB=1  always use a private virtual display
# Exports DISPLAY, LOADPOST_WINE_TEMPLATE and WINEDEBUG.

LOADPOST_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LOADPOST_BUILD="${LOADPOST_BUILD:-$LOADPOST_ROOT/build/win64}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

loadpost_start_xvfb() {
  # Xvfb picks a free display number itself and writes it to the given fd.
  local numfile
  numfile="$(mktemp)"
  Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
  LOADPOST_XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    if [ -s "$numfile" ]; then
      export DISPLAY=":$(head -1 "$numfile" | tr -d '[:space:]')"
      rm -f "$numfile"
      return 0
    fi
    sleep 0.1
  done
  rm -f "$numfile"
  echo "Xvfb did not start" >&2
  return 1
}

loadpost_stop_xvfb() {
  if [ -n "${LOADPOST_XVFB_PID:-}" ]; then
    kill "$LOADPOST_XVFB_PID" 2>/dev/null || true
    wait "$LOADPOST_XVFB_PID" 2>/dev/null || true
    LOADPOST_XVFB_PID=
  fi
}

# Makes (once) a booted prefix whose Documents folder is a real folder inside the
# prefix, with Wine's crash dialog off so that a crash ends a test.
loadpost_make_template() {
  export LOADPOST_WINE_TEMPLATE="$LOADPOST_BUILD/wine-template"
  if [ -f "$LOADPOST_WINE_TEMPLATE/.ready" ]; then return 0; fi
  rm -rf "$LOADPOST_WINE_TEMPLATE"
  mkdir -p "$LOADPOST_WINE_TEMPLATE/home"
  (
    export WINEPREFIX="$LOADPOST_WINE_TEMPLATE/prefix" HOME="$LOADPOST_WINE_TEMPLATE/home"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d 'false' /f >/dev/null 2>&1
    # Windows get Wine's own frames: without a window manager on the virtual
    # display, every closing message box would otherwise stall for seconds.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    local user_dir
    for user_dir in "$WINEPREFIX"/drive_c/users/*; do
      local d
      for d in Documents Desktop Downloads Music Pictures Videos Templates; do
        if [ -L "$user_dir/$d" ]; then rm -f "$user_dir/$d"; mkdir -p "$user_dir/$d"; fi
      done
    done
  )
  touch "$LOADPOST_WINE_TEMPLATE/.ready"
}

# Copies the template into a fresh prefix: files are hard links except the
# registry, which Wine rewrites.
loadpost_fresh_prefix() {
  local target="$1"
  rm -rf "$target"
  mkdir -p "$target"
  cp -al "$LOADPOST_WINE_TEMPLATE/prefix" "$target/prefix"
  local reg
  for reg in "$target"/prefix/*.reg; do
    cp --remove-destination "$LOADPOST_WINE_TEMPLATE/prefix/$(basename "$reg")" "$reg"
  done
  mkdir -p "$target/home"
}
