#include "pdb_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "string_functions.h"

// Every field the reader takes lies within the first 46 columns, but for z.
static const std::string::size_type kMinRecordLength = 46;

// Old-style hydrogen names (digit first) and the names stored in their place.
static const char* const kHydrogenRenames[][2] = {
    {"1H", "H"},       {"2H", "H"},       {"3H", "H"},       {"HE2", "H"},
    {"HG", "H"},       {"1HZ", "HZ1"},    {"2HZ", "HZ2"},    {"3HZ", "HZ3"},
    {"1HD2", "HD21"},  {"2HD2", "HD22"},  {"1HE2", "HE21"},  {"2HE2", "HE22"},
    {"1HH1", "HH11"},  {"2HH1", "HH12"},  {"1HH2", "HH21"},  {"2HH2", "HH22"},
};

// The characters of line from offset on, at most length of them.
static std::string column(const std::string& line, std::string::size_type offset,
                          std::string::size_type length) {
  if (offset >= line.size()) return std::string();
  return line.substr(offset, length);
}

static std::string hydrogen_renamed(const std::string& name) {
  for (const auto& rename : kHydrogenRenames) {
    if (name == rename[0]) return rename[1];
  }
  return name;
}

// kAtomRecord or kHetatmRecord for a coordinate line, 0 for any other line.
static int record_type_of(const std::string& line) {
  if (line.compare(0, 4, "ATOM") == 0) return kAtomRecord;
  if (line.compare(0, 6, "HETATM") == 0) return kHetatmRecord;
  return 0;
}

static atom parsed_atom(const std::string& line, int record_type) {
  std::array<double, 3> coords = {
      atof(column(line, 30, 8).c_str()),  // cols 31-38
      atof(column(line, 38, 8).c_str()),  // cols 39-46
      atof(column(line, 46, 8).c_str()),  // cols 47-54
  };
  return atom(atoi(column(line, 6, 5).c_str()),  // cols 7-11
              // cols 13-17: the alternate location (col 17) joins the name
              hydrogen_renamed(trimmed(column(line, 12, 5), kBlankChars)),
              atoi(column(line, 22, 4).c_str()),  // cols 23-26
              coords,
              trimmed(column(line, 17, 3), kBlankChars),  // cols 18-20
              trimmed(column(line, 21, 1), kBlankChars),  // col 22
              record_type);
}

void read_protein(std::string pdb_file, std::vector<atom>& atoms) {
  std::ifstream in(pdb_file);
  if (!in) {
    fputs("No file\n", stderr);
    exit(1);
  }
  std::string line;
  long line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    int record_type = record_type_of(line);
    if (record_type == 0) continue;
    if (line.size() < kMinRecordLength) {
      fprintf(stderr, "%s:%ld: coordinate record shorter than 46 characters\n",
              pdb_file.c_str(), line_number);
      exit(1);
    }
    atoms.push_back(parsed_atom(line, record_type));
  }
  // A failed read ends getline as end of file does; only badbit tells them
  // apart, and a truncated input must not pass for a whole one.
  if (in.bad()) {
    fprintf(stderr, "Could not read %s\n", pdb_file.c_str());
    exit(1);
  }
}

[[noreturn]] static void die_unwritable(const std::string& outfile) {
  fprintf(stderr, "Could not write %s\n", outfile.c_str());
  exit(1);
}

// Columns of a written line, for values that fit their widths:
//  1-6 "ATOM  " | 7-11 serial | 13-16 name, a four-character one from col 13,
//  any other from col 14 | 18-20 residue name | 22 chain | 23-26 residue
//  number | 31-38, 39-46, 47-54 x, y, z with three decimals.
static int print_atom(FILE* out, const atom& a) {
  if (a.name.size() == 4) {
    return fprintf(out, "ATOM  %5d %-4s %3s %1s%4d    %8.3f%8.3f%8.3f\n",
                   a.serial, a.name.c_str(), a.residue_name.c_str(),
                   a.chain.c_str(), a.residue_number, a.coords[0],
                   a.coords[1], a.coords[2]);
  }
  return fprintf(out, "ATOM  %5d  %-3s %3s %1s%4d    %8.3f%8.3f%8.3f\n",
                 a.serial, a.name.c_str(), a.residue_name.c_str(),
                 a.chain.c_str(), a.residue_number, a.coords[0], a.coords[1],
                 a.coords[2]);
}

void write_pdb(std::string outfile, std::vector<atom>& atoms) {
  FILE* out = fopen(outfile.c_str(), "w");
  if (out == nullptr) {
    puts("This file could not be opened.\nDying\n");
    exit(1);
  }
  fprintf(stderr, "Writing data to %s\n", outfile.c_str());
  for (const atom& a : atoms) {
    if (a.record_type == kAtomRecord && print_atom(out, a) < 0) {
      die_unwritable(outfile);
    }
  }
  // A full disk often shows only when the last buffer is flushed.
  if (fclose(out) != 0) die_unwritable(outfile);
}
