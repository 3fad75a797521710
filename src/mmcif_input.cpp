#include "mmcif_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "atom_site.h"
#include "cif_scanner.h"
#include "hash_set.h"
#include "held_rows.h"
#include "input_file.h"
#include "numbers.h"
#include "string_functions.h"

// The adapter: of an mmCIF file's tokens, it keeps the values of the
// _atom_site and _entity items that make a record, each in a slot of its
// own, and passes over every other; each _atom_site row becomes the
// fixed-column record the archive's PDB file holds for it, and that record
// is converted as any PDB record is, so that an entry converts to the same
// bytes whichever format it comes in.
//
// CIF gives categories no order. Whether a row is in a polymer is _entity's
// to say, where the block gives it, and its label_seq_id's where not: a row
// with either label_seq_id or an entity, read before _entity is, is held
// with every row after it, made but for its record type and serial number,
// until _entity is read or the data block ends. Every other file streams.

// The items read, in two categories: _atom_site's for the records, and
// _entity's to know which entities are polymers. An item is one of
// atom_site_item, or one of these.
using item = int;
static const item kEntityId = kAtomSiteItems;
static const item kEntityType = kAtomSiteItems + 1;
static const item kItems = kAtomSiteItems + 2;
static const item kNoItem = -1;

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

// The items whose values are numbers, which may be of any length.
static const item kNumberItems[] = {kCartnX, kCartnY, kCartnZ, kAuthSeq,
                                    kLabelSeq};

// The items whose values decide which rows go together, compared whole.
static const item kDecidingItems[] = {kAuthAsym, kLabelAsym, kLabelEntity,
                                      kModel, kEntityId};

enum category { kOtherCategory, kAtomSite, kEntity };

// How a category that is read is given in a data block: in one loop, or
// item by item, which make one row wherever its items lie.
enum category_form { kNotGiven, kAsLoop, kAsItems };

enum parse_state { kBetween, kLoopTags, kLoopValues, kItemValue };

// A row held until the polymers are known: what its record needs of them,
// followed by its entity's id, the record's text from column 12, and its
// misfit where it has one.
struct held_row {
  long line;
  site_group group;
  bool new_model;
  bool new_chain;
  bool label_seq;  // it has a label_seq_id
  bool entity_given;
  bool misfit;
  std::size_t entity_size;
};

static const std::size_t kHeldText = kRecordLength - kRecordStart;

// The entity a row asked of last, and whether it is a polymer: rows come
// in runs of one entity.
struct entity_answer {
  bool asked = false;
  bool polymer = false;
  std::string id;
};

struct record_input {
  ~record_input() {
    drop_held(held);
    close_input(in);
  }

  input_file* in = nullptr;
  std::string name;  // as given, for the messages
  bool mmcif = false;
  long line = 0;  // of a PDB input, where it has been read to
  cif_scanner scanner;

  // The parser.
  parse_state state = kBetween;
  category current = kOtherCategory;  // of the loop
  cif_loop loop;
  long loop_line = 0;
  int item_column[kItems];  // of each item in the loop, or -1
  item pending = kNoItem;   // the item a lone tag named
  long pending_line = 0;    // the line of that tag

  // The data block.
  bool in_frame = false;  // in a save frame, whose rows are not data
  category_form atom_site_form = kNotGiven;
  category_form entity_form = kNotGiven;
  std::uint32_t given_items = 0;  // the items given one by one
  long items_line = 0;            // of the first _atom_site one
  // The tags given in the block, outside save frames, by their hashes: a
  // data name names one item of a block.
  hash_set tags_given;
  long stray_line = 0;          // of the first value without a tag, or 0
  bool entities_known = false;  // _entity is read, or will not come
  bool has_rows = false;
  hash_set polymer_entities;  // their ids
  entity_answer last_entity;
  cif_value values[kItems];
  number_reader numbers[std::size(kNumberItems)];
  std::string wholes[std::size(kDecidingItems)];
  bool finished = false;

  // The records.
  atom_site_records records;
  site_record row_record;
  held_rows held;
  std::size_t held_count = 0;  // rows held and not yet handed over
  std::string held_entity;     // of the row handed over last
  bool releasing = false;      // the rows held are handed over
  long row_line = 0;           // of the last record handed over
  bool ready = false;          // a record is made and not yet handed over
  char record[kRecordLength];
};

