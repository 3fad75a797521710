#include "mmcif_case.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using std::string;
// A value of a row; an absent one is written as . or ?.
using value = std::optional<string>;

// ---------------------------------------------------------------------------
// Choices

static unsigned pick(choices& c, unsigned n) {
  return c.next == c.end ? 0 : *c.next++ % n;
}

// Rare variants are left out once the bytes run out.
static bool one_in(choices& c, unsigned n) { return pick(c, n) == n - 1; }

template <std::size_t N>
static const char* one_of(choices& c, const char* const (&pool)[N]) {
  return pool[pick(c, N)];
}

// ---------------------------------------------------------------------------
// Values

// Atom names that fit columns 13-16: the renamed hydrogens, primed and
// starred nucleic-acid names, element names that a two-letter type_symbol
// places from column 13, and names that CIF must quote.
static const char* const kNames[] = {
    "N",   "CA",   "C",    "O",    "CB",   "SG",   "CD1", "OXT",
    "H",   "HA",   "HG",   "HE2",  "1H",   "2H",   "3H",  "1HZ",
    "3HZ", "1HD2", "2HE2", "1HH1", "2HH2", "HD21", "O5'", "H5''",
    "C1*", "FE",   "MN",   "ZN",   "CL",   "O5'X", "'N",  "\"O\"",
    "_X",  "#1",   "$A",   "[B",   "]C",   ";A",   ".",   "?",
    "C 1", "A'B",  "O\"1", "N#",   "P'",   ".A",   "?B",
};
// A value longer than the reader keeps of it.
static const char kLongValue[] =
    "L234567890123456789012345678901234567890123456789012345678901234567890";
// Values longer than it keeps that differ only past what it keeps: each
// must still be a value of its own.
#define LATE "EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE"
static const char kLate1[] = LATE "1";
static const char kLate2[] = LATE "2";
static const char kLongModel1[] =
    "100000000000000000000000000000000000000000000000000000000000000000001";
static const char kLongModel2[] =
    "100000000000000000000000000000000000000000000000000000000000000000002";

// Names that only a HETATM row may carry.
static const char* const kLongNames[] = {
    "C10A1", "data_", "loop_", "SAVE_A", "global_", "Stop_",
    "O5'XY", "_a.b",  "N\nX",  "C\tA",   "A\x1b",   kLongValue,
};
static const char* const kResidues[] = {
    "ALA", "GLY", "SER", "CYS", "MET", "TRP", "HIS", "LYS", "GLU", "UNK",
    "A",   "C",   "G",   "U",   "I",   "N",   "DA",  "DC",  "DG",  "DT",
    "DI",  "DU",  "DN",  "HOH", "ZN",  "NAG", "MSE", "CA",  "FE",  "HG",
    "UNL", "A'",  ".",   "?",   "#B",  "_C",  "ala", "T",   "DX",  "'U",
};
static const char* const kLongResidues[] = {
    "LIG01", "A1AB2", "loop_", "DATA_1", "ALAA", kLongValue,
};
// Chain IDs, and the label_asym_id values that the archive gives as many
// letters as it takes.
static const char* const kChains[] = {
    "A", "B", "C", "a", "1", "'", "\"", "#", ".", "?", "_", "$",
};
static const char* const kLongChains[] = {"AA",  "AAA",  "BBBB",
                                          "C-2", kLate1, kLate2};
static const char* const kSequenceNumbers[] = {
    "-999", "-5", "0", "1", "2", "3", "10", "99", "100", "999", "1000", "9999",
};
// Of these, the zero-padded ones fit: they are longer than the bytes the
// reader keeps, not than the columns. The others are too wide, or not
// integers.
static const char* const kLongSequenceNumbers[] = {
    "10000",
    "-1000",
    "123456",
    "1A",
    "12abc",
    "-",
    "000000000000000000000000000000000000000000000000000000000000000000005x",
    "000000000000000000000000000000000000000000000000000000000000000000005",
    "-00000000000000000000000000000000000000000000000000000000000000000012",
};
static const char* const kAltIds[] = {"A", "B", "1", "2", "'", "a"};
static const char* const kSymbols[] = {
    "C", "N", "O", "H", "S", "P", "D", "CA", "FE", "MN", "ZN", "Se", "Cl", "HG",
};
static const char* const kModels[] = {
    "1", "2", "3", "10", "-1", "0", kLongModel1, kLongModel2,
};
static const char* const kEntityIds[] = {"1", "2", kLate1, kLate2};
static const char* const kEntityTypes[] = {
    "polymer", "non-polymer", "water", "branched", "polymer",
};

