#include "mmcif_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cif_scanner.h"
#include "cif_windows.h"
#include "hash_set.h"
#include "input_file.h"
#include "scratch.h"

static std::vector<std::string> records_of(const std::string& path) {
  record_input* in = open_records(path);
  std::vector<std::string> records;
  std::string_view line;
  while (read_record(in, line)) records.emplace_back(line);
  close_records(in);
  return records;
}

// Eleven lines; a row that follows starts on line 12.
static const std::string kLoop =
    "data_test\n"
    "loop_\n"
    "_atom_site.group_PDB\n"
    "_atom_site.auth_atom_id\n"
    "_atom_site.auth_comp_id\n"
    "_atom_site.auth_asym_id\n"
    "_atom_site.auth_seq_id\n"
    "_atom_site.label_alt_id\n"
    "_atom_site.Cartn_x\n"
    "_atom_site.Cartn_y\n"
    "_atom_site.Cartn_z\n";

static std::string rows(int n, const std::string& row) {
  std::string text;
  for (int i = 0; i < n; ++i) text += row;
  return text;
}

TEST(MmcifInputDeathTest, RefusesWrittenValuesThatDoNotFit) {
  const std::string long_name(70, 'N');
  const std::pair<std::string, std::string> refused[] = {
      {"ATOM CA GLY AB 1 . 1 2 3\n", "12: chain ID \"AB\""},
      {"ATOM CA GLY A\x1b 1 . 1 2 3\n", "12: chain ID \"A\\\\x1b\""},
      {"ATOM CA GLYX A 1 . 1 2 3\n", "12: residue name \"GLYX\""},
      {"ATOM CA123 GLY A 1 . 1 2 3\n", "12: atom name \"CA123\""},
      {"ATOM\n;N\nX\n;\nGLY A 1 . 1 2 3\n", "13: atom name \"N\\\\nX\""},
      {"ATOM CA GLY A 1 AB 1 2 3\n", "12: alternate location \"AB\""},
      {"ATOM CA GLY A 10000 . 1 2 3\n", "12: residue number \"10000\""},
      {"ATOM CA GLY A -1000 . 1 2 3\n", "12: residue number \"-1000\""},
      {"ATOM CA GLY A '1\r' . 1 2 3\n", "12: residue number \"1\\\\r\""},
      // An integer, its insertion code apart, as the archive writes it.
      {"ATOM CA GLY A 1A . 1 2 3\n", "12: residue number \"1A\""},
      {"ATOM CA GLY A 12abc . 1 2 3\n", "12: residue number \"12abc\""},
      {"ATOM CA GLY A '' . 1 2 3\n", "12: residue number \"\""},
      {"ATOM CA GLY A " + std::string(69, '0') + "5x . 1 2 3\n",
       "12: residue number \"" + std::string(64, '0') + "\\.\\.\\.\""},
      {"ATOM CA GLY A 1 . 1\n2 123456.7 3\n", "13: coordinate \"123456.7\""},
      {"ATOM CA GLY A 1 . 1 2 -99999.9996\n", "12: coordinate \"-99999.9996\""},
      {"ATOM CA GLY A 1 . '1\t' 2 3\n", "12: coordinate \"1\\\\t\""},
      {"ATOM CA GLY A 1 . 1" + std::string(70, '0') + " 2 3\n",
       "12: coordinate \"1" + std::string(63, '0') + "\\.\\.\\.\""},
      {"ATOM " + long_name + " GLY A 1 . 1 2 3\n",
       "12: atom name \"" + long_name.substr(0, 64) + "\\.\\.\\.\""},
      {rows(100000, "ATOM CA GLY A 1 . 1 2 3\n"),
       "100011: serial number \"100000\""},
  };
  for (const auto& [row, refusal] : refused) {
    std::string path = file_with("refused.cif", kLoop + row);
    EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
                "^" + path + ":" + refusal + " does not fit the PDB format\n$");
  }
}

TEST(MmcifInputTest, HetatmRowsAreNeverRefused) {
  std::vector<std::string> records = records_of(file_with(
      "ligand.cif", kLoop + "HETATM C1LONG LIGAND XY 12345 AB 123456.7 2 3\n"
                            "HETATM\n;N\nX\n;\nLIG A 1 . 1 2 3\n"
                            "ATOM CA GLY A 1 . 1 2 3\n"));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].compare(0, 6, "HETATM"), 0);
  EXPECT_EQ(records[1].compare(0, 6, "HETATM"), 0);
  EXPECT_EQ(records[2],
            "ATOM      3  CA  GLY A   1       1.000   2.000   3.000");
}

