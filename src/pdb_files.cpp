#include "pdb_files.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "mmcif_input.h"
#include "numbers.h"
#include "output_file.h"
#include "string_functions.h"

// A field of a coordinate record: its offset from the start of the line (the
// PDB column less one) and its width. The one map of the columns, for the
// records read into atoms and for those converted as they stream.
struct column {
  std::size_t offset;
  std::size_t width;
};
static constexpr column kSerial = {6, 5};          // cols 7-11
static constexpr column kName = {12, 5};           // cols 13-17: the alternate
                                                   // location (col 17) joins it
static constexpr column kResidueName = {17, 3};    // cols 18-20
static constexpr column kChain = {21, 1};          // col 22
static constexpr column kResidueNumber = {22, 4};  // cols 23-26
static constexpr column kCoordinates[3] = {
    {30, 8},  // x, cols 31-38
    {38, 8},  // y, cols 39-46
    {46, 8},  // z, cols 47-54, cut short where the line is
};

// Every field lies within the first 46 columns, but for z.
static constexpr std::size_t kMinRecordLength = 46;
// The text fields are copied eight bytes at a time where they print as they
// stand; a coordinate record holds those bytes.
static_assert(kName.offset + 8 <= kMinRecordLength &&
                  kResidueName.offset + 8 <= kMinRecordLength &&
                  kChain.offset + 8 <= kMinRecordLength,
              "eight bytes from each text field lie within the record");

// The longest line a coordinate record converts to: the fixed columns, a
// name of five, and three of the widest coordinates.
static const std::size_t kMaxLineLength = 64 + 3 * kMaxCoordinateText;

// Blanks to pad the text fields of a written line with.
static const char kBlanks[] = "        ";

// Old-style hydrogen names (digit first) and the names stored in their place.
static constexpr const char* kHydrogenRenames[][2] = {
    {"1H", "H"},      {"2H", "H"},      {"3H", "H"},      {"HE2", "H"},
    {"HG", "H"},      {"1HZ", "HZ1"},   {"2HZ", "HZ2"},   {"3HZ", "HZ3"},
    {"1HD2", "HD21"}, {"2HD2", "HD22"}, {"1HE2", "HE21"}, {"2HE2", "HE22"},
    {"1HH1", "HH11"}, {"2HH1", "HH12"}, {"1HH2", "HH21"}, {"2HH2", "HH22"},
};

// The bytes of line's field that the line holds: all of them, or fewer where
// the line ends within the field.
static std::string_view field(std::string_view line, column c) {
  if (c.offset >= line.size()) return std::string_view();
  return std::string_view(line.data() + c.offset,
                          std::min(c.width, line.size() - c.offset));
}

static std::string_view blank_trimmed(std::string_view text) {
  return trimmed(text.data(), text.data() + text.size(), kBlankChars);
}

static std::string_view text_field(std::string_view line, column c) {
  return blank_trimmed(field(line, c));
}

static int integer_field(std::string_view line, column c) {
  std::string_view text = field(line, c);
  return read_integer(text.data(), text.size());
}

// The first characters of the names the table renames, as bits of a mask,
// so that most names are passed over by one test. Characters are folded
// into 64 bits: one that shares a bit with them only costs the lookup.
static constexpr uint64_t first_characters_renamed() {
  uint64_t mask = 0;
  for (const auto& rename : kHydrogenRenames) {
    mask |= uint64_t(1) << (rename[0][0] & 63);
  }
  return mask;
}

static bool may_be_renamed(char first) {
  return (first_characters_renamed() >> (first & 63) & 1) != 0;
}

static std::string_view renamed_hydrogen(std::string_view name) {
  if (name.empty() || !may_be_renamed(name[0])) return name;
  for (const auto& rename : kHydrogenRenames) {
    if (name == rename[0]) return rename[1];
  }
  return name;
}