// The residues that make a row in a polymer an ATOM record where the file
// has no group_PDB.
static const char* const kStandardResidues[] = {
    "ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS",
    "ILE", "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP",
    "TYR", "VAL", "UNK", "A",   "C",   "G",   "U",   "I",   "N",
    "DA",  "DC",  "DG",  "DT",  "DI",  "DU",  "DN",
};

static bool is_standard(const string& residue) {
  for (const char* standard : kStandardResidues) {
    if (residue == standard) return true;
  }
  return false;
}

// A value from the pool that fits, or rarely one from the long pool.
template <std::size_t N, std::size_t M>
static string draw_text(choices& c, const char* const (&pool)[N],
                        const char* const (&long_pool)[M]) {
  return one_in(c, 16) ? one_of(c, long_pool) : one_of(c, pool);
}

// A coordinate as writers print it: any number of decimals, now and then a
// form such as ".5", "7." or "1.5E1", or too wide for the PDB columns.
static string draw_coordinate(choices& c) {
  static const char* const kWholes[] = {"0", "1", "5", "12", "123", "999"};
  static const char* const kWideWholes[] = {"1234", "9999", "12345"};
  string text = pick(c, 3) == 0 ? "-" : "";
  // Now and then more leading zeros than the reader keeps of a value.
  if (one_in(c, 32)) text += string(70, '0');
  text += one_in(c, 8) ? one_of(c, kWideWholes) : one_of(c, kWholes);
  // Now and then more digits than the reader keeps of a value.
  unsigned decimals = pick(c, 8) + (one_in(c, 32) ? 70 : 0);
  if (decimals > 0 || one_in(c, 8)) text += '.';
  for (unsigned i = 0; i < decimals; ++i) text += char('0' + pick(c, 10));
  if (one_in(c, 16)) text += one_of(c, {"e0", "E1", "e-2", "E+2"});
  return text;
}

static string printed_coordinate(const string& text) {
  char printed[400];
  snprintf(printed, sizeof printed, "%8.3f", strtod(text.c_str(), nullptr));
  return printed;
}

// The archive writes no -0.000: 0.000.
static string archive_coordinate(const string& text) {
  string printed = printed_coordinate(text);
  return printed == "  -0.000" ? "   0.000" : printed;
}

// ---------------------------------------------------------------------------
// Rows

struct site_row {
  value group;
  value label_atom, auth_atom;
  value label_comp, auth_comp;
  value label_asym, auth_asym;
  value label_seq, auth_seq;
  value alt, symbol, entity;
  value x, y, z;
  value model;
};

// The _atom_site items that the rows hold, then those the reader must skip.
struct site_column {
  const char* tag;
  value site_row::*field;  // nullptr for a column of drawn filler
};
static const site_column kSiteColumns[] = {
    {"group_PDB", &site_row::group},
    {"label_atom_id", &site_row::label_atom},
    {"auth_atom_id", &site_row::auth_atom},
    {"label_comp_id", &site_row::label_comp},
    {"auth_comp_id", &site_row::auth_comp},
    {"label_asym_id", &site_row::label_asym},
    {"auth_asym_id", &site_row::auth_asym},
    {"label_seq_id", &site_row::label_seq},
    {"auth_seq_id", &site_row::auth_seq},
    {"label_alt_id", &site_row::alt},
    {"type_symbol", &site_row::symbol},
    {"label_entity_id", &site_row::entity},
    {"pdbx_PDB_model_num", &site_row::model},
    {"Cartn_x", &site_row::x},
    {"Cartn_y", &site_row::y},
    {"Cartn_z", &site_row::z},
    {"id", nullptr},
    {"occupancy", nullptr},
    {"B_iso_or_equiv", nullptr},
    {"pdbx_formal_charge", nullptr},
    {"pdbx_PDB_ins_code", nullptr},
    {"Cartn_x_esd", nullptr},
    {"pdbx_auth_atom_name", nullptr},
    {"pdbx_auth_comp_id", nullptr},
    {"pdbx_auth_seq_id", nullptr},
    {"pdbx_auth_asym_id", nullptr},
};
static const std::size_t kFirstFiller = 16;

// The value a row takes from an auth_ item, or from its label_ twin where
// the auth_ one is absent.
static const value& used(const value& auth, const value& label) {
  return auth ? auth : label;
}

static string text_of(const value& v) { return v ? *v : string(); }

