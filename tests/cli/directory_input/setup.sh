mkdir input.pdb
