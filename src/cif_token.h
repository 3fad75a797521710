#ifndef PDB_CONVERT_CIF_TOKEN_H_
#define PDB_CONVERT_CIF_TOKEN_H_

#include <cstddef>
#include <string_view>

// What the scanner and the byte classes both know of a CIF token: its kinds,
// how much of it is kept, and how its keywords and tags are compared.

// The most bytes of a token kept: enough to tell every keyword and the tags
// that are read, and to show a value in a message.
constexpr std::size_t kMaxValue = 64;

enum cif_token_kind {
  kCifValue,
  kCifAbsent,  // . or ?, unquoted
  kCifTag,
  kCifLoop,
  kCifData,
  kCifSave,     // save_ and a name: a save frame begins
  kCifSaveEnd,  // save_ alone: it ends
  kCifOther,    // global_, stop_
  kCifEnd,      // of the input
};

// CIF's keywords and tags are ASCII, compared without regard to case.
inline char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Whether text begins with prefix, given in lower case, in any case.
inline bool starts_with_any_case(std::string_view text,
                                 std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower_ascii(text[i]) != prefix[i]) return false;
  }
  return true;
}

#endif  // PDB_CONVERT_CIF_TOKEN_H_