// Values where a scan ends otherwise than at a blank: at the end of the
// input, before a CRLF line end, and absent after a row that had them; and
// values without a tag where they are passed over: in a block without
// _atom_site, and in the blocks after the one read.
TEST(MmcifInputTest, ReadsValuesAtTheEdges) {
  const std::string six_items =
      "_atom_site.group_PDB\n_atom_site.label_atom_id\n"
      "_atom_site.label_comp_id\n_atom_site.label_asym_id\n"
      "_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"data_x\r\n_atom_site.group_PDB ATOM\r\n_atom_site.label_comp_id\r\n"
       ";ALA\r\n;\r\n_atom_site.Cartn_x 1",
       {"ATOM      1      ALA             1.000   0.000   0.000"}},
      {"data_x\n_atom_site.label_comp_id ALA\n_atom_site.label_seq_id 1\n"
       "_atom_site.Cartn_x 1",
       {"ATOM      1      ALA     1       1.000   0.000   0.000"}},
      {"data_x\nloop_\n" + six_items + "ATOM N ALA A 1 2 3\nATOM N ALA . 4 5 6",
       {"ATOM      1  N   ALA A           1.000   2.000   3.000",
        "ATOM      2  N   ALA             4.000   5.000   6.000"}},
      {"data_x\nloop_\n" + six_items +
           "ATOM N ALA A 1 2 3\nHETATM ZN ZN A 1 2 3",
       {"ATOM      1  N   ALA A           1.000   2.000   3.000",
        "HETATM    2  ZN   ZN A           1.000   2.000   3.000"}},
      {"data_a\n_x 1 2\nloop_\n_y.z\n3\nstop_\n4\ndata_x\nloop_\n" + six_items +
           "ATOM N ALA A 1 2 3\ndata_b\n5\n",
       {"ATOM      1  N   ALA A           1.000   2.000   3.000"}},
  };
  for (const auto& [text, records] : cases) {
    EXPECT_EQ(records_of(file_with("edges.cif", text)), records) << text;
  }
}

TEST(MmcifInputDeathTest, DamagedFilesFailWithTheirLine) {
  const std::pair<std::string, std::string> damaged[] = {
      {kLoop + "ATOM 'CA GLY A 1 . 1 2 3\n",
       "12: quoted value not closed on its line"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 \"3", "12: quoted value not closed"},
      {kLoop + "ATOM CA GLY A 1 .\n;1\n2\n3\n", "13: text field not closed"},
      {kLoop + "ATOM CA GLY A 1 . 1 2\n",
       "12: row of 8 values in a loop of 9 tags"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\nATOM CA\nloop_\n",
       "13: row of 2 values in a loop of 9 tags"},
      {"data_test\n_atom_site.Cartn_x\n_atom_site.Cartn_y 1\n",
       "2: tag without a value"},
      {"data_test\nloop_\n1 2\n", "2: loop_ without tags"},
      {"data_test\nloop_\nloop_\n_atom_site.id\n1\n", "2: loop_ without tags"},
      {"data_test\nloop_\ndata_next\n", "2: loop_ without tags"},
      {"data_test\nloop_\n# cut short\n", "2: loop_ without tags"},
      {"data_test\nloop_\n_atom_site.Cartn_x\n_atom_site.CARTN_X\n1 2\n",
       "4: tag \"_atom_site.CARTN_X\" given twice"},
      {"data_test\n_atom_site.Cartn_x 1\n_entity.id 2\n_atom_site.cartn_x 3\n",
       "4: tag \"_atom_site.cartn_x\" given twice"},
      // Tags that are not read, and one longer than the bytes kept of it.
      {"data_test\nloop_\n_atom_site.id\n_atom_site.ID\n1 2\n",
       "4: tag \"_atom_site.ID\" given twice"},
      {"data_test\n_cell.length_a 1\n_cell.length_b 2\n_cell.length_a 3\n",
       "4: tag \"_cell.length_a\" given twice"},
      {"data_test\n_" + std::string(70, 'x') + " 1\n_" + std::string(70, 'X') +
           " 2\n",
       "3: tag \"_" + std::string(63, 'X') + "...\" given twice"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\n_atom_site.id 1\n",
       "13: category \"_atom_site\" given twice"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\nloop_\n_atom_site.id\n1\n",
       "13: category \"_atom_site\" given twice"},
      {"data_test\n_atom_site.id 1\nloop_\n_atom_site.Cartn_x\n1\n",
       "3: category \"_atom_site\" given twice"},
      // A value that belongs to no tag and no loop, in the block of
      // _atom_site: the rows after it would go with it.
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\nstop_\nATOM CA GLY A 1 . 1 2 3\n",
       "14: value without a tag"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\nsave_x\nATOM CA GLY A 1 . 1 2 3\n",
       "14: value without a tag"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3\n_x 1\nATOM CA GLY A 1 . 1 2 3\n",
       "14: value without a tag"},
      {kLoop + "ATOM CA GLY A 1 . 1 2 3 _ATOM CA GLY A 1 . 1 2 3\n",
       "12: value without a tag"},
      {"data_test\n_x 1 2\nsave_f\n3\nsave_\n" + kLoop.substr(10) +
           "ATOM CA GLY A 1 . 1 2 3\n",
       "2: value without a tag"},
  };
  for (const auto& [text, message] : damaged) {
    std::string path = file_with("damaged.cif", text);
    EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
                "^" + path + ":" + message + "\n$");
  }
  // One byte of a real file flipped: the line feed after row 500 made a _,
  // which begins a tag whose value is the next row's first.
  std::ifstream real(PDB_CONVERT_MMCIF_PAIRS "/1aki.cif", std::ios::binary);
  if (!real) return;  // where the real files are at hand
  std::string text((std::istreambuf_iterator<char>(real)), {});
  std::size_t feed = text.find("\nATOM   501 ");
  ASSERT_NE(feed, std::string::npos);
  text[feed] = '_';
  std::string path = file_with("flipped.cif", text);
  EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
              "^" + path + ":" +
                  std::to_string(
                      std::count(text.begin(), text.begin() + feed, '\n') + 1) +
                  ": value without a tag\n$");
}

