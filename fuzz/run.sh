#!/usr/bin/env bash
# fuzz/run.sh [SECONDS]: builds the libFuzzer targets with clang and runs each
# for SECONDS (default 60), seeded from the peer corpus and the fixture files.
# Kept crash inputs in fuzz/regressions/<target>/ are replayed first. Exits
# non-zero when any target finds a crash, hang, leak or sanitizer report;
# the input is then in build/fuzz/artifacts/.
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/fuzz
peer=$root/../shared/testdata/bzip2-peer
bzsrc=$root/build/deps/bzip2-src
targets=(decompress_bzip2_fuzz decompress_bzip3_fuzz bzip3_header_fuzz)

cxx=${CXX_FUZZ:-clang++}
cc=${CC_FUZZ:-clang}
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
flags="-g -O1 $san -fsanitize=fuzzer-no-link"
mkdir -p "$out/obj" "$out/artifacts"

# The engine and, when its source is at hand, libbzip2 itself, instrumented
# so that the fuzzer sees its way into the decoder.
engine=(entry job job_pool side_thread block_scanner block_decoder parallel_decompress block_cutter stream_splice parallel_compress bzip2_jobs bzip3 longfile md5 engine_assert processor platform_common
        platform_posix longfile_posix)
objs=()
for name in "${engine[@]}"; do
  o=$out/obj/$name.o
  if [ ! -f "$o" ] || [ "$root/engine/$name.cpp" -nt "$o" ] || [ -n "$(find "$root/engine" -name '*.h' -newer "$o")" ]; then
    $cxx -std=c++17 $flags -I"$root/engine" -c "$root/engine/$name.cpp" -o "$o"
  fi
  objs+=("$o")
done
bzlib=(-lbz2)
if [ -f "$bzsrc/bzlib.c" ]; then
  bzlib=()
  for name in blocksort huffman crctable randtable compress decompress bzlib; do
    o=$out/obj/bz_$name.o
    [ -f "$o" ] || $cc $flags -w -D_FILE_OFFSET_BITS=64 -c "$bzsrc/$name.c" -o "$o"
    bzlib+=("$o")
  done
fi
for t in "${targets[@]}"; do
  $cxx -std=c++17 -g -O1 $san -fsanitize=fuzzer -I"$root/engine" -I"$root/fuzz" \
    "$root/fuzz/$t.cpp" "${objs[@]}" "${bzlib[@]}" -lpthread -o "$out/$t"
done

# Seeds: every small bzip2 file we have, bare and behind a Bzip3 header.
fixtures=$out/fixtures
[ -f "$bzsrc/bzlib.c" ] && bash "$root/tests/make-fixtures.sh" "$fixtures" "$bzsrc" >/dev/null
seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "$seeds"/{decompress_bzip2_fuzz,decompress_bzip3_fuzz,bzip3_header_fuzz}
for f in "$peer"/*.bz2 "$fixtures"/*.bz2; do
  [ -f "$f" ] || continue
  [ "$(stat -c %s "$f")" -le 65536 ] || continue
  name=$(basename "$f")
  cp "$f" "$seeds/decompress_bzip2_fuzz/$name"
  { printf 'KELB'; head -c 36 /dev/zero; cat "$f"; } > "$seeds/decompress_bzip3_fuzz/$name"
done
{ printf 'KELB'; head -c 16 /dev/urandom; printf '\x20\0\0\0'; head -c 16 /dev/urandom; } \
  > "$seeds/bzip3_header_fuzz/header"
head -c 40 "$seeds/decompress_bzip3_fuzz/fib.bz2" > "$seeds/bzip3_header_fuzz/zeros" 2>/dev/null || true

status=0
export KELB_FUZZ_SCRATCH=${KELB_FUZZ_SCRATCH:-$(mktemp -d)}
for t in "${targets[@]}"; do
  kept=$root/fuzz/regressions/$t
  if [ -d "$kept" ] && [ -n "$(ls -A "$kept")" ]; then
    echo "== $t: replaying kept inputs"
    "$out/$t" -runs=1 "$kept"/* >"$out/$t.replay.log" 2>&1 || { cat "$out/$t.replay.log"; status=1; }
  fi
  echo "== $t: fuzzing for $seconds s"
  corpus=$out/corpus/$t
  mkdir -p "$corpus"
  # The 40-byte bombs expand to 46 MB: each run may take a while.
  if ! "$out/$t" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len=65536 \
       -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
       "$corpus" "$seeds/$t" >"$out/$t.log" 2>&1; then
    tail -n 60 "$out/$t.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$out/$t.log" | tr '\n' ' '
    echo
  fi
done
rm -rf "$KELB_FUZZ_SCRATCH"
exit $status
