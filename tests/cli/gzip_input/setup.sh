# Two gzip members, the first a byte order mark and the first record: the
# content says gzip, not the name; the mark is skipped once inflated; and
# reading goes on past the first member, as gzip -d does.
{
  { printf '\357\273\277'; head -n 1 input.pdb; } | gzip -n
  tail -n +2 input.pdb | gzip -n
} > members.gz
mv members.gz input.pdb
