#include "atom_site.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "input_file.h"
#include "numbers.h"
#include "string_functions.h"

// The rules by which the archive writes a row as a PDB record: a record made
// by them is converted as any PDB record is, so that an entry converts to the
// same bytes whichever format it comes in.

// Residues that the archive writes as ATOM records within a polymer, where a
// file does not say (no group_PDB).
static const char* const kStandardResidues[] = {
    "ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS",
    "ILE", "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP",
    "TYR", "VAL", "UNK", "A",   "C",   "G",   "U",   "I",   "N",
    "DA",  "DC",  "DG",  "DT",  "DI",  "DU",  "DN",
};

// Copies from into to, which keeps bytes of its own.
static void keep(cif_value& to, const cif_value& from) {
  to.text = from.text;
  to.absent = from.absent;
  copy_to_own(to);
}

// Values are a few bytes long: shorter compared here than by a call.
static bool same(const cif_value& a, const cif_value& b) {
  if (a.absent != b.absent || a.text.size() != b.text.size()) return false;
  for (std::size_t i = 0; i < a.text.size(); ++i) {
    if (a.text[i] != b.text[i]) return false;
  }
  return true;
}

// The first of two items that is given.
static const cif_value& either(const cif_value* row, atom_site_item first,
                               atom_site_item second) {
  return row[first].absent ? row[second] : row[first];
}

static bool is_standard_residue(std::string_view residue) {
  for (const char* standard : kStandardResidues) {
    if (residue == standard) return true;
  }
  return false;
}

// Whether the row is written: an ATOM record, not a HETATM one.
static bool is_atom_record(const cif_value* row, bool in_polymer) {
  std::string_view group = row[kGroup].text;
  if (group == "ATOM") return true;
  if (group == "HETATM") return false;
  return in_polymer &&
         is_standard_residue(either(row, kAuthComp, kLabelComp).text);
}

// The serial number the archive gives the row: from 1 in each model, one a
// row, and one more after each polymer chain for its TER record.
static long number_row(atom_site_records& records, const cif_value* row,
                       bool in_polymer) {
  const cif_value& model = row[kModel];
  const cif_value& chain = either(row, kLabelAsym, kAuthAsym);
  if (!records.numbered || !same(model, records.previous_model)) {
    records.serial = 0;
  } else if (records.previous_in_polymer &&
             (!in_polymer || !same(chain, records.previous_chain))) {
    ++records.serial;
  }
  records.numbered = true;
  if (!same(model, records.previous_model)) {
    keep(records.previous_model, model);
  }
  if (!same(chain, records.previous_chain)) {
    keep(records.previous_chain, chain);
  }
  records.previous_in_polymer = in_polymer;
  return ++records.serial;
}

[[noreturn]] static void refuse(const atom_site_records& records, long line,
                                const char* what, std::string_view text,
                                bool cut) {
  fail_if_damaged(records.input);
  fprintf(stderr, "%s:%ld: %s \"%.*s%s\" does not fit the PDB format\n",
          records.file.c_str(), line, what, static_cast<int>(text.size()),
          text.data(), cut ? "..." : "");
  exit(1);
}

static void refuse_value(const atom_site_records& records, const cif_value& v,
                         const char* what) {
  refuse(records, v.line, what, v.text, v.length > v.text.size());
}

// Refuses a number that was kept cut: what it prints cannot be known.
[[noreturn]] static void refuse_long_number(const atom_site_records& records,
                                            const cif_value& v,
                                            const char* what) {
  fail_if_damaged(records.input);
  fprintf(stderr, "%s:%ld: %s \"%.*s...\" is longer than %zu characters\n",
          records.file.c_str(), v.line, what, static_cast<int>(v.text.size()),
          v.text.data(), kMaxValue);
  exit(1);
}

// Refuses a value of a written row that is longer than its columns.
static void check_width(const atom_site_records& records, const cif_value& v,
                        std::size_t width, const char* what) {
  if (v.length > width) refuse_value(records, v, what);
}

