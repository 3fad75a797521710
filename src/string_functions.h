#ifndef PDB_CONVERT_STRING_FUNCTIONS_H_
#define PDB_CONVERT_STRING_FUNCTIONS_H_

#include <cstring>
#include <string>
#include <string_view>

// Blanks that pad PDB fields: space, tab, line feed, carriage return.
inline constexpr char kBlankChars[] = " \t\n\r";

// text without its leading and trailing characters that are in set.
std::string trimmed(const std::string& text, const char* set);

// The same for the characters from begin up to end, so that a field can be
// trimmed where it lies in a line, without a copy of its own.
std::string_view trimmed(const char* begin, const char* end, const char* set);

// text without its leading characters that are in set.
std::string ltrimmed(const std::string& text, const char* set);

// text without its trailing characters that are in set.
std::string rtrimmed(const std::string& text, const char* set);

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
