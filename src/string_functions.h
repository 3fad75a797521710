#ifndef PDB_CONVERT_STRING_FUNCTIONS_H_
#define PDB_CONVERT_STRING_FUNCTIONS_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// Blanks that pad PDB fields: space, tab, line feed, carriage return.
inline constexpr char kBlankChars[] = " \t\n\r";

// The characters of set as bits of a mask; one at 64 or above would shift
// past the mask and fail to compile.
constexpr uint64_t mask_of(const char* set) {
  uint64_t mask = 0;
  for (; *set != '\0'; ++set) mask |= uint64_t(1) << *set;
  return mask;
}

// Whether c is in kBlankChars: a test of a mask, not a loop, for the fields'
// ends on every record and for every byte of an mmCIF file.
inline bool is_blank(char c) {
  constexpr uint64_t kBlankMask = mask_of(kBlankChars);
  return static_cast<unsigned char>(c) < 64 && (kBlankMask >> c & 1) != 0;
}

// text without its leading and trailing characters that are in set.
std::string trimmed(const std::string& text, const char* set);

// The same for the characters from begin up to end, so that a field can be
// trimmed where it lies in a line, without a copy of its own.
std::string_view trimmed(const char* begin, const char* end, const char* set);

// text without its leading characters that are in set.
std::string ltrimmed(const std::string& text, const char* set);

// text without its trailing characters that are in set.
std::string rtrimmed(const std::string& text, const char* set);

// text as a message shows it on one line: a backslash, a control character
// and a byte that is not printable ASCII as C writes them in a string, "\\",
// "\n", "\t", "\r" and "\x1b".
std::string escaped(std::string_view text);

// Copies text, at most 16 bytes, to out; returns its end. The texts of a
// converted line are a few bytes long, and copies of a fixed size, which
// compile to a few moves, are cheaper than a call: hence inline, and the
// overlapping halves.
inline char* put_text(char* out, std::string_view text) {
  std::size_t n = text.size();
  const char* from = text.data();
  if (n >= 8) {
    memcpy(out, from, 8);
    memcpy(out + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    memcpy(out, from, 4);
    memcpy(out + n - 4, from + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = from[i];
  }
  return out + n;
}

#endif  // PDB_CONVERT_STRING_FUNCTIONS_H_
