#!/usr/bin/env bash
# Installs what the build and the tests need and prepares libbzip2 for the
# Windows targets. Safe to run again: it only does what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake make g++ pkg-config bzip2 libbz2-dev libgtest-dev googletest
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
          mingw-w64-tools wine64 libwine-dev fonts-wine dpkg-dev xvfb xauth imagemagick
          clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_update() {
  [ "$apt_updated" = 1 ] && return
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  apt_updated=1
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The 32-bit Wine for the win32 tests, where the kernel runs 32-bit programs.
if bash scripts/can-run-32bit.sh &&
   ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "setup: installing wine32:i386"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    apt_updated=0
  fi
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi

# libbzip2 for MinGW, compiled from Debian's own source package.
deps="$root/build/deps"
src="$deps/bzip2-src"
if [ ! -f "$src/bzlib.c" ]; then
  if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: enabling Debian source packages"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        | as_root tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    else
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
        | as_root tee /etc/apt/sources.list.d/debian-src.list >/dev/null
    fi
    apt_updated=0
  fi
  apt_update
  rm -rf "$deps/fetch" && mkdir -p "$deps/fetch"
  (cd "$deps/fetch" && apt-get source -qq bzip2 >/dev/null 2>&1)
  dir=$(find "$deps/fetch" -maxdepth 1 -mindepth 1 -type d -name 'bzip2-*' | head -n 1)
  [ -n "$dir" ] && [ -f "$dir/bzlib.c" ] || { echo "setup: could not unpack the bzip2 source package" >&2; exit 1; }
  rm -rf "$src" && mv "$dir" "$src" && rm -rf "$deps/fetch"
fi

for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
  out="$deps/$triple"
  [ -f "$out/lib/libbz2.a" ] && continue
  echo "setup: building libbz2 for $triple"
  rm -rf "$out" && mkdir -p "$out/lib" "$out/include" "$out/obj"
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$triple-gcc-posix" -O2 -D_FILE_OFFSET_BITS=64 -c "$src/$f.c" -o "$out/obj/$f.o"
  done
  "$triple-ar" rcs "$out/lib/libbz2.a" "$out"/obj/*.o
  cp "$src/bzlib.h" "$out/include/"
  rm -rf "$out/obj"
done
echo "setup: ready"