// A label_ item and its auth_ twin: mostly the same, as the archive writes
// them, but either may differ or be absent.
template <std::size_t N, std::size_t M>
static void draw_twins(choices& c, value& label, value& auth,
                       const char* const (&pool)[N],
                       const char* const (&long_pool)[M]) {
  label = draw_text(c, pool, long_pool);
  switch (pick(c, 5)) {
    case 0:
    case 1:
      auth = label;
      break;
    case 2:
      auth = draw_text(c, pool, long_pool);
      break;
    case 3:
      auth.reset();
      break;
    default:
      auth = draw_text(c, pool, long_pool);
      label.reset();
  }
}

static value next_number(const value& previous) {
  if (!previous) return string("1");
  // strtoll saturates where a long model number overflows it.
  long long n = strtoll(previous->c_str(), nullptr, 10);
  return n == LLONG_MAX ? string("1") : std::to_string(n + 1);
}

// Residues and chains run over several rows, so that a chain ends now and
// then, and the models do.
static void draw_residue(choices& c, site_row& row, const site_row& previous) {
  switch (pick(c, 4)) {
    case 0:
      row.label_seq = previous.label_seq;
      row.auth_seq = previous.auth_seq;
      row.label_comp = previous.label_comp;
      row.auth_comp = previous.auth_comp;
      return;
    case 1:
      row.label_seq.reset();
      break;
    case 2:
      row.label_seq = next_number(previous.label_seq);
      break;
    default:
      row.label_seq = one_of(c, {"1", "2", "3", "7"});
  }
  switch (pick(c, 4)) {
    case 0:
      row.auth_seq = row.label_seq;
      break;
    case 1:
      row.auth_seq = next_number(previous.auth_seq);
      break;
    case 2:
      row.auth_seq.reset();
      break;
    default:
      row.auth_seq = draw_text(c, kSequenceNumbers, kLongSequenceNumbers);
  }
  draw_twins(c, row.label_comp, row.auth_comp, kResidues, kLongResidues);
}

static void draw_chain(choices& c, site_row& row, const site_row& previous) {
  if (pick(c, 4) != 0) {
    row.label_asym = previous.label_asym;
    row.auth_asym = previous.auth_asym;
    return;
  }
  draw_twins(c, row.label_asym, row.auth_asym, kChains, kLongChains);
}

static void draw_atom(choices& c, site_row& row) {
  draw_twins(c, row.label_atom, row.auth_atom, kNames, kLongNames);
  if (pick(c, 4) == 3) row.alt = one_of(c, kAltIds);
  if (pick(c, 5) != 0) row.symbol = one_of(c, kSymbols);
  if (pick(c, 5) != 0) row.entity = one_of(c, kEntityIds);
  row.x = draw_coordinate(c);
  row.y = draw_coordinate(c);
  row.z = draw_coordinate(c);
}

static site_row draw_row(choices& c, const site_row& previous) {
  site_row row;
  switch (pick(c, 4)) {
    case 0:
      row.group.reset();
      break;
    case 1:
      row.group = string("HETATM");
      break;
    default:
      row.group = string("ATOM");
  }
  draw_chain(c, row, previous);
  draw_residue(c, row, previous);
  draw_atom(c, row);
  row.model = previous.model;
  if (one_in(c, 6)) {
    row.model = one_in(c, 3) ? one_of(c, kModels) : next_number(previous.model);
  }
  return row;
}

// An entity's id and type, as _entity gives them.
using entity = std::pair<string, string>;

// Whether a row is in a polymer: where _entity is given, before the rows or
// after them, its entity is a polymer one there; where not, it has a
// label_seq_id.
static bool in_polymer(const site_row& row, const std::vector<entity>& known) {
  if (known.empty()) return row.label_seq.has_value();
  for (const entity& e : known) {
    if (row.entity == e.first && e.second == "polymer") return true;
  }
  return false;
}

static bool is_atom_record(const site_row& row,
                           const std::vector<entity>& known) {
  if (row.group) return *row.group == "ATOM";
  return in_polymer(row, known) &&
         is_standard(text_of(used(row.auth_comp, row.label_comp)));
}

// A residue number is an integer, its insertion code apart.
static bool fits_number(const value& v) {
  if (!v) return true;
  std::size_t sign = v->size() > 1 && ((*v)[0] == '-' || (*v)[0] == '+');
  if (v->empty() || v->find_first_not_of("0123456789", sign) != string::npos) {
    return false;
  }
  long n = atol(v->c_str());
  return n >= -999 && n <= 9999;
}

