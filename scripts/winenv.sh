# Sourced by scripts/test, scripts/demo and the benchmarks: a private Wine prefix, an X display
# (Xvfb when none is set) and one wineserver kept alive for the run.
# wine_env_up PREFIX_DIR [wow64]; everything started here is stopped on exit (by process id).
# With "wow64" PREFIX_DIR is made a 64-bit prefix with Wine's 32-bit side (scripts/wine32), where
# the 32-bit build runs as a WOW64 process on a machine that cannot run 32-bit code itself.

CV_ROOT=${CV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
CV_WINE_RUN="$CV_ROOT/cmake/wine-run"

wine_env_down() {
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

  if [ -z "${DISPLAY:-}" ]; then
    local n i
    for n in $(seq 90 140); do
      { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      CV_XVFB_PID=$!
      for i in $(seq 1 200); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.05
      done
      export DISPLAY=":$n"
      break
    done
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
  "$CV_WINE_RUN" cmd /c exit >/dev/null 2>&1 || true
}
