#!/usr/bin/env bash
# install_test.sh BUILD CXX FILE: installs BUILD into a temporary prefix, builds the host here against it
# with find_package and with pkg-config, and runs one job with each.
set -euo pipefail
build=$1 cxx=$2 file=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$here" -B "$tmp/cmake" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cmake" >/dev/null
"$tmp/cmake/consumer" "$file" "$tmp/by-cmake"

export PKG_CONFIG_PATH=$(dirname "$(find "$tmp/prefix" -name kelbzip2.pc)")
libdir=$(pkg-config --variable=libdir kelbzip2)
# shellcheck disable=SC2046
"$cxx" -std=c++17 "$here/consumer.cpp" $(pkg-config --cflags --libs kelbzip2) -Wl,-rpath,"$libdir" \
  -o "$tmp/pc-consumer"
"$tmp/pc-consumer" "$file" "$tmp/by-pkg-config"
