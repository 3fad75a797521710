#ifndef PDB_CONVERT_STRING_FUNCTIONS_H_
#define PDB_CONVERT_STRING_FUNCTIONS_H_

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

#endif  // PDB_CONVERT_STRING_FUNCTIONS_H_
