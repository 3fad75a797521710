#!/bin/bash
# Converts the files named in LIST, one path a line, into OUTDIR with GNU
# parallel, on this machine or, given -S, on others that share its files:
#   examples/parallel/convert.sh LIST OUTDIR [GNU parallel's options]
# Each job converts a batch of 100 files (ssh costs about 0.45 s a job), in
# the directory this script was run in, with this shell's PATH. An input
# whose output exists is skipped. The failures are the lines of
# OUTDIR/failed/parallel.tsv, made anew at each run; the status is 1 where
# any input failed. examples/README.md tells the rest.
set -uo pipefail
if [ $# -lt 2 ]; then
  echo "usage: convert.sh LIST OUTDIR [GNU parallel's options]" >&2
  exit 2
fi
list=$1 outdir=$2
shift 2
lib=$(dirname -- "$0")/../convert_lib.sh
. "$lib"
# Held until the pipeline ends, whose conversions end on it (see
# save_failures).
trap : TERM

parallel --will-cite --wd . --env PATH -n 100 "$@" -q \
  sh "$lib" convert_inputs "$outdir" :::: "$list" |
  save_failures "$outdir/failed/parallel.tsv"
