[ "$(uniq -c converted.pdb)" = "1000000 ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125" ] ||
  { echo "converted.pdb is not the million converted records"; false; }
