#include "numbers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "string_functions.h"

// The fast paths take only fields of these forms, filling the field, which
// are common and few enough to be checked one by one against the C library
// (tests/numbers_check.cpp):
//   integer:    ' '* [+-]? digit+            or all blanks (0)
//   coordinate: ' '* [+-]? digit* ('.' digit*)?, with a digit, or all blanks
// Everything else (other white space, exponents, hex, inf and nan, bytes
// after the number, a NUL, a field longer than 8 bytes) goes to the C
// library.

static const std::size_t kMaxFieldWidth = 8;
static const int kPrintedWidth = 8;  // of "%8.3f"

// Exact in a double, as is every integer below 10^8 (< 2^53).
static const double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
static const std::uint32_t kIntegerPowersOfTen[] = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// A coordinate field of the fast form: its value is digits / 10^fraction,
// negated where negative; at most 8 digits, so digits < 10^8.
struct decimal {
  bool negative;
  std::uint32_t digits;  // every digit of the field, the point left out
  int fraction;          // how many of them follow the point
};

static const char* skip_blanks(const char* p, const char* end) {
  while (p != end && *p == ' ') ++p;
  return p;
}

// atoi and atof of the field, made a C string: a std::string holds up to 15
// bytes without an allocation. Kept out of the fast paths, whose every call
// would otherwise pay for the string's frame.
[[gnu::noinline]] static int c_library_atoi(const char* field, std::size_t n) {
  return atoi(std::string(field, n).c_str());
}

[[gnu::noinline]] static double c_library_atof(const char* field,
                                               std::size_t n) {
  return atof(std::string(field, n).c_str());
}

static bool scan_integer(const char* p, const char* end, int& value) {
  p = skip_blanks(p, end);
  value = 0;
  if (p == end) return true;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (p == end) return false;
  for (; p != end; ++p) {
    if (!is_digit(*p)) return false;
    value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  return true;
}

int read_integer(const char* field, std::size_t n) {
  int value;
  if (n <= kMaxFieldWidth && scan_integer(field, field + n, value)) {
    return value;
  }
  return c_library_atoi(field, n);
}

static bool scan_decimal(const char* p, const char* end, decimal& d) {
  p = skip_blanks(p, end);
  d = decimal{false, 0, 0};
  if (p == end) return true;
  d.negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const char* first = p;
  const char* point = nullptr;
  for (; p != end; ++p) {
    if (is_digit(*p)) {
      d.digits = d.digits * 10 + (*p - '0');
    } else if (*p == '.' && point == nullptr) {
      point = p;
    } else {
      return false;
    }
  }
  if (point == nullptr) return first != end;
  d.fraction = static_cast<int>(end - point - 1);
  return end - first > 1;
}

// digits and 10^fraction are exact doubles, so their quotient is the
// correctly rounded value of the decimal, which is what strtod returns.
double read_coordinate(const char* field, std::size_t n) {
  decimal d;
  if (n <= kMaxFieldWidth && scan_decimal(field, field + n, d)) {
    double value = d.digits / kPowersOfTen[d.fraction];
    return d.negative ? -value : value;
  }
  return c_library_atof(field, n);
}

// The magnitude "%.3f" prints for the double nearest d, in thousandths;
// false for a tie, which only the double's own bits can settle.
//
// printf rounds the double v exactly, and v is within half an ulp of the
// decimal's value x: |v - x| <= |x| * 2^-53. Rounding x's text gives the
// same digits unless a halfway point t (an odd multiple of 0.0005) lies
// between x and v or on v. With at most 3 fraction digits, x is a multiple
// of 0.001, |x - t| >= 0.0005, and |v - x| < 10^8 * 2^-53 < 2e-8. With f > 3
// fraction digits, the field also holds a point, so x < 10^(7-f); x and t
// are both multiples of 10^-f, so unless x is a tie, |x - t| >= 10^-f, while
// |v - x| < 10^(7-f) * 2^-53 < 10^-f since 10^7 < 2^53. A tie (dropped
// digits exactly 5, 50, 500 or 5000) may lie either side of v: 1.0005 prints
// 1.000, 0.0005 prints 0.001, and 0.0625, exact in binary, goes to even.
static bool in_thousandths(const decimal& d, std::uint64_t& thousandths) {
  if (d.fraction <= 3) {
    thousandths = std::uint64_t{d.digits} * kIntegerPowersOfTen[3 - d.fraction];
    return true;
  }
  std::uint32_t dropped_unit = kIntegerPowersOfTen[d.fraction - 3];
  std::uint32_t dropped = d.digits % dropped_unit;
  if (2 * dropped == dropped_unit) return false;
  thousandths = d.digits / dropped_unit + (2 * dropped > dropped_unit);
  return true;
}

// "00" to "99": half as many divisions as one digit at a time.
static const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "7475767778798081828384858687888990919293949596979899";

// Writes value's digits backwards from end, so that no length need be known
// first; returns where they begin.
static char* put_digits_before(char* end, std::uint32_t value) {
  while (value >= 100) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * value, 2);
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

static char* put_thousandths(char* out, bool negative,
                             std::uint64_t thousandths) {
  // At most "-9999999.000" or "99999999.000", right-aligned in eight.
  char text[16];
  char* end = text + sizeof text;
  std::memset(end - kPrintedWidth, ' ', kPrintedWidth);
  unsigned fraction = static_cast<unsigned>(thousandths % 1000);
  end[-1] = static_cast<char>('0' + fraction % 10);
  end[-2] = static_cast<char>('0' + fraction / 10 % 10);
  end[-3] = static_cast<char>('0' + fraction / 100);
  end[-4] = '.';
  char* p = put_digits_before(end - 4,
                              static_cast<std::uint32_t>(thousandths / 1000));
  if (negative) *--p = '-';
  const char* begin = std::min(p, end - kPrintedWidth);
  return put_text(out, std::string_view(begin, end - begin));
}

char* put_converted_coordinate(char* out, const char* field, std::size_t n) {
  decimal d;
  std::uint64_t thousandths;
  if (n <= kMaxFieldWidth && scan_decimal(field, field + n, d) &&
      in_thousandths(d, thousandths)) {
    return put_thousandths(out, d.negative, thousandths);
  }
  char printed[kMaxCoordinateText + 1];
  int length =
      snprintf(printed, sizeof printed, "%8.3f", c_library_atof(field, n));
  std::memcpy(out, printed, length);
  return out + length;
}

char* put_integer(char* out, int value, int width) {
  // "-2147483648", the longest, or blanks to the widest width, 8.
  char text[16];
  char* end = text + sizeof text;
  std::memset(end - 8, ' ', 8);
  // The magnitude as unsigned, where INT_MIN's fits.
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) magnitude = 0u - magnitude;
  char* p = put_digits_before(end, magnitude);
  if (value < 0) *--p = '-';
  const char* begin = std::min(p, end - width);
  return put_text(out, std::string_view(begin, end - begin));
}

