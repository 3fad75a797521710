#include "mmcif_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "atom_site.h"
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

// The items read, in two categories: _atom_site's for the records, and
// _entity's to know which entities are polymers. An item is one of
// atom_site_item, or one of these.
using item = int;
static const item kEntityId = kAtomSiteItems;
static const item kEntityType = kAtomSiteItems + 1;
static const item kItems = kAtomSiteItems + 2;
static const item kNoItem = kItems;

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

enum parse_state { kBetween, kLoopTags, kLoopValues, kItemValue };

// The columns of a loop whose items are looked up in a table; the items of
// any later ones, which no real file has, are searched for.
static const int kMappedColumns = 256;

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
  item column_item[kMappedColumns];   // the item of each of the first columns
  item pending = kNoItem;             // the item a lone tag named
  long pending_line = 0;              // the line of that tag
  bool items_given = false;           // an _atom_site item, not in a loop
  long row_line = 0;
  cif_value values[kItems];
  std::vector<std::string> polymer_entities;
  bool rows_read = false;  // from this data block: the later ones are not
  bool finished = false;

  atom_site_records records;
  bool ready = false;  // a record is made and not yet handed over
  char record[kRecordLength + kMaxCoordinateText];
};

[[noreturn]] static void die_at(const record_input* r, long line,
                                const char* what) {
  fail_if_damaged(r->in);
  fprintf(stderr, "%s:%ld: %s\n", r->name.c_str(), line, what);
  exit(1);
}

// ASCII only, as CIF's keywords and tags are, and without a call.
static char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

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

// What a byte is to the scanner, looked up in a table: most bytes of a file
// are tested once or twice, so each test is one load.
enum byte_class : std::uint8_t {
  kSpace,    // blank, tab, CR: between tokens
  kFeed,     // line feed: between tokens, and a new line
  kStarter,  // may begin a comment, a quoted value or a text field
  kKeyish,   // may begin an absent value, a tag or a keyword
  kPlain,    // anything else, and any byte inside a bare word
};

struct byte_classes {
  byte_class of[256];
};

static constexpr byte_classes make_byte_classes() {
  byte_classes classes{};
  for (int c = 0; c < 256; ++c) classes.of[c] = kPlain;
  for (char c : {' ', '\t', '\r'}) classes.of[int(c)] = kSpace;
  classes.of[int('\n')] = kFeed;
  for (char c : {'#', '\'', '"', ';'}) classes.of[int(c)] = kStarter;
  for (char c : {'.', '?', '_', 'd', 'D', 'l', 'L', 's', 'S', 'g', 'G'}) {
    classes.of[int(c)] = kKeyish;
  }
  return classes;
}

static constexpr byte_classes kByteClasses = make_byte_classes();

static byte_class class_of(char c) {
  return kByteClasses.of[static_cast<unsigned char>(c)];
}

// Takes the next block of text; false, with none at hand, at the end. The
// values that lie in the block at hand are given bytes of their own first.
static bool more_text(record_input* r) {
  for (cif_value& v : r->values) {
    if (v.text.data() != v.own) copy_to_own(v);
  }
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
    const char* p = r->next;
    while (p != r->end && class_of(*p) == kSpace) ++p;
    if (p != r->next) r->line_start = false;
    r->next = p;
    if (p == r->end) {
      if (!more_text(r)) return false;
    } else if (*p == '\n') {
      ++r->line;
      r->line_start = true;
      ++r->next;
    } else if (*p == '#') {
      skip_to_line_feed(r);
    } else {
      return true;
    }
  }
}

static void scan_bare(record_input* r, token& t) {
  const char* from = r->next;
  for (;;) {
    const char* p = r->next;
    while (p != r->end && class_of(*p) > kFeed) ++p;
    r->next = p;
    if (p != r->end) break;
    carry(r, from, p);
    bool more = more_text(r);
    from = r->next;
    if (!more) break;
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

// The value of a text field ends before its last line's end: the line feed,
// and in a file of CRLF line ends the CR before it.
static void drop_carriage_return(token& t) {
  if (t.length == t.text.size() && !t.text.empty() && t.text.back() == '\r') {
    t.text.remove_suffix(1);
    --t.length;
  }
}

// A text field runs from a ';' that starts a line to the next line that
// starts with one; its value is what lies between, less the line end before
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
      drop_carriage_return(t);
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
      drop_carriage_return(t);
      ++r->next;
      return;
    }
  }
}

// What a bare word is: a value, an absent value, a tag or a keyword.
static token_kind kind_of_word(std::string_view word) {
  if (word.size() == 1 && (word[0] == '.' || word[0] == '?')) return kAbsent;
  if (word[0] == '_') return kTag;
  // The shortest keywords, data_ and the others, have five characters.
  if (word.size() < 5) return kValue;
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
  byte_class first = class_of(c);
  t.kind = kValue;
  if (first == kStarter && c == ';' && line_start) {
    scan_text_field(r, t);
  } else if (first == kStarter && (c == '\'' || c == '"')) {
    scan_quoted(r, t);
  } else {
    scan_bare(r, t);
    // A word cut short is no tag or keyword of ours.
    if (first == kKeyish && t.length == t.text.size()) {
      t.kind = kind_of_word(t.text);
    }
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
      return i;
    }
  }
  return kNoItem;
}

// The items of category c: [first_item(c), end_item(c)).
static item first_item(category c) {
  if (c == kAtomSite) return kGroup;
  return c == kEntity ? kEntityId : kItems;
}

static item end_item(category c) { return c == kAtomSite ? kEntityId : kItems; }

