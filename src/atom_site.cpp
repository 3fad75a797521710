#include "atom_site.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Copies from into to, which keeps bytes of its own, and all of them, in
// whole, where from is longer than they.
static void keep(cif_value& to, std::string& whole, const site_value& from) {
  to.text = from.text;
  to.length = from.length;
  to.absent = from.absent;
  copy_to_own(to);
  to.whole = &whole;
  if (from.length > kMaxValue) whole.assign(whole_text(from));
}

// Kept out of same, which is inlined where it is called.
[[gnu::noinline]] static bool same_whole(const site_value& a,
                                         const cif_value& b) {
  return whole_text(a) == whole_text(b);
}

// Values are a few bytes long: shorter compared here than by a call.
static bool same(const site_value& a, const cif_value& b) {
  if (a.absent != b.absent || a.length != b.length ||
      a.text.size() != b.text.size()) {
    return false;
  }
  if (a.length > kMaxValue) return same_whole(a, b);
  for (std::size_t i = 0; i < a.text.size(); ++i) {
    if (a.text[i] != b.text[i]) return false;
  }
  return true;
}

// The first of two items that is given.
// Inlined, so that the value not read is never made.
template <typename Row>
[[gnu::always_inline]] inline static site_value either(const Row& row,
                                                       atom_site_item first,
                                                       atom_site_item second) {
  site_value v = value_of(row, first);
  return v.absent ? value_of(row, second) : v;
}

static bool is_standard_residue(std::string_view residue) {
  for (const char* standard : kStandardResidues) {
    if (residue == standard) return true;
  }
  return false;
}

template <typename Row>
static site_group group_of(const Row& row) {
  std::string_view group = value_of(row, kGroup).text;
  if (group == "ATOM") return kAtomGroup;
  if (group == "HETATM") return kHetatmGroup;
  return is_standard_residue(either(row, kAuthComp, kLabelComp).text)
             ? kGroupByPolymer
             : kHetatmGroup;
}

// Where the row's model and chain differ from the row before's, for the
// serial number: from 1 in each model, one a row, and one more after each
// polymer chain for its TER record.
template <typename Row>
static void compare_with_row_before(atom_site_records& records, const Row& row,
                                    site_record& out) {
  const site_value model = value_of(row, kModel);
  const site_value chain = either(row, kLabelAsym, kAuthAsym);
  bool same_model = same(model, records.previous_model);
  out.new_model = !records.numbered || !same_model;
  out.new_chain = !same(chain, records.previous_chain);
  records.numbered = true;
  if (!same_model) keep(records.previous_model, records.model_whole, model);
  if (out.new_chain) keep(records.previous_chain, records.chain_whole, chain);
}

static long number_row(atom_site_records& records, const site_record& row,
                       bool in_polymer) {
  if (row.new_model) {
    records.serial = 0;
  } else if (records.previous_in_polymer && (!in_polymer || row.new_chain)) {
    ++records.serial;
  }
  records.previous_in_polymer = in_polymer;
  return ++records.serial;
}

[[noreturn]] static void refuse(const atom_site_records& records, long line,
                                const char* what, std::string_view text,
                                bool cut) {
  fail_if_damaged(records.input);
  fprintf(stderr, "%s:%ld: %s \"%s%s\" does not fit the PDB format\n",
          records.file.c_str(), line, what, escaped(text).c_str(),
          cut ? "..." : "");
  exit(1);
}

// Notes v as the row's misfit, should the row be written, where it is the
// first value that does not fit.
static void note_misfit(site_misfit& misfit, const site_value& v,
                        const char* what) {
  if (misfit.what != nullptr) return;
  misfit.what = what;
  misfit.line = v.line;
  misfit.size = v.text.size();
  memcpy(misfit.text, v.text.data(), misfit.size);
  misfit.cut = v.length > v.text.size();
}

// A value is one PDB field: one that is longer than its columns, or holds a
// control character (a line feed would end the record), does not fit.
static void check_fit(site_misfit& misfit, const site_value& v,
                      std::size_t width, const char* what) {
  if (v.length > width || v.control) note_misfit(misfit, v, what);
}