[[noreturn]] static void die_at(const record_input* r, long line,
                                const std::string& what) {
  fail_if_damaged(r->in);
  fprintf(stderr, "%s:%ld: %s\n", r->name.c_str(), line, what.c_str());
  exit(1);
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

static category category_of(const record_input* r, const cif_token& tag) {
  if (r->in_frame) return kOtherCategory;
  if (starts_with_any_case(tag.text, "_atom_site.")) return kAtomSite;
  if (starts_with_any_case(tag.text, "_entity.")) return kEntity;
  return kOtherCategory;
}

static const char* name_of(category c) {
  return c == kAtomSite ? "_atom_site" : "_entity";
}

// The items of category c: [first_item(c), end_item(c)).
static item first_item(category c) {
  if (c == kAtomSite) return kGroup;
  return c == kEntity ? kEntityId : kItems;
}

static item end_item(category c) { return c == kAtomSite ? kEntityId : kItems; }

// The item of category c that tag names, compared only where its length
// is one of ours.
static item item_of(const cif_token& tag, category c) {
  if (tag.length > kMaxValue) return kNoItem;
  for (item i = first_item(c); i < end_item(c); ++i) {
    std::string_view name = kTags[i];
    if (tag.length == name.size() && starts_with_any_case(tag.text, name)) {
      return i;
    }
  }
  return kNoItem;
}

static std::uint32_t bit(item i) { return std::uint32_t{1} << i; }

// Refuses a tag of the data block given before, in a loop or as an item.
static void note_tag(record_input* r, const cif_token& tag) {
  if (r->in_frame || add(r->tags_given, tag.hash, tag.text)) return;
  // As much as a tag that straddles two reads keeps of it, whatever the reads.
  std::string_view kept = tag.text.substr(0, std::min(tag.length, kMaxValue));
  die_at(r, tag.line,
         "tag \"" + escaped(kept) + (tag.length > kept.size() ? "..." : "") +
             "\" given twice");
}

static category_form& form_of(record_input* r, category c) {
  return c == kAtomSite ? r->atom_site_form : r->entity_form;
}

// Notes that category c is given as form, where it is not given already.
static void note_form(record_input* r, category c, category_form form,
                      long line) {
  if (c == kOtherCategory) return;
  category_form& given = form_of(r, c);
  if (given != kNotGiven && (given != kAsItems || form != kAsItems)) {
    die_at(r, line, std::string("category \"") + name_of(c) + "\" given twice");
  }
  if (c == kAtomSite && r->stray_line != 0) {
    die_at(r, r->stray_line, "value without a tag");
  }
  given = form;
}

// Marks the values of category c absent, as an item that is not given is.
static void clear_values(record_input* r, category c) {
  for (item i = first_item(c); i < end_item(c); ++i) {
    r->values[i].absent = true;
    r->values[i].control = false;
    r->values[i].text = std::string_view();
    r->values[i].length = 0;
  }
}

// Whether entity id is a polymer one, asked of the set, and remembered.
[[gnu::noinline]] static bool ask_polymer(record_input* r,
                                          std::string_view id) {
  entity_answer& last = r->last_entity;
  last.asked = true;
  last.polymer = holds(r->polymer_entities, hash_of(id), id);
  last.id.assign(id);
  return last.polymer;
}

// Ids are a byte or two: shorter compared here than by a call.
static bool asked_last(const entity_answer& last, std::string_view id) {
  if (!last.asked || id.size() != last.id.size()) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (id[i] != last.id[i]) return false;
  }
  return true;
}

// Whether a row is in a polymer: where the block gives _entity, as it says
// of the row's entity, whether the row has a label_seq_id or not; where it
// does not, as the row has one.
static bool in_polymer(record_input* r, bool label_seq, bool entity_given,
                       std::string_view entity) {
  if (r->entity_form == kNotGiven) return label_seq;
  if (!entity_given) return false;
  if (asked_last(r->last_entity, entity)) return r->last_entity.polymer;
  return ask_polymer(r, entity);
}

