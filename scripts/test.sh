#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh            plain build
#   scripts/test.sh --asan     under AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan     under ThreadSanitizer
# Each test runs in a process of its own under ctest (the supported way to run the suite).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$here/scripts/build.sh" "$@" | tail -n1)

# A name that a public engine header declares but only one unit uses belongs in that
# unit's internal header: such a leak fails the run.
if ! leaks=$(python3 "$here/scripts/header-users.py"); then
  printf '%s\n' "$leaks" >&2
  echo "test: public engine headers declare the ONE-UNIT names above" >&2
  exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
# Third-party leaks at exit (system libraries only) are suppressed in the sanitizer runs.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Calls that the uninstrumented libraries (FFmpeg, SDL, Qt) make through intercepted
# functions (malloc, memcpy ...) are theirs, not accesses of our code.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$here/tests/tsan.supp}
# What the tests make in the temporary folder goes in a folder of this run's own, removed
# when the run ends: also what a crashed or killed test could not remove itself.
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/ostrevan_tests.XXXXXX")
trap 'rm -rf "$run_tmp"' EXIT
export TMPDIR=$run_tmp

# A program of a user's own, built as the README's "Using the components in a program"
# says: the examples' project in a folder of its own (under the build), with the clone in
# it as ostrevan; then its conversion example converts a generated clip.
host=$build/host
mkdir -p "$host"
cp -p "$here"/examples/CMakeLists.txt "$here"/examples/*_example.cpp "$host"/
ln -sfn "$here" "$host/ostrevan"
(
  cd "$host"
  rm -f converted.mp4
  # README: host-build
  cmake -S . -B build -G Ninja -DFFMPEG_PREFIX="$(ostrevan/scripts/setup.sh | tail -n1)"
  cmake --build build
  build/convert_example
  # README end
  test -s converted.mp4
) >&2

# Windows of the GUI tests need a display: use a virtual one when there is none.
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
else
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
fi
