# The input is a pipe: it has no size and cannot be read twice.
mv input.pdb records.pdb
mkfifo input.pdb
cat records.pdb > input.pdb 2> /dev/null &
