# A million records, converted, need more than the 50 MB of address space
# allowed; a file with a second hard link is written in place, so its
# conversion must be held until the input is read whole.
# Sanitizer and valgrind builds reserve more than that before main and cannot
# run under the limit at all: skip the case there.
ulimit -v 50000
runs_limited || exit 77
ln out.pdb other.pdb
yes 'ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125' |
  head -n 1000000 > input.pdb
