#!/usr/bin/env bash
# The shared library exports exactly the names listed in exported_symbols.txt:
# nothing internal leaks into the interface, and nothing declared is missing.
# With "c-only" it also needs no shared library but the C library's: the C++
# runtime is linked in, so a program's start does not load it for us.
set -euo pipefail
lib="$1"
expected="$2"
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if ! diff <(sort "$expected") <(printf '%s\n' "$actual"); then
  echo "abi_check: exported names differ from $expected (< expected, > exported)" >&2
  exit 1
fi
echo "abi_check: $(printf '%s\n' "$actual" | wc -l) names, as expected"
if [ "${3:-}" = c-only ]; then
  needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  extra=$(printf '%s\n' "$needed" | grep -Ev '^(libc|ld-linux.*)\.so' | tr '\n' ' ' || true)
  if [ -n "$extra" ]; then
    echo "abi_check: the library needs more than the C library: $extra" >&2
    exit 1
  fi
  echo "abi_check: needs only $(printf '%s ' $needed)"
fi
