#!/usr/bin/env bash
# Builds and starts the Miravel demo. Only what the demo needs is built (the library,
# the engine, the components and Miravel); scripts/test.sh builds the tests and
# benchmarks.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$here/scripts/build.sh" --target Ostrevan --target Miravel | tail -n1)
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display found; starting Miravel on a virtual display (xvfb-run)," \
       "where its window cannot be seen; stop it with Ctrl+C" >&2
  # The virtual display runs in a session of its own, where the terminal's Ctrl+C does
  # not reach it. Ctrl+C is handed to Miravel alone, which closes its window and ends;
  # only then does xvfb-run take the display down.
  pidfile=$(mktemp)
  trap 'rm -f "$pidfile"' EXIT
  setsid xvfb-run -a -s "-screen 0 1280x1024x24" \
    sh -c 'echo $$ >"$0"; exec "$@"' "$pidfile" "$build/demo/Miravel" "$@" &
  runner=$!
  signalled=0
  stop() {
    signalled=$((signalled + 1))
    local pid
    pid=$(cat "$pidfile" 2>/dev/null || true)
    if [ -z "$pid" ]; then
      kill -TERM "$runner" 2>/dev/null || true  # Miravel has not started yet
    elif ((signalled == 1)); then
      kill -TERM "$pid" 2>/dev/null || true
    else
      kill -KILL "$pid" 2>/dev/null || true  # a second Ctrl+C does not wait for it
    fi
  }
  trap stop INT TERM
  status=0
  while :; do
    wait "$runner" && status=0 || status=$?
    kill -0 "$runner" 2>/dev/null || break
  done
  exit "$status"
fi
# The player draws inside the form's X11 window: with an X server at hand (also
# XWayland) Qt goes through it unless asked otherwise.
if [ -n "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-xcb}; fi
exec "$build/demo/Miravel" "$@"