// Copies text of up to 4 bytes in two copies of a fixed size, where
// put_text copies fewer than 4 a byte at a time, as most names, residues
// and residue numbers are.
static void put_short(char* out, std::string_view text) {
  std::size_t n = text.size();
  if (n >= 2) {
    memcpy(out, text.data(), 2);
    memcpy(out + n - 2, text.data() + n - 2, 2);
  } else if (n == 1) {
    out[0] = text[0];
  }
}

// Copies what of v its width columns hold, right-aligned. The width is a
// constant, so that blanking them takes a store, not a call, once inlined.
template <std::size_t width>
[[gnu::always_inline]] inline static void put_right(char* out,
                                                    const site_value& v) {
  std::string_view text = v.text.substr(0, width);
  memset(out, ' ', width);
  put_short(out + width - text.size(), text);
}

static bool two_letter_element(const site_value& element) {
  return element.text.size() == 2 &&
         isalpha(static_cast<unsigned char>(element.text[0])) &&
         isalpha(static_cast<unsigned char>(element.text[1]));
}

// The name in columns 13-16, from 13 where it has four characters or its
// element two letters (CA calcium, FE), else from 14; the alternate
// location in 17, where it joins the name as it does in a PDB file.
template <typename Row>
static void put_name(const Row& row, site_misfit& misfit, char* out) {
  const site_value name = either(row, kAuthAtom, kLabelAtom);
  const site_value alternate = value_of(row, kAltId);
  check_fit(misfit, name, 4, "atom name");
  check_fit(misfit, alternate, 1, "alternate location");
  bool from_13 =
      name.length >= 4 || two_letter_element(value_of(row, kTypeSymbol));
  memset(out, ' ', 5);  // cols 12-16
  put_short(out + 1 + !from_13, name.text.substr(0, 4 - !from_13));
  out[5] = alternate.text.empty() ? ' ' : alternate.text[0];
}

// The text that decides a number's value: where it is longer than the bytes
// kept, the number reader's.
static std::string_view real_value(const site_value& v) {
  if (v.length <= kMaxValue || v.number == nullptr) return v.text;
  return real_text(*v.number);
}

// Whether v is an integer, as auth_seq_id is where the archive writes it,
// its insertion code apart: a sign at most, then digits, read whole where
// they are more than the bytes kept.
static bool is_integer(const site_value& v) {
  const char* p = v.text.data();
  const char* const end = p + v.text.size();
  if (p != end && (*p == '-' || *p == '+')) ++p;
  if (p == end) return false;
  for (; p != end; ++p) {
    if (static_cast<unsigned char>(*p - '0') > 9) return false;
  }
  return v.length <= kMaxValue || v.number == nullptr || v.number->integer_open;
}

// The residue number in columns 23-26. A number of up to four characters is
// copied, as the conversion reads it; a longer one must be a number there.
template <typename Row>
static void put_residue_number(const Row& row, site_misfit& misfit, char* out) {
  const site_value number = either(row, kAuthSeq, kLabelSeq);
  if (!number.absent && !is_integer(number)) {
    note_misfit(misfit, number, "residue number");
  }
  if (number.length <= 4) return put_right<4>(out, number);
  std::string_view text = number.text;
  if (number.length > kMaxValue && number.number != nullptr) {
    text = integer_text(*number.number);
  }
  long long n = strtoll(std::string(text).c_str(), nullptr, 10);
  bool fits = n >= -999 && n <= 9999;
  if (!fits) note_misfit(misfit, number, "residue number");
  put_integer(out, fits ? static_cast<int>(n) : 0, 4);
}

// A coordinate in its 8 columns, printed as the conversion prints it. The
// archive writes no coordinate as -0.000: 0.000 where the mmCIF file has a
// value that rounds to it (4p5j).
template <typename Row>
[[gnu::always_inline]] inline static void put_coordinate_of(const Row& row,
                                                            atom_site_item item,
                                                            site_misfit& misfit,
                                                            char* out) {
  const site_value coordinate = value_of(row, item);
  std::string_view text = real_value(coordinate);
  char* printed_end = put_coordinate(out, text.data(), text.size());
  if (printed_end - out > 8 || coordinate.control) {
    note_misfit(misfit, coordinate, "coordinate");
  } else if (memcmp(out, "  -0.000", 8) == 0) {
    out[2] = ' ';
  }
}

