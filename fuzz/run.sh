#!/bin/bash
# Builds the fuzz target and runs it on a corpus seeded from the inputs of
# the command-line cases and the example.
# usage: fuzz/run.sh [libFuzzer option...]   (default: -max_total_time=60)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset fuzz
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
  -artifact_prefix=build/fuzz/ "${@:--max_total_time=60}" "$corpus"