static bool has_control(const string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

static bool fits_coordinate(const value& v) {
  return printed_coordinate(*v).size() == 8 && !has_control(*v);
}

// A control character, a line feed say, does not fit a PDB field.
static bool fits_text(const value& v, std::size_t width) {
  return !v || (v->size() <= width && !has_control(*v));
}

static bool fits_columns(const site_row& row) {
  return fits_text(used(row.auth_atom, row.label_atom), 4) &&
         fits_text(used(row.auth_comp, row.label_comp), 3) &&
         fits_text(used(row.auth_asym, row.label_asym), 1) &&
         fits_number(used(row.auth_seq, row.label_seq)) &&
         fits_coordinate(row.x) && fits_coordinate(row.y) &&
         fits_coordinate(row.z);
}

// The value a row uses, replaced from the pool where it does not fit.
template <std::size_t N>
static void fit_text(choices& c, value& auth, value& label, std::size_t width,
                     const char* const (&pool)[N]) {
  value& v = auth ? auth : label;
  if (!fits_text(v, width)) v = one_of(c, pool);
}

// An ATOM row that does not fit the columns ends the run, so an ATOM row is
// given values that fit; the label_ twins it does not use stay as drawn.
static void fit_atom_record(choices& c, site_row& row) {
  fit_text(c, row.auth_atom, row.label_atom, 4, kNames);
  fit_text(c, row.auth_comp, row.label_comp, 3, kResidues);
  fit_text(c, row.auth_asym, row.label_asym, 1, kChains);
  value& number = row.auth_seq ? row.auth_seq : row.label_seq;
  if (!fits_number(number)) number = one_of(c, kSequenceNumbers);
  for (value* v : {&row.x, &row.y, &row.z}) {
    if (!fits_coordinate(*v)) *v = one_of(c, {"0.5", "-999.999", "9999.999"});
  }
}

// Each optional column is left out of the file now and then: its values
// are then absent from every row. A name and a residue name are always
// given by one of their twins.
static std::vector<bool> draw_kept_columns(choices& c) {
  std::vector<bool> kept;
  for (std::size_t i = 0; i < std::size(kSiteColumns); ++i) {
    bool coordinate = kSiteColumns[i].field == &site_row::x ||
                      kSiteColumns[i].field == &site_row::y ||
                      kSiteColumns[i].field == &site_row::z;
    kept.push_back(coordinate ||
                   (i < kFirstFiller ? pick(c, 5) != 4 : pick(c, 3) == 2));
  }
  if (!kept[1] && !kept[2]) kept[1] = true;  // label_atom_id
  if (!kept[3] && !kept[4]) kept[3] = true;  // label_comp_id
  return kept;
}

static void drop_left_out(site_row& row, const std::vector<bool>& kept) {
  for (std::size_t i = 0; i < kFirstFiller; ++i) {
    if (!kept[i]) (row.*kSiteColumns[i].field).reset();
  }
  // Each row has a name and a residue name, in a column that is there.
  if (!row.label_atom && !row.auth_atom) {
    (kept[1] ? row.label_atom : row.auth_atom) = string("N");
  }
  if (!row.label_comp && !row.auth_comp) {
    (kept[3] ? row.label_comp : row.auth_comp) = string("ALA");
  }
}

static std::vector<site_row> draw_rows(choices& c,
                                       const std::vector<bool>& kept) {
  std::vector<site_row> rows;
  site_row previous;
  previous.model = string("1");
  previous.label_asym = previous.auth_asym = string("A");
  unsigned count = 1 + pick(c, 16);
  for (unsigned i = 0; i < count; ++i) {
    site_row row = draw_row(c, previous);
    drop_left_out(row, kept);
    rows.push_back(row);
    previous = row;
  }
  return rows;
}

// ---------------------------------------------------------------------------
// The PDB records

// The chain that a polymer run of rows is told by.
static string chain_key(const site_row& row) {
  return text_of(row.label_asym ? row.label_asym : row.auth_asym);
}

// Whether the archive writes a TER record after row i: the last row of a
// run in a polymer within one chain and model.
static bool ends_polymer_chain(const std::vector<site_row>& rows,
                               const std::vector<entity>& known,
                               std::size_t i) {
  if (!in_polymer(rows[i], known)) return false;
  if (i + 1 == rows.size()) return true;
  const site_row& next = rows[i + 1];
  return next.model != rows[i].model || !in_polymer(next, known) ||
         chain_key(next) != chain_key(rows[i]);
}

static bool has_two_letters(const value& symbol) {
  return symbol && symbol->size() == 2 &&
         isalpha(static_cast<unsigned char>((*symbol)[0])) &&
         isalpha(static_cast<unsigned char>((*symbol)[1]));
}

// Columns 13-16: a name of four from column 13, as is that of an element
// with a two-letter symbol; any other from column 14.
static string name_columns(const site_row& row) {
  string name = text_of(used(row.auth_atom, row.label_atom));
  if (name.size() != 4 && !has_two_letters(row.symbol)) name.insert(0, " ");
  name.resize(4, ' ');
  return name;
}

static string pdb_record(const site_row& row, bool atom, int serial) {
  string chain = text_of(used(row.auth_asym, row.label_asym));
  char line[128];
  snprintf(line, sizeof line, "%-6s%5d %s%c%3s %1s%4ld    %s%s%s\n",
           atom ? "ATOM" : "HETATM", serial, name_columns(row).c_str(),
           row.alt ? (*row.alt)[0] : ' ',
           text_of(used(row.auth_comp, row.label_comp)).c_str(), chain.c_str(),
           atol(text_of(used(row.auth_seq, row.label_seq)).c_str()),
           archive_coordinate(*row.x).c_str(),
           archive_coordinate(*row.y).c_str(),
           archive_coordinate(*row.z).c_str());
  return line;
}

// The record of a HETATM row whose values do not fit: never written out,
// so only its record type and serial are compared.
static string stand_in_record(int serial) {
  char line[128];
  snprintf(line, sizeof line,
           "HETATM%5d  X   UNK A   1       0.000   0.000   0.000\n", serial);
  return line;
}

// Makes every ATOM row fit, then writes the records with the archive's
// serials: from 1 in each model, one a row, and one more for the TER record
// after each polymer chain. The rows are fitted first, since fitting one may
// change the chain that ends the chain before it.
static void write_records(choices& c, std::vector<site_row>& rows,
                          const std::vector<entity>& known, mmcif_case& out) {
  std::vector<bool> atom;
  for (site_row& row : rows) {
    atom.push_back(is_atom_record(row, known));
    if (atom.back()) fit_atom_record(c, row);
  }
  int serial = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i == 0 || rows[i].model != rows[i - 1].model) serial = 0;
    ++serial;
    bool exact = fits_columns(rows[i]);
    out.pdb +=
        exact ? pdb_record(rows[i], atom[i], serial) : stand_in_record(serial);
    out.exact.push_back(exact);
    if (ends_polymer_chain(rows, known, i)) ++serial;
  }
}

