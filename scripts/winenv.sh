# Sourced by scripts/test, scripts/demo and the benchmarks: a private Wine prefix, an X display
# (Xvfb when none is set) and one wineserver kept alive for the run.
# wine_env_up PREFIX_DIR [wow64]; everything started here is stopped on exit (by process id).
# With "wow64" PREFIX_DIR is made a 64-bit prefix with Wine's 32-bit side (scripts/wine32), where
# the 32-bit build runs as a WOW64 process on a machine that cannot run 32-bit code itself.

CV_ROOT=${CV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
CV_WINE_RUN="$CV_ROOT/cmake/wine-run"

wine_env_down() {
  wine_workers_down
  if [ -n "${CV_WINESERVER_STARTED:-}" ]; then
    "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    CV_WINESERVER_STARTED=
  fi
  if [ -n "${CV_XVFB_PID:-}" ]; then
    kill "$CV_XVFB_PID" 2>/dev/null || true
    wait "$CV_XVFB_PID" 2>/dev/null || true
    CV_XVFB_PID=
  fi
}

# True when this machine runs 32-bit Windows programs (Wine's 32-bit loader starts).
wine_has_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# True when the 32-bit build can run here: natively, or as a WOW64 process (scripts/wine32).
wine_can_run_32bit() { wine_has_32bit || "$CV_ROOT/scripts/wine32" ready; }

wine_env_up() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ "${2:-}" = wow64 ]; then
    export CV_WINE32_PREFIX="$1"
    "$CV_ROOT/scripts/wine32" setup || return 1
    eval "$("$CV_ROOT/scripts/wine32" env)"
    export CV_WINE_WOW64=1
  else
    export WINEPREFIX="$1"
    unset WINESERVER CV_WINE_WOW64
    if wine_has_32bit; then
      export CV_WINE_LOADER=/usr/lib/wine/wine
    else
      export CV_WINE_LOADER=/usr/lib/wine/wine64
    fi
    export WINELOADER="$CV_WINE_LOADER"
  fi
  trap wine_env_down EXIT

  if [ -z "${DISPLAY:-}" ] && wine_start_xvfb; then
    CV_XVFB_PID=$CV_LAST_XVFB
    export DISPLAY=$CV_LAST_DISPLAY
  fi

  if [ ! -f "$WINEPREFIX/.cv-ready" ]; then
    echo "wine: preparing prefix $WINEPREFIX (once, about 15 s)" >&2
    mkdir -p "$WINEPREFIX"
    "$CV_WINE_RUN" wineboot -i >/dev/null 2>&1 || true
    "${WINESERVER:-wineserver}" -w
    touch "$WINEPREFIX/.cv-ready"
  fi
  # One persistent server for the whole run (process start drops from seconds to ~0.1 s).
  "${WINESERVER:-wineserver}" -p >/dev/null 2>&1 </dev/null
  CV_WINESERVER_STARTED=1
  wine_unmanaged_windows "$WINEPREFIX"
  "$CV_WINE_RUN" cmd /c exit >/dev/null 2>&1 || true
}

# Xvfb has no window manager, and Wine waits up to 2 s for one whenever a window it hands to the
# window manager (one that was activated: the splash, a message box) is hidden or destroyed: every
# run of the installer ended 2 s later than on Windows, and one with an error box 4 s. Windows
# of this prefix stay Wine's own (the X11 driver's "Managed" = "N"); once per prefix.
wine_unmanaged_windows() {
  [ -f "$1/.cv-unmanaged" ] && return 0
  WINEPREFIX="$1" "$CV_WINE_RUN" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    touch "$1/.cv-unmanaged"
}

# Test workers: wine_workers_up N, after wine_env_up. Tests that run the installer (its instance
# mutex, its log, its prefix-wide state) take a worker of their own through CTest's resource
# groups ("instance"); worker I (1 to N) is a copy of the prefix of wine_env_up ("PREFIX.wI",
# made once and kept) with an Xvfb display and a wineserver of its own. The prefix and display of
# wine_env_up stay with the tests that take no worker: an installer run never shares a desktop
# with them (Wine's MessageBox returned at once, unseen, while a unit test of the window system
# ran in the same prefix).
# cmake/wine-run and tests/e2e/cvtest.py pick the worker's prefix and display from
# CV_WORKER_PREFIX_I and CV_WORKER_DISPLAY_I. Writes the resource file for ctest into
# $CV_WORKER_SPEC.
CV_WORKER_XVFB_PIDS=""
CV_WORKER_PREFIXES=""

wine_workers_down() {
  local p pid
  for p in $CV_WORKER_PREFIXES; do
    WINEPREFIX="$p" "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
  done
  for pid in $CV_WORKER_XVFB_PIDS; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  CV_WORKER_PREFIXES=""
  CV_WORKER_XVFB_PIDS=""
}

# Starts an Xvfb on the first free display from 90 on: the display in CV_LAST_DISPLAY, its process
# id in CV_LAST_XVFB.
wine_start_xvfb() {
  local n i
  for n in $(seq 90 160); do
    { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    CV_LAST_XVFB=$!
    for i in $(seq 1 200); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.05
    done
    CV_LAST_DISPLAY=":$n"
    return 0
  done
  return 1
}

# True when worker copy $2 of prefix $1 is missing or older than the prefix.
wine_copy_stale() { [ ! -f "$2/.cv-ready" ] || [ "$1/.cv-ready" -nt "$2/.cv-ready" ]; }

wine_workers_up() {
  local count=$1 i base=$WINEPREFIX copy stale=''
  local ids=''
  for i in $(seq 1 "$count"); do
    wine_copy_stale "$base" "$base.w$i" && stale="$stale $base.w$i"
  done
  if [ -n "$stale" ]; then
    # A copy of the prepared prefix is made in seconds (a wineboot of its own takes about 15 s);
    # the base prefix's server is stopped for the copies, so that its registry files are complete.
    # It must be gone before the copies and before a new one starts: a server started while the
    # old one still shuts down left the next test processes hanging at their exit.
    "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    "${WINESERVER:-wineserver}" -w >/dev/null 2>&1 || true
    for copy in $stale; do
      rm -rf "$copy"
      cp -a "$base" "$copy"
      touch "$copy/.cv-ready"
    done
    "${WINESERVER:-wineserver}" -p >/dev/null 2>&1 </dev/null
    "$CV_WINE_RUN" cmd /c exit >/dev/null 2>&1 || true
  fi
  for i in $(seq 1 "$count"); do
    copy="$base.w$i"
    wine_start_xvfb || return 1
    CV_WORKER_XVFB_PIDS="$CV_WORKER_XVFB_PIDS $CV_LAST_XVFB"
    CV_WORKER_PREFIXES="$CV_WORKER_PREFIXES $copy"
    export "CV_WORKER_PREFIX_$i=$copy" "CV_WORKER_DISPLAY_$i=$CV_LAST_DISPLAY"
    WINEPREFIX="$copy" "${WINESERVER:-wineserver}" -p >/dev/null 2>&1 </dev/null
    wine_unmanaged_windows "$copy"
    WINEPREFIX="$copy" DISPLAY="$CV_LAST_DISPLAY" "$CV_WINE_RUN" cmd /c exit >/dev/null 2>&1 || true
    ids="$ids${ids:+, }{\"id\": \"$i\", \"slots\": 1}"
  done
  export CV_WORKER_SPEC="${CV_WORKER_SPEC:-$base.workers.json}"
  printf '{"version": {"major": 1, "minor": 0}, "local": [{"instance": [%s]}]}\n' "$ids" > "$CV_WORKER_SPEC"
}
