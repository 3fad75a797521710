#include "mmcif_input.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "input_file.h"
#include "numbers.h"
#include "string_functions.h"

// An mmCIF file is read as a stream of tokens by a scanner with a few
// states (between tokens, in a bare word, in a quoted value, in a text
// field, in a comment), each one loop over the bytes of the block at hand.
// Only the values of the _atom_site and _entity items that make a record are
// kept, each in a slot of its own; every other value is passed over. So a
// file of any size, with text fields or rows of any length, is read in the
// input's buffer and these slots.
//
// Each _atom_site row becomes the fixed-column record the archive's PDB file
// holds for it, and that record is converted as any PDB record is: so an
// entry converts to the same bytes whichever format it comes in.

// The most bytes of a value kept. The values a record takes are a few bytes
// long; a longer one is kept cut, enough to show it in a message, and to
// tell that it does not fit.
static const std::size_t kMaxValue = 64;

// The items read, in two categories: _atom_site's for the records, and
// _entity's to know which entities are polymers.
enum item {
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
  kEntityId,
  kEntityType,
  kItems,
  kNoItem = kItems,
};

// Tags in lower case: they are compared without regard to case.
static const char* const kTags[kItems] = {
    "_atom_site.group_pdb",
    "_atom_site.type_symbol",
    "_atom_site.auth_atom_id",
    "_atom_site.label_atom_id",
    "_atom_site.label_alt_id",
    "_atom_site.auth_comp_id",
    "_atom_site.label_comp_id",
    "_atom_site.auth_asym_id",
    "_atom_site.label_asym_id",
    "_atom_site.label_entity_id",
    "_atom_site.auth_seq_id",
    "_atom_site.label_seq_id",
    "_atom_site.cartn_x",
    "_atom_site.cartn_y",
    "_atom_site.cartn_z",
    "_atom_site.pdbx_pdb_model_num",
    "_entity.id",
    "_entity.type",
};

enum category { kOtherCategory, kAtomSite, kEntity };
static const item kFirstEntityItem = kEntityId;

// Residues that the archive writes as ATOM records within a polymer, where a
// file does not say (no group_PDB).
static const char* const kStandardResidues[] = {
    "ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS",
    "ILE", "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP",
    "TYR", "VAL", "UNK", "A",   "C",   "G",   "U",   "I",   "N",
    "DA",  "DC",  "DG",  "DT",  "DI",  "DU",  "DN",
};

// Polymer entities remembered: more than any real entry has.
static const std::size_t kMaxPolymerEntities = 4096;

enum token_kind {
  kValue,
  kAbsent,  // . or ?, unquoted
  kTag,
  kLoop,
  kData,
  kOtherKeyword,  // save_, global_, stop_
  kEnd,
};

struct token {
  token_kind kind;
  std::string_view text;  // its bytes, or the first kMaxValue of them
  std::size_t length;     // how many bytes it has
  long line;
};

struct value {
  char text[kMaxValue];
  std::size_t size = 0;    // bytes kept in text
  std::size_t length = 0;  // bytes the value has
  bool absent = true;
  long line = 0;

  std::string_view view() const { return std::string_view(text, size); }
};

enum parse_state { kBetween, kLoopTags, kLoopValues, kItemValue };

// The record a row becomes: the 54 columns that the conversion reads, and
// room after them for a coordinate printed wider than its columns.
static const std::size_t kRecordLength = 54;

struct record_input {
  ~record_input() { close_input(in); }

  input_file* in = nullptr;
  std::string name;  // as given, for the messages
  bool mmcif = false;
  long line = 0;  // of the input, where it has been read to

  // The scanner: the block of text at hand, what of a token straddling two
  // blocks the first held, and whether the next byte starts a line.
  const char* next = nullptr;
  const char* end = nullptr;
  bool line_start = true;
  char carried[kMaxValue];
  std::size_t carried_size = 0;
  std::size_t carried_length = 0;