char* put_converted_integer(char* out, const char* field, std::size_t n,
                            int width) {
  return put_integer(out, read_integer(field, n), width);
}

// A number of any length. strtod's grammar, in the C locale: white space, a
// sign, then "inf", "nan", a hex number (0x, hex digits with a point, p and
// a decimal exponent) or a decimal one (digits with a point, e and an
// exponent); an exponent mark without digits after it is not read, nor is
// "0x" without a hex digit after it, which leaves "0". The parts of any
// length, white space, digits and the exponent's digits, are kept short.

enum number_phase : unsigned char {
  kLeadingSpace,
  kFirst,           // after the sign
  kZero,            // a first 0, which an x may make a hex prefix
  kHexFirst,        // after 0x: a hex digit or a point
  kHexPointFirst,   // after 0x.: a hex digit
  kPointFirst,      // a first point: a digit
  kMantissa,        // digits and a point
  kExponentMark,    // after e or p: a sign or a digit
  kExponentSign,    // a digit
  kExponentDigits,  // digits
  kLetters,         // "inf" or "nan", matched so far
  kDone,
};

enum number_kind : unsigned char { kNoNumber, kFinite, kInfinity, kNan };

// Hex digits kept: a double has 53 bits, and 30 hex digits hold 120.
static const std::size_t kHexDigits = 30;
// Enough to overflow a long long, and one more to show that more follow.
static const std::size_t kIntegerDigits = 20;
// An exponent past this makes any kept mantissa overflow or vanish.
static const std::int64_t kMaxExponent = 999999999;

static bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  char lower = static_cast<char>(c | 0x20);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

void start_number(number_reader& n) {
  n.phase = kLeadingSpace;
  n.negative = n.hex = n.point = n.any_digit = n.dropped = false;
  n.exponent_negative = n.integer_open = n.integer_dropped = false;
  n.kind = kNoNumber;
  n.matched = 0;
  n.digit_count = n.integer_count = 0;
  n.scale = n.exponent = 0;
}

// A digit of the mantissa, of value d in the base, which each digit before
// the point multiplies the value by: 10, or 16 (2^4) for hex.
static void add_digit(number_reader& n, int d) {
  n.any_digit = true;
  n.kind = kFinite;
  int shift = n.hex ? 4 : 1;
  if (n.integer_open && (n.integer_count > 0 || d != 0)) {
    if (n.integer_count < kIntegerDigits) {
      n.integer[n.integer_count++] = static_cast<char>('0' + d);
    } else {
      n.integer_dropped = true;
    }
  }
  if (n.digit_count == 0 && d == 0) {
    if (n.point) n.scale -= shift;
    return;
  }
  if (!n.point) n.scale += shift;
  if (n.digit_count < (n.hex ? kHexDigits : kNumberDigits)) {
    n.digits[n.digit_count++] = "0123456789abcdef"[d];
  } else if (d != 0) {
    n.dropped = true;
  }
}

static void add_exponent_digit(number_reader& n, int d) {
  n.exponent = std::min(n.exponent * 10 + d, kMaxExponent);
  n.phase = kExponentDigits;
}

