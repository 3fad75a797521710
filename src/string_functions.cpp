#include "string_functions.h"

static bool is_in(char c, const char* set) {
  for (; *set != '\0'; ++set) {
    if (*set == c) return true;
  }
  return false;
}

// The first character of [begin, end) for which in does not hold; end if
// none.
template <typename Predicate>
static const char* first_not(const char* begin, const char* end, Predicate in) {
  while (begin != end && in(*begin)) ++begin;
  return begin;
}

// One past the last character of [begin, end) for which in does not hold;
// begin if none.
template <typename Predicate>
static const char* end_not(const char* begin, const char* end, Predicate in) {
  while (end != begin && in(end[-1])) --end;
  return end;
}

template <typename Predicate>
static std::string_view trimmed_where(const char* begin, const char* end,
                                      Predicate in) {
  begin = first_not(begin, end, in);
  return std::string_view(begin, end_not(begin, end, in) - begin);
}

static auto in_set(const char* set) {
  return [set](char c) { return is_in(c, set); };
}

std::string_view trimmed(const char* begin, const char* end, const char* set) {
  // The reader trims every field of every record with kBlankChars: testing
  // that set by its mask, not a loop, is a tenth of the work.
  if (set == kBlankChars) return trimmed_where(begin, end, is_blank);
  return trimmed_where(begin, end, in_set(set));
}

std::string trimmed(const std::string& text, const char* set) {
  return std::string(trimmed(text.data(), text.data() + text.size(), set));
}

std::string ltrimmed(const std::string& text, const char* set) {
  const char* end = text.data() + text.size();
  return std::string(first_not(text.data(), end, in_set(set)), end);
}

std::string rtrimmed(const std::string& text, const char* set) {
  const char* begin = text.data();
  return std::string(begin, end_not(begin, begin + text.size(), in_set(set)));
}

std::string escaped(std::string_view text) {
  std::string shown;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\') {
      shown += c;
    } else if (c == '\\' || c == '\n' || c == '\t' || c == '\r') {
      shown += '\\';
      shown += c == '\\' ? '\\' : c == '\n' ? 'n' : c == '\t' ? 't' : 'r';
    } else {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    }
  }
  return shown;
}
