# The million records that run out of memory where their conversion is held
# (see out_of_memory) convert under the same limit where they stream into a
# new file.
ulimit -v 50000
runs_limited || exit 77
yes 'ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125' |
  head -n 1000000 > input.pdb