  // The parser.
  parse_state state = kBetween;
  category current = kOtherCategory;  // of the loop, or of the items given
  int columns = 0;                    // of the loop
  int column = 0;                     // of the next value in the loop
  int item_column[kItems];            // of each item in the loop, or -1
  item pending = kNoItem;             // the item a lone tag named
  long pending_line = 0;              // the line of that tag
  bool items_given = false;           // an _atom_site item, not in a loop
  long row_line = 0;
  value values[kItems];
  std::vector<std::string> polymer_entities;
  bool rows_read = false;  // from this data block: the later ones are not
  bool finished = false;

  // The numbering of the records, as the archive's: what the previous row
  // was, and the serial number it took.
  bool numbered = false;
  value previous_model;
  value previous_chain;
  bool previous_in_polymer = false;
  long serial = 0;

  bool ready = false;  // a record is made and not yet handed over
  char record[kRecordLength + kMaxCoordinateText];
};

[[noreturn]] static void die_at(const record_input* r, long line,
                                const char* what) {
  fprintf(stderr, "%s:%ld: %s\n", r->name.c_str(), line, what);
  exit(1);
}

static char lower(char c) {
  return static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

static bool starts_with_any_case(std::string_view text,
                                 std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

static bool equals_any_case(std::string_view text, std::string_view word) {
  return text.size() == word.size() && starts_with_any_case(text, word);
}

// Whether the input, at its start, holds mmCIF: whether its first line that
// is neither blank nor a # comment begins with data_, loop_ or a tag. The
// lines passed over are read and counted in line; the deciding one is not
// read, so that either reader starts with it.
static bool holds_mmcif(input_file* in, long& line) {
  for (;;) {
    std::string_view head = peek_line(in);
    std::size_t first = 0;
    while (first < head.size() && is_blank(head[first])) ++first;
    if (first < head.size() && head[first] != '#') {
      head.remove_prefix(first);
      return starts_with_any_case(head, "data_") ||
             starts_with_any_case(head, "loop_") || head[0] == '_';
    }
    std::string_view skipped;
    if (!read_line(in, skipped)) return false;
    ++line;
  }
}

// The scanner.

// Takes the next block of text; false, with none at hand, at the end.
static bool more_text(record_input* r) {
  std::string_view text;
  if (!read_text(r->in, text)) {
    r->next = r->end = nullptr;
    return false;
  }
  r->next = text.data();
  r->end = text.data() + text.size();
  return true;
}

// Keeps [from, to), the part of a token that this block holds, before the
// next block is taken.
static void carry(record_input* r, const char* from, const char* to) {
  if (from == to) return;
  std::size_t n = std::min<std::size_t>(to - from, kMaxValue - r->carried_size);
  memcpy(r->carried + r->carried_size, from, n);
  r->carried_size += n;
  r->carried_length += to - from;
}

// Drops the last byte carried: the quote or line feed that turned out to end
// the token.
static void uncarry_last(record_input* r) {
  if (r->carried_size == r->carried_length) --r->carried_size;
  --r->carried_length;
}

// Sets t's bytes: [from, next), after what was carried of it.
static void finish_token(record_input* r, token& t, const char* from) {
  if (r->carried_length == 0) {
    t.text = std::string_view(from, r->next - from);
    t.length = t.text.size();
    return;
  }
  carry(r, from, r->next);
  t.text = std::string_view(r->carried, r->carried_size);
  t.length = r->carried_length;
}

static void skip_to_line_feed(record_input* r) {
  for (;;) {
    const void* feed = memchr(r->next, '\n', r->end - r->next);
    if (feed != nullptr) {
      r->next = static_cast<const char*>(feed);
      return;
    }
    if (!more_text(r)) return;
  }
}

// Passes over white space and comments to the next token's first byte;
// false at the end of the input.
static bool skip_to_token(record_input* r) {
  for (;;) {
    if (r->next == r->end && !more_text(r)) return false;
    char c = *r->next;
    if (c == '\n') {
      ++r->line;
      r->line_start = true;
    } else if (c == '#') {
      skip_to_line_feed(r);
      continue;
    } else if (is_blank(c)) {
      r->line_start = false;
    } else {
      return true;
    }
    ++r->next;
  }
}

static void scan_bare(record_input* r, token& t) {
  const char* from = r->next;
  for (;;) {
    const char* p = r->next;
    while (p != r->end && !is_blank(*p)) ++p;
    r->next = p;
    if (p != r->end) break;
    carry(r, from, p);
    if (!more_text(r)) break;
    from = r->next;
  }
  finish_token(r, t, from);
}

// A quoted value ends at its quote followed by white space, so that 'O5'X'
// is the value O5'X; it may not run past its line.
static void scan_quoted(record_input* r, token& t) {
  char quote = *r->next++;
  const char* from = r->next;
  for (;;) {
    const char* p = r->next;
    while (p != r->end && *p != quote && *p != '\n') ++p;
    if (p != r->end && *p == '\n') {
      die_at(r, t.line, "quoted value not closed on its line");
    }
    if (p == r->end) {
      carry(r, from, p);
      if (!more_text(r)) die_at(r, t.line, "quoted value not closed");
      from = r->next;
    } else if (p + 1 != r->end) {
      r->next = p + 1;
      if (!is_blank(p[1])) continue;
      r->next = p;
      finish_token(r, t, from);
      ++r->next;
      return;
    } else {
      // The quote ends the block: the next block's first byte tells.
      carry(r, from, p + 1);
      if (!more_text(r) || is_blank(*r->next)) {
        uncarry_last(r);
        finish_token(r, t, r->next);
        return;
      }
      from = r->next;
    }
  }
}

// A text field runs from a ';' that starts a line to the next line that
// starts with one; its value is what lies between, less the line feed before
// the closing ';'.
static void scan_text_field(record_input* r, token& t) {
  const char* from = ++r->next;
  for (;;) {
    const char* feed =
        static_cast<const char*>(memchr(r->next, '\n', r->end - r->next));
    if (feed == nullptr) {
      carry(r, from, r->end);
      if (!more_text(r)) die_at(r, t.line, "text field not closed");
      from = r->next;
      continue;
    }
    ++r->line;
    if (feed + 1 != r->end) {
      r->next = feed + 1;
      if (feed[1] != ';') continue;
      r->next = feed;
      finish_token(r, t, from);
      r->next = feed + 2;
      return;
    }
    // The line feed ends the block: the next block's first byte tells.
    carry(r, from, r->end);
    if (!more_text(r)) die_at(r, t.line, "text field not closed");
    from = r->next;
    if (*r->next == ';') {
      uncarry_last(r);
      finish_token(r, t, from);
      ++r->next;
      return;
    }
  }
}

// What a bare word is: a value, an absent value, a tag or a keyword.
static token_kind kind_of_word(std::string_view word) {
  if (word.size() == 1 && (word[0] == '.' || word[0] == '?')) return kAbsent;
  if (word[0] == '_') return kTag;
  switch (lower(word[0])) {
    case 'd':
      return starts_with_any_case(word, "data_") ? kData : kValue;
    case 'l':
      return equals_any_case(word, "loop_") ? kLoop : kValue;
    case 's':
      return starts_with_any_case(word, "save_") ||
                     equals_any_case(word, "stop_")
                 ? kOtherKeyword
                 : kValue;
    case 'g':
      return equals_any_case(word, "global_") ? kOtherKeyword : kValue;
    default:
      return kValue;
  }
}

static void next_token(record_input* r, token& t) {
  if (!skip_to_token(r)) {
    t.kind = kEnd;
    return;
  }
  t.line = r->line;
  bool line_start = r->line_start;
  r->line_start = false;
  r->carried_size = r->carried_length = 0;
  char c = *r->next;
  t.kind = kValue;
  if (c == ';' && line_start) {
    scan_text_field(r, t);
  } else if (c == '\'' || c == '"') {
    scan_quoted(r, t);
  } else {
    scan_bare(r, t);
    // A word cut short is no tag or keyword of ours.
    if (t.length == t.text.size()) t.kind = kind_of_word(t.text);
  }
}

// The parser.

static category category_of(std::string_view tag) {
  if (starts_with_any_case(tag, "_atom_site.")) return kAtomSite;
  if (starts_with_any_case(tag, "_entity.")) return kEntity;
  return kOtherCategory;
}

static item item_of(const token& tag) {
  for (int i = 0; i < kItems; ++i) {
    if (tag.length == tag.text.size() && equals_any_case(tag.text, kTags[i])) {
      return static_cast<item>(i);
    }
  }
  return kNoItem;
}

// The items of category c: [first_item(c), end_item(c)).
static item first_item(category c) {
  if (c == kAtomSite) return kGroup;
  return c == kEntity ? kFirstEntityItem : kItems;
}

static item end_item(category c) {
  return c == kAtomSite ? kFirstEntityItem : kItems;
}

// Marks the values of category c absent, as an item that is not given is.
static void clear_values(record_input* r, category c) {
  for (int i = first_item(c); i < end_item(c); ++i) {
    r->values[i].absent = true;
    r->values[i].size = r->values[i].length = 0;
  }
}

static void store(value& v, const token& t) {
  v.absent = t.kind == kAbsent;
  v.size = v.absent ? 0 : std::min(t.text.size(), kMaxValue);
  v.length = v.absent ? 0 : t.length;
  v.line = t.line;
  if (v.size <= 16) {
    put_text(v.text, t.text.substr(0, v.size));
  } else {
    memcpy(v.text, t.text.data(), v.size);
  }
}

static bool same(const value& a, const value& b) {
  return a.absent == b.absent && a.view() == b.view();
}

// The first of two items that is given.
static const value& either(const record_input* r, item first, item second) {
  return r->values[first].absent ? r->values[second] : r->values[first];
}

static bool is_polymer_entity(const record_input* r, const value& entity) {
  return !entity.absent &&
         std::find(r->polymer_entities.begin(), r->polymer_entities.end(),
                   entity.view()) != r->polymer_entities.end();
}

static bool is_standard_residue(std::string_view residue) {
  for (const char* standard : kStandardResidues) {
    if (residue == standard) return true;
  }
  return false;
}

// Whether the row is written: an ATOM record, not a HETATM one.
static bool is_atom_record(const record_input* r, bool in_polymer) {
  std::string_view group = r->values[kGroup].view();
  if (group == "ATOM") return true;
  if (group == "HETATM") return false;
  return in_polymer &&
         is_standard_residue(either(r, kAuthComp, kLabelComp).view());
}

// The serial number the archive gives the row: from 1 in each model, one a
// row, and one more after each polymer chain for its TER record.
static long number_row(record_input* r, bool in_polymer) {
  const value& model = r->values[kModel];
  const value& chain = either(r, kLabelAsym, kAuthAsym);
  if (!r->numbered || !same(model, r->previous_model)) {
    r->serial = 0;
  } else if (r->previous_in_polymer &&
             (!in_polymer || !same(chain, r->previous_chain))) {
    ++r->serial;
  }
  r->numbered = true;
  r->previous_model = model;
  r->previous_chain = chain;
  r->previous_in_polymer = in_polymer;
  return ++r->serial;
}

[[noreturn]] static void refuse(const record_input* r, long line,
                                const char* what, std::string_view text,
                                bool cut) {
  fprintf(stderr, "%s:%ld: %s \"%.*s%s\" does not fit the PDB format\n",
          r->name.c_str(), line, what, static_cast<int>(text.size()),
          text.data(), cut ? "..." : "");
  exit(1);
}

// Refuses a value of a written row that is longer than its columns.
static void check_width(const record_input* r, const value& v,
                        std::size_t width, const char* what) {
  if (v.length > width) refuse(r, v.line, what, v.view(), v.length > v.size);
}

// Copies what of v its columns hold, right-aligned or left-aligned.
static void put_value(char* out, const value& v, std::size_t width,
                      bool right) {
  std::size_t n = std::min(v.size, width);
  memset(out, ' ', width);
  memcpy(right ? out + width - n : out, v.text, n);
}

static bool two_letter_element(const value& element) {
  return element.size == 2 &&
         isalpha(static_cast<unsigned char>(element.text[0])) &&
         isalpha(static_cast<unsigned char>(element.text[1]));
}

// The name in columns 13-16, from 13 where it has four characters or its
// element two letters (CA calcium, FE), else from 14; the alternate
// location in 17, where it joins the name as it does in a PDB file.
static void put_name(record_input* r, char* out, bool written) {
  const value& name = either(r, kAuthAtom, kLabelAtom);
  const value& alternate = r->values[kAltId];
  if (written) {
    check_width(r, name, 4, "atom name");
    check_width(r, alternate, 1, "alternate location");
  }
  bool from_13 = name.length >= 4 || two_letter_element(r->values[kTypeSymbol]);
  memset(out, ' ', 2);  // col 12, and 13 where the name starts at 14
  put_value(out + 1 + !from_13, name, 4 - !from_13, false);
  out[5] = alternate.size > 0 ? alternate.text[0] : ' ';
}

// The residue number in columns 23-26. A number of up to four characters is
// copied, as the conversion reads it; a longer one must be a number there.
static void put_residue_number(record_input* r, char* out, bool written) {
  const value& number = either(r, kAuthSeq, kLabelSeq);
  if (number.length <= 4) return put_value(out, number, 4, true);
  long long n = strtoll(std::string(number.view()).c_str(), nullptr, 10);
  bool fits = number.length == number.size && n >= -999 && n <= 9999;
  if (written && !fits) {
    refuse(r, number.line, "residue number", number.view(),
           number.length > number.size);
  }
  put_integer(out, fits ? static_cast<int>(n) : 0, 4);
}

// x, y and z in columns 31-54, printed as the conversion prints them.
static void put_coordinates(record_input* r, char* out, bool written) {
  for (int i = 0; i < 3; ++i, out += 8) {
    const value& coordinate = r->values[kCartnX + i];
    char* printed_end = put_coordinate(out, coordinate.text, coordinate.size);
    if (written && (printed_end - out > 8 || coordinate.length > kMaxValue)) {
      refuse(r, coordinate.line, "coordinate", coordinate.view(),
             coordinate.length > coordinate.size);
    }
  }
}

// Makes the record of the row in hand, refusing it where it is written and
// does not fit the columns; HETATM rows, never written, keep what their
// columns hold.
static void make_record(record_input* r) {
  bool in_polymer = !r->values[kLabelSeq].absent ||
                    is_polymer_entity(r, r->values[kLabelEntity]);
  bool written = is_atom_record(r, in_polymer);
  long serial = number_row(r, in_polymer);
  if (written && serial > 99999) {
    std::string text = std::to_string(serial);
    refuse(r, r->row_line, "serial number", text, false);
  }
  const value& residue = either(r, kAuthComp, kLabelComp);
  const value& chain = either(r, kAuthAsym, kLabelAsym);
  if (written) {
    check_width(r, residue, 3, "residue name");
    check_width(r, chain, 1, "chain ID");
  }
  char* out = r->record;
  memcpy(out, written ? "ATOM  " : "HETATM", 6);
  put_integer(out + 6, static_cast<int>(serial % 100000), 5);
  put_name(r, out + 11, written);
  put_value(out + 17, residue, 3, true);
  out[20] = ' ';
  out[21] = chain.size > 0 ? chain.text[0] : ' ';
  put_residue_number(r, out + 22, written);
  memset(out + 26, ' ', 4);
  put_coordinates(r, out + 30, written);
  r->rows_read = true;
  r->ready = true;
}

// Remembers an _entity row's id where the entity is a polymer.
static void note_entity(record_input* r) {
  const value& id = r->values[kEntityId];
  if (r->values[kEntityType].view() == "polymer" && !id.absent &&
      r->polymer_entities.size() < kMaxPolymerEntities) {
    r->polymer_entities.emplace_back(id.view());
  }
}

static void end_row(record_input* r) {
  if (r->current == kAtomSite) make_record(r);
  if (r->current == kEntity) note_entity(r);
}

// Ends what the parser is in: a loop, whose last row must be whole, or
// items given one by one, which make one row.
static void end_section(record_input* r) {
  if (r->state == kItemValue) die_at(r, r->pending_line, "tag without a value");
  if (r->state == kLoopValues && r->column != 0) {
    char what[96];
    snprintf(what, sizeof what, "row of %d values in a loop of %d tags",
             r->column, r->columns);
    die_at(r, r->row_line, what);
  }
  if (r->state == kBetween && r->items_given) end_row(r);
  r->state = kBetween;
  r->current = kOtherCategory;
  r->items_given = false;
}

static void start_loop(record_input* r) {
  r->state = kLoopTags;
  r->current = kOtherCategory;
  r->columns = 0;
  std::fill(std::begin(r->item_column), std::end(r->item_column), -1);
}

static void add_column(record_input* r, const token& tag) {
  if (r->columns == 0) {
    r->current = category_of(tag.text);
    clear_values(r, r->current);
  }
  item i = item_of(tag);
  if (i != kNoItem) r->item_column[i] = r->columns;
  ++r->columns;
}

static item item_at(const record_input* r, int column) {
  for (int i = first_item(r->current); i < end_item(r->current); ++i) {
    if (r->item_column[i] == column) return static_cast<item>(i);
  }
  return kNoItem;
}

static void loop_value(record_input* r, const token& t) {
  if (r->column == 0) r->row_line = t.line;
  if (r->current != kOtherCategory) {
    item i = item_at(r, r->column);
    if (i != kNoItem) store(r->values[i], t);
  }
  if (++r->column == r->columns) {
    r->column = 0;
    end_row(r);
  }
}

// A tag outside a loop, whose value follows it: one item of a category
// given item by item, as a single atom may be.
static void lone_tag(record_input* r, const token& tag) {
  category c = category_of(tag.text);
  if (c != r->current || !r->items_given) {
    end_section(r);
    r->current = c;
    clear_values(r, c);
    r->items_given = true;
    r->row_line = tag.line;
  }
  r->pending = item_of(tag);
  r->pending_line = tag.line;
  r->state = kItemValue;
}

static void lone_value(record_input* r, const token& t) {
  if (r->pending != kNoItem) store(r->values[r->pending], t);
  r->state = kBetween;
}

// Reads what is left of the input unparsed, so that a damaged or unreadable
// end still fails the run.
static void finish(record_input* r) {
  std::string_view text;
  while (read_text(r->in, text)) {
  }
  r->next = r->end = nullptr;
  r->finished = true;
}

static void handle(record_input* r, const token& t) {
  switch (t.kind) {
    case kValue:
    case kAbsent:
      if (r->state == kLoopTags) {
        if (r->columns == 0) die_at(r, t.line, "loop_ without tags");
        r->state = kLoopValues;
        r->column = 0;
      }
      if (r->state == kLoopValues) return loop_value(r, t);
      if (r->state == kItemValue) return lone_value(r, t);
      return;  // a value that belongs to no tag: not ours to judge
    case kTag:
      if (r->state == kLoopTags) return add_column(r, t);
      if (r->state != kBetween) end_section(r);
      return lone_tag(r, t);
    case kLoop:
      end_section(r);
      return start_loop(r);
    case kData:
      end_section(r);
      if (r->rows_read) return finish(r);
      r->polymer_entities.clear();
      return;
    case kOtherKeyword:
      return end_section(r);
    case kEnd:
      end_section(r);
      r->finished = true;
      return;
  }
}

// Kept out of read_record, whose every call for a PDB line would otherwise
// save and restore the registers this needs.
[[gnu::noinline]] static bool read_mmcif_record(record_input* r,
                                                std::string_view& line) {
  while (!r->finished) {
    token t;
    next_token(r, t);
    handle(r, t);
    if (r->ready) {
      r->ready = false;
      line = std::string_view(r->record, kRecordLength);
      return true;
    }
  }
  return false;
}

record_input* open_records(const std::string& pdb_file) {
  std::unique_ptr<record_input> r(new record_input);
  r->in = open_input(pdb_file);
  r->name = pdb_file;
  r->mmcif = holds_mmcif(r->in, r->line);
  // mmCIF lines are counted from 1 where they are scanned; PDB lines as read.
  if (r->mmcif) ++r->line;
  return r.release();
}

bool read_record(record_input* r, std::string_view& line) {
  if (r->mmcif) return read_mmcif_record(r, line);
  ++r->line;
  return read_line(r->in, line);
}

long record_line(const record_input* r) {
  return r->mmcif ? r->row_line : r->line;
}

void close_records(record_input* r) { delete r; }
