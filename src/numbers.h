#ifndef PDB_CONVERT_NUMBERS_H_
#define PDB_CONVERT_NUMBERS_H_

#include <cstddef>

// The number fields' conversions, byte for byte and bit for bit those of the
// C library in the C locale (atoi, atof, "%*d", "%8.3f"), done by the
// program's own code for the common forms and by the C library for the rest.
//
// A field is the first n bytes at field, read as a C string would be: a NUL
// ends it. A PDB field is at most 8 bytes; a longer one, as mmCIF values may
// be, is converted by the C library. It need not be NUL-terminated, so that it can be read
// where it lies in a line, and n may be short of the field's width, as a z
// field cut short by the end of its line is.

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

#endif  // PDB_CONVERT_NUMBERS_H_
