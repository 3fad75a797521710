#ifndef PDB_CONVERT_ATOM_H_
#define PDB_CONVERT_ATOM_H_

#include <array>
#include <cstdint>
#include <string>
#include <utility>

// record_type of a line read as ATOM, and of one read as HETATM.
constexpr int32_t kAtomRecord = 1;
constexpr int32_t kHetatmRecord = 2;

// One coordinate record (an ATOM or HETATM line) of a PDB file.
struct atom {
  atom(int32_t serial, std::string name, int32_t residue_number,
       const std::array<double, 3>& coords, std::string residue_name,
       std::string chain, int32_t record_type)
      : serial(serial),
        name(std::move(name)),
        residue_number(residue_number),
        coords(coords),
        residue_name(std::move(residue_name)),
        chain(std::move(chain)),
        record_type(record_type) {}

  int32_t serial;
  std::string name;  // blank-trimmed, after hydrogen renaming
  int32_t residue_number;
  std::array<double, 3> coords;  // x, y, z in angstroms
  std::string residue_name;
  std::string chain;  // empty or one character
  int32_t record_type;
};

#endif  // PDB_CONVERT_ATOM_H_