// Marks the values of category c absent, as an item that is not given is.
static void clear_values(record_input* r, category c) {
  for (int i = first_item(c); i < end_item(c); ++i) {
    r->values[i].absent = true;
    r->values[i].text = std::string_view();
    r->values[i].length = 0;
  }
}

// Sets v to text, a whole value that lies in the block at hand.
static void set_value(cif_value& v, std::string_view text, bool absent,
                      long line) {
  v.absent = absent;
  v.length = absent ? 0 : text.size();
  v.text = std::string_view(text.data(), std::min(v.length, kMaxValue));
  v.line = line;
}

static void store(record_input* r, cif_value& v, const token& t) {
  set_value(v, t.text, t.kind == kAbsent, t.line);
  // Cut short to kMaxValue where it straddled two blocks.
  if (t.kind != kAbsent) v.length = t.length;
  if (v.text.data() == r->carried) copy_to_own(v);
}

static bool is_polymer_entity(const record_input* r, const cif_value& entity) {
  return !entity.absent &&
         std::find(r->polymer_entities.begin(), r->polymer_entities.end(),
                   entity.text) != r->polymer_entities.end();
}

// Makes the record of the _atom_site row in hand.
static void make_record(record_input* r) {
  make_atom_site_record(r->records, r->values,
                        is_polymer_entity(r, r->values[kLabelEntity]),
                        r->row_line, r->record);
  r->rows_read = true;
  r->ready = true;
}

// Remembers an _entity row's id where the entity is a polymer.
static void note_entity(record_input* r) {
  const cif_value& id = r->values[kEntityId];
  if (r->values[kEntityType].text == "polymer" && !id.absent &&
      r->polymer_entities.size() < kMaxPolymerEntities) {
    r->polymer_entities.emplace_back(id.text);
  }
}

// Once a row: kept out of the loops over values, which then need fewer
// registers saved.
[[gnu::noinline]] static void end_row(record_input* r) {
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
  if (i < first_item(r->current) || i >= end_item(r->current)) i = kNoItem;
  if (i != kNoItem) r->item_column[i] = r->columns;
  if (r->columns < kMappedColumns) r->column_item[r->columns] = i;
  ++r->columns;
}

// The item of a column past those mapped.
static item item_at(const record_input* r, int column) {
  for (int i = first_item(r->current); i < end_item(r->current); ++i) {
    if (r->item_column[i] == column) return i;
  }
  return kNoItem;
}

static item column_item(const record_input* r, int column) {
  return column < kMappedColumns ? r->column_item[column] : item_at(r, column);
}

// read_plain_values does the same for plain values, with the state in locals.
static void loop_value(record_input* r, const token& t) {
  if (r->column == 0) r->row_line = t.line;
  item i = column_item(r, r->column);
  if (i != kNoItem) store(r, r->values[i], t);
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
  if (r->pending != kNoItem) store(r, r->values[r->pending], t);
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

// The first byte from p on that is not a blank, and the end of the word that
// starts at p: each scan stops at the line's feed at the latest.
static const char* after_blanks(const char* p) {
  while (class_of(*p) == kSpace) ++p;
  return p;
}

static const char* word_end(const char* p) {
  do {
    ++p;
  } while (class_of(*p) > kFeed);
  return p;
}

// The values of a loop's rows, a line at a time while the block holds the
// whole line and its values are plain words: the line's feed then ends
// every scan. Anything else (a quote, a comment, a text field, a tag or a
// keyword, a line the block does not hold whole) is left to next_token,
// from where it starts. Returns whether a row was completed and its record
// made. The parser's state is kept in locals meanwhile, which the compiler
// can keep in registers, and written back wherever the loop is left.
static bool read_plain_values(record_input* r) {
  const char* next = r->next;
  const char* const end = r->end;
  bool line_start = r->line_start;
  long line = r->line;
  int column = r->column;
  const int columns = r->columns;
  bool row_ended = false;
  // At the end of the input there is no block at all.
  while (next != end) {
    const char* feed = static_cast<const char*>(memchr(next, '\n', end - next));
    if (feed == nullptr) break;
    const char* p = next;
    for (;;) {
      p = after_blanks(p);
      if (p == feed) break;
      const char* from = p;
      byte_class first = class_of(*p);
      p = word_end(p);
      std::string_view word(from, p - from);
      bool absent = false;
      if (first != kPlain) {
        token_kind kind = first == kKeyish ? kind_of_word(word) : kTag;
        if (kind != kValue && kind != kAbsent) {
          line_start = line_start && from == next;
          next = from;
          goto left;
        }
        absent = kind == kAbsent;
      }
      if (column == 0) r->row_line = line;
      item i = column_item(r, column);
      if (i != kNoItem) set_value(r->values[i], word, absent, line);
      if (++column == columns) {
        column = 0;
        next = p;
        line_start = false;
        row_ended = true;
        goto left;
      }
    }
    ++line;
    next = feed + 1;
    line_start = true;
  }
left:
  r->next = next;
  r->line_start = line_start;
  r->line = line;
  r->column = column;
  if (row_ended) end_row(r);
  return r->ready;
}

// Kept out of read_record, whose every call for a PDB line would otherwise
// save and restore the registers this needs.
[[gnu::noinline]] static bool read_mmcif_record(record_input* r,
                                                std::string_view& line) {
  while (!r->finished) {
    if (r->state != kLoopValues || !read_plain_values(r)) {
      token t;
      next_token(r, t);
      handle(r, t);
    }
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
  r->records.file = pdb_file;
  r->records.input = r->in;
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

void fail_if_damaged(record_input* r) { fail_if_damaged(r->in); }

void close_records(record_input* r) { delete r; }
