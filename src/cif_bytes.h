#ifndef PDB_CONVERT_CIF_BYTES_H_
#define PDB_CONVERT_CIF_BYTES_H_

#include <cstddef>
#include <string_view>

#include "cif_token.h"

// What a byte of CIF text, or a word, may be: shared by the reader of any
// token, byte by byte, and the reader of loop rows, many bytes at once.

// What a byte may begin, looked up in a table: one load a test.
enum byte_class : unsigned char {
  kPlain,    // anything else, and any byte inside a bare word
  kKeyish,   // may begin an absent value or a keyword
  kStarter,  // may begin a comment, a quoted value, a text field or a tag
  kSpace,    // blank, tab, CR: between tokens
  kFeed,     // line feed: between tokens, and a new line
};

struct byte_classes {
  byte_class of[256];
};

constexpr byte_classes make_byte_classes() {
  byte_classes classes{};
  for (int c = 0; c < 256; ++c) classes.of[c] = kPlain;
  for (char c : {' ', '\t', '\r'}) classes.of[int(c)] = kSpace;
  classes.of[int('\n')] = kFeed;
  for (char c : {'#', '\'', '"', ';', '_'}) classes.of[int(c)] = kStarter;
  for (char c : {'.', '?', 'd', 'D', 'l', 'L', 's', 'S', 'g', 'G'}) {
    classes.of[int(c)] = kKeyish;
  }
  return classes;
}

inline constexpr byte_classes kByteClasses = make_byte_classes();

inline byte_class class_of(char c) {
  return kByteClasses.of[static_cast<unsigned char>(c)];
}

// A control character in a value: none fits a PDB field.
inline bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// What a word is, told by its first bytes and its length: a value, an
// absent value, a tag or a keyword. text holds at least its first
// kMaxValue bytes, and the longest keyword, global_, has 7.
inline cif_token_kind kind_of_word(std::string_view text, std::size_t length) {
  if (length == 1 && (text[0] == '.' || text[0] == '?')) return kCifAbsent;
  if (text[0] == '_') return kCifTag;
  if (length < 5) return kCifValue;
  switch (lower_ascii(text[0])) {
    case 'd':
      return starts_with_any_case(text, "data_") ? kCifData : kCifValue;
    case 'l':
      return length == 5 && starts_with_any_case(text, "loop_") ? kCifLoop
                                                                : kCifValue;
    case 's':
      if (starts_with_any_case(text, "save_")) {
        return length == 5 ? kCifSaveEnd : kCifSave;
      }
      return length == 5 && starts_with_any_case(text, "stop_") ? kCifOther
                                                                : kCifValue;
    case 'g':
      return length == 7 && starts_with_any_case(text, "global_") ? kCifOther
                                                                  : kCifValue;
    default:
      return kCifValue;
  }
}

#endif  // PDB_CONVERT_CIF_BYTES_H_
