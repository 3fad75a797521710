chmod 0604 out.pdb