// Remembers the _entity row's id where the entity is a polymer.
static void note_entity(record_input* r) {
  const cif_value& id = r->values[kEntityId];
  if (r->values[kEntityType].text == "polymer" && !id.absent) {
    add(r->polymer_entities, hash_of(whole_text(id)), whole_text(id));
    r->last_entity.asked = false;
  }
}

static bool holds_rows(const record_input* r) { return r->held_count > 0; }

// Keeps the row in hand, its record started, until the polymers are known.
static void hold(record_input* r, long line, bool label_seq,
                 const site_value& entity_value) {
  const site_record& record = r->row_record;
  const std::string_view entity = whole_text(entity_value);
  held_row row = {line,
                  record.group,
                  record.new_model,
                  record.new_chain,
                  label_seq,
                  !entity_value.absent,
                  record.misfit.what != nullptr,
                  entity.size()};
  put_held(r->held, &row, sizeof row);
  put_held(r->held, entity.data(), entity.size());
  put_held(r->held, record.text, kHeldText);
  if (row.misfit) put_held(r->held, &record.misfit, sizeof record.misfit);
  ++r->held_count;
}

// Makes the record of the row held first, and lets the rows go after the
// last.
static void release_held(record_input* r) {
  held_row row;
  take_held(r->held, &row, sizeof row);
  std::string& entity = r->held_entity;
  entity.resize(row.entity_size);
  take_held(r->held, entity.data(), row.entity_size);
  site_record& record = r->row_record;
  record.group = row.group;
  record.new_model = row.new_model;
  record.new_chain = row.new_chain;
  take_held(r->held, record.text, kHeldText);
  record.misfit.what = nullptr;
  if (row.misfit) take_held(r->held, &record.misfit, sizeof record.misfit);
  finish_atom_site_record(
      r->records, record,
      in_polymer(r, row.label_seq, row.entity_given, entity), row.line,
      r->record);
  r->row_line = row.line;
  if (--r->held_count == 0) {
    drop_held(r->held);
    r->releasing = false;
  }
}

// Makes the record of the _atom_site row in hand, whose values row holds
// and which begins on line, or holds it where the polymers that decide it,
// or a row held before it, wait for _entity.
template <typename Row>
static void take_row(record_input* r, const Row& row, long line) {
  r->has_rows = true;
  start_atom_site_record(r->records, row, r->row_record);
  const site_value entity = value_of(row, kLabelEntity);
  // Where _entity is read, it alone decides a row that streams: its
  // label_seq_id is not read.
  bool label_seq = false;
  if (holds_rows(r) || !r->entities_known || r->entity_form == kNotGiven) {
    label_seq = !value_of(row, kLabelSeq).absent;
  }
  // A row with neither is in no polymer, whether _entity comes or not.
  if (holds_rows(r) || !(r->entities_known || (!label_seq && entity.absent))) {
    return hold(r, line, label_seq, entity);
  }
  finish_atom_site_record(
      r->records, r->row_record,
      in_polymer(r, label_seq, !entity.absent, whole_text(entity)), line,
      r->record);
  r->row_line = line;
  r->ready = true;
}

// The polymers are known: the rows held may go.
static void know_entities(record_input* r) {
  r->entities_known = true;
  if (r->releasing || !holds_rows(r)) return;
  r->releasing = true;
  start_taking(r->held);
}

// Ends a loop's row, whose values are stored or, where in_words, left in
// the words of a row read whole.
static void end_row(record_input* r, bool in_words) {
  if (r->current == kAtomSite && in_words) {
    site_words row = {&r->loop.layout, r->item_column, r->loop.row_line};
    if (r->loop.layout.quoted == 0) return take_row(r, row, r->loop.row_line);
    take_row(r, site_quoted_words{row}, r->loop.row_line);
  } else if (r->current == kAtomSite) {
    take_row(r, r->values, r->loop.row_line);
  }
  if (r->current == kEntity) note_entity(r);
}

