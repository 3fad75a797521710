#include "input_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <string_view>
#include <utility>

// Writes bytes to a fresh file in the test's temporary directory.
static std::string file_with(const std::string& name,
                             const std::string& bytes) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

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

static std::string with_bit_flipped(std::string bytes, std::size_t offset) {
  bytes[offset] ^= 1;
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
      kGzipped + std::string(16, '\0'),         // padding after it
  };
  for (const std::string& bytes : damaged) {
    std::string path = file_with("damaged.pdb", bytes);
    EXPECT_EXIT(read_to_end(path), testing::ExitedWithCode(1),
                "^Could not read " + path + "\n$");
  }
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
