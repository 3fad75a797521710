#ifndef PDB_CONVERT_NUMBERS_H_
#define PDB_CONVERT_NUMBERS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "string_functions.h"

// The number fields' conversions, byte for byte and bit for bit those of the
// C library in the C locale (atoi, atof, "%*d", "%8.3f"), done by the
// program's own code for the common forms and by the C library for the rest.
//
// A field is the first n bytes at field, read as a C string would be: a NUL
// ends it. A PDB field is at most 8 bytes; a longer one, as mmCIF values may
// be, is converted by the C library. It need not be NUL-terminated, so that it
// can be read where it lies in a line, and n may be short of the field's width,
// as a z field cut short by the end of its line is.

// The longest text put_coordinate writes (no NUL). A finite double is below
// 2^1024 < 10^309, so its integer part has at most 309 digits: with a sign
// and ".000", 314 bytes, which "-1e308" (an 8-byte field holds it) reaches.
// Infinities and NaNs print in 8.
constexpr std::size_t kMaxCoordinateText = 314;

// atoi of the field.
int read_integer(const char* field, std::size_t n);

// atof of the field.
double read_coordinate(const char* field, std::size_t n);

// Writes the bytes of snprintf("%*d", width, value), without the NUL, at out;
// returns their end. width is 0 to 8.
char* put_integer(char* out, int value, int width);

// The fields already in the form that they print in are copied as they
// stand, by the inline functions below: nearly every field of a file is,
// and a call for each would cost as much as the check.

inline bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// Whether the field is what "%*d" prints for its own value in a width of its
// own length, as it is in most files: blanks, an optional '-', and digits
// without a leading zero, or a lone 0, filling the field.
inline bool is_printed_integer(const char* field, std::size_t n, int width) {
  if (n == 0 || n != static_cast<std::size_t>(width)) return false;
  std::size_t i = 0;
  while (i < n && field[i] == ' ') ++i;
  bool negative = i < n && field[i] == '-';
  i += negative;
  if (i == n || !is_digit(field[i])) return false;
  // "-0" prints as "0", and a leading zero is dropped.
  if (field[i] == '0') return i == n - 1 && !negative;
  while (++i < n) {
    if (!is_digit(field[i])) return false;
  }
  return true;
}

// put_integer of a field that is not what it prints.
char* put_converted_integer(char* out, const char* field, std::size_t n,
                            int width);

// Writes the bytes of snprintf("%*d", width, atoi(field)), as the other
// put_integer; a field that is already what it prints is copied as it is.
inline char* put_integer(char* out, const char* field, std::size_t n,
                         int width) {
  if (is_printed_integer(field, n, width)) {
    return put_text(out, std::string_view(field, n));
  }
  return put_converted_integer(out, field, n, width);
}

// Whether the field of n bytes is, but for blanks before it, what "%8.3f"
// prints for its own value, as it is in most PDB files and, without the
// blanks, in mmCIF files: an optional '-', an integer part without leading
// zeros, '.' and three decimals. Its bytes, right-aligned in eight, are then
// its output (numbers.cpp's in_thousandths says why three decimals print as
// they stand). Each width is checked with its offsets known.
template <std::size_t n>
inline bool is_printed_form(const char* field) {
  const char* point = field + n - 4;
  if (*point != '.' || !is_digit(point[-1]) || !is_digit(point[1]) ||
      !is_digit(point[2]) || !is_digit(point[3])) {
    return false;
  }
  const char* first = point - 1;  // of the integer part
  while (first > field && is_digit(first[-1])) --first;
  if (*first == '0' && first != point - 1) return false;
  const char* p = first;
  if (p > field && p[-1] == '-') --p;
  while (p > field && p[-1] == ' ') --p;
  return p == field;
}

// From "0.000" to a full field of eight.
inline bool is_printed_coordinate(const char* field, std::size_t n) {
  switch (n) {
    case 8:
      return is_printed_form<8>(field);
    case 7:
      return is_printed_form<7>(field);
    case 6:
      return is_printed_form<6>(field);
    case 5:
      return is_printed_form<5>(field);
    default:
      return false;
  }
}

// put_coordinate of a field that is not what it prints.
char* put_converted_coordinate(char* out, const char* field, std::size_t n);

// Writes the bytes of snprintf("%8.3f", atof(field)), without the NUL, at
// out (room for kMaxCoordinateText); returns their end.
inline char* put_coordinate(char* out, const char* field, std::size_t n) {
  if (is_printed_coordinate(field, n)) {
    std::memset(out, ' ', 8);
    put_text(out + 8 - n, std::string_view(field, n));
    return out + 8;
  }
  return put_converted_coordinate(out, field, n);
}

// The decimal digits of a number kept: a double's halfway points have at
// most 768 significant digits, so digits past these only tell, by whether
// any of them is not zero, on which side of a halfway point the number lies.
constexpr std::size_t kNumberDigits = 800;
// The longest text real_text writes: "-0.", the digits, a digit for those
// dropped, and an exponent.
constexpr std::size_t kMaxNumberText = kNumberDigits + 16;

// A number of any length, read a piece at a time, as an mmCIF value streams
// in, and kept in what decides its value: strtod reads of real_text the
// double it reads of the whole text, and strtoll (base 10) of integer_text
// the value it reads of the whole text.
struct number_reader {
  unsigned char phase;
  bool negative;
  bool hex;
  bool point;      // the mantissa's point is passed
  bool any_digit;  // the mantissa has one
  bool dropped;    // a digit past those kept is not zero
  bool exponent_negative;
  bool integer_open;      // still in strtoll's digits
  bool integer_dropped;   // it has more digits than kept
  unsigned char kind;     // what the text is, once told
  unsigned char matched;  // letters of "inf" or "nan"
  std::size_t digit_count;
  std::size_t integer_count;
  std::int64_t scale;     // the value is 0.<digits> times base^scale
  std::int64_t exponent;  // the part after e or p, saturated
  char digits[kNumberDigits];
  char integer[24];
  char text[kMaxNumberText];
};

// Starts reading a number.
void start_number(number_reader& n);

// Reads the next size bytes of the number's text.
void read_number_part(number_reader& n, const char* bytes, std::size_t size);

// The texts that decide the value of all that was read; valid until the
// next call on n.
std::string_view real_text(number_reader& n);
std::string_view integer_text(number_reader& n);

#endif  // PDB_CONVERT_NUMBERS_H_
