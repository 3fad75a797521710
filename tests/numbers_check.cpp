// Checks the number conversions against the C library they stand in for:
// every coordinate field the fast path takes (lengths 0 to 8, so fields cut
// short are in), every integer field of 4 and 5 columns it takes, random
// fields of any bytes, and put_integer on the edges of int; and the
// number_reader's short texts against the long ones they stand for.
//
// usage: numbers_check full|sample
//   full    every field, about 2.6e8 of them: minutes when optimised
//   sample  the first and last few hundred fields of every form and every
//           997th between, and fewer random ones: seconds, even unoptimised

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "numbers.h"

static const int kThreads = 2;
static const std::size_t kMaxReported = 10;
static const std::size_t kMaxField = 8;

static bool full = false;
static std::atomic<std::uint64_t> checked{0};
static std::atomic<std::uint64_t> mismatches{0};
static std::mutex report_lock;

static std::string escaped(const char* p, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    }
  }
  return '"' + text + '"';
}

static void mismatch(const std::string& what) {
  if (mismatches++ >= kMaxReported) return;
  std::lock_guard<std::mutex> hold(report_lock);
  fprintf(stderr, "mismatch: %s\n", what.c_str());
}

// The field on a shelf of its own, followed by digits that a conversion
// reading past its n bytes would take in.
struct shelf {
  shelf(const char* field, std::size_t n) {
    std::memcpy(bytes, field, n);
    std::memset(bytes + n, '7', sizeof bytes - n);
    std::memcpy(text, field, n);
    text[n] = '\0';
  }
  char bytes[16];
  char text[kMaxField + 1];  // the field as a C string, for the C library
};

static void check_coordinate(const char* field, std::size_t n) {
  shelf s(field, n);
  double want = atof(s.text);
  double got = read_coordinate(s.bytes, n);
  if (std::memcmp(&want, &got, sizeof want) != 0) {
    char line[128];
    snprintf(line, sizeof line, "read_coordinate(%s) gave %a, atof %a",
             escaped(field, n).c_str(), got, want);
    mismatch(line);
  }
  char want_text[kMaxCoordinateText + 64];
  int want_length = snprintf(want_text, sizeof want_text, "%8.3f", want);
  // Bytes past kMaxCoordinateText must stay as they are.
  static const std::string kUntouched(16, '#');
  char got_text[kMaxCoordinateText + 16];
  std::memset(got_text, '#', sizeof got_text);
  char* end = put_coordinate(got_text, s.bytes, n);
  bool overran =
      kUntouched.compare(0, 16, got_text + kMaxCoordinateText, 16) != 0;
  if (want_length > static_cast<int>(kMaxCoordinateText) || overran ||
      end - got_text != want_length ||
      std::memcmp(got_text, want_text, want_length) != 0) {
    mismatch("put_coordinate(" + escaped(field, n) + ") gave " +
             escaped(got_text, overran ? 0 : end - got_text) +
             (overran ? " past kMaxCoordinateText" : "") + ", %8.3f " +
             escaped(want_text, want_length));
  }
  ++checked;
}

static void check_put_integer(int value, int width, const char* field,
                              std::size_t n) {
  char want[32];
  int want_length = snprintf(want, sizeof want, "%*d", width, value);
  char got[32];
  char* end = put_integer(got, value, width);
  if (end - got != want_length || std::memcmp(got, want, want_length) != 0) {
    char call[64];
    snprintf(call, sizeof call, "put_integer(%d, %d) after ", value, width);
    mismatch(call + escaped(field, n) + " gave " + escaped(got, end - got) +
             ", %*d " + escaped(want, want_length));
  }
}

// put_integer straight from the field, against "%*d" of atoi.
static void check_put_integer_field(const shelf& s, int width,
                                    const char* field, std::size_t n) {
  char want[32];
  int want_length = snprintf(want, sizeof want, "%*d", width, atoi(s.text));
  char got[32];
  char* end = put_integer(got, s.bytes, n, width);
  if (end - got != want_length || std::memcmp(got, want, want_length) != 0) {
    mismatch("put_integer(" + escaped(field, n) + ", " + std::to_string(width) +
             ") gave " + escaped(got, end - got) + ", %*d " +
             escaped(want, want_length));
  }
}

static void check_integer(const char* field, std::size_t n) {
  shelf s(field, n);
  int want = atoi(s.text);
  int got = read_integer(s.bytes, n);
  if (got != want) {
    char values[64];
    snprintf(values, sizeof values, " gave %d, atoi %d", got, want);
    mismatch("read_integer(" + escaped(field, n) + ")" + values);
  }
  for (int width = 4; width <= 5; ++width) {
    check_put_integer(got, width, field, n);
    check_put_integer_field(s, width, field, n);
  }
  ++checked;
}

