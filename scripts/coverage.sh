#!/usr/bin/env bash
# Line and branch coverage of engine/ and control/ by the native tests:
# builds them with --coverage into build/coverage, runs every native test and
# prints gcovr's summary (the per-file table goes to build/coverage/coverage.txt).
# Counters are updated atomically, as the jobs run on several threads.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
if ! command -v gcovr >/dev/null; then
  echo "coverage: installing gcovr"
  as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr >/dev/null
fi
jobs=$(nproc 2>/dev/null || echo 2)
out=build/coverage
cmake -S . -B "$out" -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_C_FLAGS=--coverage -fprofile-update=atomic" "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$out" -j"$jobs" >/dev/null
find "$out" -name '*.gcda' -delete
# A failing test still counts what it ran; the summary says so.
ctest --test-dir "$out" -j"$jobs" --output-on-failure >"$out/ctest.log" 2>&1 || echo "coverage: some tests failed, see $out/ctest.log"
tail -n 3 "$out/ctest.log"
gcovr -r . --object-directory "$out" --filter 'engine/' --filter 'control/' \
  --exclude-unreachable-branches --exclude-throw-branches -j "$jobs" \
  --txt "$out/coverage.txt" --print-summary
