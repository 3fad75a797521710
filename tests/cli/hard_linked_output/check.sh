cmp out.pdb other_name.pdb || { echo "the other name of out.pdb does not show the result"; false; }
