#!/usr/bin/env bash
# The main job: sets up this machine and builds every deliverable of every
# target into build/<preset>/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
for preset in native win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done
echo
echo "Deliverables:"
ls -l build/native/bin build/win64/bin build/win32/bin | grep -v '^total'
