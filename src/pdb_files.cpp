#include "pdb_files.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

#include "input_file.h"
#include "output_file.h"
#include "string_functions.h"

// Every field the reader takes lies within the first 46 columns, but for z.
static const std::size_t kMinRecordLength = 46;
static const std::size_t kMaxFieldWidth = 8;

// Fewer, larger reads and writes than the streams' own few kilobytes.
static const std::size_t kStreamBufferSize = 64 * 1024;

// Old-style hydrogen names (digit first) and the names stored in their place.
static const char* const kHydrogenRenames[][2] = {
    {"1H", "H"},      {"2H", "H"},      {"3H", "H"},      {"HE2", "H"},
    {"HG", "H"},      {"1HZ", "HZ1"},   {"2HZ", "HZ2"},   {"3HZ", "HZ3"},
    {"1HD2", "HD21"}, {"2HD2", "HD22"}, {"1HE2", "HE21"}, {"2HE2", "HE22"},
    {"1HH1", "HH11"}, {"2HH1", "HH12"}, {"1HH2", "HH21"}, {"2HH2", "HH22"},
};

// Copies the field of line at offset, at most width characters of it, into
// field as a C string, so that a conversion cannot run on into the next field.
static void copy_field(std::string_view line, std::size_t offset,
                       std::size_t width, char* field) {
  std::size_t n =
      offset < line.size() ? std::min(width, line.size() - offset) : 0;
  // Fields are too short for a call to memcpy to pay.
  for (std::size_t i = 0; i < n; ++i) field[i] = line[offset + i];
  field[n] = '\0';
}

static int int_field(std::string_view line, std::size_t offset,
                     std::size_t width) {
  char field[kMaxFieldWidth + 1];
  copy_field(line, offset, width, field);
  return atoi(field);
}

static double real_field(std::string_view line, std::size_t offset,
                         std::size_t width) {
  char field[kMaxFieldWidth + 1];
  copy_field(line, offset, width, field);
  return atof(field);
}

// The blank-trimmed text of line's field at offset, at most width wide.
static std::string text_field(std::string_view line, std::size_t offset,
                              std::size_t width) {
  const char* begin = line.data() + std::min(offset, line.size());
  const char* end = line.data() + std::min(offset + width, line.size());
  return trimmed(begin, end, kBlankChars);
}

static void rename_hydrogen(std::string& name) {
  if (name.empty()) return;
  for (const auto& rename : kHydrogenRenames) {
    // Most names differ from a row in their first character: test that first.
    if (rename[0][0] == name[0] && name == rename[0]) {
      name = rename[1];
      return;
    }
  }
}

// kAtomRecord or kHetatmRecord for a coordinate line, 0 for any other line.
static int record_type_of(std::string_view line) {
  if (line.size() >= 4 && memcmp(line.data(), "ATOM", 4) == 0) {
    return kAtomRecord;
  }
  if (line.size() >= 6 && memcmp(line.data(), "HETATM", 6) == 0) {
    return kHetatmRecord;
  }
  return 0;
}

// Appends the record of a line that is at least kMinRecordLength long.
static void append_atom(std::string_view line, int record_type,
                        std::vector<atom>& atoms) {
  int serial = int_field(line, 6, 5);  // cols 7-11
  // cols 13-17: the alternate location (col 17) joins the name
  std::string name = text_field(line, 12, 5);
  rename_hydrogen(name);
  std::string residue_name = text_field(line, 17, 3);  // cols 18-20
  std::string chain = text_field(line, 21, 1);         // col 22
  int residue_number = int_field(line, 22, 4);         // cols 23-26
  std::array<double, 3> coords = {
      real_field(line, 30, 8),  // cols 31-38
      real_field(line, 38, 8),  // cols 39-46
      real_field(line, 46, 8),  // cols 47-54, maybe cut short
  };
  atoms.emplace_back(serial, std::move(name), residue_number, coords,
                     std::move(residue_name), std::move(chain), record_type);
}

// Room for the records when the input's size is not known (a pipe): as many
// as half of physical memory holds, or half of an address-space limit. A list
// that outgrows that would swap in any case, and the other half is left for
// everything else: the kernel refuses a single mapping near the size of
// memory itself.
static std::uintmax_t records_memory_holds() {
  std::uintmax_t bytes = std::uintmax_t(sysconf(_SC_PHYS_PAGES)) *
                         std::uintmax_t(sysconf(_SC_PAGESIZE));
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    bytes = std::min<std::uintmax_t>(bytes, limit.rlim_cur);
  }
  return bytes / 2 / sizeof(atom);
}

// Room for every record the input can hold (in a regular file each takes at
// least kMinRecordLength bytes), so that the list never grows: growing would
// copy it, and old and new copies together would double the peak. Pages of
// the reservation that no record reaches are never touched and cost no
// memory. The reservation is only a hint: where the address space will not
// hold it, the list grows as it goes.
static void reserve_for_input(const std::string& pdb_file,
                              std::vector<atom>& atoms) {
  struct stat status;
  if (stat(pdb_file.c_str(), &status) != 0) return;
  std::uintmax_t records = S_ISREG(status.st_mode)
                               ? status.st_size / kMinRecordLength + 1
                               : records_memory_holds();
  try {
    atoms.reserve(atoms.size() + records);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

void read_protein(std::string pdb_file, std::vector<atom>& atoms) {
  std::unique_ptr<input_file, void (*)(input_file*)> in(open_input(pdb_file),
                                                        close_input);
  reserve_for_input(pdb_file, atoms);
  long line_number = 0;
  std::string_view text;
  while (read_line(in.get(), text)) {
    ++line_number;
    int record_type = record_type_of(text);
    if (record_type == 0) continue;
    if (text.size() < kMinRecordLength) {
      fprintf(stderr, "%s:%ld: coordinate record shorter than 46 characters\n",
              pdb_file.c_str(), line_number);
      exit(1);
    }
    append_atom(text, record_type, atoms);
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
                   a.chain.c_str(), a.residue_number, a.coords[0], a.coords[1],
                   a.coords[2]);
  }
  return fprintf(out, "ATOM  %5d  %-3s %3s %1s%4d    %8.3f%8.3f%8.3f\n",
                 a.serial, a.name.c_str(), a.residue_name.c_str(),
                 a.chain.c_str(), a.residue_number, a.coords[0], a.coords[1],
                 a.coords[2]);
}

void write_pdb(std::string outfile, std::vector<atom>& atoms) {
  // Allocated before the file is opened, so that running out of memory
  // leaves no file behind, nor a stream with a buffer freed under it.
  std::unique_ptr<char[]> buffer(new char[kStreamBufferSize]);
  std::string target;
  FILE* out = open_output(outfile, target);
  if (out == nullptr) {
    puts("This file could not be opened.\nDying\n");
    exit(1);
  }
  setvbuf(out, buffer.get(), _IOFBF, kStreamBufferSize);
  fprintf(stderr, "Writing data to %s\n", outfile.c_str());
  for (const atom& a : atoms) {
    if (a.record_type == kAtomRecord && print_atom(out, a) < 0) {
      die_unwritable(outfile);
    }
  }
  // A full disk often shows only when the last buffer is flushed.
  if (close_output(out, target) != 0) die_unwritable(outfile);
}