// ---------------------------------------------------------------------------
// CIF text

struct cif_text {
  choices& c;
  string text;
  int line_ends;  // 0: LF, 1: CRLF, 2: either, line by line
  bool at_line_start = true;
  bool after_text_field = false;
};

static void end_line(cif_text& w) {
  bool crlf = w.line_ends == 1 || (w.line_ends == 2 && pick(w.c, 2) == 1);
  w.text += crlf ? "\r\n" : "\n";
  w.at_line_start = true;
  w.after_text_field = false;
}

static void put(cif_text& w, const string& text) {
  w.text += text;
  w.at_line_start = false;
  w.after_text_field = false;
}

// Lines of a fixed text, each ended as the file ends its lines.
static void put_lines(cif_text& w, const string& lines) {
  for (std::size_t start = 0; start <= lines.size();) {
    std::size_t end = std::min(lines.find('\n', start), lines.size());
    put(w, lines.substr(start, end - start));
    end_line(w);
    start = end + 1;
  }
}

static const char* const kComments[] = {
    "#",       "# comment",     "#ATOM      1  N   ALA A   1",
    "# it's",  "#;not a field", "# _atom_site.id 5",
    "# loop_", "#data_x",       "#\t\"",
};

// White space between two values: blanks, tabs, line ends, blank lines and
// comments, which may follow a value on its line.
static void separate(cif_text& w) {
  switch (w.after_text_field && !one_in(w.c, 8) ? 11 : pick(w.c, 16)) {
    case 9:
      put(w, "\t");
      return;
    case 10:
      put(w, "  \t ");
      return;
    case 11:
    case 12:
      end_line(w);
      return;
    case 13:
      end_line(w);
      put(w, one_of(w.c, kComments));
      end_line(w);
      return;
    case 14:
      put(w, " ");
      put(w, one_of(w.c, kComments));
      end_line(w);
      return;
    case 15:
      end_line(w);
      if (pick(w.c, 2) == 1) put(w, " \t");
      end_line(w);
      return;
    default:
      put(w, pick(w.c, 4) == 3 ? "   " : " ");
  }
}

static bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static bool starts_with_word(const string& text, const char* word) {
  std::size_t n = std::char_traits<char>::length(word);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

static bool is_reserved(const string& text) {
  for (const char* word : {"data_", "loop_", "save_", "global_", "stop_"}) {
    if (starts_with_word(text, word)) return true;
  }
  return false;
}

// A bare value may begin with ';' where it does not begin a line, which it
// is then kept from doing.
static bool may_be_bare(const string& text) {
  if (text.empty() || text == "." || text == "?" || is_reserved(text)) {
    return false;
  }
  if (string("_#$'\"[]").find(text[0]) != string::npos) return false;
  return std::none_of(text.begin(), text.end(), is_blank);
}

static void put_bare(cif_text& w, const string& text) {
  if (text[0] == ';' && w.at_line_start) put(w, " ");
  put(w, text);
}

// A quote ends a quoted value only where white space follows it.
static bool may_be_quoted(const string& text, char quote) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') return false;
    if (text[i] == quote && i + 1 < text.size() && is_blank(text[i + 1])) {
      return false;
    }
  }
  return true;
}

// Only a line that begins with ';' ends a text field.
static bool may_be_text_field(const string& text) {
  return text.find("\n;") == string::npos && text.find('\r') == string::npos;
}

static void put_text_field(cif_text& w, const string& text) {
  if (!w.at_line_start) end_line(w);
  put_lines(w, ";" + text);
  put(w, ";");
  w.after_text_field = true;
}

// A value, bare where CIF allows it, else (and now and then anyway) quoted
// or in a text field.
static void put_value(cif_text& w, const value& v) {
  if (!v) return put(w, pick(w.c, 2) == 1 ? "?" : ".");
  const string& text = *v;
  unsigned style = pick(w.c, 8);
  if (style < 5 && may_be_bare(text)) return put_bare(w, text);
  if (style <= 5 && may_be_quoted(text, '\'')) return put(w, "'" + text + "'");
  if (style <= 6 && may_be_quoted(text, '"')) {
    return put(w, "\"" + text + "\"");
  }
  if (may_be_text_field(text)) return put_text_field(w, text);
  if (may_be_bare(text)) return put_bare(w, text);
  if (may_be_quoted(text, '\'')) return put(w, "'" + text + "'");
  put(w, "\"" + text + "\"");
}

// Tags and reserved words are read in any letter case.
static string in_some_case(choices& c, string word) {
  unsigned letter_case = pick(c, 6);
  for (std::size_t i = 0; i < word.size(); ++i) {
    unsigned char ch = word[i];
    if (letter_case == 3 || (letter_case == 5 && i % 2 == 1)) {
      word[i] = toupper(ch);
    } else if (letter_case == 4) {
      word[i] = tolower(ch);
    }
  }
  return word;
}

// Values that the reader skips: numbers, absent values, quoted reserved
// words, and text fields whose lines look like a record, a tag, a loop, a
// block and the end of the field.
static value draw_filler(choices& c) {
  static const char* const kFillers[] = {
      "1",      "0.50",    "20.00", "-1",  "A",        "ATOM",
      "HETATM", "data_x",  "loop_", "x'y", "'",        "\"",
      "#5",     "a 'b' c", "?x",    "-.5", kLongValue, ";5",
  };
  static const char* const kLines[] = {
      "ATOM      1  N   ALA A   1      11.104   6.134  -6.504\n"
      "_atom_site.id 5\nloop_\ndata_inner\n#\n'",
      "\n  ; not the end\n",
  };
  if (pick(c, 4) == 0) return std::nullopt;
  return string(one_in(c, 6) ? one_of(c, kLines) : one_of(c, kFillers));
}

// A category's table: its items and rows.
struct table {
  std::vector<string> tags;
  std::vector<std::vector<value>> rows;
};

static void put_loop(cif_text& w, const table& t) {
  put(w, in_some_case(w.c, "loop_"));
  // Now and then a loop's tags share lines, or have comments between them.
  bool shared_lines = one_in(w.c, 8);
  for (const string& tag : t.tags) {
    if (shared_lines && pick(w.c, 2) == 1) {
      put(w, " ");
    } else {
      end_line(w);
      if (one_in(w.c, 16)) put_lines(w, one_of(w.c, kComments));
    }
    put(w, tag);
  }
  // Now and then the rows are aligned in columns, as the archive writes
  // them, each column as wide as drawn: a value wider than its column puts
  // the rest of its row out of line.
  std::vector<std::size_t> ends;
  if (one_in(w.c, 3)) {
    for (std::size_t i = 0, end = 0; i < t.tags.size(); ++i) {
      ends.push_back(end += 2 + pick(w.c, 8));
    }
  }
  for (const std::vector<value>& row : t.rows) {
    // A row begins on a line of its own, but for now and then.
    if (&row != &t.rows[0] && ends.empty() && one_in(w.c, 8)) {
      separate(w);
    } else {
      end_line(w);
      if (one_in(w.c, 8)) put_lines(w, one_of(w.c, kComments));
    }
    std::size_t line_start = w.text.size();
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0 && ends.empty()) separate(w);
      put_value(w, row[i]);
      if (ends.empty()) continue;
      std::size_t feed = w.text.rfind('\n');
      if (feed != string::npos && feed >= line_start) line_start = feed + 1;
      std::size_t column = w.text.size() - line_start;
      w.text.append(column < ends[i] ? ends[i] - column : 1, ' ');
      w.at_line_start = false;
    }
  }
  end_line(w);
}

