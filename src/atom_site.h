#ifndef PDB_CONVERT_ATOM_SITE_H_
#define PDB_CONVERT_ATOM_SITE_H_

#include <cstddef>
#include <string>

#include "cif_scanner.h"
#include "numbers.h"

// The record that the PDB archive writes in an entry's PDB file for each row
// of the entry's mmCIF _atom_site category.

// The _atom_site items a record is made from.
enum atom_site_item {
  kGroup,
  kTypeSymbol,
  kAuthAtom,
  kLabelAtom,
  kAltId,
  kAuthComp,
  kLabelComp,
  kAuthAsym,
  kLabelAsym,
  kLabelEntity,
  kAuthSeq,
  kLabelSeq,
  kCartnX,
  kCartnY,
  kCartnZ,
  kModel,
  kAtomSiteItems,
};

// The columns of a record that the conversion reads.
constexpr std::size_t kRecordLength = 54;

struct input_file;

// What the records of one file are made with: its name and input, for the
// refusals, and what the numbering carries from one row to the next.
struct atom_site_records {
  std::string file;
  input_file* input = nullptr;
  bool numbered = false;
  cif_value previous_model;
  cif_value previous_chain;
  std::string model_whole;  // theirs, where they are long
  std::string chain_whole;
  bool previous_in_polymer = false;
  long serial = 0;
  // The serial number last printed, as its five columns, and its value.
  char serial_text[5];
  long serial_printed = -1;
};

// Whether a row is written (an ATOM record): as its group_PDB says, or,
// without one, where it is a standard residue in a polymer.
enum site_group : unsigned char { kAtomGroup, kHetatmGroup, kGroupByPolymer };

// The first value of a row that does not fit its PDB columns: what it is
// ("atom name"), where, and its first bytes.
struct site_misfit {
  const char* what = nullptr;  // nullptr: every value fits
  long line = 0;
  bool cut = false;  // the value has more bytes than text
  std::size_t size = 0;
  char text[kMaxValue];
};

// A row's record, made but for what the polymers decide: its record type,
// where the row has no group_PDB, and its serial number, which counts a TER
// record after each polymer chain. text holds the record from column 12
// to 54, with room after them for a HETATM row's z that prints wider.
constexpr std::size_t kRecordStart = 11;
struct site_record {
  site_group group;
  bool new_model;  // its model differs from the row before's
  bool new_chain;  // and its chain
  site_misfit misfit;
  char text[kRecordLength - kRecordStart + kMaxCoordinateText];
};

// A value of a row as the record reads it: of a cif_value, or of a word of
// a row left in its words.
struct site_value {
  std::string_view text;
  std::size_t length;
  bool absent;
  bool control;
  long line;
  number_reader* number;
  const std::string* whole;
};

inline site_value value_of(const cif_value* row, atom_site_item i) {
  const cif_value& v = row[i];
  return {v.text, v.length, v.absent, v.control, v.line, v.number, v.whole};
}

// The values of a row that a loop left in its words: item i's is the word of
// column[i], where that is not -1.
struct site_words {
  const cif_row_layout* layout;
  const int* column;
  long line;
};

inline site_value value_of(const site_words& row, atom_site_item i) {
  int column = row.column[i];
  if (column < 0) return {{}, 0, true, false, row.line, nullptr, nullptr};
  std::string_view word = row_word(*row.layout, column);
  if (word.size() == 1 && (word[0] == '.' || word[0] == '?')) {
    return {{}, 0, true, false, row.line, nullptr, nullptr};
  }
  return {word, word.size(), false, false, row.line, nullptr, nullptr};
}

// The same, where some of the row's words are quoted.
struct site_quoted_words {
  site_words words;
};

inline site_value value_of(const site_quoted_words& row, atom_site_item i) {
  int column = row.words.column[i];
  if (column < 0 || (row.words.layout->quoted >> column & 1) == 0) {
    return value_of(row.words, i);
  }
  std::string_view word = row_word(*row.words.layout, column);
  word = word.substr(1, word.size() - 2);
  return {word, word.size(), false, false, row.words.line, nullptr, nullptr};
}

inline std::string_view whole_text(const site_value& v) {
  return v.length > kMaxValue && v.whole != nullptr ? std::string_view(*v.whole)
                                                    : v.text;
}

// Makes in out what of the record of the row whose values row holds, by
// atom_site_item, does not depend on polymers; the numbers of Cartn_x,
// Cartn_y, Cartn_z, auth_seq_id and label_seq_id longer than kMaxValue are
// in their number readers.
void start_atom_site_record(atom_site_records& records, const cif_value* row,
                            site_record& out);
void start_atom_site_record(atom_site_records& records, const site_words& row,
                            site_record& out);
void start_atom_site_record(atom_site_records& records,
                            const site_quoted_words& row, site_record& out);

// Writes at record (kRecordLength bytes) the whole record of the row that
// begins on line and whose record row_record starts, the rows before it
// finished; in_polymer says whether the row is in a polymer. A row that is
// written (ATOM) and holds a value its PDB columns cannot prints
// "<file>:<line>: <what> "<value>" does not fit the PDB format" on stderr
// and exits 1.
void finish_atom_site_record(atom_site_records& records,
                             const site_record& row_record, bool in_polymer,
                             long line, char* record);

#endif  // PDB_CONVERT_ATOM_SITE_H_