// text as a gzip member of one stored block with a wrong CRC: the text comes
// whole before the damage is found, at the member's end.
static std::string gzipped_with_wrong_crc(const std::string& text) {
  std::string member("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01", 11);
  std::size_t n = text.size();
  member +=
      {char(n & 0xff), char(n >> 8), char(~n & 0xff), char(~n >> 8 & 0xff)};
  member += text + std::string(4, '\0');
  return member + std::string{char(n & 0xff), char(n >> 8), 0, 0};
}

// A damaged stream's text may say anything: the damage, not what the text
// says, is what is reported.
TEST(MmcifInputDeathTest, DamagedGzipFailsAsUnreadable) {
  const std::string refused[] = {
      kLoop + "ATOM 'CA GLY A 1 . 1 2 3\n",
      kLoop + "ATOM CA GLY AB 1 . 1 2 3\n",
      kLoop + "ATOM CA GLY A 1 . 1." + std::string(70, '0') + " 2 3\n",
  };
  for (const std::string& text : refused) {
    std::string path =
        file_with("damaged.cif.gz", gzipped_with_wrong_crc(text));
    EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
                "^Could not read " + path + "\n$");
  }
}

// A file is mmCIF where its first line that is neither blank nor a comment
// begins with data_, loop_ or a tag, in any case; any other is PDB text,
// whose lines keep their numbers.
TEST(MmcifInputTest, TellsMmcifByItsFirstLine) {
  const std::string row = "ATOM CA GLY A 1 . 1 2 3\n";
  std::string body = kLoop.substr(kLoop.find('\n') + 1) + row;
  for (const std::string& text :
       {"\n# c\n  \t\nDATA_x\n" + body, "LOOP_" + body.substr(5),
        std::string(" _atom_site.group_PDB ATOM\n_atom_site.Cartn_x 1\n")}) {
    EXPECT_EQ(records_of(file_with("told.cif", text)).size(), 1u) << text;
  }
  record_input* in = open_records(
      file_with("told.pdb", "# c\n\nREMARK data_ loop_ _x\n" + row));
  std::string_view line;
  ASSERT_TRUE(read_record(in, line) && read_record(in, line));
  EXPECT_EQ(line, row.substr(0, row.size() - 1));
  EXPECT_EQ(record_line(in), 4);
  close_records(in);
}

// Reads of a regular file end every 128 KiB: a tag of 75 characters, and a
// data block's name of 66, that cross where one ends keep their kinds.
TEST(MmcifInputTest, LongTokensKeepTheirKindAcrossReads) {
  const std::size_t kRead = 128 * 1024;
  const std::string tag =
      "_pdbx_serial_crystallography_sample_delivery_injection.filter_size___";
  const std::string name = "data_" + std::string(66, 'n');
  const std::string atoms =
      kLoop.substr(kLoop.find('\n') + 1) + "ATOM CA GLY A 1 . 1 2 3\n";
  // text, and a comment that makes what follows it begin at offset.
  auto padded = [](const std::string& text, std::size_t offset) {
    return text + "#" + std::string(offset - text.size() - 2, ' ') + "\n";
  };
  const std::string texts[] = {
      padded("data_t\n", kRead - 36) + "loop_\n" + tag + "\n_x.y\n1 2\n" +
          atoms,
      padded("data_t\n" + atoms, kRead - 20) + name + "\n" + atoms,
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(records_of(file_with("across.cif", text)),
              std::vector<std::string>{
                  "ATOM      1  CA  GLY A   1       1.000   2.000   3.000"});
  }
}

