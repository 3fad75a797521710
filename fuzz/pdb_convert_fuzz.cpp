// libFuzzer target: arbitrary bytes through read_protein and write_pdb, by
// way of real files, since both take paths.
//
// Both functions end the process on a failure, and libFuzzer counts that as
// a crash, so the bytes are first cut down to lines the program converts: a
// coordinate record shorter than 46 bytes, which stops the run, is dropped.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "atom.h"
#include "pdb_files.h"

static std::string temp_path(const char* suffix) {
  return (std::filesystem::temp_directory_path() /
          ("pdb_convert_fuzz." + std::to_string(getpid()) + suffix))
      .string();
}

static const std::string kInput = temp_path(".in");
static const std::string kOutput = temp_path(".out");

static void remove_temp_files() {
  std::remove(kInput.c_str());
  std::remove(kOutput.c_str());
}

static void check(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "pdb_convert_fuzz: %s\n", what);
  abort();
}

static bool starts_with(const std::string& text, std::string::size_type from,
                        const char* prefix) {
  return text.compare(from, std::char_traits<char>::length(prefix), prefix) ==
         0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kCleanup = atexit(remove_temp_files);
  (void)kCleanup;

  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string kept;
  size_t records = 0;
  size_t atom_records = 0;
  for (std::string::size_type start = 0; start < bytes.size();) {
    std::string::size_type end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    bool is_atom = starts_with(line, 0, "ATOM");
    bool is_record = is_atom || starts_with(line, 0, "HETATM");
    if (!is_record || line.size() >= 46) {
      kept.append(bytes, start, end + 1 - start);  // with its line feed
      records += is_record;
      atom_records += is_atom;
    }
    start = end + 1;
  }
  std::ofstream(kInput, std::ios::binary) << kept;

  std::vector<atom> atoms;
  read_protein(kInput, atoms);
  check(atoms.size() == records, "one atom per coordinate record");
  write_pdb(kOutput, atoms);

  std::ifstream in(kOutput, std::ios::binary);
  std::string out((std::istreambuf_iterator<char>(in)),
                  std::istreambuf_iterator<char>());
  size_t lines = 0;
  for (std::string::size_type start = 0; start < out.size(); ++lines) {
    std::string::size_type end = out.find('\n', start);
    check(end != std::string::npos, "every output line ends in a line feed");
    check(starts_with(out, start, "ATOM  "), "every output line is an ATOM");
    // Fields are printed at their full widths or wider, NUL bytes or not.
    check(end - start >= 54, "every output line reaches column 54");
    start = end + 1;
  }
  check(lines == atom_records, "one output line per ATOM record");
  return 0;
}
