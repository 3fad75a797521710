#ifndef PDB_CONVERT_CIF_SCANNER_H_
#define PDB_CONVERT_CIF_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "cif_token.h"
#include "numbers.h"

struct input_file;

// The tokens of a CIF text, read a block at a time from an input: values,
// tags, the keywords data_, loop_, save_, global_ and stop_, with white
// space and comments between them. A token's kind is told by its first
// bytes, however the reads cut it; of its bytes, the first kMaxValue are
// kept, the rest counted. next_token reads any token (cif_scanner.cpp);
// read_loop_values reads a loop's plain values faster (cif_loop_rows.cpp).

// A value of an item: its first kMaxValue bytes where they lie in the block
// read, or in bytes of its own (own), once that block is to be replaced.
struct cif_value {
  std::string_view text;
  std::size_t length = 0;  // bytes the value has
  bool absent = true;      // not given, or . or ?
  bool control = false;    // it holds a control character (a line feed, say)
  long line = 0;
  // For a number: where a value longer than kMaxValue is read whole.
  number_reader* number = nullptr;
  // For a value that decides which rows go together (a chain, a model, an
  // entity): where a value longer than kMaxValue is kept whole.
  std::string* whole = nullptr;
  char own[kMaxValue];
};

// All the bytes of v that are kept: every one, where it is short or kept
// whole.
inline std::string_view whole_text(const cif_value& v) {
  return v.length > kMaxValue && v.whole != nullptr ? std::string_view(*v.whole)
                                                    : v.text;
}

// Moves v's text into its own bytes, before the text it lies in is replaced.
inline void copy_to_own(cif_value& v) {
  if (!v.text.empty()) memcpy(v.own, v.text.data(), v.text.size());
  v.text = std::string_view(v.own, v.text.size());
}

struct cif_token {
  cif_token_kind kind;
  std::string_view text;  // its bytes: at least the first kMaxValue of them
  std::size_t length;     // how many it has
  bool control;           // it holds a control character
  long line;
  // For a tag: a hash of all its bytes, in lower case, however long it is,
  // so that tags too long to keep are told apart.
  std::uint64_t hash;
};

// The columns of a loop that read_loop_values stores the values of.
constexpr int kMappedColumns = 256;

// The most bytes of a row, and words, read whole.
constexpr int kRowBytes = 128;
constexpr int kRowWords = 64;

// Where the words of the last loop row read whole began, counted from its
// first byte: the archive writes a loop's rows aligned in columns, so that
// nearly every row's words begin where the row before's did.
struct cif_row_layout {
  std::uint64_t starts[2];          // bit i: a word begins at byte i
  int last;                         // where the row's last word begins
  int chunks;                       // of 16 bytes, that hold the row
  unsigned char offset[kRowWords];  // where each column's word begins
  // The row itself: where it begins, its blanks, which end each word, and
  // the columns whose words are quoted (bit i: column i's).
  const char* row;
  std::uint64_t blanks[2];
  std::uint64_t quoted;
  // The blanks between the row before and the last row read whole, where
  // they were no more than 8: their bytes, the mask of those bytes, and
  // their line feeds.
  int gap = -1;
  std::uint64_t gap_bytes;
  std::uint64_t gap_mask;
  int gap_feeds;
};

// A loop's rows as they are read: where each column's values go (nullptr:
// nowhere), and where the row in hand is. A row read whole may be left in
// its words, where the caller reads them with row_word, rather than stored.
struct cif_loop {
  int columns = 0;
  int column = 0;  // of the next value
  long row_line = 0;
  cif_value* value_of[kMappedColumns];
  bool layout_known = false;  // false for a new loop
  bool store_whole = true;    // false: rows read whole are left in words
  bool in_words = false;      // the last row read is left in its words
  cif_row_layout layout;
};

// The word of a column of the row left in its words: plain or quoted (its
// quotes included), shorter than kMaxValue, and ended by a blank that the
// row's blanks hold.
inline std::string_view row_word(const cif_row_layout& layout, int column) {
  int o = layout.offset[column];
  const char* p = layout.row + o;
  if (o >= 64) {
    return std::string_view(p, __builtin_ctzll(layout.blanks[1] >> (o - 64)));
  }
  std::uint64_t after = layout.blanks[0] >> o;
  int n = after != 0 ? __builtin_ctzll(after)
                     : 64 - o + __builtin_ctzll(layout.blanks[1]);
  return std::string_view(p, n);
}

// 64 bytes of a loop's rows as read_loop_values reads them: their blanks,
// the line feeds not yet counted, where the words not yet read that end in
// them begin, where the word that their end cuts begins (64: none does),
// and whether they hold a byte that may begin or be part of anything other
// than a plain value.
struct cif_window {
  const char* at = nullptr;
  std::uint64_t blanks = 0;
  std::uint64_t feeds = 0;
  std::uint64_t starts = 0;
  int cut = 0;
  bool marked = false;
};

// The scanner of one input. Values stored from the block at hand (kept, the
// values a caller stores in) get bytes of their own before a block replaces
// it; a value longer than kMaxValue is read whole into number, and kept
// whole in whole, where they are set.
struct cif_scanner {
  input_file* in = nullptr;
  const char* file = nullptr;  // its name, for the messages
  long line = 1;
  cif_value* kept = nullptr;
  std::size_t kept_count = 0;
  number_reader* number = nullptr;  // for the next token, or nullptr
  std::string* whole = nullptr;     // likewise

  // The block at hand: [begin, end), read up to next.
  const char* begin = nullptr;
  const char* next = nullptr;
  const char* end = nullptr;
  bool line_start = true;  // next is the first byte of a line

  // What read_loop_values knows of the 64 bytes it reads in; at is nullptr
  // where it knows nothing.
  cif_window window;

  // What the blocks before the one at hand held of a token.
  char carried[kMaxValue];
  std::size_t carried_size = 0;
  std::size_t carried_length = 0;
  std::size_t carried_controls = 0;
  char carried_tail[2];  // its last two bytes
  bool hashing = false;  // the token is a tag, hashed as it is read
  std::uint64_t hash = 0;
};

// Sets t to the next token; kCifEnd at the end of the input. A quoted value
// or a text field never closed prints "<file>:<line>: ..." on stderr and
// exits 1.
void next_token(cif_scanner& s, cif_token& t);

// Stores t, a value that s has just read, in v.
void store_value(const cif_scanner& s, cif_value& v, const cif_token& t);

// Reads a loop's values while they are plain (bare words, absent values,
// quoted values on their line) and the block holds them, storing each in
// loop.value_of[column], or, for a row read whole where loop.store_whole is
// false, leaving them in its words (loop.in_words). Stops after the value
// that ends a row, and returns true, or before anything else (a tag, a keyword,
// a comment, a text field, a value longer than kMaxValue, bytes with a control
// character other than a blank), returning false; next_token then reads on. A
// loop of more than kMappedColumns columns is all next_token's.
bool read_loop_values(cif_scanner& s, cif_loop& loop);

// Whether read_loop_values reads a row whole, at once, where it can (it
// does, unless a test that compares the two ways turns it off).
void read_rows_whole(bool whole);

#endif  // PDB_CONVERT_CIF_SCANNER_H_
