#!/usr/bin/env bash
# Ctrl+C (SIGINT), SIGTERM and "q" on standard input stop a conversion of the one-task host
# program as they stop the converter: the task finishes its output (an MP4 that opens and
# decodes, cut short), a signal ends the program with status 255 and "Exiting normally,
# received signal N.", "q" with the conversion's own status. With -nostdin a "q" waiting
# on standard input changes nothing.
#   convert_stop.sh <work folder> <convert>
set -euo pipefail
dir=$1
convert=$2
cd "$dir"
pid=
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; exec 7>&- 2>/dev/null || true; rm -f stop_keys' EXIT

fail() { echo "$1"; cat stop.log; exit 1; }

# Frames of the first video stream of $1 (the last report line of a decode to nothing).
frames() {
  "$convert" -hide_banner -i "$1" -f null - 2>&1 | sed -n 's/.*frame= *\([0-9]*\).*/\1/p' | tail -n1
}

# A 30 s job read at its own rate (750 frames): only a stop ends it early.
job=(-hide_banner -y -stats_period 0.05 -re -f lavfi -i testsrc2=duration=30:size=64x48:rate=25
     -c:v mpeg4 stop.mp4)

for how in INT TERM q; do
  rm -f stop.mp4 stop.log stop_keys
  mkfifo stop_keys
  "$convert" "${job[@]}" <stop_keys 2>stop.log &
  pid=$!
  exec 7>stop_keys  # the program's standard input stays open until the stop
  # The job runs once a report line with frames is out; a bound for one that never does.
  for _ in $(seq 1200); do
    grep -q "frame=" stop.log && break
    kill -0 "$pid" 2>/dev/null || fail "$how: the program ended before its first report"
    sleep 0.05
  done
  grep -q "frame=" stop.log || fail "$how: no report within 60 s"
  if [ "$how" = q ]; then echo q >&7; else kill "-$how" "$pid"; fi
  status=0
  wait "$pid" || status=$?
  pid=
  exec 7>&-
  case $how in
    INT) want=255; text="Exiting normally, received signal 2." ;;
    TERM) want=255; text="Exiting normally, received signal 15." ;;
    q) want=0; text="[q] command received. Exiting." ;;
  esac
  ((status == want)) || fail "$how: status $status, not $want"
  grep -qF "$text" stop.log || fail "$how: no \"$text\""
  errors=$("$convert" -hide_banner -v error -i stop.mp4 -f null - 2>&1) ||
    fail "$how: the output does not decode: $errors"
  [ -z "$errors" ] || fail "$how: decoding the output: $errors"
  n=$(frames stop.mp4)
  ((n > 0 && n < 750)) || fail "$how: $n frames in the output, not a stopped run's"
  echo "$how: stopped with status $status after $n frames"
done

# -nostdin: the "q" is not read; the job runs to its end.
rm -f stop.mp4
printf 'q\n' | "$convert" -hide_banner -nostdin -y -f lavfi -i testsrc2=duration=1:size=64x48:rate=25 \
  -c:v mpeg4 stop.mp4 2>stop.log || fail "-nostdin: the job failed"
n=$(frames stop.mp4)
((n == 25)) || fail "-nostdin: $n frames, not 25"
echo "-nostdin: standard input left alone"