// Whether c starts or goes on with "inf" or "nan", given matched letters.
static bool matches_letter(const number_reader& n, char c) {
  const char* word = n.kind == kNan ? "nan" : "inf";
  return static_cast<char>(c | 0x20) == word[n.matched];
}

static void read_mantissa_char(number_reader& n, char c) {
  int d = n.hex ? hex_value(c) : (is_digit(c) ? c - '0' : -1);
  n.phase = kMantissa;
  if (d >= 0) return add_digit(n, d);
  n.integer_open = false;
  char lower = static_cast<char>(c | 0x20);
  if (c == '.' && !n.point) {
    n.point = true;
  } else if (lower == (n.hex ? 'p' : 'e')) {
    n.phase = kExponentMark;
  } else {
    n.phase = kDone;
  }
}

static void read_number_char(number_reader& n, char c) {
  switch (n.phase) {
    case kLeadingSpace:
      if (is_space(c)) return;
      n.phase = kFirst;
      n.integer_open = true;
      if (c == '-' || c == '+') {
        n.negative = c == '-';
        return;
      }
      return read_number_char(n, c);
    case kFirst:
      if (c == '0') {
        add_digit(n, 0);
        n.phase = kZero;
      } else if (is_digit(c)) {
        read_mantissa_char(n, c);
      } else if (c == '.') {
        n.point = true;
        n.integer_open = false;
        n.phase = kPointFirst;
      } else if ((c | 0x20) == 'i' || (c | 0x20) == 'n') {
        n.kind = (c | 0x20) == 'n' ? kNan : kInfinity;
        n.matched = 1;
        n.phase = kLetters;
      } else {
        n.phase = kDone;
      }
      return;
    case kZero:
      if ((c | 0x20) == 'x') {
        // "0" stands, should no hex digit follow.
        n.hex = true;
        n.integer_open = false;
        n.phase = kHexFirst;
        return;
      }
      return read_mantissa_char(n, c);
    case kHexFirst:
      if (c == '.') {
        n.point = true;
        n.phase = kHexPointFirst;
        return;
      }
      if (hex_value(c) < 0) {
        n.phase = kDone;
        return;
      }
      return read_mantissa_char(n, c);
    case kHexPointFirst:
    case kPointFirst:
      if ((n.hex ? hex_value(c) : (is_digit(c) ? 0 : -1)) < 0) {
        n.phase = kDone;
        return;
      }
      return read_mantissa_char(n, c);
    case kMantissa:
      return read_mantissa_char(n, c);
    case kExponentMark:
      if (c == '-' || c == '+') {
        n.exponent_negative = c == '-';
        n.phase = kExponentSign;
        return;
      }
      [[fallthrough]];
    case kExponentSign:
      if (!is_digit(c)) {
        n.phase = kDone;
        return;
      }
      return add_exponent_digit(n, c - '0');
    case kExponentDigits:
      if (!is_digit(c)) {
        n.phase = kDone;
        return;
      }
      return add_exponent_digit(n, c - '0');
    case kLetters:
      if (!matches_letter(n, c)) {
        n.phase = kDone;
        return;
      }
      // "inf" and "nan" decide; what may follow ("inity", "(...)") does not.
      if (++n.matched == 3) n.phase = kDone;
      return;
    default:
      return;
  }
}

void read_number_part(number_reader& n, const char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size && n.phase != kDone; ++i) {
    read_number_char(n, bytes[i]);
  }
}

std::string_view real_text(number_reader& n) {
  char* out = n.text;
  if (n.kind == kInfinity || n.kind == kNan) {
    // Told only by the whole word.
    if (n.matched < 3) return "0";
    if (n.negative) *out++ = '-';
    out = put_text(out, n.kind == kNan ? "nan" : "inf");
    return std::string_view(n.text, out - n.text);
  }
  if (n.kind != kFinite) return "0";
  if (n.negative) *out++ = '-';
  if (n.digit_count == 0) {
    *out++ = '0';
    return std::string_view(n.text, out - n.text);
  }
  out = put_text(out, n.hex ? "0x0." : "0.");
  std::memcpy(out, n.digits, n.digit_count);
  out += n.digit_count;
  if (n.dropped) *out++ = '1';
  // Without digits, an exponent mark leaves the exponent 0.
  std::int64_t exponent = n.exponent_negative ? -n.exponent : n.exponent;
  exponent =
      std::clamp<std::int64_t>(n.scale + exponent, -kMaxExponent, kMaxExponent);
  out += snprintf(out, n.text + sizeof n.text - out, "%c%lld",
                  n.hex ? 'p' : 'e', static_cast<long long>(exponent));
  return std::string_view(n.text, out - n.text);
}

std::string_view integer_text(number_reader& n) {
  char* out = n.text;
  if (n.negative) *out++ = '-';
  std::memcpy(out, n.integer, n.integer_count);
  out += n.integer_count;
  if (n.integer_count == 0) *out++ = '0';
  if (n.integer_dropped) *out++ = '0';
  return std::string_view(n.text, out - n.text);
}
