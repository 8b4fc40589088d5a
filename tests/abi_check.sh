#!/usr/bin/env bash
# The shared library exports exactly the names listed in exported_symbols.txt:
# nothing internal leaks into the interface, and nothing declared is missing.
set -euo pipefail
lib="$1"
expected="$2"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if ! diff <(sort "$expected") <(printf '%s\n' "$actual"); then
  echo "abi_check: exported names differ from $expected (< expected, > exported)" >&2
  exit 1
fi
echo "abi_check: $(printf '%s\n' "$actual" | wc -l) names, as expected"