// Copies what of v its width columns hold, right-aligned. The width is a
// constant, so that blanking them takes a store, not a call.
template <std::size_t width>
static void put_right(char* out, const cif_value& v) {
  std::string_view text = v.text.substr(0, width);
  memset(out, ' ', width);
  put_text(out + width - text.size(), text);
}

static bool two_letter_element(const cif_value& element) {
  return element.text.size() == 2 &&
         isalpha(static_cast<unsigned char>(element.text[0])) &&
         isalpha(static_cast<unsigned char>(element.text[1]));
}

// The name in columns 13-16, from 13 where it has four characters or its
// element two letters (CA calcium, FE), else from 14; the alternate
// location in 17, where it joins the name as it does in a PDB file.
static void put_name(const atom_site_records& records, const cif_value* row,
                     bool written, char* out) {
  const cif_value& name = either(row, kAuthAtom, kLabelAtom);
  const cif_value& alternate = row[kAltId];
  if (written) {
    check_width(records, name, 4, "atom name");
    check_width(records, alternate, 1, "alternate location");
  }
  bool from_13 = name.length >= 4 || two_letter_element(row[kTypeSymbol]);
  memset(out, ' ', 5);  // cols 12-16
  put_text(out + 1 + !from_13, name.text.substr(0, 4 - !from_13));
  out[5] = alternate.text.empty() ? ' ' : alternate.text[0];
}

// The residue number in columns 23-26. A number of up to four characters is
// copied, as the conversion reads it; a longer one must be a number there.
static void put_residue_number(const atom_site_records& records,
                               const cif_value* row, bool written, char* out) {
  const cif_value& number = either(row, kAuthSeq, kLabelSeq);
  if (number.length <= 4) return put_right<4>(out, number);
  bool cut = number.length > number.text.size();
  if (written && cut) refuse_long_number(records, number, "residue number");
  long long n = strtoll(std::string(number.text).c_str(), nullptr, 10);
  bool fits = !cut && n >= -999 && n <= 9999;
  if (written && !fits) refuse_value(records, number, "residue number");
  put_integer(out, fits ? static_cast<int>(n) : 0, 4);
}

// x, y and z in columns 31-54, printed as the conversion prints them.
static void put_coordinates(const atom_site_records& records,
                            const cif_value* row, bool written, char* out) {
  for (int i = 0; i < 3; ++i, out += 8) {
    const cif_value& coordinate = row[kCartnX + i];
    if (written && coordinate.length > coordinate.text.size()) {
      refuse_long_number(records, coordinate, "coordinate");
    }
    char* printed_end =
        put_coordinate(out, coordinate.text.data(), coordinate.text.size());
    if (written && printed_end - out > 8) {
      refuse_value(records, coordinate, "coordinate");
    }
  }
}

// HETATM rows, never written, are never refused: their records keep what
// their columns hold.
void make_atom_site_record(atom_site_records& records, const cif_value* row,
                           bool polymer_entity, long line, char* record) {
  bool in_polymer = !row[kLabelSeq].absent || polymer_entity;
  bool written = is_atom_record(row, in_polymer);
  long serial = number_row(records, row, in_polymer);
  if (written && serial > 99999) {
    refuse(records, line, "serial number", std::to_string(serial), false);
  }
  const cif_value& residue = either(row, kAuthComp, kLabelComp);
  const cif_value& chain = either(row, kAuthAsym, kLabelAsym);
  if (written) {
    check_width(records, residue, 3, "residue name");
    check_width(records, chain, 1, "chain ID");
  }
  memcpy(record, written ? "ATOM  " : "HETATM", 6);
  put_integer(record + 6, static_cast<int>(serial % 100000), 5);
  put_name(records, row, written, record + 11);
  put_right<3>(record + 17, residue);
  record[20] = ' ';
  record[21] = chain.text.empty() ? ' ' : chain.text[0];
  put_residue_number(records, row, written, record + 22);
  memset(record + 26, ' ', 4);
  put_coordinates(records, row, written, record + 30);
}
