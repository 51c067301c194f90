#!/usr/bin/env bash
# Builds and starts the Miravel demo.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$here/scripts/build.sh" | tail -n1)
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display found; starting Miravel on a virtual display (xvfb-run)," \
       "where its window cannot be seen; stop it with Ctrl+C" >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build/demo/Miravel" "$@"
fi
# The player draws inside the form's X11 window: with an X server at hand (also
# XWayland) Qt goes through it unless asked otherwise.
if [ -n "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-xcb}; fi
exec "$build/demo/Miravel" "$@"
