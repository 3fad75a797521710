#!/bin/bash
# Converts a generated input of 2 GiB with the release build, from the file
# and through a pipe into a new file, and through standard output, checks the
# output line for line, and prints the peak memory.
# usage: scripts/large_input.sh [scratch dir]   (default: ${TMPDIR:-/tmp})
# It needs about 4 GB free there, and GNU time, which it installs as root.
set -euo pipefail
cd "$(dirname "$0")/.."

target_bytes=$((2 * 1024 * 1024 * 1024))
# Converted into a new file, the records stream through a few buffers of
# fixed size, whatever the input's size.
max_streamed_kib=$((8 * 1024))
# Through standard output, which is written where it lies, the converted
# lines are held until the input is read: 55 bytes an ATOM record, in blocks.
max_held_bytes_per_atom=64
if [ ! -x /usr/bin/time ]; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q time
  else
    echo "needs GNU time: apt-get install time" >&2
    exit 2
  fi
fi
scratch=${1:-${TMPDIR:-/tmp}}
mkdir -p "$scratch"
free_kb=$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt $((4 * 1024 * 1024)) ]; then
  echo "needs 4 GB free in $scratch, has $((free_kb / 1024)) MB" >&2
  exit 2
fi

cmake --preset release > /dev/null
cmake --build --preset release > /dev/null
exe=$PWD/build/release/pdb_convert

work=$(mktemp -d "$scratch/pdb_convert_large.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# One block: 100 residues of ten atoms (renamed hydrogens among them), a
# water after every tenth residue, remarks and a TER; 80 columns a line.
awk 'BEGIN {
  split(" N  | CA | C  | O  | CB | CG |1HD2|2HD2| HG |1HZ ", names, "|")
  printf "%-80s\n", "REMARK   1 GENERATED INPUT FOR A LARGE CONVERSION"
  serial = 0
  for (r = 1; r <= 100; r++) {
    for (a = 1; a <= 10; a++) {
      serial++
      printf "ATOM  %5d %-4s ASN A%4d    %8.3f%8.3f%8.3f  1.00 20.00           C  \n",
             serial, names[a], r, r * 1.5 - 70, a * 2.25 - 11, (r * a) % 97 - 48.5
    }
    if (r % 10 == 0) {
      serial++
      printf "HETATM%5d  O   HOH W%4d    %8.3f%8.3f%8.3f  1.00 30.00           O  \n",
             serial, r, r * 0.5, -r * 0.25, r * 0.125
    }
  }
  printf "%-80s\n", "TER"
}' > block.pdb
"$exe" block.pdb block_out.pdb 2> /dev/null
records_per_block=$(grep -c -E '^(ATOM|HETATM)' block.pdb)
atoms_per_block=$(grep -c '^ATOM' block.pdb)

# Blocks are repeated in chunks of 64 so that few processes write the file.
for i in $(seq 64); do cat block.pdb; done > chunk.pdb
for i in $(seq 64); do cat block_out.pdb; done > chunk_out.pdb
chunks=$(( (target_bytes + $(stat -c %s chunk.pdb) - 1) / $(stat -c %s chunk.pdb) ))
for i in $(seq "$chunks"); do cat chunk.pdb; done > input.pdb
records=$((records_per_block * 64 * chunks))
atoms=$((atoms_per_block * 64 * chunks))

echo "input: $(stat -c %s input.pdb) bytes, $records coordinate records," \
     "$atoms ATOM records"

# check <form> <output> <command...>: runs the conversion into output,
# checks every output line, prints the peak memory and leaves it, in KiB,
# in peak_kb.
check() {
  local form=$1 output=$2 seconds lines
  shift 2
  /usr/bin/time -f '%M %e' -o usage "$@" 2> /dev/null
  read -r peak_kb seconds < usage
  lines=$(wc -l < "$output")
  if [ "$lines" != "$atoms" ]; then
    echo "FAIL ($form): $lines output lines for $atoms ATOM records" >&2
    exit 1
  fi
  if ! for i in $(seq "$chunks"); do cat chunk_out.pdb; done |
    cmp -s - "$output"
  then
    echo "FAIL ($form): the output differs from the block's conversion," \
         "repeated" >&2
    exit 1
  fi
  rm "$output"
  echo "$form: $lines lines, each as the block converts; $seconds s;" \
       "peak RSS $peak_kb KiB, $((peak_kb * 1024 / atoms)) bytes per ATOM" \
       "record"
}

check "from the file" out.pdb "$exe" input.pdb out.pdb
[ "$peak_kb" -le "$max_streamed_kib" ] ||
  { echo "FAIL: more than $max_streamed_kib KiB" >&2; exit 1; }
check "through a pipe" out.pdb "$exe" /dev/stdin out.pdb < <(cat input.pdb)
[ "$peak_kb" -le "$max_streamed_kib" ] ||
  { echo "FAIL: more than $max_streamed_kib KiB" >&2; exit 1; }
check "held for standard output" held.pdb \
  sh -c '"$0" input.pdb /dev/stdout > held.pdb' "$exe"
[ "$((peak_kb * 1024 / atoms))" -le "$max_held_bytes_per_atom" ] || {
  echo "FAIL: more than $max_held_bytes_per_atom bytes per ATOM record" >&2
  exit 1
}