// An item: a tag and its value, on one line or two.
static void put_item(cif_text& w, const string& tag, const value& v) {
  put(w, tag);
  if (pick(w.c, 4) == 3) {
    end_line(w);
  } else {
    put(w, one_of(w.c, {" ", "   ", "\t"}));
  }
  put_value(w, v);
  end_line(w);
}

// The texts that make a data block, each written where the order of the
// block puts it.
using sections = std::vector<string>;

// A category's text: a loop, or a row given item by item, each item a
// section of its own, so that the items of categories interleave.
static void add_category(cif_text& w, const table& t, sections& out) {
  std::size_t start = w.text.size();
  if (t.rows.size() == 1 && pick(w.c, 3) == 2) {
    for (std::size_t i = 0; i < t.tags.size(); ++i) {
      put_item(w, t.tags[i], t.rows[0][i]);
      out.push_back(w.text.substr(start));
      w.text.resize(start);
    }
  } else {
    put_loop(w, t);
  }
  if (pick(w.c, 2) == 1) put_lines(w, "#");
  if (w.text.size() > start) out.push_back(w.text.substr(start));
  w.text.resize(start);
}

static void put_category(cif_text& w, const table& t) {
  sections parts;
  add_category(w, t, parts);
  for (const string& part : parts) w.text += part;
}

// The columns in an order the choices make.
static std::vector<std::size_t> shuffled(choices& c, std::size_t n) {
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = n; i > 1; --i) {
    std::swap(order[i - 1], order[pick(c, i)]);
  }
  return order;
}

static table atom_site_table(choices& c, const std::vector<site_row>& rows,
                             const std::vector<bool>& kept) {
  table t;
  std::vector<std::size_t> columns;
  for (std::size_t i : shuffled(c, std::size(kSiteColumns))) {
    if (!kept[i]) continue;
    columns.push_back(i);
    t.tags.push_back(in_some_case(c, "_atom_site.") +
                     in_some_case(c, kSiteColumns[i].tag));
  }
  for (const site_row& row : rows) {
    std::vector<value> values;
    for (std::size_t i : columns) {
      auto field = kSiteColumns[i].field;
      values.push_back(field ? row.*field : draw_filler(c));
    }
    t.rows.push_back(values);
  }
  return t;
}

static std::vector<entity> draw_entities(choices& c) {
  std::vector<entity> entities;
  unsigned count = pick(c, 5);
  for (unsigned i = 0; i < count; ++i) {
    entities.emplace_back(kEntityIds[i], one_of(c, kEntityTypes));
  }
  return entities;
}

static table entity_table(choices& c, const std::vector<entity>& entities) {
  table t;
  for (const char* tag : {"id", "type", "pdbx_description"}) {
    t.tags.push_back(in_some_case(c, "_entity.") + in_some_case(c, tag));
  }
  for (const entity& e : entities) {
    t.rows.push_back({e.first, e.second, string("a protein's name")});
  }
  return t;
}

// Categories before _atom_site and after it, whose quoted values and text
// fields hold lines that look like records, tags, loops and blocks; among
// them the _atom_sites and _atom_site_anisotrop categories, which begin as
// _atom_site does.
static const char* const kCategoriesBefore[] = {
    "_entry.id 1ABC",
    "_atom_sites.entry_id 1ABC\n_atom_sites.fract_transf_matrix[1][1] 0.016",
    "_struct.title\n;\nATOM      1  N   ALA A   1      11.104   6.134  -6.504"
    "  1.00  0.00           N\nHETATM    2 ZN    ZN A   2       1.000   2.000"
    "   3.000\n_atom_site.id 5\nloop_\ndata_inner\n'open quote\n# no "
    "comment\n;",
    ("loop_\n_citation.id\n_citation.title\n_citation.year\n"
     "primary 'It's \"quoted\"' 1999\n2 \"data_x loop_ _atom_site.id\" ?"),
    "_exptl.method 'X-RAY DIFFRACTION'\n#",
    "loop_\n_struct_asym.id\n_struct_asym.entity_id\nA 1\nB 2",
};
static const char* const kCategoriesAfter[] = {
    "loop_\n_atom_site_anisotrop.id\n_atom_site_anisotrop.type_symbol\n"
    "_atom_site_anisotrop.U[1][1]\n1 N 0.1\n2 C 0.2",
    "loop_\n_atom_type.symbol\nC\nN\nO",
    "_pdbx_audit.details\n;ATOM      9  CA  GLY A   9       1.000   1.000"
    "   1.000\nATOM\n;",
    "#",
};

