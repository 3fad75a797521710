# xz's magic bytes are enough to be refused.
printf '\3757zXZ\0\0\4\346\326\264\106' > input.pdb
