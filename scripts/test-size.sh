#!/usr/bin/env bash
# Lines of test code (tests/ and fuzz/, harnesses included, kept fuzz inputs
# not) against lines of product code (engine/, control/, register/, sample/).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | grep -v '^fuzz/regressions/' | tr '\n' '\0' | xargs -0 cat | wc -l; }
tests=$(count tests fuzz)
product=$(count engine control register sample)
echo "test lines: $tests, product lines: $product, ratio $(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.2f", t / p }')"
