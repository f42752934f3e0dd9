#!/usr/bin/env bash
# fuzz/run.sh [SECONDS]: builds the libFuzzer targets with clang, replays fuzz/regressions/<target>/, then
# runs each target for SECONDS (default 60) from the peer corpus and the fixtures. Fails on any crash, hang,
# leak or sanitizer report (the input is then in build/fuzz/artifacts/).
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/fuzz bzsrc=$root/build/deps/bzip2-src
cxx=${CXX_FUZZ:-clang++} cc=${CC_FUZZ:-clang}
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
flags="-g -O1 $san -fsanitize=fuzzer-no-link"
mkdir -p "$out/obj" "$out/artifacts"

# The engine and libbzip2, instrumented so that the fuzzer sees its way into the decoder.
objs=()
for name in entry job job_pool side_thread block_scanner block_decoder parallel_decompress block_cutter stream_splice \
            parallel_compress bzip2_jobs bzip3 longfile md5 engine_assert processor platform_common platform_posix longfile_posix; do
  o=$out/obj/$name.o
  if [ ! -f "$o" ] || [ "$root/engine/$name.cpp" -nt "$o" ] || [ -n "$(find "$root/engine" -name '*.h' -newer "$o")" ]; then
    $cxx -std=c++17 $flags -I"$root/engine" -c "$root/engine/$name.cpp" -o "$o"
  fi
  objs+=("$o")
done
for name in blocksort huffman crctable randtable compress decompress bzlib; do
  [ -f "$out/obj/bz_$name.o" ] || $cc $flags -w -D_FILE_OFFSET_BITS=64 -c "$bzsrc/$name.c" -o "$out/obj/bz_$name.o"
  objs+=("$out/obj/bz_$name.o")
done
bash "$root/tests/make-fixtures.sh" "$out/fixtures" "$bzsrc" >/dev/null

# Seeds: every small bzip2 file we have, bare and behind a Bzip3 header.
seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "$seeds"/{bzip2,bzip3,header}
for f in "$root"/../shared/testdata/bzip2-peer/*.bz2 "$out"/fixtures/*.bz2; do
  [ "$(stat -c %s "$f")" -le 65536 ] || continue
  cp "$f" "$seeds/bzip2/"
  { printf 'KELB'; head -c 36 /dev/zero; cat "$f"; } > "$seeds/bzip3/$(basename "$f")"
done
{ printf 'KELB'; head -c 16 /dev/urandom; printf '\x20\0\0\0'; head -c 16 /dev/urandom; } > "$seeds/header/random"

status=0
export KELB_FUZZ_SCRATCH=$(mktemp -d -p "$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)")
for t in decompress_bzip2_fuzz:bzip2 decompress_bzip3_fuzz:bzip3 bzip3_header_fuzz:header; do
  IFS=: read -r t seed <<<"$t"
  $cxx -std=c++17 -g -O1 $san -fsanitize=fuzzer -DFUZZ_${seed^^} -I"$root/engine" "$root/fuzz/targets.cpp" "${objs[@]}" \
    -lpthread -o "$out/$t"
  kept=("$root/fuzz/regressions/$t"/*)
  if [ -e "${kept[0]}" ]; then
    echo "== $t: replaying kept inputs"
    "$out/$t" -runs=1 "${kept[@]}" >"$out/$t.replay.log" 2>&1 || { cat "$out/$t.replay.log"; status=1; }
  fi
  echo "== $t: fuzzing for $seconds s"
  mkdir -p "$out/corpus/$t"
  # The 40-byte bombs expand to 46 MB: each run may take a while.
  if "$out/$t" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
       -artifact_prefix="$out/artifacts/$t-" "$out/corpus/$t" "$seeds/$seed" >"$out/$t.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$out/$t.log" | tr '\n' ' ' && echo
  else
    tail -n 60 "$out/$t.log"
    status=1
  fi
done
rm -rf "$KELB_FUZZ_SCRATCH"
exit $status
