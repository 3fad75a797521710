// libFuzzer target: arbitrary bytes as number fields, each converted by the
// program's own code and by the C library, which must agree byte for byte.
//
// The input is a run of fields, each a length byte (its value modulo 9)
// followed by that many bytes. Every field gets a heap block of its own
// size, so that AddressSanitizer stops a read past its end.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