// The blank-trimmed name of a coordinate record, after hydrogen renaming.
static std::string_view atom_name(std::string_view line) {
  return renamed_hydrogen(text_field(line, kName));
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

// The record type of line, having ended the run where it is a coordinate
// record too short to hold its fields.
static int checked_record_type(std::string_view line,
                               const std::string& pdb_file, record_input* in) {
  int record_type = record_type_of(line);
  if (record_type != 0 && line.size() < kMinRecordLength) {
    fail_if_damaged(in);
    fprintf(stderr, "%s:%ld: coordinate record shorter than 46 characters\n",
            pdb_file.c_str(), record_line(in));
    exit(1);
  }
  return record_type;
}

// Closes the input however reading returns.
using input_closer = std::unique_ptr<record_input, void (*)(record_input*)>;

void read_protein(std::string pdb_file, std::vector<atom>& atoms) {
  input_closer in(open_records(pdb_file), close_records);
  std::string_view line;
  while (read_record(in.get(), line)) {
    int record_type = checked_record_type(line, pdb_file, in.get());
    if (record_type == 0) continue;
    std::array<double, 3> coords;
    for (int i = 0; i < 3; ++i) {
      std::string_view text = field(line, kCoordinates[i]);
      coords[i] = read_coordinate(text.data(), text.size());
    }
    atoms.emplace_back(integer_field(line, kSerial),
                       std::string(atom_name(line)),
                       integer_field(line, kResidueNumber), coords,
                       std::string(text_field(line, kResidueName)),
                       std::string(text_field(line, kChain)), record_type);
  }
}

// Columns of a written line, for values that fit their widths:
//  1-6 "ATOM  " | 7-11 serial | 13-16 name, a four-character one from col 13,
//  any other from col 14 | 18-20 residue name | 22 chain | 23-26 residue
//  number | 31-38, 39-46, 47-54 x, y, z with three decimals.
// The template is chosen by the name's length in bytes, NULs included.
static const char kFourCharacterName[] =
    "ATOM  %5d %-4s %3s %1s%4d    %8.3f%8.3f%8.3f\n";
static const char kOtherName[] =
    "ATOM  %5d  %-3s %3s %1s%4d    %8.3f%8.3f%8.3f\n";

// The converted line of an ATOM record is written by the program's own code
// from the fields' text, with the bytes these templates print (the unit
// tests and the fuzz target hold one to the other), and with no conversion
// to numbers and back.

// A text as %s prints it: up to its first NUL. Fields are a few bytes long,
// shorter than a call to memchr.
static std::string_view as_printed(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && text[n] != '\0') ++n;
  return text.substr(0, n);
}

// text as %*s (right-aligned) or %-*s (left-aligned) prints it in width.
static char* put_aligned(char* out, std::string_view text, std::size_t width,
                         bool left) {
  text = as_printed(text);
  if (text.size() >= width) return put_text(out, text);
  // Blanks under the whole field, then the text over them: no call for fields
  // as narrow as these.
  static_assert(sizeof kBlanks - 1 >= 4, "blanks for the widest field");
  memcpy(out, kBlanks, sizeof kBlanks - 1);
  put_text(left ? out : out + width - text.size(), text);
  return out + width;
}

// Whether text holds a control character: a NUL, which %s stops at, or a
// blank that trimming takes other than the space, which are all below it.
static bool has_control(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < ' ') return true;
  }
  return false;
}

static constexpr bool all_below_or_space(const char* set) {
  for (; *set != '\0'; ++set) {
    if (static_cast<unsigned char>(*set) > ' ') return false;
  }
  return true;
}
static_assert(all_below_or_space(kBlankChars),
              "has_control knows the blanks as control characters");

// Whether a field that "%*s" prints trimmed, right-aligned in its own width,
// prints as it stands: where it holds no control character and only leading
// spaces, trimming takes those and aligning puts them back.
static bool prints_as_it_stands(std::string_view field) {
  return !has_control(field) && field.back() != ' ';
}

// Whether a name field prints as it stands between the blanks that the
// templates put around it: it holds no control character, its alternate
// location is blank, its name fills the four columns from col 13 or starts at
// col 14, and the table does not rename it.
static bool name_prints_as_it_stands(std::string_view field) {
  if (field.size() != 5 || field[4] != ' ' || has_control(field)) {
    return false;
  }
  bool from_col_13 = field[0] != ' ';
  if (field[from_col_13 ? 3 : 1] == ' ') return false;
  if (!may_be_renamed(field[from_col_13 ? 0 : 1])) return true;
  std::string_view name = blank_trimmed(field);
  return renamed_hydrogen(name).data() == name.data();
}

// Copies line's field c, which the line holds whole, in one move of eight
// bytes: the line holds them, and out has room past the field for them.
static char* put_field_as_it_stands(char* out, std::string_view line,
                                    column c) {
  memcpy(out, line.data() + c.offset, 8);
  return out + c.width;
}

// line's right-aligned text field c as "%*s" prints it, trimmed, in c's width.
[[gnu::always_inline]] static inline char* put_text_field(char* out,
                                                          std::string_view line,
                                                          column c) {
  std::string_view text = field(line, c);
  if (text.size() == c.width && prints_as_it_stands(text)) {
    return put_field_as_it_stands(out, line, c);
  }
  return put_aligned(out, blank_trimmed(text), c.width, false);
}

