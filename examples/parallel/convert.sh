#!/bin/bash
# Converts the files named in LIST, one path a line, into OUTDIR with GNU
# parallel, on this machine or, given -S, on others that share its files:
#   examples/parallel/convert.sh LIST OUTDIR [GNU parallel's options]
# Each job hands a block of LINES_A_JOB lines (1,000) to pdb_convert_many,
# in the directory this script was run in, with this shell's PATH. What is
# up to date is skipped. The failures are the lines of
# OUTDIR/failed/parallel.tsv, made anew at each run, with every input of a
# block whose job failed as a whole (a machine not reached, a connection
# dropped, a job killed); the status is 1 where any input failed.
# examples/README.md tells the rest.
set -uo pipefail
if [ $# -lt 2 ] || [ -z "$2" ]; then
  echo "usage: convert.sh LIST OUTDIR [GNU parallel's options]" >&2
  exit 2
fi
list=$1 outdir=$2 lines=${LINES_A_JOB:-1000}
shift 2
if [ ! -f "$list" ] || [ ! -r "$list" ]; then
  echo "convert.sh: $list: not a readable file" >&2
  exit 2
fi
failures=$outdir/failed/parallel.tsv
if ! mkdir -p -- "${failures%/*}" || ! : > "$failures"; then
  echo "convert.sh: no failure file, so nothing converted" >&2
  exit 1
fi
joblog=$(mktemp) || exit 2
trap 'rm -f -- "$joblog"' EXIT

# Job k holds lines (k - 1) * lines + 1 to k * lines, whatever the options
# before: a later -N wins.
parallel --will-cite --wd . --env PATH "$@" --pipe -N "$lines" \
  --joblog "$joblog" -q pdb_convert_many -j 1 -- "$outdir" \
  < "$list" > "$failures"
status=$?
# A job that ended with 0 or 1 named its own failures; the other inputs of
# another one are named here, as the program names an input: without a CR
# before the line's end, tabs as blanks, and once (the failure file is read
# whole before anything is appended to it).
awk -F '\t' -v lines="$lines" '
  FILENAME == ARGV[1] { sub(/\t[^\t]*$/, ""); named[$0]; next }
  FILENAME == ARGV[2] {
    if (FNR > 1 && ($7 !~ /^[01]$/ || $8 != 0))
      why[$1] = "its block was not converted on " \
        ($2 == ":" ? "this machine" : $2) ": " \
        ($8 != 0 ? "killed by signal " $8 : "status " $7)
    next
  }
  { sub(/\r$/, ""); gsub(/\t/, " ") }
  $0 != "" && !($0 in named) && (int((FNR - 1) / lines) + 1) in why {
    named[$0]
    print $0 "\t" why[int((FNR - 1) / lines) + 1]
  }' "$failures" "$joblog" "$list" >> "$failures" || status=2
if [ -s "$failures" ]; then
  exit 1
fi
rm -f -- "$failures"
# GNU parallel's own error, with nothing converted.
[ $status = 0 ] || exit 2