// What comes before the first data block: a byte order mark, comments,
// blank lines; now and then a data block of other categories.
static void put_opening(cif_text& w) {
  if (one_in(w.c, 16)) put(w, "\xEF\xBB\xBF");
  while (one_in(w.c, 3)) {
    if (pick(w.c, 2) == 1) put(w, one_of(w.c, kComments));
    end_line(w);
  }
  if (one_in(w.c, 8)) {
    put_lines(w, in_some_case(w.c, "data_") + "header");
    put_lines(w, one_of(w.c, kCategoriesBefore));
  }
}

// A second data block, which the reader ignores: the rows again, in other
// syntax, and the first with a name too long for an ATOM record.
static void put_second_block(cif_text& w, std::vector<site_row> rows,
                             const std::vector<bool>& kept) {
  put_lines(w, in_some_case(w.c, "data_") + "second");
  rows[0].group = string("ATOM");
  rows[0].label_atom = rows[0].auth_atom = string("TOOLONG");
  put_category(w, atom_site_table(w.c, rows, kept));
}

// A save frame, whose rows are not data: the rows again, the first of
// which would be refused were it read.
static void add_save_frame(cif_text& w, std::vector<site_row> rows,
                           const std::vector<bool>& kept, sections& out) {
  std::size_t start = w.text.size();
  put_lines(w, in_some_case(w.c, "save_") + "frame");
  rows[0].group = string("ATOM");
  rows[0].label_atom = rows[0].auth_atom = string("TOOLONG");
  put_category(w, atom_site_table(w.c, rows, kept));
  put_lines(w, in_some_case(w.c, "save_"));
  out.push_back(w.text.substr(start));
  w.text.resize(start);
}

static void add_lines(cif_text& w, const char* lines, sections& out) {
  std::size_t start = w.text.size();
  put_lines(w, lines);
  out.push_back(w.text.substr(start));
  w.text.resize(start);
}

// Some of the categories of list, each at most once, since a data block
// gives each tag once, in any order.
template <std::size_t n>
static void add_some(cif_text& w, const char* const (&list)[n], sections& out) {
  for (std::size_t i : shuffled(w.c, n)) {
    if (!one_in(w.c, 3)) return;
    add_lines(w, list[i], out);
  }
}

mmcif_case draw_mmcif_case(choices& c) {
  mmcif_case out;
  cif_text w{c, string(), static_cast<int>(pick(c, 3))};
  std::vector<bool> kept = draw_kept_columns(c);
  std::vector<entity> entities = draw_entities(c);
  if (pick(c, 3) == 0) entities.clear();
  std::vector<site_row> rows = draw_rows(c, kept);
  write_records(c, rows, entities, out);

  put_opening(w);
  put_lines(w, in_some_case(c, "data_") + one_of(c, {"1ABC", "x", "model"}));
  // The block's categories, in the archive's order or, as CIF allows, in
  // any: _entity after the rows it decides, items of categories among one
  // another.
  sections parts;
  add_some(w, kCategoriesBefore, parts);
  if (!entities.empty()) add_category(w, entity_table(c, entities), parts);
  add_category(w, atom_site_table(c, rows, kept), parts);
  if (one_in(c, 4)) add_save_frame(w, rows, kept, parts);
  add_some(w, kCategoriesAfter, parts);
  if (one_in(c, 2)) {
    for (std::size_t i : shuffled(c, parts.size())) w.text += parts[i];
  } else {
    for (const string& part : parts) w.text += part;
  }
  if (one_in(c, 4)) put_second_block(w, rows, kept);
  // The last line need not end.
  if (pick(c, 4) == 3) {
    while (!w.text.empty() &&
           (w.text.back() == '\n' || w.text.back() == '\r')) {
      w.text.pop_back();
    }
  }
  out.mmcif = w.text;
  // Where the reads of the text end: anywhere first, then every few bytes,
  // or as many as are buffered.
  out.first_read = (pick(c, 256) * 256 + pick(c, 256)) % (w.text.size() + 1);
  static const std::size_t kEachRead[] = {0, 1, 2, 3, 7, 64, 65, 1000};
  out.each_read = kEachRead[pick(c, std::size(kEachRead))];
  return out;
}
