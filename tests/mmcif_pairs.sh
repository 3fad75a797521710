#!/bin/bash
# Converts each mmCIF file of a directory and the PDB file of the same entry
# beside it, and requires the same output, status and messages: X.cif with
# X.pdb, either of them possibly gzipped (X.cif.gz, X.pdb.gz).
# usage: mmcif_pairs.sh <pdb_convert> <pairs dir> <scratch dir>
# Skips (77) where the directory is absent or may not be read: the
# archive's pairs are not shipped with the sources.
set -u
exe=$1 pairs=$2 work=$3

if [ ! -d "$pairs" ]; then
  why=$(ls -d "$pairs" 2>&1 > /dev/null)
  echo "${why#ls: }: skipped; to run it, put the archive's entries there as" \
       "X.cif and X.pdb, where you may read them, or configure with" \
       "-DPDB_CONVERT_MMCIF_PAIRS=<dir>"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work" || exit 2
failed=0 compared=0
for cif in "$pairs"/*.cif "$pairs"/*.cif.gz; do
  [ -e "$cif" ] || continue
  entry=${cif##*/}
  entry=${entry%.gz}
  entry=${entry%.cif}
  pdb=$pairs/$entry.pdb
  [ -e "$pdb" ] || pdb=$pdb.gz
  [ -e "$pdb" ] || { echo "$entry: no PDB file beside $cif"; failed=1; continue; }
  "$exe" "$pdb" "$work/$entry.from_pdb" > "$work/$entry.pdb.out" 2>&1
  pdb_status=$?
  "$exe" "$cif" "$work/$entry.from_cif" > "$work/$entry.cif.out" 2>&1
  cif_status=$?
  # The progress line names the output, which differs.
  sed -i 's/^Writing data to .*\.from_\(pdb\|cif\)$/Writing data to OUT/' \
    "$work/$entry.pdb.out" "$work/$entry.cif.out"
  if [ $pdb_status != $cif_status ] ||
     ! cmp -s "$work/$entry.pdb.out" "$work/$entry.cif.out"; then
    echo "$entry: the PDB file gives status $pdb_status and"
    sed 's/^/  /' "$work/$entry.pdb.out"
    echo "the mmCIF file status $cif_status and"
    sed 's/^/  /' "$work/$entry.cif.out"
    failed=1
  elif [ $pdb_status = 0 ] &&
       ! cmp -s "$work/$entry.from_pdb" "$work/$entry.from_cif"; then
    echo "$entry: the outputs differ:"
    diff --label "from $pdb" --label "from $cif" \
      "$work/$entry.from_pdb" "$work/$entry.from_cif" | head -n 20
    failed=1
  fi
  compared=$((compared + 1))
done
echo "$compared pairs compared"
# A directory whose files were not found compares nothing: that is no pass.
[ $compared -gt 0 ] || failed=1
exit $failed
