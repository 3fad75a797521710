# out.pdb is a link to a file in another directory.
mkdir real
mv out.pdb real/out.pdb
ln -s real/out.pdb out.pdb
