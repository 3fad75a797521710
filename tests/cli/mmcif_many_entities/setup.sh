# 5,000 polymer entities, more than the 4,096 once remembered: a row of the
# last, without group_PDB or label_seq_id, is in a polymer, an ATOM record,
# as is one of the first.
{
  printf 'data_many\nloop_\n_entity.id\n_entity.type\n'
  seq 1 5000 | sed 's/$/ polymer/'
  printf 'loop_\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n'
  printf '_atom_site.label_asym_id\n_atom_site.label_entity_id\n'
  printf '_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n'
  printf 'N ALA A 1 1 2 3\nN GLY B 5000 4 5 6\n'
} > input.pdb
