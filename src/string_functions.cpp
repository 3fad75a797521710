#include "string_functions.h"

static bool is_in(char c, const char* set) {
  for (; *set != '\0'; ++set) {
    if (*set == c) return true;
  }
  return false;
}

static const char* first_not_in(const char* begin, const char* end,
                                const char* set) {
  while (begin != end && is_in(*begin, set)) ++begin;
  return begin;
}

// One past the last character of [begin, end) not in set; begin if none.
static const char* end_not_in(const char* begin, const char* end,
                              const char* set) {
  while (end != begin && is_in(end[-1], set)) --end;
  return end;
}

std::string trimmed(const char* begin, const char* end, const char* set) {
  begin = first_not_in(begin, end, set);
  return std::string(begin, end_not_in(begin, end, set));
}

std::string trimmed(const std::string& text, const char* set) {
  return trimmed(text.data(), text.data() + text.size(), set);
}

std::string ltrimmed(const std::string& text, const char* set) {
  const char* end = text.data() + text.size();
  return std::string(first_not_in(text.data(), end, set), end);
}

std::string rtrimmed(const std::string& text, const char* set) {
  const char* begin = text.data();
  return std::string(begin, end_not_in(begin, begin + text.size(), set));
}
