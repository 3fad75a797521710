#include "mmcif_input.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
      {"ATOM CA GLYX A 1 . 1 2 3\n", "12: residue name \"GLYX\""},
      {"ATOM CA123 GLY A 1 . 1 2 3\n", "12: atom name \"CA123\""},
      {"ATOM CA GLY A 1 AB 1 2 3\n", "12: alternate location \"AB\""},
      {"ATOM CA GLY A 10000 . 1 2 3\n", "12: residue number \"10000\""},
      {"ATOM CA GLY A -1000 . 1 2 3\n", "12: residue number \"-1000\""},
      {"ATOM CA GLY A 1 . 1\n2 123456.7 3\n", "13: coordinate \"123456.7\""},
      {"ATOM CA GLY A 1 . 1 2 -99999.9996\n", "12: coordinate \"-99999.9996\""},
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
  // What a number cut short prints cannot be known.
  std::string path = file_with("long.cif", kLoop + "ATOM CA GLY A 1 . 1." +
                                               std::string(70, '0') + " 2 3\n");
  EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
              "^" + path + ":12: coordinate \"1\\." + std::string(62, '0') +
                  "\\.\\.\\.\" is longer than 64 characters\n$");
}

TEST(MmcifInputTest, HetatmRowsAreNeverRefused) {
  std::vector<std::string> records = records_of(file_with(
      "ligand.cif", kLoop + "HETATM C1LONG LIGAND XY 12345 AB 123456.7 2 3\n"
                            "ATOM CA GLY A 1 . 1 2 3\n"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].compare(0, 6, "HETATM"), 0);
  EXPECT_EQ(records[1],
            "ATOM      2  CA  GLY A   1       1.000   2.000   3.000");
}

// Values where a scan ends otherwise than at a blank: at the end of the
// input, before a CRLF line end, and absent after a row that had them.
TEST(MmcifInputTest, ReadsValuesAtTheEdges) {
  const std::string six_items =
      "_atom_site.group_PDB\n_atom_site.label_atom_id\n"
      "_atom_site.label_comp_id\n_atom_site.label_asym_id\n"
      "_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"data_x\r\n_atom_site.group_PDB ATOM\r\n_atom_site.label_comp_id\r\n"
       ";ALA\r\n;\r\n_atom_site.Cartn_x 1",
       {"ATOM      1      ALA             1.000   0.000   0.000"}},
      {"data_x\nloop_\n" + six_items + "ATOM N ALA A 1 2 3\nATOM N ALA . 4 5 6",
       {"ATOM      1  N   ALA A           1.000   2.000   3.000",
        "ATOM      2  N   ALA             4.000   5.000   6.000"}},
      {"data_x\nloop_\n" + six_items +
           "ATOM N ALA A 1 2 3\nHETATM ZN ZN A 1 2 3",
       {"ATOM      1  N   ALA A           1.000   2.000   3.000",
        "HETATM    2  ZN   ZN A           1.000   2.000   3.000"}},
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
      {"data_test\nloop_\n1 2\n", "3: loop_ without tags"},
  };
  for (const auto& [text, message] : damaged) {
    std::string path = file_with("damaged.cif", text);
    EXPECT_EXIT(records_of(path), testing::ExitedWithCode(1),
                "^" + path + ":" + message + "\n$");
  }
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
