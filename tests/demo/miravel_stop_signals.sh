#!/usr/bin/env bash
# Ctrl+C (SIGINT) and a plain kill (SIGTERM) end Miravel as closing its window does: the
# program returns 0, quietly, while its display is still there.
#   miravel_stop_signals.sh <Miravel>
set -euo pipefail
miravel=$1
# Qt on the X display when there is one (scripts/test.sh provides Xvfb), else off-screen.
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
err=$(mktemp)
pid=
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; rm -f "$err"' EXIT
for sig in INT TERM; do
  "$miravel" 2>"$err" &
  pid=$!
  # The program catches the signal from here on (the caught-signals mask in /proc); a
  # bound for a program that never gets there.
  bit=$(kill -l "$sig")
  caught=0
  for _ in $(seq 1200); do
    mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    if [ -n "$mask" ] && (((16#$mask >> (bit - 1)) & 1)); then caught=1; break; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ((!caught)); then
    echo "Miravel never caught SIG$sig"; cat "$err"; exit 1
  fi
  kill "-$sig" "$pid"
  status=0
  wait "$pid" || status=$?
  pid=
  if ((status != 0)); then
    echo "SIG$sig ended Miravel with status $status"; cat "$err"; exit 1
  fi
  if grep -q "X11 connection broke\|X11 server die" "$err"; then
    echo "Miravel lost its display on SIG$sig:"; cat "$err"; exit 1
  fi
  echo "SIG$sig: Miravel ended normally"
done