// Ends what the parser is in: a loop, whose last row must be whole, or an
// item, whose value must have come.
static void end_section(record_input* r) {
  if (r->state == kItemValue) die_at(r, r->pending_line, "tag without a value");
  if (r->state == kLoopTags && r->loop.columns == 0) {
    die_at(r, r->loop_line, "loop_ without tags");
  }
  if (r->state == kLoopValues && r->loop.column != 0) {
    die_at(r, r->loop.row_line,
           "row of " + std::to_string(r->loop.column) +
               " values in a loop of " + std::to_string(r->loop.columns) +
               " tags");
  }
  if (r->state != kBetween && r->current == kEntity) know_entities(r);
  r->state = kBetween;
  r->current = kOtherCategory;
}

static void start_block(record_input* r) {
  r->in_frame = false;
  r->atom_site_form = r->entity_form = kNotGiven;
  r->given_items = 0;
  empty(r->tags_given);
  r->stray_line = 0;
  r->entities_known = false;
  empty(r->polymer_entities);
  r->last_entity.asked = false;
  clear_values(r, kAtomSite);
  clear_values(r, kEntity);
}

// The data block ends: a row given item by item is whole, and every row is
// decided.
static void end_block(record_input* r) {
  if (r->entity_form == kAsItems && !r->entities_known) note_entity(r);
  know_entities(r);
  if (r->atom_site_form == kAsItems) take_row(r, r->values, r->items_line);
}

static void start_loop(record_input* r, const cif_token& t) {
  r->state = kLoopTags;
  r->current = kOtherCategory;
  r->loop.columns = r->loop.column = 0;
  r->loop.layout_known = false;
  r->loop_line = t.line;
  std::fill(std::begin(r->item_column), std::end(r->item_column), -1);
}

static void add_column(record_input* r, const cif_token& tag) {
  if (r->loop.columns == 0) {
    r->current = category_of(r, tag);
    r->loop.store_whole = r->current != kAtomSite;
    note_form(r, r->current, kAsLoop, r->loop_line);
    clear_values(r, r->current);
  }
  note_tag(r, tag);
  item i = item_of(tag, r->current);
  if (i != kNoItem) r->item_column[i] = r->loop.columns;
  if (r->loop.columns < kMappedColumns) {
    r->loop.value_of[r->loop.columns] = i == kNoItem ? nullptr : &r->values[i];
  }
  ++r->loop.columns;
}

// The item of a column past those mapped.
static item item_at(const record_input* r, int column) {
  for (item i = first_item(r->current); i < end_item(r->current); ++i) {
    if (r->item_column[i] == column) return i;
  }
  return kNoItem;
}

static item column_item(const record_input* r, int column) {
  if (column >= kMappedColumns) return item_at(r, column);
  const cif_value* v = r->loop.value_of[column];
  return v == nullptr ? kNoItem : static_cast<item>(v - r->values);
}

// read_loop_values does the same for plain values, a row at a time.
static void loop_value(record_input* r, const cif_token& t) {
  if (r->loop.column == 0) r->loop.row_line = t.line;
  item i = column_item(r, r->loop.column);
  if (i != kNoItem) store_value(r->scanner, r->values[i], t);
  if (++r->loop.column == r->loop.columns) {
    r->loop.column = 0;
    end_row(r, false);
  }
}

// A tag outside a loop, whose value follows it: an item of a category given
// item by item, whose items make one row wherever they lie in the block.
static void lone_tag(record_input* r, const cif_token& tag) {
  r->state = kItemValue;
  r->pending = kNoItem;
  r->pending_line = tag.line;
  category c = category_of(r, tag);
  if (c == kAtomSite && r->atom_site_form == kNotGiven) {
    r->items_line = tag.line;
  }
  note_form(r, c, kAsItems, tag.line);
  note_tag(r, tag);
  item i = item_of(tag, c);
  if (i == kNoItem) return;
  r->given_items |= bit(i);
  r->pending = i;
}

static void lone_value(record_input* r, const cif_token& t) {
  r->state = kBetween;
  if (r->pending == kNoItem) return;
  store_value(r->scanner, r->values[r->pending], t);
  std::uint32_t entity = bit(kEntityId) | bit(kEntityType);
  if ((r->given_items & entity) == entity && !r->entities_known) {
    note_entity(r);
    know_entities(r);
  }
}

