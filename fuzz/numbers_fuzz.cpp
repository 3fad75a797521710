// libFuzzer target: arbitrary bytes as number fields, each converted by the
// program's own code and by the C library, which must agree byte for byte.
//
// The input is a run of fields, each a length byte (its value modulo 9)
// followed by that many bytes. Every field gets a heap block of its own
// size, so that AddressSanitizer stops a read past its end.
//
// An input whose first byte is 0xFF is instead the text of one number of any
// length, which a number_reader reads in pieces, and whose short texts
// strtod and strtoll must read as they read the whole. A byte 0xFE in it,
// followed by a count and a byte, stands for 16 times count copies of that
// byte, so that short inputs reach the long runs that the reader shortens.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "numbers.h"

static const std::size_t kMaxField = 8;

static void check(bool holds, const char* what, const char* field,
                  std::size_t n) {
  if (holds) return;
  fprintf(stderr, "numbers_fuzz: %s differs for the %zu-byte field:", what, n);
  for (std::size_t i = 0; i < n; ++i) {
    fprintf(stderr, " %02x", static_cast<unsigned char>(field[i]));
  }
  fputc('\n', stderr);
  abort();
}

static bool same_text(const char* a, int a_length, const char* b,
                      const char* b_end) {
  return b_end - b == a_length && std::memcmp(a, b, a_length) == 0;
}

static void check_field(const char* field, std::size_t n) {
  char text[kMaxField + 1];
  std::memcpy(text, field, n);
  text[n] = '\0';

  double want = atof(text);
  double got = read_coordinate(field, n);
  check(std::memcmp(&want, &got, sizeof want) == 0, "read_coordinate", field,
        n);
  char want_text[kMaxCoordinateText + 1];
  int want_length = snprintf(want_text, sizeof want_text, "%8.3f", want);
  char got_text[kMaxCoordinateText];
  check(same_text(want_text, want_length, got_text,
                  put_coordinate(got_text, field, n)),
        "put_coordinate", field, n);

  int want_integer = atoi(text);
  int got_integer = read_integer(field, n);
  check(got_integer == want_integer, "read_integer", field, n);
  for (int width = 4; width <= 5; ++width) {
    want_length =
        snprintf(want_text, sizeof want_text, "%*d", width, want_integer);
    check(same_text(want_text, want_length, got_text,
                    put_integer(got_text, got_integer, width)),
          "put_integer", field, n);
    check(same_text(want_text, want_length, got_text,
                    put_integer(got_text, field, n, width)),
          "put_integer from the field", field, n);
  }
}

static std::string expanded(const uint8_t* data, size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFE && i + 2 < size) {
      text.append(16 * std::size_t{data[i + 1]},
                  static_cast<char>(data[i + 2]));
      i += 2;
    } else {
      text += static_cast<char>(data[i]);
    }
  }
  return text;
}

static void check_long_number(const std::string& text) {
  number_reader n;
  start_number(n);
  for (std::size_t i = 0, piece = 1; i < text.size();
       i += piece, piece = piece * 7 % 61 + 1) {
    read_number_part(n, text.data() + i, std::min(piece, text.size() - i));
  }
  double want = strtod(text.c_str(), nullptr);
  double got = strtod(std::string(real_text(n)).c_str(), nullptr);
  // A NaN's payload ("nan(12)"), which nothing prints, aside.
  bool same = std::isnan(want) && std::isnan(got)
                  ? std::signbit(want) == std::signbit(got)
                  : std::memcmp(&want, &got, sizeof want) == 0;
  check(same, "real_text", text.data(), std::min<std::size_t>(text.size(), 64));
  check(strtoll(text.c_str(), nullptr, 10) ==
            strtoll(std::string(integer_text(n)).c_str(), nullptr, 10),
        "integer_text", text.data(), std::min<std::size_t>(text.size(), 64));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == 0xFF) {
    check_long_number(expanded(data + 1, size - 1));
    return 0;
  }
  for (std::size_t i = 0; i < size;) {
    std::size_t wanted = data[i] % (kMaxField + 1);
    ++i;
    std::size_t n = std::min(wanted, size - i);
    std::unique_ptr<char[]> field(new char[n]);
    std::memcpy(field.get(), data + i, n);
    check_field(field.get(), n);
    i += n;
  }
  return 0;
}
