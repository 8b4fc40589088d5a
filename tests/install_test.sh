#!/usr/bin/env bash
# Installs cfgtree into a temporary prefix, builds the consumer program in
# tests/consumer against it through pkg-config and through find_package,
# runs both and the installed tool, then moves the prefix and does it again
# (both package files are relocatable). CONFIG is the configuration to
# install (ctest -C), for multi-configuration generators; the find_package
# consumer is built with the build's generator and, with Ninja, also with
# Ninja Multi-Config, whose programs land in a folder per configuration.
# Usage: install_test.sh BUILD_DIR CONSUMER_DIR CXX GENERATOR CMAKE PKG_CONFIG [SANITIZERS [CONFIG]]
set -euo pipefail
build=$1 consumer=$2 cxx=$3 generator=$4 cmake=$5 pkgconfig=$6 sanitize=${7:-} config=${8:-}

flags=(-std=c++20)
[ -n "$sanitize" ] && flags+=(-fsanitize="$sanitize" -fno-omit-frame-pointer)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected=$'gw:443 443\nApp {\n    host = gw\n    port = 443\n}'

fail() { echo "install test: $*" >&2; exit 1; }

check_output() {  # what, command...
  local what=$1; shift
  local got
  got=$("$@") || fail "$what exited with $?"
  [ "$got" = "$expected" ] || fail "$what printed:"$'\n'"$got"
  echo "ok: $what"
}

build_with_pkg_config() {  # prefix, output
  local pc libdir
  pc=$(find "$1" -name cfgtree.pc -print -quit)
  [ -n "$pc" ] || fail "no cfgtree.pc under $1"
  read -r -a pcflags <<<"$(PKG_CONFIG_PATH=$(dirname "$pc") "$pkgconfig" --cflags --libs cfgtree)"
  "$cxx" "${flags[@]}" "$consumer/consumer.cpp" "${pcflags[@]}" -o "$2"
  libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") "$pkgconfig" --variable=libdir cfgtree)
  check_output "pkg-config consumer ($1)" env LD_LIBRARY_PATH="$libdir" "$2"
}

build_with_cmake() {  # prefix, build dir, generator
  local program=$2/cfgtree_consumer
  "$cmake" -S "$consumer" -B "$2" -G "$3" -DCMAKE_PREFIX_PATH="$1" -DCMAKE_BUILD_TYPE="$config" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${flags[*]:1}" >/dev/null
  "$cmake" --build "$2" --config "${config:-Debug}" >/dev/null
  [ -e "$program" ] || program=$2/${config:-Debug}/cfgtree_consumer
  check_output "find_package consumer ($1, $3)" "$program"
}

build_with_cmakes() {  # prefix, build dir
  build_with_cmake "$1" "$2" "$generator"
  if [ "$generator" = Ninja ]; then build_with_cmake "$1" "$2-multi" "Ninja Multi-Config"; fi
}

run_tool() {  # prefix
  local got tool
  tool=$(find "$1" -name cfgtree -type f -print -quit)
  got=$("$tool" --version) || fail "installed tool exited with $?"
  [[ $got == "cfgtree "* ]] || fail "installed tool printed '$got'"
  printf 'a = 1\nb = ${a}2\n' >"$work/tool.cfg"
  got=$("$tool" get "$work/tool.cfg" b)
  [ "$got" = "12" ] || fail "installed tool read '$got'"
  echo "ok: installed tool ($1)"
}

"$cmake" --install "$build" ${config:+--config "$config"} --prefix "$work/prefix" >/dev/null
# Looked for by name: the folders are the build's (CMAKE_INSTALL_INCLUDEDIR, ...).
for f in cfgtree.h cfgtree.hpp cfgtree; do
  [ -n "$(find "$work/prefix" -name "$f" -type f -print -quit)" ] || fail "$f is not installed"
done
build_with_pkg_config "$work/prefix" "$work/pc_consumer"
build_with_cmakes "$work/prefix" "$work/cmake_build"
run_tool "$work/prefix"

mv "$work/prefix" "$work/moved"
build_with_pkg_config "$work/moved" "$work/pc_consumer_moved"
build_with_cmakes "$work/moved" "$work/cmake_build_moved"
run_tool "$work/moved"
