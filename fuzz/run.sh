#!/usr/bin/env bash
# fuzz/run.sh [SECONDS]: builds the libFuzzer targets with clang, replays the
# kept inputs of fuzz/regressions/<target>/, then runs each target for SECONDS
# (default 60) seeded from the peer corpus and the fixture files. Exits
# non-zero on any crash, hang, leak or sanitizer report (the input is then in
# build/fuzz/artifacts/).
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/fuzz bzsrc=$root/build/deps/bzip2-src
targets=(decompress_bzip2_fuzz decompress_bzip3_fuzz bzip3_header_fuzz)
cxx=${CXX_FUZZ:-clang++} cc=${CC_FUZZ:-clang}
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
flags="-g -O1 $san -fsanitize=fuzzer-no-link"
mkdir -p "$out/obj" "$out/artifacts"

# The engine and, when its source is at hand, libbzip2 itself, instrumented
# so that the fuzzer sees its way into the decoder.
objs=() bzlib=(-lbz2)
for name in entry job job_pool side_thread block_scanner block_decoder parallel_decompress block_cutter stream_splice \
            parallel_compress bzip2_jobs bzip3 longfile md5 engine_assert processor platform_common platform_posix longfile_posix; do
  o=$out/obj/$name.o
  if [ ! -f "$o" ] || [ "$root/engine/$name.cpp" -nt "$o" ] || [ -n "$(find "$root/engine" -name '*.h' -newer "$o")" ]; then
    $cxx -std=c++17 $flags -I"$root/engine" -c "$root/engine/$name.cpp" -o "$o"
  fi
  objs+=("$o")
done
if [ -f "$bzsrc/bzlib.c" ]; then
  bzlib=()
  for name in blocksort huffman crctable randtable compress decompress bzlib; do
    [ -f "$out/obj/bz_$name.o" ] || $cc $flags -w -D_FILE_OFFSET_BITS=64 -c "$bzsrc/$name.c" -o "$out/obj/bz_$name.o"
    bzlib+=("$out/obj/bz_$name.o")
  done
  bash "$root/tests/make-fixtures.sh" "$out/fixtures" "$bzsrc" >/dev/null
fi

# Seeds: every small bzip2 file we have, bare and behind a Bzip3 header.
seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "${targets[@]/#/$seeds/}"
for f in "$root"/../shared/testdata/bzip2-peer/*.bz2 "$out"/fixtures/*.bz2; do
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 65536 ] || continue
  cp "$f" "$seeds/decompress_bzip2_fuzz/"
  { printf 'KELB'; head -c 36 /dev/zero; cat "$f"; } > "$seeds/decompress_bzip3_fuzz/$(basename "$f")"
done
{ printf 'KELB'; head -c 16 /dev/urandom; printf '\x20\0\0\0'; head -c 16 /dev/urandom; } > "$seeds/bzip3_header_fuzz/header"
{ printf KELB; head -c 36 /dev/zero; } > "$seeds/bzip3_header_fuzz/zeros"

status=0
export KELB_FUZZ_SCRATCH=${KELB_FUZZ_SCRATCH:-$(mktemp -d)}
for t in "${targets[@]}"; do
  $cxx -std=c++17 -g -O1 $san -fsanitize=fuzzer -I"$root/engine" -I"$root/fuzz" "$root/fuzz/$t.cpp" "${objs[@]}" \
    "${bzlib[@]}" -lpthread -o "$out/$t"
  kept=("$root/fuzz/regressions/$t"/*)
  if [ -e "${kept[0]}" ]; then
    echo "== $t: replaying kept inputs"
    "$out/$t" -runs=1 "${kept[@]}" >"$out/$t.replay.log" 2>&1 || { cat "$out/$t.replay.log"; status=1; }
  fi
  echo "== $t: fuzzing for $seconds s"
  mkdir -p "$out/corpus/$t"
  # The 40-byte bombs expand to 46 MB: each run may take a while.
  if "$out/$t" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
       -artifact_prefix="$out/artifacts/$t-" "$out/corpus/$t" "$seeds/$t" >"$out/$t.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$out/$t.log" | tr '\n' ' ' && echo
  else
    tail -n 60 "$out/$t.log"
    status=1
  fi
done
rm -rf "$KELB_FUZZ_SCRATCH"
exit $status
