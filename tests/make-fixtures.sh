#!/usr/bin/env bash
# make-fixtures.sh DIR BZIP2_SOURCE: real files and the real bzip2 tool's output of them, once per build tree.
set -euo pipefail
dir=$1 src=$(cd "$2" && pwd)
# The stamp carries this script's digest: a changed recipe makes them anew.
stamp="$dir/.complete-$(md5sum < "$0" | cut -c1-12)"
[ -f "$stamp" ] && exit 0
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"

# Plain files: text, binary, incompressible, empty, sizes at chunk edges.
cat /usr/share/common-licenses/GPL-3 /usr/share/common-licenses/Apache-2.0 > text.txt
head -c 1000000 "$(command -v bash)" > binary.bin
head -c 300000 /dev/urandom > random.bin
head -c 16000000 /dev/urandom > large.bin
: > empty.txt
head -c 4096 /dev/urandom > chunk4096.bin
head -c 32768 /dev/urandom > chunk32768.bin
# Block ends of every kind: runs of every length libbzip2's run-length stage cares about amid text (level-1
# blocks end in or by a run 11 times); a one-byte block after a full one; a run across a block's end; one byte.
perl -e 'srand(11); binmode STDOUT; my @len = (1,2,3,4,5,6,7,254,255,256,257,259,260,300,510,511,1000);
  for my $i (1..25000) { print map { chr(int(rand(4)) + 97) } 1..int(rand(80)); print chr(int(rand(256))) x $len[$i % @len] }' > runs.bin
perl -e 'binmode STDOUT; print map { chr($_ % 251) } 0..99981' > edge.bin
perl -e 'binmode STDOUT; print map { chr($_ % 251) } 0..99969; print "a" x 2000' > edgerun.bin
printf 'x' > one.bin
# Runs shorter than four among longer ones, level-1 block ends among them, and two equal bytes first.
perl -e 'srand(5); binmode STDOUT; print "aabbbbbbc";
  for (1..60000) { print map { chr(int(rand(3)) + 97) } 1..int(rand(12)); print chr(int(rand(256))) x int(rand(6)) }' > shortruns.bin
# Compresses well, so decompression writes far more than it reads.
for i in $(seq 400); do cat text.txt; done > repeat.txt

# Debian's bzip2 source ships reference files with their compressed forms.
cp "$src"/sample[123].ref "$src"/sample[123].bz2 .

# The tool's output, byte for byte what ours must match.
for f in text.txt binary.bin random.bin empty.txt chunk4096.bin; do
  for level in 1 5 9; do bzip2 -"$level" -c "$f" > "$f.$level.bz2"; done
done
for level in 1 2 3 4 5 6 7 8 9; do bzip2 -"$level" -c runs.bin > runs.bin.$level.bz2; done
for f in edge.bin edgerun.bin one.bin shortruns.bin; do bzip2 -1 -c "$f" > "$f.1.bz2"; done
bzip2 -9 -c one.bin > one.bin.9.bz2
bzip2 -9 -c large.bin > large.bin.bz2
bzip2 -9 -c repeat.txt > repeat.txt.bz2

# Several streams in a row, and garbage after a complete stream.
cat text.txt.9.bz2 random.bin.1.bz2 binary.bin.5.bz2 > concat.bz2
cat text.txt random.bin binary.bin > concat.expected
{ cat text.txt.1.bz2; printf 'this is not a bzip2 stream\n'; } > trailing-garbage.bz2
# Eight empty streams: more than 100 bytes that yield no data.
for i in 1 2 3 4 5 6 7 8; do cat empty.txt.9.bz2; done > empty-streams.bz2

# Damage: a flipped byte in the middle, and a file cut short.
cp random.bin.9.bz2 corrupt.bz2
size=$(stat -c %s corrupt.bz2)
# Every bit flipped: a fixed value would, once in 256 runs, be the byte already there.
byte=$(od -An -tu1 -j $((size / 2)) -N 1 corrupt.bz2 | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 255)))" | dd of=corrupt.bz2 bs=1 seek=$((size / 2)) conv=notrunc status=none
head -c $((size / 2)) random.bin.9.bz2 > truncated.bz2
printf 'BZ' > short.bz2
printf 'PK\003\004 not bzip2 at all' > notbzip2.bz2

# Digests by the real md5sum, for targets that cannot run it themselves.
for f in text.txt binary.bin random.bin large.bin runs.bin empty.txt chunk32768.bin; do
  md5sum "$f" | cut -c1-32 > "$f.md5"
done

touch "$stamp"
