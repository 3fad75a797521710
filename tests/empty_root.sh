#!/bin/bash
# Runs the static program in a root directory that holds nothing but it and a
# gzipped input: no C library, no loader, no /dev or /proc. It must convert
# the input as it does anywhere else.
# usage: empty_root.sh <pdb_convert> <source dir> <scratch dir>
set -u
exe=$1 src=$2 work=$3

root=$work/root
rm -rf "$work" && mkdir -p "$root" || exit 2
cp "$exe" "$root/pdb_convert" || exit 2
gzip -n < "$src/examples/peptide.pdb" > "$root/peptide.pdb.gz" || exit 2

# chroot needs root; a user namespace gives a user a root of their own,
# where the system allows it.
if [ "$(id -u)" = 0 ]; then
  enter=(chroot "$root")
elif unshare --map-root-user true 2> /dev/null; then
  enter=(unshare --map-root-user --root="$root")
else
  echo "cannot enter an empty root: not root, and no user namespaces"
  exit 77
fi

"${enter[@]}" /pdb_convert /peptide.pdb.gz /peptide_converted.pdb \
  > "$work/stdout" 2> "$work/stderr"
status=$?
failed=0
fail() {
  echo "$*"
  failed=1
}
[ "$status" = 0 ] || fail "exited with $status: $(< "$work/stderr")"
[ "$(< "$work/stderr")" = "Writing data to /peptide_converted.pdb" ] ||
  fail "unexpected standard error: $(< "$work/stderr")"
[ -s "$work/stdout" ] && fail "unexpected standard output: $(< "$work/stdout")"
cmp "$root/peptide_converted.pdb" "$src/examples/peptide_converted.pdb" ||
  fail "converted the example differently"
left=$(cd "$root" && ls -A | sort | tr '\n' ' ')
[ "$left" = "pdb_convert peptide.pdb.gz peptide_converted.pdb " ] ||
  fail "the root holds: $left"
exit $failed
