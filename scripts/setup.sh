#!/usr/bin/env bash
# Prepares a Debian 12 machine for building: system packages and the FFmpeg shared
# libraries (built once from the release tarball into a cache outside the clone).
# Idempotent: a second run installs nothing and builds nothing.
# Prints the FFmpeg prefix on its last line.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(build-essential cmake ninja-build nasm pkg-config zlib1g-dev libbz2-dev liblzma-dev
          libsdl2-dev libsoundtouch-dev libasound2-dev qt6-base-dev libgtest-dev libbenchmark-dev xvfb xauth
          xz-utils binutils clang libclang-rt-14-dev python3 universal-ctags)

# The cache lives outside the clone: in the user's cache folder, found through the
# password database when HOME is unset (service and CI contexts), else in the build tree.
home=${HOME:-$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6 || true)}
if [ -n "${XDG_CACHE_HOME:-}" ]; then
  cache=$XDG_CACHE_HOME/ostrevan
elif [ -n "$home" ] && [ -d "$home" ]; then
  cache=$home/.cache/ostrevan
else
  cache=$here/build/.cache/ostrevan
fi
mkdir -p "$cache"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  # apt and dpkg talk a lot: their whole output goes to a log beside the cache, shown
  # (its end) only when the installation fails.
  log=$cache/apt.log
  echo "setup: installing ${#missing[@]} Debian packages: ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  if ! { $sudo apt-get update -q &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
       </dev/null >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "setup: the package installation failed; its whole output is in $log" >&2
    exit 1
  fi
  echo "setup: packages installed (apt's output: $log)" >&2
fi

# The FFmpeg release tarball: ../shared/deps beside the clone, or FFMPEG_TARBALL.
tarball=${FFMPEG_TARBALL:-$here/../shared/deps/ffmpeg-8.1.2-libs.tar.xz}
sums=$(dirname "$tarball")/SHA256SUMS
if [ ! -f "$tarball" ]; then
  cat >&2 <<MSG
setup: the FFmpeg 8.1.2 source tarball was not found at
  $tarball
Provide it by setting FFMPEG_TARBALL to the path of ffmpeg-8.1.2-libs.tar.xz
(with its SHA256SUMS beside it), then run this command again.
MSG
  exit 1
fi
sha=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ -f "$sums" ]; then
  want=$(grep "$(basename "$tarball")" "$sums" | cut -d' ' -f1)
  if [ "$sha" != "$want" ]; then
    echo "setup: checksum mismatch for $tarball (got $sha, want $want)" >&2
    exit 1
  fi
fi

# The key names the tarball and this recipe: change the recipe, bump its number.
recipe=3
prefix=$cache/ffmpeg-$sha-r$recipe
# One build at a time: a second setup waits for the first and then finds it done.
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$prefix/.complete" ]; then
  started=$SECONDS
  elapsed() { printf '%dm%02ds' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)); }
  echo "setup: building FFmpeg 8.1.2 into $prefix (ten minutes or so on an idle machine, up to an hour on a busy one)" >&2
  work=$(mktemp -d "$cache/build.XXXXXX")
  make_pid=
  # An interrupted build leaves no compiler behind and nothing in the cache.
  trap '[ -z "$make_pid" ] || kill "$make_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
  tar -xf "$tarball" -C "$work"
  src=$(find "$work" -maxdepth 2 -name configure -printf '%h\n' | head -n1)
  rm -rf "$prefix"
  cd "$src"
  echo "setup: FFmpeg: configuring" >&2
  # The run path $ORIGIN lets each library find its siblings in its own folder. The
  # dollar passes configure's eval, make's expansion of the library rules (twice)
  # and the shell: hence the escapes.
  ./configure --prefix="$prefix" --enable-shared --disable-static --disable-programs \
    --disable-doc --extra-ldflags='-Wl,-rpath,\\\$\$\$\$ORIGIN' >"$work/configure.log" 2>&1 \
    || { tail -n 40 "$work/configure.log" >&2; exit 1; }
  # The libraries this configuration builds, each announced when it is linked; between
  # them a count of the compiled objects every half minute.
  libs=()
  for d in lib*/; do
    d=${d%/}
    name=${d#lib}
    if grep -q "^CONFIG_${name^^}=yes" ffbuild/config.mak; then libs+=("$d"); fi
  done
  total_libs=${#libs[@]}
  echo "setup: FFmpeg: compiling $total_libs libraries (${libs[*]}) on $(nproc) cores" >&2
  make -j"$(nproc)" >"$work/make.log" 2>&1 &
  make_pid=$!
  done_libs=0
  next_count=$((SECONDS + 30))
  while kill -0 "$make_pid" 2>/dev/null; do
    sleep 2
    for i in "${!libs[@]}"; do
      l=${libs[$i]}
      if compgen -G "$l/$l.so.*" >/dev/null; then
        done_libs=$((done_libs + 1))
        echo "setup: FFmpeg: $l done ($done_libs of $total_libs, $(elapsed))" >&2
        unset 'libs[i]'
      fi
    done
    if ((SECONDS >= next_count)); then
      echo "setup: FFmpeg: $(find . -name '*.o' | wc -l) objects compiled ($(elapsed))" >&2
      next_count=$((SECONDS + 30))
    fi
  done
  if ! wait "$make_pid"; then
    make_pid=
    tail -n 40 "$work/make.log" >&2
    exit 1
  fi
  make_pid=
  echo "setup: FFmpeg: installing" >&2
  make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  cd "$here"
  touch "$prefix/.complete"
  echo "setup: FFmpeg built in $(elapsed)" >&2
fi
echo "$prefix"
