#ifndef PDB_CONVERT_NUMBERS_H_
#define PDB_CONVERT_NUMBERS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

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

// Writes the bytes of snprintf("%*d", width, atoi(field)), as the other
// put_integer; a field that is already what it prints is copied as it is.
char* put_integer(char* out, const char* field, std::size_t n, int width);

// Writes the bytes of snprintf("%8.3f", atof(field)), without the NUL, at
// out (room for kMaxCoordinateText); returns their end.
char* put_coordinate(char* out, const char* field, std::size_t n);

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