// line's atom name as the templates print it, with the blank before it and
// the one after.
static char* put_name(char* out, std::string_view line) {
  *out++ = ' ';
  if (name_prints_as_it_stands(field(line, kName))) {
    return put_field_as_it_stands(out, line, kName);
  }
  std::string_view name = atom_name(line);
  bool four = name.size() == 4;
  if (!four) *out++ = ' ';
  out = put_aligned(out, name, four ? 4 : 3, true);
  *out++ = ' ';
  return out;
}

// The converted line of an ATOM record; printed says that its serial number
// and coordinates are already in the form they print in.
static char* put_converted(char* out, std::string_view line, bool printed) {
  memcpy(out, "ATOM  ", 6);
  std::string_view serial = field(line, kSerial);
  if (printed) {
    memcpy(out + 6, serial.data(), kSerial.width);
    out += 6 + kSerial.width;
  } else {
    out = put_integer(out + 6, serial.data(), serial.size(), 5);
  }
  out = put_name(out, line);
  out = put_text_field(out, line, kResidueName);
  *out++ = ' ';
  out = put_text_field(out, line, kChain);
  std::string_view residue_number = field(line, kResidueNumber);
  out = put_integer(out, residue_number.data(), residue_number.size(), 4);
  memcpy(out, "    ", 4);
  out += 4;
  if (printed) {
    memcpy(out, line.data() + kCoordinates[0].offset, 3 * 8);
    out += 3 * 8;
  } else {
    for (const column& c : kCoordinates) {
      std::string_view text = field(line, c);
      out = put_coordinate(out, text.data(), text.size());
    }
  }
  *out++ = '\n';
  return out;
}

[[noreturn]] static void die_unwritable(const std::string& outfile) {
  fprintf(stderr, "Could not write %s\n", outfile.c_str());
  exit(1);
}

[[noreturn]] static void die_unopenable() {
  puts("This file could not be opened.\nDying\n");
  exit(1);
}

static void announce(const std::string& outfile) {
  fprintf(stderr, "Writing data to %s\n", outfile.c_str());
}

// The line of a, from an ATOM record, as fprintf prints it with the
// templates, into out, which has room for size bytes. Returns its length,
// which may be more than fits.
static std::size_t print_atom(char* out, std::size_t size, const atom& a,
                              const std::string& outfile) {
  int length = snprintf(
      out, size, a.name.size() == 4 ? kFourCharacterName : kOtherName, a.serial,
      a.name.c_str(), a.residue_name.c_str(), a.chain.c_str(), a.residue_number,
      a.coords[0], a.coords[1], a.coords[2]);
  if (length < 0) die_unwritable(outfile);
  return length;
}

void write_pdb(std::string outfile, std::vector<atom>& atoms) {
  // Allocated before the file is opened, so that running out of memory
  // leaves no file behind.
  std::unique_ptr<char[]> block(new char[kBlockSize]);
  if (!open_output(outfile)) die_unopenable();
  announce(outfile);
  std::size_t used = 0;
  for (const atom& a : atoms) {
    if (a.record_type != kAtomRecord) continue;
    std::size_t room = kBlockSize - used;
    std::size_t length = print_atom(block.get() + used, room, a, outfile);
    if (length < room) {
      used += length;
      continue;
    }
    put_lines(block, used);
    used = 0;
    if (length < kBlockSize) {
      used = print_atom(block.get(), kBlockSize, a, outfile);
      continue;
    }
    // A line longer than a block, of fields longer than a record holds, is
    // handed over alone.
    std::unique_ptr<char[]> line(new char[length + 1]);
    put_lines(line, print_atom(line.get(), length + 1, a, outfile));
  }
  put_lines(block, used);
  if (!close_output()) die_unwritable(outfile);
}

// Converts each line of in as it is read, handing the converted lines to the
// output a block at a time.
static void convert_lines(record_input* in, const std::string& pdb_file) {
  std::unique_ptr<char[]> block(new char[kBlockSize]);
  char* end = block.get();
  const bool printed = numbers_printed(in);
  std::string_view line;
  while (read_record(in, line)) {
    if (checked_record_type(line, pdb_file, in) != kAtomRecord) {
      continue;
    }
    if (block.get() + kBlockSize - end < std::ptrdiff_t(kMaxLineLength)) {
      put_lines(block, end - block.get());
      end = block.get();
    }
    end = put_converted(end, line, printed);
  }
  put_lines(block, end - block.get());
}

void convert_pdb(std::string pdb_file, std::string outfile) {
  input_closer in(open_records(pdb_file), close_records);
  // A new file that will replace the output takes the lines as they come;
  // any other output is opened only once the input is read whole, since an
  // input error would leave it cut short.
  if (!start_output(outfile)) die_unopenable();
  convert_lines(in.get(), pdb_file);
  in.reset();
  if (!open_output(outfile)) die_unopenable();
  announce(outfile);
  if (!close_output()) die_unwritable(outfile);
}
