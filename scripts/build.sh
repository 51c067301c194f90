#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh), then configures and builds.
#   scripts/build.sh [--asan|--tsan] [--target NAME]... [extra cmake -D options]
# Without --target everything is built (tests and benchmarks included).
# Prints the build directory on its last line.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variant=release
args=()
targets=()
while (($#)); do
  case "$1" in
    --asan) variant=asan; args+=(-DOSTREVAN_ASAN=ON) ;;
    --tsan) variant=tsan; args+=(-DOSTREVAN_TSAN=ON) ;;
    --target)
      (($# >= 2)) || { echo "build: --target needs a target name" >&2; exit 2; }
      targets+=("$2"); shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
prefix=$("$here/scripts/setup.sh" | tail -n1)
build="$here/build/$variant"
cmake -S "$here" -B "$build" -G Ninja -DFFMPEG_PREFIX="$prefix" "${args[@]}" >&2
if ((${#targets[@]})); then
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >&2
else
  cmake --build "$build" -j"$(nproc)" >&2
fi
echo "$build"
