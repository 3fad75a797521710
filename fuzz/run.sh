#!/bin/bash
# Builds the fuzz targets and runs them in turn: the reader and writer on
# PDB text seeded from the inputs of the command-line cases and the example,
# on mmCIF cases and on raw mmCIF text, then the number conversions against
# the C library.
# usage: fuzz/run.sh [libFuzzer option...]   (default: -max_total_time=60)
# The options go to both targets, but a -max_total_time is shared: three
# quarters of it to the reader and writer, whose inputs have far more to
# reach, a quarter to the numbers, whose coverage stops growing in seconds.
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
      share=$((total / 4 > 0 ? total / 4 : 1))
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
# The first byte chooses the kind of input (pdb_convert_fuzz.cpp): from
# 0xF0 (octal 360) the bytes after it draw an mmCIF case, plain, gzipped or
# in two members; from 0xFC (374) they are mmCIF text after a data_ line.
for format in 0 1 2; do
  input=$(ls tests/cli/*/input.pdb | sed -n "$((format + 1))p")
  { printf "\\36$format"; cat "$input"; } > "$corpus/seed_mmcif_case_$format"
done
{
  printf '\374'
  cat <<'EOF'
loop_
_atom_site.group_PDB
_atom_site.id
_atom_site.type_symbol
_atom_site.label_atom_id
_atom_site.label_alt_id
_atom_site.label_comp_id
_atom_site.label_asym_id
_atom_site.label_entity_id
_atom_site.label_seq_id
_atom_site.Cartn_x
_atom_site.Cartn_y
_atom_site.Cartn_z
_atom_site.auth_seq_id
_atom_site.auth_comp_id
_atom_site.auth_asym_id
_atom_site.auth_atom_id
_atom_site.pdbx_PDB_model_num
ATOM   1 N  N   . ALA A 1 1 11.104 6.134 -6.504 1 ALA A N  1
ATOM   2 C  CA  A ALA A 1 1 11.639 6.071 -5.147 1 ALA A CA 1
HETATM 3 ZN ZN  . ZN  B 2 . 1.000 "2.0"
;3.5
;
2 ZN B ZN 1
#
EOF
} > "$corpus/seed_mmcif_text"
# The _atom_site loops of real files, cut to their first rows, where this
# machine has them; they are never copied into the repository.
for file in ../shared/data/mmcif/*/*.cif ../shared/data/mmcif/*/*.cif.gz; do
  [ -f "$file" ] || continue
  name=$(basename "${file%.gz}")
  {
    printf '\374'
    # awk stops reading early, which may end gzip with SIGPIPE.
    { gzip -dcf "$file" || true; } | awk '
      tolower($0) ~ /^_atom_site\./ { if (!tags++) print "loop_"; print; next }
      tags && /^(#|loop_|_)/ { exit }
      tags && rows++ < 12'
  } > "$corpus/seed_real_$name"
done

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
# A number of any length: 1. and 1,600 zeros, then digits and an exponent.
printf '\377 1.\376\144\06012345e-7' > "$numbers_corpus/seed_long_number"
build/fuzz/fuzz/numbers_fuzz -artifact_prefix=build/fuzz/numbers- \
  "${numbers_options[@]}" "$numbers_corpus"