// A value that belongs to no tag and no loop is damage, in the data block
// that holds _atom_site, wherever it lies there: rows may follow it that
// would be passed over with it.
static void stray_value(record_input* r, const cif_token& t) {
  if (r->atom_site_form != kNotGiven) die_at(r, t.line, "value without a tag");
  if (r->stray_line == 0) r->stray_line = t.line;
}

// Reads what is left of the input unparsed, so that a damaged or unreadable
// end still fails the run.
static void finish(record_input* r) {
  std::string_view text;
  while (read_text(r->in, text)) {
  }
  r->finished = true;
}

static void handle(record_input* r, const cif_token& t) {
  switch (t.kind) {
    case kCifValue:
    case kCifAbsent:
      if (r->state == kLoopTags) {
        if (r->loop.columns == 0) die_at(r, r->loop_line, "loop_ without tags");
        r->state = kLoopValues;
        r->loop.column = 0;
      }
      if (r->state == kLoopValues) return loop_value(r, t);
      if (r->state == kItemValue) return lone_value(r, t);
      return stray_value(r, t);
    case kCifTag:
      if (r->state == kLoopTags) return add_column(r, t);
      end_section(r);
      return lone_tag(r, t);
    case kCifLoop:
      end_section(r);
      return start_loop(r, t);
    case kCifData:
      end_section(r);
      end_block(r);
      // Only the first data block that has rows is read.
      if (r->has_rows) return finish(r);
      return start_block(r);
    case kCifSave:
    case kCifSaveEnd:
      end_section(r);
      r->in_frame = t.kind == kCifSave;
      return;
    case kCifOther:
      return end_section(r);
    case kCifEnd:
      end_section(r);
      end_block(r);
      r->finished = true;
      return;
  }
}

// Where the value that comes next goes, if anywhere: the scanner reads a
// long number into its number reader, and keeps a long value that decides.
static void expect_value(record_input* r) {
  item i = kNoItem;
  if (r->state == kLoopValues) i = column_item(r, r->loop.column);
  if (r->state == kLoopTags && r->loop.columns > 0) i = column_item(r, 0);
  if (r->state == kItemValue) i = r->pending;
  r->scanner.number = i == kNoItem ? nullptr : r->values[i].number;
  r->scanner.whole = i == kNoItem ? nullptr : r->values[i].whole;
}

// Kept out of read_record, whose every call for a PDB line would otherwise
// save and restore the registers this needs.
[[gnu::noinline]] static bool read_mmcif_record(record_input* r,
                                                std::string_view& line) {
  for (;;) {
    if (r->releasing) {
      release_held(r);
      break;
    }
    if (r->finished) return false;
    if (r->state == kLoopValues && read_loop_values(r->scanner, r->loop)) {
      end_row(r, r->loop.in_words);
    } else {
      cif_token t;
      expect_value(r);
      next_token(r->scanner, t);
      handle(r, t);
    }
    if (r->ready) {
      r->ready = false;
      break;
    }
  }
  line = std::string_view(r->record, kRecordLength);
  return true;
}

record_input* open_records(const std::string& pdb_file) {
  std::unique_ptr<record_input> r(new record_input);
  r->in = open_input(pdb_file);
  r->name = pdb_file;
  r->records.file = pdb_file;
  r->records.input = r->in;
  r->mmcif = holds_mmcif(r->in, r->line);
  cif_scanner& scanner = r->scanner;
  scanner.in = r->in;
  scanner.file = r->name.c_str();
  // mmCIF lines are counted from 1 where they are scanned; PDB lines as read.
  scanner.line = r->line + 1;
  scanner.kept = r->values;
  scanner.kept_count = kItems;
  r->polymer_entities.keeps_bytes = true;
  for (std::size_t i = 0; i < std::size(kNumberItems); ++i) {
    r->values[kNumberItems[i]].number = &r->numbers[i];
  }
  for (std::size_t i = 0; i < std::size(kDecidingItems); ++i) {
    r->values[kDecidingItems[i]].whole = &r->wholes[i];
  }
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

// Every ATOM record made is: put_integer prints the serial number, and a
// coordinate that put_coordinate does not print in its eight columns is
// refused.
bool numbers_printed(const record_input* r) { return r->mmcif; }

void fail_if_damaged(record_input* r) { fail_if_damaged(r->in); }

void close_records(record_input* r) { delete r; }
