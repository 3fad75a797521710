#!/bin/bash
# Builds the Debian package from a build tree, runs lintian on it, checks its
# control fields and file list, unpacks it with dpkg -x (no root needed) and
# converts the shipped example with the unpacked program.
# usage: package_test.sh <cpack> <build dir> <version> <source dir> <scratch dir>
#                        <the inflater's Debian package>
set -u
cpack=$1 build=$2 version=$3 src=$4 work=$5 inflater=$6

failed=0
fail() {
  echo "$*"
  failed=1
}

rm -rf "$work" && mkdir -p "$work/tmp" || exit 2
# lintian leaves its caches in TMPDIR: here they stay in the build tree.
export TMPDIR=$work/tmp
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" \
    > "$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "cpack failed"
  exit 1
fi

arch=$(dpkg --print-architecture)
deb=$work/pdb-convert_${version}_$arch.deb
[ -f "$deb" ] || { ls "$work"; echo "no $deb"; exit 1; }

# No error and no warning from lintian; run as root, it says so on standard
# error, which is no finding.
if lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1) &&
    ! grep -q '^[EW]: ' <<< "$lintian_out"; then
  :
else
  fail "lintian objects:
$lintian_out"
fi

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
# A package without Depends installs anywhere and then fails to run; the
# library that inflates gzip input, ISA-L above all, is on few systems before
# it is asked for.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 "$inflater" libarchive13; do
  [[ ", $depends," == *", $library ("* ]] ||
    fail "Depends lacks $library: '$depends'"
done
description=$(dpkg-deb --field "$deb" Description)
[ "$(wc -l <<< "$description")" -gt 1 ] ||
  fail "Description has no long part: '$description'"

not_root=$(dpkg-deb --contents "$deb" | grep -v ' root/root ')
[ -z "$not_root" ] || fail "not owned by root: $not_root"

root=$work/root
dpkg -x "$deb" "$root" || exit 1
files=$(cd "$root" && find . ! -type d | sort)
doc=$root/usr/share/doc/pdb-convert
expected_files='./usr/bin/pdb_convert
./usr/bin/pdb_convert_many
./usr/share/doc/pdb-convert/changelog.gz
./usr/share/doc/pdb-convert/copyright
./usr/share/man/man1/pdb_convert.1.gz
./usr/share/man/man1/pdb_convert_many.1.gz'
[ "$files" = "$expected_files" ] || fail "files in the package:
$files
expected:
$expected_files"

# gzip -9n: the most compression, and no name or timestamp inside.
for page in pdb_convert.1 pdb_convert_many.1; do
  gzip -9n < "$src/man/$page" | cmp - "$root/usr/share/man/man1/$page.gz" ||
    fail "the packaged man page is not man/$page after gzip -9n"
  grep -q "^\.TH .* \"pdb_convert $version\" " "$src/man/$page" ||
    fail "the .TH line of man/$page does not name version $version"
done
gzip -9n < "$src/cmake/debian_changelog" | cmp - "$doc/changelog.gz" ||
  fail "the packaged changelog is not cmake/debian_changelog after gzip -9n"
changelog_version=$(dpkg-parsechangelog -l "$src/cmake/debian_changelog" \
                      -S Version)
[ "$changelog_version" = "$version" ] ||
  fail "the changelog's latest version is $changelog_version, not $version"

# The copyright file holds LICENSE's copyright line and its text, folded
# into the License field.
holders=$(sed -n 's/^Copyright (c) //p' "$src/LICENSE")
licence_text=$(sed '1,/^Copyright (c) /d' "$src/LICENSE" | sed '/./,$!d')
folded_text=$(sed -n '/^License: Expat$/,$ { s/^ \.$//p; s/^ //p; }' \
                "$doc/copyright")
[ "$(head -n 1 "$doc/copyright")" = \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  fail "the copyright file is not in the machine-readable format"
grep -qx "Copyright: $holders" "$doc/copyright" ||
  fail "the copyright file does not name '$holders'"
[ "$folded_text" = "$licence_text" ] ||
  fail "the licence text in the copyright file differs from LICENSE's"

out=$work/peptide_converted.pdb
"$root/usr/bin/pdb_convert" "$src/examples/peptide.pdb" "$out" \
  2> "$work/stderr"
status=$?
[ "$status" = 0 ] || fail "the packaged program exited with $status"
[ "$(< "$work/stderr")" = "Writing data to $out" ] ||
  fail "unexpected standard error: $(< "$work/stderr")"
cmp "$out" "$src/examples/peptide_converted.pdb" ||
  fail "the packaged program converted the example differently"
printf '%s\n' "$src/examples/peptide.pdb" |
  "$root/usr/bin/pdb_convert_many" "$work/many" ||
  fail "the packaged pdb_convert_many failed"
cmp "$work/many/${src#/}/examples/peptide.pdb" \
  "$src/examples/peptide_converted.pdb" ||
  fail "the packaged pdb_convert_many converted the example differently"
exit $failed
