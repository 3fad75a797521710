mode=$(stat -c %a out.pdb)
[ "$mode" = 604 ] || { echo "out.pdb has mode $mode, expected 604"; false; }
