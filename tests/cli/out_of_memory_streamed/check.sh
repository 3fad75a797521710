[ "$(uniq -c converted.pdb)" = "1000000 ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125" ] ||
  { echo "converted.pdb is not the million converted records"; false; }
# So do a million mmCIF rows held for an _entity that never comes: past a
# few MiB they are held in a temporary file, not in memory.
{
  printf 'data_held\nloop_\n_atom_site.group_PDB\n_atom_site.label_atom_id\n'
  printf '_atom_site.label_comp_id\n_atom_site.label_entity_id\n'
  printf '_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n'
  printf '_atom_site.pdbx_PDB_model_num\n'
  awk 'BEGIN { for (i = 0; i < 1000000; ++i) print "ATOM CA GLY 1 11.5 -22.25 -7.125", int(i / 50000) }'
} > held.cif
"$exe" held.cif held.pdb 2> /dev/null &&
  [ "$(cut -c 1-6,12- held.pdb | uniq -c)" = "1000000 ATOM    CA  GLY     0      11.500 -22.250  -7.125" ] ||
  { echo "held.pdb is not the million converted rows"; false; }
