#!/bin/bash
# Builds the fuzz targets and runs them in turn: the reader and writer on a
# corpus seeded from the inputs of the command-line cases and the example,
# then the number conversions against the C library.
# usage: fuzz/run.sh [libFuzzer option...]   (default: -max_total_time=60)
# The options go to both targets, but a -max_total_time is shared: two
# thirds of it to the reader and writer, a third to the numbers.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset fuzz

[ $# -gt 0 ] || set -- -max_total_time=60
options=()
numbers_options=()
for option in "$@"; do
  case $option in
    -max_total_time=*)
      total=${option#*=}
      # libFuzzer reads 0 as no limit at all.
      share=$((total / 3 > 0 ? total / 3 : 1))
      options+=("-max_total_time=$((total - share > 0 ? total - share : 1))")
      numbers_options+=("-max_total_time=$share")
      ;;
    *)
      options+=("$option")
      numbers_options+=("$option")
      ;;
  esac
done

corpus=build/fuzz/corpus
mkdir -p "$corpus"
for input in tests/cli/*/input.pdb; do
  cp "$input" "$corpus/seed_$(basename "$(dirname "$input")")"
done
cp examples/peptide.pdb "$corpus/seed_example"

# Each run writes two files; on tmpfs that goes about four times as fast.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi

# The program's progress line on every run would bury libFuzzer's report;
# close_fd_mask=2 discards the target's stderr but keeps libFuzzer's own.
build/fuzz/fuzz/pdb_convert_fuzz -close_fd_mask=2 \
  -artifact_prefix=build/fuzz/ "${options[@]}" "$corpus"

# Seeded with fields as they come: a length byte, then the field.
numbers_corpus=build/fuzz/numbers_corpus
mkdir -p "$numbers_corpus"
printf '\010  -7.125\010  11.500\005 1234\004 -12\003-0.' \
  > "$numbers_corpus/seed_fields"
build/fuzz/fuzz/numbers_fuzz -artifact_prefix=build/fuzz/numbers- \
  "${numbers_options[@]}" "$numbers_corpus"
