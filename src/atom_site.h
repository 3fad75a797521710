#ifndef PDB_CONVERT_ATOM_SITE_H_
#define PDB_CONVERT_ATOM_SITE_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

// The record that the PDB archive writes in an entry's PDB file for each row
// of the entry's mmCIF _atom_site category.

// The most bytes of an mmCIF value kept. The values a record takes are a few
// bytes long; a longer one is kept cut, enough to show it in a message and
// to tell that it does not fit.
constexpr std::size_t kMaxValue = 64;

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

// A value of an mmCIF item: its first kMaxValue bytes where they lie in the
// text read, or in bytes of its own (own), once that text is to be replaced.
struct cif_value {
  std::string_view text;
  std::size_t length = 0;  // bytes the value has
  bool absent = true;      // not given, or . or ?
  long line = 0;
  char own[kMaxValue];
};

// Moves v's text into its own bytes, before the text it lies in is replaced.
inline void copy_to_own(cif_value& v) {
  if (!v.text.empty()) memcpy(v.own, v.text.data(), v.text.size());
  v.text = std::string_view(v.own, v.text.size());
}

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
  bool previous_in_polymer = false;
  long serial = 0;
};

// Writes at record (room for kRecordLength + kMaxCoordinateText bytes) the
// record of the row whose values row holds, by atom_site_item, and which
// begins on line; polymer_entity says whether its label_entity_id is an
// _entity of type polymer. A row that is written (ATOM) and holds a value
// its PDB columns cannot prints "<file>:<line>: <what> "<value>" does not
// fit the PDB format" on stderr and exits 1.
void make_atom_site_record(atom_site_records& records, const cif_value* row,
                           bool polymer_entity, long line, char* record);

#endif  // PDB_CONVERT_ATOM_SITE_H_
