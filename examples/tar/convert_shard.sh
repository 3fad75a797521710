#!/bin/bash
# Converts each member of a tar shard, without unpacking it, into OUTDIR:
#   examples/tar/convert_shard.sh SHARD OUTDIR
# A member's output is OUTDIR and its path in the shard, mapped as the other
# recipes map an input's; a member whose output exists is skipped. The
# failures, and a damaged shard, are the lines of
# OUTDIR/failed/<shard's name>.tsv, made anew at each run; the status is 1
# where there were any. examples/README.md tells the rest.
set -uo pipefail
if [ $# != 2 ]; then
  echo "usage: convert_shard.sh SHARD OUTDIR" >&2
  exit 2
fi
shard=$1 outdir=$2
name=${shard##*/}
name=${name%.gz}
name=${name%.tgz}
name=${name%.tar}
export PDB_CONVERT_LIB=$(dirname -- "$0")/../convert_lib.sh
. "$PDB_CONVERT_LIB"
export PDB_CONVERT_OUT=$outdir PDB_CONVERT_UMASK=$(umask)
# Held until the pipeline ends, whose conversions end on it (see
# save_failures).
trap : TERM

# Tar's own messages say the shard is damaged: one more failure, the shard's.
{
  tar -xf "$shard" \
      --to-command='. "$PDB_CONVERT_LIB" && convert_member "$PDB_CONVERT_OUT"' \
      2>&1 >&3 | { messages=$(cat) && [ -z "$messages" ] || fail "$shard" "$messages"; }
} 3>&1 | save_failures "$outdir/failed/$name.tsv"
