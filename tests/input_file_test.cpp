#include "input_file.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "scratch.h"

static void read_to_end(const std::string& path) {
  input_file* in = open_input(path);
  std::string_view line;
  while (read_line(in, line)) {
  }
  close_input(in);
}

// "ATOM\n" compressed by gzip -n: a ten-byte header, the deflated text, and
// its CRC and length in the last eight bytes.
static const std::string kGzipped(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x73\x0c\xf1\xf7\xe5\x02\x00"
    "\xba\x0c\x1a\x39\x05\x00\x00\x00",
    25);

// The same text in zlib's format, which a gzip file may not hold.
static const std::string kZlibWrapped(
    "\x78\xda\x73\x0c\xf1\xf7\xe5\x02\x00\x04\x2b\x01\x3c", 13);

static std::string with_bit_flipped(std::string bytes, std::size_t offset,
                                    char bit = 1) {
  bytes[offset] ^= bit;
  return bytes;
}

TEST(InputFileDeathTest, DamagedGzipIsUnreadable) {
  const std::string damaged[] = {
      kGzipped.substr(0, 10),                   // the header alone
      kGzipped.substr(0, kGzipped.size() - 1),  // the length cut short
      with_bit_flipped(kGzipped, 17),           // the CRC
      with_bit_flipped(kGzipped, 21),           // the length
      with_bit_flipped(kGzipped, 12),           // the deflated text
      kGzipped + "ATOM      1  N\n",            // text after the member
      kGzipped + std::string(16, '\0') + "A",   // text after zero padding
      kGzipped + kZlibWrapped,                  // zlib's format after it
      with_bit_flipped(kGzipped, 3, 0x20),      // a reserved flag bit
  };
  for (const std::string& bytes : damaged) {
    std::string path = file_with("damaged.pdb", bytes);
    EXPECT_EXIT(read_to_end(path), testing::ExitedWithCode(1),
                "^Could not read " + path + "\n$");
  }
}

// Tape and block-padded downloads end a gzip file with zero bytes, which
// gzip -d reads past.
TEST(InputFileTest, ZeroPaddingAfterGzipIsRead) {
  input_file* in =
      open_input(file_with("padded.pdb", kGzipped + std::string(600, '\0')));
  std::string_view line;
  ASSERT_TRUE(read_line(in, line));
  EXPECT_EQ(line, "ATOM");
  EXPECT_FALSE(read_line(in, line));
  close_input(in);
}

// A gzip member of one stored (uncompressed) block holding text, cut short
// after its first cut bytes of text: the inflater hands those over, and then
// meets the end of the input.
static std::string stored_member_cut(const std::string& text, std::size_t cut) {
  std::string member("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01", 11);
  std::size_t n = text.size();
  member +=
      {char(n & 0xff), char(n >> 8), char(~n & 0xff), char(~n >> 8 & 0xff)};
  return member + text.substr(0, cut);
}

// Printing each line it is given, a reader shows whether the line that the
// end of a cut stream split was handed over before the failure.
static void print_lines(const std::string& path) {
  input_file* in = open_input(path);
  std::string_view line;
  while (read_line(in, line)) {
    fprintf(stderr, "%.*s\n", int(line.size()), line.data());
  }
  close_input(in);
}

TEST(InputFileDeathTest, LineCutShortIsNotRead) {
  std::string path = file_with(
      "cut.pdb.gz", stored_member_cut("REMARK 1\nATOM      1  N   GLY\n", 20));
  EXPECT_EXIT(print_lines(path), testing::ExitedWithCode(1),
              "^REMARK 1\nCould not read " + path + "\n$");
}

TEST(InputFileDeathTest, RefusesFormatsNotRead) {
  const char kDecompress[] =
      "-compressed input is not read; decompress it first";
  const char kConvert[] = " input is not read; convert it to UTF-8 first";
  const std::pair<std::string, std::string> refused[] = {
      {"BZh91AY&SY", std::string("bzip2") + kDecompress},
      {std::string("\xFD\x37\x7A\x58\x5A\x00\x00", 7),
       std::string("xz") + kDecompress},
      {"\x28\xB5\x2F\xFD\x04", std::string("zstd") + kDecompress},
      {std::string("\xFF\xFE\x00\x00", 4), std::string("UTF-32") + kConvert},
      {std::string("\x00\x00\xFE\xFF", 4), std::string("UTF-32") + kConvert},
      {std::string("\xFF\xFE\x41\x00", 4), std::string("UTF-16") + kConvert},
      {std::string("\xFE\xFF\x00\x41", 4), std::string("UTF-16") + kConvert},
  };
  for (const auto& [bytes, refusal] : refused) {
    std::string path = file_with("refused.pdb", bytes);
    EXPECT_EXIT(read_to_end(path), testing::ExitedWithCode(1),
                "^" + path + ": " + refusal + "\n$");
  }
}
