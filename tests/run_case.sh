#!/bin/bash
# Runs pdb_convert on one command-line case and compares every result.
# usage: run_case.sh <pdb_convert> <case dir> <scratch dir>
#
# A case directory may hold:
#   input.pdb     copied into the run directory before the run
#   before.pdb    copied to out.pdb before the run: an output that exists already
#   setup.sh      sourced in the run directory before the run, for inputs that
#                 are made at run time (directories, FIFOs, large files)
#                 or limits; it may exit 77 to skip a case the build cannot run
#   args          the arguments, one a line (default: input.pdb, out.pdb)
#   expected.pdb  what out.pdb must hold afterwards; without it out.pdb must be
#                 as before.pdb left it, or absent
#   stdout, stderr, status   the expected streams (default empty) and status (0)
#   check.sh      sourced in the run directory after the run, for what the files
#                 above cannot say (a mode, a link); it prints what is wrong and
#                 returns non-zero
# Whatever the case, no temporary file may be left in the run directory.
set -u
exe=$1 case=$2 work=$3

rm -rf "$work" && mkdir -p "$work/run" && cd "$work/run" || exit 2
[ -f "$case/input.pdb" ] && cp "$case/input.pdb" input.pdb
[ -f "$case/before.pdb" ] && cp "$case/before.pdb" out.pdb
# runs_limited: whether the program runs under the address-space limit set;
# sanitizer and valgrind builds reserve more before main, and their cases
# skip, saying how to run them.
runs_limited() {
  "$exe" /dev/null /dev/null 2> /dev/null && return
  echo "this build cannot run under a memory limit: skipped; to run it," \
       "use the test workflow's build (cmake --workflow --preset test)"
  return 1
}
if [ -f "$case/setup.sh" ]; then
  . "$case/setup.sh" || { echo "setup failed"; exit 2; }
fi
if [ -f "$case/args" ]; then
  mapfile -t args < "$case/args"
else
  args=(input.pdb out.pdb)
fi

"$exe" "${args[@]}" > "$work/stdout" 2> "$work/stderr"
status=$?

failed=0
# same <what> <expected file> <actual file>
same() {
  if ! cmp -s "$2" "$3"; then
    echo "$1 differs:"
    diff -u --label expected --label actual "$2" "$3"
    failed=1
  fi
}
expected_status=0
[ -f "$case/status" ] && expected_status=$(< "$case/status")
if [ "$status" != "$expected_status" ]; then
  echo "status $status, expected $expected_status"
  failed=1
fi
for stream in stdout stderr; do
  expected=/dev/null
  [ -f "$case/$stream" ] && expected=$case/$stream
  same "$stream" "$expected" "$work/$stream"
done
if [ -f "$case/expected.pdb" ]; then
  same out.pdb "$case/expected.pdb" out.pdb
elif [ -f "$case/before.pdb" ]; then
  same "out.pdb (which existed before the run)" "$case/before.pdb" out.pdb
elif [ -e out.pdb ]; then
  echo "out.pdb was created"
  failed=1
fi
left=$(find . -name '.*.pdb_convert-*')
if [ -n "$left" ]; then
  echo "temporary file left behind: $left"
  failed=1
fi
if [ -f "$case/check.sh" ]; then
  . "$case/check.sh" || failed=1
fi
# Some inputs are large; a failed run stays for a look.
[ $failed = 0 ] && cd "$work" && rm -rf run
exit $failed
