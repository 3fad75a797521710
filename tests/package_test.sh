#!/bin/bash
# Builds the Debian package from a build tree, checks its control fields and
# file list, unpacks it with dpkg -x (no root needed) and converts the
# shipped example with the unpacked program.
# usage: package_test.sh <cpack> <build dir> <version> <source dir> <scratch dir>
set -u
cpack=$1 build=$2 version=$3 src=$4 work=$5

failed=0
fail() {
  echo "$*"
  failed=1
}

rm -rf "$work" && mkdir -p "$work" || exit 2
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" \
    > "$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "cpack failed"
  exit 1
fi

arch=$(dpkg --print-architecture)
deb=$work/pdb-convert_${version}_$arch.deb
[ -f "$deb" ] || { ls "$work"; echo "no $deb"; exit 1; }

# field <name> <expected>
field() {
  local actual
  actual=$(dpkg-deb --field "$deb" "$1")
  [ "$actual" = "$2" ] || fail "$1 is '$actual', expected '$2'"
}
field Package pdb-convert
field Version "$version"
field Architecture "$arch"
field Section science
# A package without Depends installs anywhere and then fails to run.
depends=$(dpkg-deb --field "$deb" Depends)
[[ ", $depends," == *", libc6 ("* ]] || fail "Depends lacks libc6: '$depends'"
description=$(dpkg-deb --field "$deb" Description)
[ "$(wc -l <<< "$description")" -gt 1 ] ||
  fail "Description has no long part: '$description'"

not_root=$(dpkg-deb --contents "$deb" | grep -v ' root/root ')
[ -z "$not_root" ] || fail "not owned by root: $not_root"

root=$work/root
dpkg -x "$deb" "$root" || exit 1
files=$(cd "$root" && find . ! -type d | sort)
expected_files='./usr/bin/pdb_convert
./usr/share/man/man1/pdb_convert.1'
[ "$files" = "$expected_files" ] || fail "files in the package:
$files
expected:
$expected_files"

cmp "$root/usr/share/man/man1/pdb_convert.1" "$src/man/pdb_convert.1" ||
  fail "the packaged man page differs from man/pdb_convert.1"
grep -q "^\.TH .* \"pdb_convert $version\" " "$src/man/pdb_convert.1" ||
  fail "the .TH line of man/pdb_convert.1 does not name version $version"

out=$work/peptide_converted.pdb
"$root/usr/bin/pdb_convert" "$src/examples/peptide.pdb" "$out" \
  2> "$work/stderr"
status=$?
[ "$status" = 0 ] || fail "the packaged program exited with $status"
[ "$(< "$work/stderr")" = "Writing data to $out" ] ||
  fail "unexpected standard error: $(< "$work/stderr")"
cmp "$out" "$src/examples/peptide_converted.pdb" ||
  fail "the packaged program converted the example differently"
exit $failed
