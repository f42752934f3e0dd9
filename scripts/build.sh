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

# The main job end to end: the sample host compresses and restores a real
# file in both formats through the control. Another file: scripts/build.sh
# FILE, or KELB_SAMPLE_FILE=FILE; another level: KELB_SAMPLE_LEVEL=1..9.
sample_file=${1:-${KELB_SAMPLE_FILE:-/usr/share/common-licenses/GPL-3}}
echo
echo "== sample host: build/native/bin/kelbzip2_sample $sample_file"
build/native/bin/kelbzip2_sample -l "${KELB_SAMPLE_LEVEL:-9}" "$sample_file"
