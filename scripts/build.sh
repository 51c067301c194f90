#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh), then configures and builds.
#   scripts/build.sh [--asan|--tsan] [extra cmake -D options]
# Prints the build directory on its last line.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variant=release
args=()
for a in "$@"; do
  case "$a" in
    --asan) variant=asan; args+=(-DOSTREVAN_ASAN=ON) ;;
    --tsan) variant=tsan; args+=(-DOSTREVAN_TSAN=ON) ;;
    *) args+=("$a") ;;
  esac
done
prefix=$("$here/scripts/setup.sh" | tail -n1)
build="$here/build/$variant"
cmake -S "$here" -B "$build" -G Ninja -DFFMPEG_PREFIX="$prefix" "${args[@]}" >&2
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
