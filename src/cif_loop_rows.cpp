#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cif_bytes.h"
#include "cif_scanner.h"
#include "cif_windows.h"
#include "string_functions.h"

// A loop's rows, which hold nearly all of a file's bytes, read many bytes at
// a time: the bytes' classes come as bit masks (cif_windows), so that a
// value's start and end are each found by one instruction, and a line feed
// costs only where one is. A row that the archive writes aligned in columns
// is read whole; others 64 bytes at a time; anything else is next_token's.

static int first_bit(std::uint64_t mask) { return __builtin_ctzll(mask); }

// The first line feed of a mask, or 64 for none.
static int first_feed(std::uint64_t feeds) {
  return feeds == 0 ? 64 : first_bit(feeds);
}

// Bits 0 to n - 1, for n from 0 to 64.
static std::uint64_t low_bits(int n) {
  return n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// The bytes of a window that begin a word: not blank, and first in the
// window or after a blank. A window begins after a blank or at a word.
static std::uint64_t word_starts(std::uint64_t blanks) {
  return ~blanks & (blanks << 1 | 1);
}

// Where the word that the window's end cuts begins: after its last blank;
// 64 where its last byte is blank, 0 where none is.
static int cut_word(std::uint64_t blanks) {
  if (blanks >> 63 != 0) return 64;
  return blanks == 0 ? 0 : 64 - __builtin_clzll(blanks);
}

// Takes the window at from, where the block holds it and it holds no control
// character but blanks: a value with one is next_token's to tell.
static bool take_window(cif_window& w, const char* from, const char* end) {
  if (end - from < 64) return false;
  cif_masks m = classified(from);
  if (m.controls != 0) return false;
  w.at = from;
  w.blanks = m.blanks;
  w.feeds = m.feeds;
  w.cut = cut_word(m.blanks);
  w.starts = word_starts(m.blanks) & low_bits(w.cut);
  w.marked = m.marked;
  return true;
}

// The end of the quoted value that begins at p, where the block holds it and
// it is plain: its closing quote, followed by a blank, on its line. nullptr
// for anything else, which next_token reads or refuses. control tells
// whether the value holds a control character.
static const char* quoted_end(const char* p, const char* end, bool& control) {
  char quote = *p;
  control = false;
  for (const char* q = p + 1; q + 1 < end; ++q) {
    if (*q == '\n') return nullptr;
    if (*q == quote && is_blank(q[1])) return q;
    control |= is_control(*q);
  }
  return nullptr;
}

// Reads the quoted value at offset start of w where it is plain: its
// closing quote, followed by a blank, on its line, within kMaxValue bytes
// and the block, and the window after it whole in the block and plain.
// Moves w on past the value, to the window that holds the byte after it,
// sets value to the value, and returns that byte's offset in w; returns -1,
// changing nothing, where next_token is to read the value or refuse it.
[[gnu::noinline]] static int read_quoted_value(cif_window& w, int start,
                                               const char* end,
                                               std::string_view& value,
                                               bool& control) {
  const char* p = w.at + start;
  const char* close = quoted_end(p, end, control);
  if (close == nullptr || close - p - 1 > std::ptrdiff_t(kMaxValue)) {
    return -1;
  }
  // No line feed lies within a quoted value: none is passed over.
  std::ptrdiff_t offset = close + 1 - w.at;
  if (offset >= 64 && !take_window(w, w.at + offset / 64 * 64, end)) {
    return -1;
  }
  int resume = static_cast<int>(offset % 64);
  // Blanks within the quotes began no word.
  w.starts &= ~low_bits(resume);
  value = std::string_view(p + 1, close - p - 1);
  return resume;
}

static void store(cif_value* v, const char* text, std::size_t length,
                  bool absent, bool control, long line) {
  std::size_t n = absent ? 0 : length;
  v->text = std::string_view(text, n);
  v->length = n;
  v->absent = absent;
  v->control = control;
  v->line = line;
}

// Rows read whole. A row that lies in the block within kRowBytes of its
// first word, and holds only words and blanks (no line feed, no #, ; or _
// but within a word that quotes enclose), is classified at once, and its
// words are where the last such row's were, where their starts match (as
// they do in the rows the archive writes, aligned in columns), or where its
// own starts say. Its values are stored, or left in its words for the
// caller to read only those it uses.

static bool rows_whole = true;

void read_rows_whole(bool whole) { rows_whole = whole; }

// Bits 0 to n - 1 of two masks, for n from 0 to 128.
static bool any_below(const std::uint64_t (&mask)[2], int n) {
  if (n <= 64) return (mask[0] & low_bits(n)) != 0;
  return mask[0] != 0 || (mask[1] & low_bits(n - 64)) != 0;
}

// The length of the word that begins at offset o of the blanks; 64 for one
// of 64 bytes or more, which is next_token's.
static int word_length(const std::uint64_t (&blanks)[2], int o) {
  if (o >= 64) {
    std::uint64_t after = blanks[1] >> (o - 64);
    return after == 0 ? 64 : first_bit(after);
  }
  std::uint64_t after = blanks[0] >> o;
  if (after != 0) return first_bit(after);
  if (blanks[1] == 0) return 64;
  return std::min(64, 64 - o + first_bit(blanks[1]));
}

// Where the row's last word ends, where it ends in the bytes classified at
// a blank; 0 otherwise.
static inline int row_end(const char* row, const cif_row_masks& m, int last) {
  int length = word_length(m.blanks, last);
  if (length == 64 || class_of(row[last + length]) < kSpace) return 0;
  return last + length;
}

// Learns the layout of the row, where its first columns words begin. False
// where the bytes classified hold fewer. Rows whose words move from row to
// row learn it for each row, and so learn only where their words begin:
// every word's start in the first 64 bytes, those after the row's too, which
// is cheaper than counting the columns (the 128 bytes classified hold at
// most 64 words), and in the next 64 only the row's.
static bool learn_row(cif_row_layout& layout, const cif_loop& loop,
                      const cif_row_masks& m) {
  std::uint64_t low = word_starts(m.blanks[0]);
  std::uint64_t high = ~m.blanks[1] & (m.blanks[1] << 1 | m.blanks[0] >> 63);
  int words = 0;
  for (std::uint64_t left = low; left != 0; left &= left - 1) {
    layout.offset[words++] = static_cast<unsigned char>(first_bit(left));
  }
  for (std::uint64_t left = high; left != 0 && words < loop.columns;
       left &= left - 1) {
    layout.offset[words++] = static_cast<unsigned char>(64 + first_bit(left));
  }
  if (words < loop.columns) return false;
  int o = layout.offset[loop.columns - 1];
  layout.last = o;
  layout.starts[0] = low & low_bits(std::min(o + 1, 64));
  layout.starts[1] = o < 64 ? 0 : high & low_bits(o - 63);
  return true;
}

// Whether the row's words begin where the layout's do, up to its last.
static bool starts_match(const cif_row_layout& layout, const cif_row_masks& m) {
  std::uint64_t first = word_starts(m.blanks[0]);
  if (layout.last < 64)
    return (first & low_bits(layout.last + 1)) == layout.starts[0];
  std::uint64_t second = ~m.blanks[1] & (m.blanks[1] << 1 | m.blanks[0] >> 63);
  return first == layout.starts[0] &&
         (second & low_bits(layout.last - 63)) == layout.starts[1];
}

// Whether a word of the row, which ends at end before a blank, has 64 bytes
// or more: more than a value keeps, which next_token reads. Only the word
// that spans the two masks can.
static bool long_word(const cif_row_masks& m, int end) {
  if (end < 64) return false;
  if (m.blanks[0] == 0) return true;
  int after_low = 64 - __builtin_clzll(m.blanks[0]);
  return first_bit(m.blanks[1]) >= after_low;
}

// Bits from to to - 1 of two masks, from 0 to 128.
static void clear_bits(std::uint64_t (&mask)[2], int from, int to) {
  mask[0] &= ~(low_bits(std::min(to, 64)) & ~low_bits(std::min(from, 64)));
  mask[1] &=
      ~(low_bits(std::max(to - 64, 0)) & ~low_bits(std::max(from - 64, 0)));
}

// Whether every odd byte of the row, which ends at end, lies in a quoted
// word: one that begins and ends with the same quote, and so, holding no
// blank, is one value, which its quotes enclose (as atom names with a
// prime are written: "O5'"). Notes those words' columns in layout.quoted.
// A control byte in such a word is left to the words' reader, which alone
// refuses a written value that holds one.
static bool quoted_words(cif_row_layout& layout, const cif_loop& loop,
                         const cif_row_masks& m, int end) {
  std::uint64_t odd[2] = {m.odd[0], m.odd[1]};
  clear_bits(odd, end, 128);
  for (int column = 0; column < loop.columns; ++column) {
    int o = layout.offset[column];
    char quote = layout.row[o];
    if (quote != '\'' && quote != '"') continue;
    std::string_view word = row_word(layout, column);
    if (word.size() < 2 || word.back() != quote ||
        std::any_of(word.begin(), word.end(), is_control)) {
      return false;
    }
    clear_bits(odd, o, o + static_cast<int>(word.size()));
    layout.quoted |= std::uint64_t{1} << column;
  }
  return (odd[0] | odd[1]) == 0;
}

// Stores the row's values, for a loop whose rows are not left in words.
static void store_words(const cif_loop& loop, long line) {
  for (int column = 0; column < loop.columns; ++column) {
    if (cif_value* v = loop.value_of[column]) {
      std::string_view word = row_word(loop.layout, column);
      bool quoted = (loop.layout.quoted >> column & 1) != 0;
      if (quoted) word = word.substr(1, word.size() - 2);
      bool absent =
          !quoted && word.size() == 1 && (word[0] == '.' || word[0] == '?');
      store(v, word.data(), word.size(), absent, false, line);
    }
  }
}

// Passes over the blanks before the row's first word, counting the lines
// in line: where they are those before the last row read whole, at once.
// nullptr where something other than a plain word comes first.
static const char* row_start(cif_scanner& s, cif_row_layout& layout,
                             long& line) {
  std::uint64_t gap;
  if (layout.gap >= 0 && s.end - s.next > 8) {
    memcpy(&gap, s.next, 8);
    const char* row = s.next + layout.gap;
    if ((gap & layout.gap_mask) == layout.gap_bytes &&
        class_of(*row) < kSpace) {
      line += layout.gap_feeds;
      return class_of(*row) == kStarter ? nullptr : row;
    }
  }
  int feeds = 0;
  const char* row = s.next;
  for (;; ++row) {
    if (row == s.end) return nullptr;
    byte_class c = class_of(*row);
    if (c == kStarter) return nullptr;
    if (c < kSpace) break;
    feeds += c == kFeed;
  }
  line += feeds;
  layout.gap = -1;
  if (row - s.next <= 8 && s.end - s.next > 8) {
    unsigned char mask[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    memset(mask, 0xff, row - s.next);
    layout.gap = static_cast<int>(row - s.next);
    memcpy(&layout.gap_mask, mask, 8);
    memcpy(&gap, s.next, 8);
    layout.gap_bytes = gap & layout.gap_mask;
    layout.gap_feeds = feeds;
  }
  return row;
}

[[gnu::noinline]] static bool read_row_whole(cif_scanner& s, cif_loop& loop) {
  if (!rows_whole || loop.columns > kRowWords) return false;
  cif_row_layout& layout = loop.layout;
  long line = s.line;
  const char* row = row_start(s, layout, line);
  if (row == nullptr) return false;
  int chunks = loop.layout_known ? layout.chunks : kRowBytes / 16;
  if (s.end - row < 16 * chunks) return false;
  cif_row_masks m = classified_row(row, chunks);
  int end = 0;
  if (loop.layout_known && starts_match(layout, m)) {
    end = row_end(row, m, layout.last);
  }
  if (end == 0) {
    // Rows whose words move from row to row (one blank between values, say)
    // are learnt anew each, from the bytes that the last row took where they
    // hold this one, so that their bytes are classified once.
    const bool moved = loop.layout_known;
    loop.layout_known = false;
    if (learn_row(layout, loop, m)) end = row_end(row, m, layout.last);
    if (end == 0) {
      if (chunks == kRowBytes / 16 || s.end - row < kRowBytes) return false;
      m = classified_row(row, kRowBytes / 16);
      if (!learn_row(layout, loop, m)) return false;
      end = row_end(row, m, layout.last);
      if (end == 0) return false;
    }
    layout.chunks = std::min(kRowBytes / 16, end / 16 + 1 + moved);
    loop.layout_known = true;
  }
  // A comment, say, which the words' reader reads: the layout, where it
  // held, holds for the rows after.
  if (long_word(m, end)) return false;
  layout.row = row;
  layout.blanks[0] = m.blanks[0];
  layout.blanks[1] = m.blanks[1];
  layout.quoted = 0;
  if (any_below(m.odd, end) && !quoted_words(layout, loop, m, end)) {
    return false;
  }
  loop.in_words = !loop.store_whole;
  if (loop.store_whole) store_words(loop, line);
  s.next = row + end;
  s.line = line;
  s.line_start = false;
  s.window.at = nullptr;
  loop.row_line = line;
  return true;
}

// Windows are read on from where the word that the last one cuts begins,
// or from its end: every word read from a window ends in it. One with a
// control character other than a blank, which is rare, is left to
// next_token, which tells the values that hold it. In a window without
// marks, as nearly all are, every word is a value, and a column not read
// costs only the passing of its word. The window is kept in locals, which
// the compiler can keep in registers, not in a struct whose address escapes.
static bool read_loop_words(cif_scanner& s, cif_loop& loop) {
  if (loop.columns > kMappedColumns) return false;
  const char* const end = s.end;
  cif_window w = s.window;
  if (w.at == nullptr || s.next >= w.at + 64) {
    if (!take_window(w, s.next, end)) return false;
  }
  const char* at = w.at;
  std::uint64_t blanks = w.blanks;
  std::uint64_t feeds = w.feeds;
  std::uint64_t starts = w.starts;
  int cut = w.cut;
  bool marked = w.marked;
  int feed_at = first_feed(feeds);
  auto adopt = [&](const cif_window& next) {
    at = next.at;
    blanks = next.blanks;
    feeds = next.feeds;
    starts = next.starts;
    cut = next.cut;
    marked = next.marked;
    feed_at = first_feed(feeds);
  };
  // Takes the window at from, where take_window can.
  auto window_from = [&](const char* from) {
    cif_window next;
    if (!take_window(next, from, end)) return false;
    adopt(next);
    return true;
  };
  long line = s.line;
  cif_value* const* const row_start = loop.value_of;
  cif_value* const* const row_end = row_start + loop.columns;
  cif_value* const* value_of = row_start + loop.column;
  // Counts the line feeds before offset.
  auto pass_feeds_to = [&](int offset) {
    while (feed_at < offset) {
      ++line;
      feeds &= feeds - 1;
      feed_at = first_feed(feeds);
    }
  };
  const char* left_at;  // where next_token is to read on
  // Takes the next window where what is left of this one is blank, or a
  // word it cuts; a word as long as a window is next_token's.
  auto next_window = [&]() {
    pass_feeds_to(64);
    left_at = at + cut;
    if (cut != 0 && window_from(left_at)) return true;
    at = nullptr;
    return false;
  };
  bool row_ended = false;
  bool reading = true;
  // A row begins on the line of its first value.
  if (value_of == row_start) {
    while (reading && starts == 0) reading = next_window();
    if (reading) {
      pass_feeds_to(first_bit(starts));
      loop.row_line = line;
    }
  }
  while (reading) {
    if (starts == 0) {
      if (!next_window()) break;
      continue;
    }
    if (!marked) {
      do {
        int start = first_bit(starts);
        starts &= starts - 1;
        pass_feeds_to(start);
        const char* p = at + start;
        cif_value* v = *value_of;
        if (v != nullptr) {
          int length = first_bit(blanks >> start);
          bool absent = length == 1 && (*p == '.' || *p == '?');
          store(v, p, length, absent, false, line);
        }
        if (++value_of == row_end) {
          row_ended = true;
          left_at = p + first_bit(blanks >> start);
          break;
        }
      } while (starts != 0);
      if (row_ended) break;
      continue;
    }
    int start = first_bit(starts);
    pass_feeds_to(start);
    const char* p = at + start;
    int length = first_bit(blanks >> start);
    int resume = start + length;  // the offset after the word
    byte_class first = class_of(*p);
    if (first == kPlain) {
      starts &= starts - 1;
      if (cif_value* v = *value_of) store(v, p, length, false, false, line);
    } else if (first == kKeyish) {
      if (length >= 5 &&
          kind_of_word(std::string_view(p, length), length) != kCifValue) {
        left_at = p;
        break;
      }
      starts &= starts - 1;
      bool absent = length == 1 && (*p == '.' || *p == '?');
      if (cif_value* v = *value_of) store(v, p, length, absent, false, line);
    } else {
      cif_window quoted = {at, blanks, feeds, starts, cut, marked};
      std::string_view value;
      bool control;
      resume = *p == '\'' || *p == '"'
                   ? read_quoted_value(quoted, start, end, value, control)
                   : -1;
      if (resume < 0) {
        left_at = p;
        break;
      }
      adopt(quoted);
      if (cif_value* v = *value_of) {
        store(v, value.data(), value.size(), false, control, line);
      }
    }
    if (++value_of == row_end) {
      row_ended = true;
      left_at = at + resume;
      break;
    }
  }
  if (left_at != s.next) {
    s.line_start = left_at[-1] == '\n';
    s.next = left_at;
  }
  s.line = line;
  loop.column = row_ended ? 0 : static_cast<int>(value_of - row_start);
  s.window = {at, blanks, feeds, starts, cut, marked};
  return row_ended;
}

bool read_loop_values(cif_scanner& s, cif_loop& loop) {
  if (loop.column == 0 && read_row_whole(s, loop)) return true;
  loop.in_words = false;
  return read_loop_words(s, loop);
}
