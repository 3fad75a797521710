# One record of 100 MB, its fields in the usual columns, then one more.
{
  printf 'ATOM      1 1HD2 ASN A   1      11.500 -22.250  -7.125'
  head -c 100000000 /dev/zero | tr '\0' 'x'
  printf '\nATOM      2  CA  ASN A   1       1.000   2.000   3.000\n'
} > input.pdb
