#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit x86 programs: it assembles
# one that only exits with status 32 (no C library, no Wine) and runs it.
set -u
build=$(cd "$(dirname "$0")/.." && pwd)/build
mkdir -p "$build" && dir=$(mktemp -d "$build/.probe32.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $32, %%ebx\n int $0x80\n' >"$dir/p.s"
as --32 -o "$dir/p.o" "$dir/p.s" 2>/dev/null && ld -m elf_i386 -o "$dir/p" "$dir/p.o" 2>/dev/null || exit 1
"$dir/p" 2>/dev/null
[ $? = 32 ]
