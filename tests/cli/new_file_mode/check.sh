mode=$(stat -c %a out.pdb)
[ "$mode" = 640 ] || { echo "out.pdb has mode $mode, expected 640 (umask 027)"; false; }
