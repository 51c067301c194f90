#!/usr/bin/env bash
# Configures and builds the fuzz targets with clang, then runs one briefly.
#   run_fuzzer.sh <build dir> <FFmpeg prefix> <LibAV dir> <target> [libFuzzer options...]
# The run starts from the target's corpus in tests/fuzz/corpus/<target> (copied, so the
# tree is not changed) with the dictionary tests/fuzz/<target>.dict when there is one.
# The copy goes when the run ends, whatever its end; an input that fails the target is
# kept in the build dir (crash-*, leak-*, timeout-*).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(realpath -m "$1") prefix=$2 libav=$(realpath -m "$3") target=$4
shift 4

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DFFMPEG_PREFIX="$prefix" -DLIBAV_DIR="$libav" >/dev/null
cmake --build "$build" --target "$target"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
if [ -d "$here/corpus/$target" ]; then cp "$here/corpus/$target"/* "$work/corpus/"; fi
dict=()
if [ -f "$here/$target.dict" ]; then dict=(-dict="$here/$target.dict"); fi
cd "$work"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# Not exec: this shell stays to remove the copy after the run (also after Ctrl+C).
trap 'exit 130' INT
trap 'exit 143' TERM
status=0
"$build/$target" -artifact_prefix="$build/" "${dict[@]}" "$@" "$work/corpus" || status=$?
cd /
exit "$status"
