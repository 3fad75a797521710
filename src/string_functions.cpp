#include "string_functions.h"

std::string trimmed(const std::string& text, const char* set) {
  std::string::size_type first = text.find_first_not_of(set);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(set) - first + 1);
}

std::string ltrimmed(const std::string& text, const char* set) {
  std::string::size_type first = text.find_first_not_of(set);
  if (first == std::string::npos) return std::string();
  return text.substr(first);
}

std::string rtrimmed(const std::string& text, const char* set) {
  std::string::size_type last = text.find_last_not_of(set);
  if (last == std::string::npos) return std::string();
  return text.substr(0, last + 1);
}
