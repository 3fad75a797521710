#!/bin/bash
# Times pdb_convert on mmCIF layouts that once took time with the square of
# their size, each beside a layout of the same size that never did, and
# measures its peak memory on many distinct tags. Prints figures only;
# nothing here passes or fails.
#
# usage: bench/layouts.sh <pdb_convert> [scratch dir]  (default: build/layouts)
#   N=n   the items and data blocks of the first pair (default 60000)
set -u
exe=${1:?usage: bench/layouts.sh <pdb_convert> [scratch dir]}
data=${2:-build/layouts}
n=${N:-60000}
mkdir -p "$data" || exit 2
[ -x /usr/bin/time ] || { echo "needs GNU time (apt-get install time)"; exit 2; }

# The blocks: many items in one data block, then many data blocks, and the
# same lines with the blocks first.
items() { seq 1 "$n" | sed 's/.*/_t.i& &/'; }
blocks() { seq 1 "$n" | sed 's/^/data_b/'; }
{ echo data_a; items; blocks; } > "$data/blocks_after.cif"
{ blocks; echo data_a; items; } > "$data/blocks_first.cif"

# The entities: 5,000 of them, then 100,000 water rows whose entities
# alternate, so that no row's answer is the row before's; polymers or not.
entities() {
  printf 'data_e\nloop_\n_entity.id\n_entity.type\n'
  seq 1 5000 | sed "s/\$/ $1/"
  printf 'loop_\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n'
  printf '_atom_site.label_entity_id\n_atom_site.Cartn_x\n'
  printf '_atom_site.Cartn_y\n_atom_site.Cartn_z\n'
  for ((i = 0; i < 50000; ++i)); do
    printf 'O HOH 5001 1 2 3\nO HOH 5002 1 2 3\n'
  done
}
entities polymer > "$data/polymers.cif"
entities water > "$data/waters.cif"

# A million distinct tags, each given once.
{ echo data_t; seq 1 1000000 | sed 's/.*/_t.i& 1/'; } > "$data/tags.cif"

# best <input>: the shortest of three runs' times, in seconds.
best() {
  local shortest=
  for _ in 1 2 3; do
    /usr/bin/time -f %e -o "$data/time" "$exe" "$1" "$data/out.pdb" 2> /dev/null
    if [ -z "$shortest" ] || [ "$(echo "$(< "$data/time") < $shortest" | bc)" = 1 ]; then
      shortest=$(< "$data/time")
    fi
  done
  echo "$shortest"
}
# pair <what> <slow layout> <fast layout>
pair() {
  local slow fast
  slow=$(best "$data/$2")
  fast=$(best "$data/$3")
  printf '%-44s %6s s %6s s  ratio %s\n' "$1" "$slow" "$fast" \
    "$(echo "scale=1; $slow / ($fast + 0.005)" | bc)"
}
pair "$n items, then $n blocks / blocks first" blocks_after.cif \
  blocks_first.cif
pair "5,000 polymer / other entities, 100,000 rows" polymers.cif waters.cif
/usr/bin/time -f %M -o "$data/time" "$exe" "$data/tags.cif" "$data/out.pdb" \
  2> /dev/null
printf '%-44s %6s KiB\n' "peak memory, 1,000,000 distinct tags" \
  "$(< "$data/time")"
rm -f "$data/out.pdb" "$data/time"
