#!/usr/bin/env bash
# Sets up this machine, builds every target and runs every test that can run
# here: native directly and again under AddressSanitizer with
# UndefinedBehaviorSanitizer (asan) and under ThreadSanitizer (tsan), win64
# under wine64 and win32 under the 32-bit Wine, each in a fresh prefix (win32
# by its static checks alone where 32-bit programs cannot run); then each
# fuzz target for a short budget. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
jobs=$(nproc 2>/dev/null || echo 2)

passed=0 failed=0 status=0
for preset in native asan tsan win64 win32; do
  echo "== build $preset"
  if ! { cmake --preset "$preset" -DBUILD_TESTING=ON >/dev/null && cmake --build --preset "$preset" -j"$jobs"; }; then
    echo "build of $preset failed"
    status=1 failed=$((failed + 1))
    continue
  fi
  case $preset in win*) rm -rf "build/$preset/wineprefix" ;; esac
  if [ "$preset" = win32 ] && ! bash scripts/can-run-32bit.sh; then
    echo "== win32: this machine cannot run 32-bit programs, so only the static checks of the 32-bit build run"
  fi
  echo "== test $preset"
  log=$(mktemp)
  ctest --preset "$preset" -j"$jobs" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  if [ -z "$line" ]; then
    status=1 failed=$((failed + 1))
  else
    passed=$((passed + total - bad)) failed=$((failed + bad))
  fi
  rm -f "$log"
done
echo "== fuzz, ${KELB_FUZZ_SECONDS:-20} s per target"
if bash fuzz/run.sh "${KELB_FUZZ_SECONDS:-20}"; then
  passed=$((passed + 1))
else
  status=1 failed=$((failed + 1))
fi

echo
echo "Total: $passed passed, $failed failed"
exit $status
