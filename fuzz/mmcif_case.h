#ifndef PDB_CONVERT_FUZZ_MMCIF_CASE_H_
#define PDB_CONVERT_FUZZ_MMCIF_CASE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The fuzz bytes, taken one small choice at a time. Once they run out, every
// choice is the first, so that a short input still makes a whole case.
struct choices {
  const uint8_t* next;
  const uint8_t* end;
};

// A small structure drawn from the choices, written twice: as an mmCIF file,
// in syntax variants that the choices pick, and as the PDB records that the
// structure archive writes for the same _atom_site rows. The program must
// read the two alike.
struct mmcif_case {
  std::string mmcif;
  std::string pdb;
  // For each record of pdb: whether it holds its row's values. A HETATM row
  // whose values do not fit the PDB columns has a stand-in, of which only the
  // record type and the serial are the archive's.
  std::vector<bool> exact;
  // The most bytes each read of the mmCIF text gives, the first time and
  // after (0: as many as are buffered).
  std::size_t first_read = 0;
  std::size_t each_read = 0;
};

mmcif_case draw_mmcif_case(choices& c);

#endif  // PDB_CONVERT_FUZZ_MMCIF_CASE_H_
