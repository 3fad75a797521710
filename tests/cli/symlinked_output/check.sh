[ -L out.pdb ] || { echo "out.pdb is no longer a symbolic link"; false; }