// Runs task(0) to task(tasks - 1) on kThreads threads.
static void run_parallel(std::size_t tasks,
                         const std::function<void(std::size_t)>& task) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (std::size_t t; (t = next++) < tasks;) task(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// A form of fast-path field: n bytes, right-aligned, so blanks first, then
// the sign if any, then digits with the point, if any, after `point` of them.
struct form {
  std::size_t n;
  std::size_t blanks;
  char sign;  // '\0' for none
  int digits;
  int point;  // -1 for none
  bool integer;
};

// The fields of one form with the digits index begin, begin + step, ...
// below end, as numbers of `digits` digits, leading zeros kept.
struct block {
  form f;
  std::uint64_t begin, end, step;
};

static std::uint64_t power_of_ten(int k) {
  std::uint64_t p = 1;
  while (k-- > 0) p *= 10;
  return p;
}

static void write_field(const form& f, std::uint64_t index, char* field) {
  char* p = field;
  for (std::size_t i = 0; i < f.blanks; ++i) *p++ = ' ';
  if (f.sign != '\0') *p++ = f.sign;
  char digits[kMaxField];
  for (int i = f.digits - 1; i >= 0; --i, index /= 10) {
    digits[i] = static_cast<char>('0' + index % 10);
  }
  for (int i = 0; i < f.digits; ++i) {
    if (i == f.point) *p++ = '.';
    *p++ = digits[i];
  }
  if (f.point == f.digits) *p++ = '.';
}

static void add_blocks(const form& f, std::vector<block>& blocks) {
  const std::uint64_t kBlock = 1 << 16;
  const std::uint64_t kEdge = 200;
  const std::uint64_t kStride = 997;
  std::uint64_t count = power_of_ten(f.digits);
  if (full || f.integer || count <= 2 * kEdge) {
    for (std::uint64_t b = 0; b < count; b += kBlock) {
      blocks.push_back({f, b, std::min(count, b + kBlock), 1});
    }
    return;
  }
  // Zeros (signed zeros, values rounding to zero) lie at the start, nines
  // (carries) at the end.
  blocks.push_back({f, 0, kEdge, 1});
  blocks.push_back({f, count - kEdge, count, 1});
  for (std::uint64_t b = kEdge; b < count - kEdge; b += kBlock * kStride) {
    blocks.push_back(
        {f, b, std::min(count - kEdge, b + kBlock * kStride), kStride});
  }
}

// Every form of field that a fast path takes, n bytes long.
static void add_forms(std::size_t n, bool integer, std::vector<block>& blocks) {
  add_blocks({n, n, '\0', 0, -1, integer}, blocks);  // all blanks
  for (std::size_t body = 1; body <= n; ++body) {
    for (char sign : {'\0', '+', '-'}) {
      for (bool has_point : {false, true}) {
        if (integer && has_point) continue;
        int digits = static_cast<int>(body) - (sign != '\0') - has_point;
        if (digits < 1) continue;
        for (int point = has_point ? 0 : -1; point <= (has_point ? digits : -1);
             ++point) {
          add_blocks({n, n - body, sign, digits, point, integer}, blocks);
        }
      }
    }
  }
}

static void check_blocks(const std::vector<block>& blocks) {
  run_parallel(blocks.size(), [&](std::size_t t) {
    const block& b = blocks[t];
    char field[kMaxField];
    for (std::uint64_t i = b.begin; i < b.end; i += b.step) {
      write_field(b.f, i, field);
      if (b.f.integer) {
        check_integer(field, b.f.n);
      } else {
        check_coordinate(field, b.f.n);
      }
    }
  });
}

// Bytes that steer the C library's conversions, more often than chance
// would pick them.
static const char kTelling[] = " 0123456789+-.eExXpP\t\n\v\f\r\0infatyINFATY";

static void random_field(std::mt19937_64& random, char* field, std::size_t n) {
  unsigned kind = random() % 4;
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == 0) {
      field[i] = static_cast<char>(random());
    } else {
      field[i] = kTelling[random() % (sizeof kTelling - 1)];
    }
  }
  // A fast form with one byte changed, to probe the edges of the grammar.
  if (kind == 3 && n > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      field[i] = "0123456789 -."[random() % 13];
    }
    field[random() % n] = static_cast<char>(random());
  }
}

static void check_random_fields(std::uint64_t count) {
  const std::uint64_t kPerTask = 1 << 16;
  std::size_t tasks = (count + kPerTask - 1) / kPerTask;
  run_parallel(tasks, [&](std::size_t t) {
    std::mt19937_64 random(t);
    char field[kMaxField];
    for (std::uint64_t i = 0; i < kPerTask; ++i) {
      std::size_t n = random() % (kMaxField + 1);
      random_field(random, field, n);
      check_coordinate(field, n);
      check_integer(field, n);
    }
  });
}

