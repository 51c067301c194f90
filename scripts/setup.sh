#!/usr/bin/env bash
# Prepares a Debian 12 machine for building: system packages and the FFmpeg shared
# libraries (built once from the release tarball into a cache outside the clone).
# Idempotent: a second run installs nothing and builds nothing.
# Prints the FFmpeg prefix on its last line.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(build-essential cmake ninja-build nasm pkg-config zlib1g-dev libbz2-dev liblzma-dev
          libsdl2-dev libsoundtouch-dev libasound2-dev qt6-base-dev libgtest-dev libbenchmark-dev xvfb xauth
          xz-utils binutils clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq >&2
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
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
# The key names the tarball and this recipe: change the recipe, bump its number.
recipe=3
prefix=$cache/ffmpeg-$sha-r$recipe
mkdir -p "$cache"
# One build at a time: a second setup waits for the first and then finds it done.
exec 9>"$cache/.lock"
flock 9
if [ ! -f "$prefix/.complete" ]; then
  echo "setup: building FFmpeg 8.1.2 into $prefix (a few minutes)" >&2
  work=$(mktemp -d "$cache/build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  tar -xf "$tarball" -C "$work"
  src=$(find "$work" -maxdepth 2 -name configure -printf '%h\n' | head -n1)
  rm -rf "$prefix"
  (
    cd "$src"
    # The run path $ORIGIN lets each library find its siblings in its own folder. The
    # dollar passes configure's eval, make's expansion of the library rules (twice)
    # and the shell: hence the escapes.
    ./configure --prefix="$prefix" --enable-shared --disable-static --disable-programs \
      --disable-doc --extra-ldflags='-Wl,-rpath,\\\$\$\$\$ORIGIN' >"$work/configure.log" 2>&1 \
      || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  )
  touch "$prefix/.complete"
fi
echo "$prefix"