// x, y and z in columns 31-54: three calls, not a loop, which the compiler
// leaves a loop of three.
template <typename Row>
static void put_coordinates(const Row& row, site_misfit& misfit, char* out) {
  put_coordinate_of(row, kCartnX, misfit, out);
  put_coordinate_of(row, kCartnY, misfit, out + 8);
  put_coordinate_of(row, kCartnZ, misfit, out + 16);
}

// HETATM rows, never written, are never refused: their records keep what
// their columns hold.
template <typename Row>
static void start_record(atom_site_records& records, const Row& row,
                         site_record& out) {
  out.group = group_of(row);
  compare_with_row_before(records, row, out);
  out.misfit.what = nullptr;
  const site_value residue = either(row, kAuthComp, kLabelComp);
  const site_value chain = either(row, kAuthAsym, kLabelAsym);
  check_fit(out.misfit, residue, 3, "residue name");
  check_fit(out.misfit, chain, 1, "chain ID");
  // Offsets in the record, less the kRecordStart bytes before text.
  put_name(row, out.misfit, out.text + 11 - kRecordStart);
  put_right<3>(out.text + 17 - kRecordStart, residue);
  out.text[20 - kRecordStart] = ' ';
  out.text[21 - kRecordStart] = chain.text.empty() ? ' ' : chain.text[0];
  put_residue_number(row, out.misfit, out.text + 22 - kRecordStart);
  memset(out.text + 26 - kRecordStart, ' ', 4);
  put_coordinates(row, out.misfit, out.text + 30 - kRecordStart);
}

void start_atom_site_record(atom_site_records& records, const cif_value* row,
                            site_record& out) {
  start_record(records, row, out);
}

void start_atom_site_record(atom_site_records& records, const site_words& row,
                            site_record& out) {
  start_record(records, row, out);
}

void start_atom_site_record(atom_site_records& records,
                            const site_quoted_words& row, site_record& out) {
  start_record(records, row, out);
}

// Prints the serial number, n from 0 to 99999, in five columns. Most often
// it is one more than the last: its text is counted up, not printed anew.
static void put_serial(atom_site_records& records, long n, char* out) {
  char* text = records.serial_text;
  if (n == records.serial_printed + 1 && records.serial_printed >= 0) {
    int i = 4;
    while (text[i] == '9') text[i--] = '0';
    text[i] = text[i] == ' ' ? '1' : text[i] + 1;
  } else if (n != records.serial_printed) {
    put_integer(text, static_cast<int>(n), 5);
  }
  records.serial_printed = n;
  memcpy(out, text, 5);
}

// Out of line, so that the record of every row does not pay for the
// registers the messages need.
[[gnu::cold, gnu::noinline]] static void refuse_row(
    const atom_site_records& records, const site_record& row_record,
    long serial, long line) {
  if (serial > 99999) {
    refuse(records, line, "serial number", std::to_string(serial), false);
  }
  const site_misfit& misfit = row_record.misfit;
  refuse(records, misfit.line, misfit.what,
         std::string_view(misfit.text, misfit.size), misfit.cut);
}

void finish_atom_site_record(atom_site_records& records,
                             const site_record& row_record, bool in_polymer,
                             long line, char* record) {
  bool written = row_record.group == kAtomGroup ||
                 (row_record.group == kGroupByPolymer && in_polymer);
  long serial = number_row(records, row_record, in_polymer);
  if (written && (serial > 99999 || row_record.misfit.what != nullptr)) {
    refuse_row(records, row_record, serial, line);
  }
  memcpy(record, written ? "ATOM  " : "HETATM", 6);
  put_serial(records, serial < 100000 ? serial : serial % 100000, record + 6);
  memcpy(record + kRecordStart, row_record.text, kRecordLength - kRecordStart);
}