// Fields the C library reads in ways easy to miss: other white space,
// exponents, hex, infinities, NaN, signs alone, a NUL; and the widest value
// an 8-byte field gives.
static void check_named_fields() {
  static const char* const kFields[] = {
      "\v\f1.5",  "\t1.5",  "1.5\r",   "1e3",      "1e",       "1E-2",
      "0x1A",     "0X",     "0x",      "0x1p3",    "inf",      "-INF",
      "nan",      "-nan",   "nan(1)",  "infinity", "-",        "+",
      "-.",       ".",      " .",      "+-1",      "1.2.3",    "1-",
      "- 1",      "-0",     "-.0",     "-0.0004",  "0.0625",   "1.0005",
      "0.0005",   "9.9995", "-9.9995", "99999999", "-9999999", "-1e308",
      "-1.7e308", "1e309",  "-1e-400", "00001.50", "+0001",    "  -7.125",
  };
  for (const char* field : kFields) {
    std::size_t n = std::strlen(field);
    check_coordinate(field, n);
    check_integer(field, n);
  }
  static const char kNulInside[] = {'1', '\0', '2'};
  check_coordinate(kNulInside, sizeof kNulInside);
  check_integer(kNulInside, sizeof kNulInside);
  char widest[kMaxCoordinateText];
  if (put_coordinate(widest, "-1e308", 6) - widest !=
      static_cast<std::ptrdiff_t>(kMaxCoordinateText)) {
    mismatch("put_coordinate(\"-1e308\") is not kMaxCoordinateText long");
  }
}

static void check_integer_edges(std::uint64_t random_count) {
  std::vector<int> values = {0,       1,           -1,         INT_MAX,
                             INT_MIN, INT_MAX - 1, INT_MIN + 1};
  for (std::int64_t p = 10; p <= INT_MAX; p *= 10) {
    for (std::int64_t v : {p - 1, p, p + 1}) {
      values.push_back(static_cast<int>(v));
      values.push_back(static_cast<int>(-v));
    }
  }
  std::mt19937 random(1);
  for (std::uint64_t i = 0; i < random_count; ++i) {
    values.push_back(static_cast<int>(random()) >> (random() % 32));
  }
  for (int value : values) {
    for (int width = 0; width <= 8; ++width) {
      check_put_integer(value, width, "", 0);
      ++checked;
    }
  }
}

// Reads text into a number_reader in pieces of random sizes, and checks that
// strtod and strtoll read of its short texts what they read of text.
static void check_long_number(std::mt19937_64& random,
                              const std::string& text) {
  number_reader n;
  start_number(n);
  for (std::size_t i = 0; i < text.size();) {
    std::size_t piece =
        std::min<std::size_t>(1 + random() % 300, text.size() - i);
    read_number_part(n, text.data() + i, piece);
    i += piece;
  }
  ++checked;
  double want = strtod(text.c_str(), nullptr);
  double got = strtod(std::string(real_text(n)).c_str(), nullptr);
  // A NaN's payload ("nan(12)"), which nothing prints, aside.
  bool same = std::isnan(want) && std::isnan(got)
                  ? std::signbit(want) == std::signbit(got)
                  : std::memcmp(&want, &got, sizeof want) == 0;
  if (!same) {
    mismatch("real_text of " +
             escaped(text.data(), std::min<std::size_t>(text.size(), 120)) +
             "... is " + std::string(real_text(n).substr(0, 60)));
  }
  long long want_integer = strtoll(text.c_str(), nullptr, 10);
  long long got_integer =
      strtoll(std::string(integer_text(n)).c_str(), nullptr, 10);
  if (want_integer != got_integer) {
    mismatch("integer_text of " +
             escaped(text.data(), std::min<std::size_t>(text.size(), 120)) +
             "... is " + std::string(integer_text(n)));
  }
}

// A run of one to many copies of a byte from set: long runs of zeros,
// digits and blanks are what the reader shortens.
static std::string run_of(std::mt19937_64& random, const char* set) {
  std::size_t length = random() % 4 == 0 ? random() % 2000 : random() % 4;
  std::string run;
  bool same = random() % 2 == 0;
  char c = set[random() % std::strlen(set)];
  for (std::size_t i = 0; i < length; ++i) {
    run += same ? c : set[random() % std::strlen(set)];
  }
  return run;
}

