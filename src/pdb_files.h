#ifndef PDB_CONVERT_PDB_FILES_H_
#define PDB_CONVERT_PDB_FILES_H_

#include <string>
#include <vector>

#include "atom.h"

// Appends one atom per ATOM or HETATM line of pdb_file (for mmCIF, per
// _atom_site row) to atoms, in file order; on failure prints the message and
// exits with status 1.
void read_protein(std::string pdb_file, std::vector<atom>& atoms);

// Writes the ATOM records of atoms to outfile in fixed-column PDB layout; on
// failure prints the message and exits with status 1.
void write_pdb(std::string outfile, std::vector<atom>& atoms);

// Converts pdb_file into outfile: what read_protein and then write_pdb would
// write, with the same messages, but line by line, holding the converted
// lines in memory only where outfile must not be touched before the input is
// read whole.
void convert_pdb(std::string pdb_file, std::string outfile);

#endif  // PDB_CONVERT_PDB_FILES_H_
