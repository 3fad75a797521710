#!/bin/bash
# Runs two builds of pdb_convert, one inflating with ISA-L and one with zlib,
# on the same damaged and padded gzip inputs, and requires the same status,
# messages and output from both: copies of gzipped PDB and mmCIF files with
# bits flipped, cut short, or with bytes after them, from a fixed seed.
# usage: inflaters_agree.sh <pdb_convert> <other pdb_convert> <scratch dir>
#        [cases]   (default 400)
set -u
first=$(realpath -e "$1") second=$(realpath -e "$2") || exit 2
work=$3 cases=${4:-400}
src=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$work" && mkdir -p "$work/bases" || exit 2
cd "$work" || exit 2
# The texts compressed every way the inflaters read differently: levels
# that give stored, fixed and dynamic blocks, two members, a stored name,
# zero padding.
gzip -1n < "$src/examples/peptide.pdb" > bases/fast.gz
gzip -9n < "$src/examples/peptide.pdb" > bases/best.gz
cat bases/fast.gz bases/best.gz > bases/members.gz
cp "$src/examples/peptide.pdb" peptide.pdb && gzip -9 peptide.pdb &&
  mv peptide.pdb.gz bases/named.gz
gzip -9n < "$src/tests/mmcif/syntax.cif" > bases/syntax.cif.gz
cp "$src/tests/mmcif/one_row.cif.gz" bases/one_row.cif.gz
{ cat bases/best.gz; head -c 300 /dev/zero; } > bases/padded.gz
bases=(bases/*)

# flip <file> <offset> <bit>
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N 1 "$1")
  printf "\\$(printf %03o $((byte ^ (1 << $3))))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# run <program> <input> <name>: status, streams and output in <name>.*
run() {
  rm -f out.pdb
  "$1" "$2" out.pdb > "$3.stdout" 2> "$3.stderr"
  echo $? > "$3.status"
  if [ -e out.pdb ]; then mv out.pdb "$3.out"; else : > "$3.out"; fi
}

RANDOM=26
differ=0 converted=0
for ((n = 0; n < cases; ++n)); do
  base=${bases[RANDOM % ${#bases[@]}]}
  cp "$base" input.gz
  size=$(stat -c %s input.gz)
  # No more than two bits, a quarter of them in the header.
  for ((k = RANDOM % 3; k > 0; --k)); do
    at=$(((RANDOM * 32768 + RANDOM) % size))
    [ $((RANDOM % 4)) = 0 ] && at=$((RANDOM % 10))
    flip input.gz $at $((RANDOM % 8))
  done
  case $((RANDOM % 4)) in
    0) truncate -s $(((RANDOM * 32768 + RANDOM) % size)) input.gz ;;
    1) printf 'ATOM\n' >> input.gz ;;
  esac
  run "$first" input.gz first
  run "$second" input.gz second
  for part in status stdout stderr out; do
    if ! cmp -s "first.$part" "second.$part"; then
      differ=$((differ + 1))
      cp input.gz "differs.$n.gz"
      [ $differ -le 10 ] &&
        echo "case $n, from $base: the $part differs (kept as differs.$n.gz)"
      break
    fi
  done
  [ "$(< first.status)" = 0 ] && converted=$((converted + 1))
done
echo "$cases cases, $converted converted, $differ differing"
[ $differ = 0 ] && cd / && rm -rf "$work"
[ $differ = 0 ]
