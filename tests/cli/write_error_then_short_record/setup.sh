# The conversion fails to write long before the input ends in a short record:
# the record's message alone is printed, and the output keeps its bytes.
yes 'ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125' |
  head -n 20000 > input.pdb
echo 'HETATM    2  O   HOH     1       0.000   0.00' >> input.pdb
ulimit -S -f 1
