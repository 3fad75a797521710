#!/bin/bash
# Converts a generated input of realistic size and content with pdb_convert
# and with the awk program in bench/, and compares the two outputs byte for
# byte: a second, independent opinion on every record of a whole structure.
# The same input gzipped must convert to the same bytes: its records straddle
# the buffers of inflated text as the plain file's straddle those it reads.
# usage: matches_awk.sh <pdb_convert> <make_pdb> <convert.awk> <scratch dir>
set -u
exe=$1 make_pdb=$2 awk_program=$3 work=$4

rm -rf "$work" && mkdir -p "$work" || exit 2
"$make_pdb" file "$work/input.pdb" 5000000 20261207 || exit 2
"$exe" "$work/input.pdb" "$work/pdb_convert.pdb" 2> /dev/null || exit 1
awk -f "$awk_program" "$work/input.pdb" > "$work/awk.pdb" || exit 2
if ! cmp "$work/awk.pdb" "$work/pdb_convert.pdb"; then
  diff "$work/awk.pdb" "$work/pdb_convert.pdb" | head -20
  exit 1
fi
gzip -n < "$work/input.pdb" > "$work/gzipped.pdb" || exit 2
"$exe" "$work/gzipped.pdb" "$work/pdb_convert_gzipped.pdb" 2> /dev/null ||
  exit 1
cmp "$work/awk.pdb" "$work/pdb_convert_gzipped.pdb" || exit 1