// Entity ids whose hashes are equal, as any two may be, are still two, as
// many as grow the set.
TEST(MmcifInputTest, TellsEntityIdsApartByTheirBytes) {
  hash_set set;
  set.keeps_bytes = true;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(add(set, 7, std::to_string(i)));
  EXPECT_FALSE(add(set, 7, "99"));
  EXPECT_TRUE(holds(set, 7, "0"));
  EXPECT_FALSE(holds(set, 7, "100"));
}

// A record and the line it comes from.
using located = std::vector<std::pair<std::string, long>>;

static located located_records_of(const std::string& path) {
  record_input* in = open_records(path);
  located records;
  std::string_view line;
  while (read_record(in, line)) records.emplace_back(line, record_line(in));
  close_records(in);
  return records;
}

// Whether path reads as it does with its loop rows read a word at a time,
// not whole.
static void reads_alike_word_by_word(const std::string& path,
                                     const located& whole) {
  read_rows_whole(false);
  located words = located_records_of(path);
  read_rows_whole(true);
  EXPECT_EQ(words, whole) << path << " read a word at a time";
}

// Whether path reads as it does whole when each read of it gives at most
// first bytes, then each.
static bool reads_alike(const std::string& path, const located& whole,
                        std::size_t first, std::size_t each) {
  limit_text_reads(first, each);
  located split = located_records_of(path);
  limit_text_reads(0, 0);
  EXPECT_EQ(split, whole) << path << " read " << first << " bytes, then "
                          << each;
  return split == whole;
}

// Whatever falls where a read ends, the same records from the same lines:
// each hand-written file split at every byte, and read a few bytes at a
// time.
TEST(MmcifInputTest, ReadsAlikeWhereverAReadEnds) {
  std::size_t files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(PDB_CONVERT_MMCIF_FIXTURES)) {
    std::string path = entry.path().string();
    if (path.find(".cif") == std::string::npos) continue;
    ++files;
    located whole = located_records_of(path);
    reads_alike_word_by_word(path, whole);
    // A gzipped file's text is longer than the file.
    std::size_t size = entry.file_size() * (path.back() == 'z' ? 8 : 1);
    for (std::size_t first = 1; first <= size; ++first) {
      if (!reads_alike(path, whole, first, 0)) break;
    }
    for (std::size_t each : {1, 2, 3, 5, 63, 64, 65}) {
      reads_alike(path, whole, each, each);
    }
  }
  EXPECT_GE(files, 8u);
}

// The same for real files, where they are at hand: every byte is where a
// read ends when reads give one byte, and the others read a few at a time
// put ends everywhere in their tokens. Files the user may not read skip,
// saying why, as absent ones do.
TEST(MmcifInputTest, RealFilesReadAlikeWhereverAReadEnds) {
  std::size_t files = 0;
  std::string why = "no real files in " PDB_CONVERT_MMCIF_PAIRS;
  for (const char* name : {"1bna.cif", "1aki.cif", "1l2y.cif.gz"}) {
    std::string path = std::string(PDB_CONVERT_MMCIF_PAIRS) + "/" + name;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
      if (error) why = "cannot read " + path + ": " + error.message();
      continue;
    }
    ++files;
    located whole = located_records_of(path);
    reads_alike_word_by_word(path, whole);
    for (std::size_t each : {1, 2, 3, 7, 64, 65, 4099}) {
      reads_alike(path, whole, each, each);
    }
  }
  if (files == 0) GTEST_SKIP() << why;
}

// The scanner's vector classes are its plain loop's for every byte in every
// place of a window, alone among plain bytes and among spaces, which takes
// the common windows' shorter way; and so are a row's, in every place of
// 128 bytes, classified 16 to 128 at a time.
TEST(MmcifInputTest, ClassifiesEveryByteAsThePlainLoopDoes) {
  for (char fill : {'a', ' '}) {
    for (int byte = 0; byte < 256; ++byte) {
      for (int at = 0; at < 128; ++at) {
        std::string bytes(128, fill);
        bytes[at] = static_cast<char>(byte);
        if (at < 64) {
          cif_masks fast = classified(bytes.data());
          cif_masks plain = classified_plainly(bytes.data());
          ASSERT_TRUE(
              fast.blanks == plain.blanks && fast.feeds == plain.feeds &&
              fast.controls == plain.controls && fast.marked == plain.marked)
              << "byte " << byte << " at " << at << " among '" << fill << "'";
        }
        for (int chunks = 1; chunks <= 8; ++chunks) {
          cif_row_masks fast = classified_row(bytes.data(), chunks);
          cif_row_masks plain = classified_row_plainly(bytes.data(), chunks);
          ASSERT_TRUE(memcmp(&fast, &plain, sizeof fast) == 0)
              << "byte " << byte << " at " << at << " among '" << fill << "', "
              << chunks << " chunks";
        }
      }
    }
  }
}