static std::string long_number(std::mt19937_64& random) {
  std::string text = run_of(random, " \t\n\v\f\r");
  if (random() % 2 == 0) text += "+-"[random() % 2];
  unsigned shape = random() % 8;
  if (shape == 0) {
    text += std::string("iInNfFaAtTyY(").substr(random() % 6, 1 + random() % 8);
  } else {
    bool hex = shape == 1;
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (hex) text += random() % 2 ? "0x" : "0X";
    text += run_of(random, "0") + run_of(random, digits) + run_of(random, "0");
    if (random() % 3 != 0) text += '.';
    text += run_of(random, "0") + run_of(random, digits) + run_of(random, "0");
    if (random() % 2 == 0) {
      text += hex ? "pP"[random() % 2] : "eE"[random() % 2];
      if (random() % 2 == 0) text += "+-"[random() % 2];
      text += run_of(random, "0") + run_of(random, "0123456789");
    }
  }
  text += std::string(kTelling, sizeof kTelling - 1)
              .substr(random() % (sizeof kTelling - 1), random() % 3);
  return text;
}

// The exact decimal text of a double's halfway point, and the texts just
// above and below it, which strtod must round apart: where long double holds
// the halfway point exactly.
static void check_halfway_points(std::mt19937_64& random, std::uint64_t count) {
  if (std::numeric_limits<long double>::digits < 54) return;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t bits = random() & 0x7fefffffffffffffULL;
    if (i % 3 == 0) bits &= 0x000fffffffffffffULL;  // subnormal
    double low;
    std::memcpy(&low, &bits, sizeof low);
    long double halfway =
        (static_cast<long double>(low) + std::nextafter(low, INFINITY)) / 2;
    char exact[1200];
    snprintf(exact, sizeof exact, "%.1100Le", halfway);
    std::string text = exact;
    std::string mantissa = text.substr(0, text.find('e'));
    std::string exponent = text.substr(text.find('e'));
    while (mantissa.back() == '0') mantissa.pop_back();
    check_long_number(random, mantissa + exponent);
    check_long_number(
        random, mantissa + std::string(random() % 900, '0') + "1" + exponent);
    std::string below = mantissa;
    below.back() = static_cast<char>(below.back() - 1);
    check_long_number(random,
                      below + std::string(random() % 900, '9') + exponent);
  }
}

static void check_long_numbers(std::uint64_t count) {
  std::mt19937_64 random(7);
  for (const char* text :
       {"1.", "0x", "-0x", "0x.", "0x.p1", "0x1p", "1e", "1e+", "-.", ".",
        "infinity", "-inFx", "nan(12)", "-nan", "na",
        "0000000000000000000000000000001e-2", "12345678901234567890123",
        "-9223372036854775808", "-9223372036854775809"}) {
    check_long_number(random, text);
  }
  std::string ones(5000, '1');
  check_long_number(random, "1." + std::string(70, '0'));
  check_long_number(random, std::string(70, '0') + "5");
  check_long_number(random, ones + "e-5000");
  check_long_number(random, "0." + std::string(5000, '0') + ones + "e5100");
  check_long_number(random, "0x" + ones + "p-20000");
  for (std::uint64_t i = 0; i < count; ++i) {
    check_long_number(random, long_number(random));
  }
  check_halfway_points(random, count / 10);
}

static void run(const char* title, const std::function<void()>& part) {
  auto start = std::chrono::steady_clock::now();
  checked = 0;
  std::uint64_t before = mismatches;
  part();
  std::chrono::duration<double> seconds =
      std::chrono::steady_clock::now() - start;
  printf("%-44s %11llu checked, %llu mismatches, %.1f s\n", title,
         static_cast<unsigned long long>(checked.load()),
         static_cast<unsigned long long>(mismatches - before), seconds.count());
  fflush(stdout);
}

int main(int argc, char* argv[]) {
  if (argc != 2 || (std::strcmp(argv[1], "full") != 0 &&
                    std::strcmp(argv[1], "sample") != 0)) {
    fputs("usage: numbers_check full|sample\n", stderr);
    return 1;
  }
  full = std::strcmp(argv[1], "full") == 0;
  run("named fields", check_named_fields);
  run("integer fields, every fast form of 4 and 5", [] {
    std::vector<block> blocks;
    add_forms(4, true, blocks);
    add_forms(5, true, blocks);
    check_blocks(blocks);
  });
  run("put_integer, edges and random ints",
      [] { check_integer_edges(full ? 1000000 : 10000); });
  run("numbers of any length, in pieces",
      [] { check_long_numbers(full ? 1000000 : 20000); });
  run("random fields of 0 to 8 bytes",
      [] { check_random_fields(full ? 20000000 : 100000); });
  run(full ? "coordinate fields, every fast form of 0 to 8"
           : "coordinate fields, a sample of the fast forms",
      [] {
        std::vector<block> blocks;
        for (std::size_t n = 0; n <= kMaxField; ++n) {
          add_forms(n, false, blocks);
        }
        check_blocks(blocks);
      });
  return mismatches == 0 ? 0 : 1;
}
