#!/bin/sh
# make-corpus.sh DIR [MIB]
#
# Makes the benchmark corpus from files this machine already has: four
# files of up to MIB MiB each (16 by default), each the machine's files of
# one kind laid end to end in sorted order, so that the same machine always
# makes the same corpus.
#   text.txt        licences and documentation in /usr/share
#   executables.bin ELF programs from /usr/bin and /usr/sbin
#   compressed.bin  .gz, .xz, .png and .jpg files from /usr/share
#   source.txt      C and C++ headers from /usr/include
set -eu
dir=${1:?usage: make-corpus.sh DIR [MIB]}
mib=${2:-16}
bytes=$((mib * 1024 * 1024))
mkdir -p "$dir"

# Lays the listed files end to end and stops at the size cap.
gather() {
    sort -u | while IFS= read -r f; do
        [ -f "$f" ] && [ -r "$f" ] || continue
        cat "$f" || break  # the cap is reached
    done 2>/dev/null | head -c "$bytes" >"$dir/$1" || true
    size=$(stat -c %s "$dir/$1")
    echo "$1: $size bytes"
    [ "$size" -gt 0 ] || { echo "no files of this kind on this machine" >&2; exit 1; }
}

{
    find /usr/share/common-licenses -type f
    find /usr/share/doc -type f \( -name copyright -o -name '*.txt' -o -name '*.md' -o -name README \)
} | gather text.txt

find /usr/bin /usr/sbin -maxdepth 1 -type f -size +4k | while IFS= read -r f; do
    # ELF files only: their first four bytes are 7f 45 4c 46.
    [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] && echo "$f"
done | gather executables.bin

find /usr/share -type f \( -name '*.gz' -o -name '*.xz' -o -name '*.png' -o -name '*.jpg' \) -size +1k |
    gather compressed.bin

find /usr/include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.tcc' \) | gather source.txt
