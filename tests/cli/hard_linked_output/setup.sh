ln out.pdb other_name.pdb
