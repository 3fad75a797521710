#include "pdb_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "scratch.h"

TEST(ReadProteinTest, CutsFieldsByColumn) {
  std::vector<atom> atoms;
  read_protein(
      file_with("fields.pdb",
                "REMARK   1\n"
                "ATOM  12345 1HD2 ASN B-123    -100.25   2.5e1    3.14159  "
                "1.00  0.00           H\n"
                "HETATM   99  1HZ LYS    42 x    1.000   2.000   3.000\r\n"),
      atoms);
  ASSERT_EQ(atoms.size(), 2u);
  const atom& a = atoms[0];
  EXPECT_EQ(a.serial, 12345);
  EXPECT_EQ(a.name, "HD21");
  EXPECT_EQ(a.residue_name, "ASN");
  EXPECT_EQ(a.chain, "B");
  EXPECT_EQ(a.residue_number, -123);
  EXPECT_DOUBLE_EQ(a.coords[0], -100.25);
  EXPECT_DOUBLE_EQ(a.coords[1], 25.0);
  EXPECT_DOUBLE_EQ(a.coords[2], 3.141);  // column 54 ends the field
  EXPECT_EQ(a.record_type, kAtomRecord);
  // HETATM names pass the renaming table too; column 27 is not read.
  EXPECT_EQ(atoms[1].name, "HZ1");
  EXPECT_EQ(atoms[1].chain, "");
  EXPECT_EQ(atoms[1].residue_number, 42);
  EXPECT_EQ(atoms[1].record_type, kHetatmRecord);
}

TEST(ReadProteinTest, AppendsWithoutClearing) {
  std::vector<atom> atoms;
  atoms.emplace_back(1, "N", 1, std::array<double, 3>{}, "GLY", "", 1);
  read_protein(file_with("append.pdb",
                         "ATOM      2  CA  GLY     1       0.000   0.000   "
                         "0.000\n"),
               atoms);
  ASSERT_EQ(atoms.size(), 2u);
  EXPECT_EQ(atoms[0].name, "N");
  EXPECT_EQ(atoms[1].name, "CA");
}

TEST(ReadProteinTest, AlternateLocationJoinsName) {
  std::vector<atom> atoms;
  read_protein(
      file_with("altloc.pdb",
                "ATOM      1  CA AGLY A   1       1.000   2.000\n"
                "ATOM      2  HG  SER A   2       1.000   2.000  -3\n"),
      atoms);
  ASSERT_EQ(atoms.size(), 2u);
  EXPECT_EQ(atoms[0].name, "CA A");
  EXPECT_EQ(atoms[0].coords[2], 0.0);  // a line of 46: z is empty
  EXPECT_EQ(atoms[1].name, "H");
  EXPECT_EQ(atoms[1].coords[2], -3.0);
}

TEST(ReadProteinDeathTest, MissingFile) {
  std::vector<atom> atoms;
  EXPECT_EXIT(read_protein(scratch_path("no/such.pdb"), atoms),
              testing::ExitedWithCode(1), "^No file\n$");
}

TEST(ReadProteinDeathTest, ShortRecordNamesFileAndLine) {
  std::vector<atom> atoms;
  std::string path =
      file_with("short.pdb",
                "HEADER\n"
                "ATOM      1  N   GLY A   1       0.000   0.000"
                "   0.000\n"
                "HETATM    2  O   HOH     1       0.000   0.00\n");
  EXPECT_EXIT(
      read_protein(path, atoms), testing::ExitedWithCode(1),
      "^" + path + ":3: coordinate record shorter than 46 characters\n$");
}

TEST(ReadProteinDeathTest, DirectoryIsUnreadable) {
  std::vector<atom> atoms;
  EXPECT_EXIT(read_protein(scratch_path(""), atoms), testing::ExitedWithCode(1),
              "^Could not read " + scratch_path("") + "\n$");
}

// Many records, so the first write that fails comes before the close.
TEST(WritePdbDeathTest, FullDeviceFailsAfterProgressLine) {
  std::vector<atom> atoms(100000, atom(1, "CA", 1, {1, 2, 3}, "GLY", "A", 1));
  EXPECT_EXIT(write_pdb("/dev/full", atoms), testing::ExitedWithCode(1),
              "^Writing data to /dev/full\nCould not write /dev/full\n$");
}

// The message itself goes to standard output, which the test cannot see; the
// command-line cases check its bytes.
TEST(WritePdbDeathTest, UnopenableOutput) {
  std::vector<atom> atoms;
  EXPECT_EXIT(write_pdb(scratch_path("no/such/out.pdb"), atoms),
              testing::ExitedWithCode(1), "^$");
}

static std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines are handed to the output in blocks of 64 KiB: one that fills a block
// to its last byte, and one longer than a block, as only fields longer than a
// record's make, are written whole among the others.
TEST(WritePdbTest, LinesAtTheEndsOfBlocksAreWhole) {
  const std::array<double, 3> coords = {1.5, -2.25, 3.125};
  std::vector<atom> atoms;
  std::string expected;
  auto add = [&](const std::string& name) {
    atoms.emplace_back(1, name, 7, coords, "GLY", "A", kAtomRecord);
    std::string padded =
        name + std::string(3 - std::min<size_t>(name.size(), 3), ' ');
    expected +=
        "ATOM      1  " + padded + " GLY A   7       1.500  -2.250   3.125\n";
  };
  // 1190 lines of 55 bytes, then one of 86: 65536 in all.
  for (int i = 0; i < 1190; ++i) add("CA");
  add(std::string(34, 'X'));
  add(std::string(70000, 'Y'));
  add("N");
  write_pdb(scratch_path("block_ends.pdb"), atoms);
  EXPECT_TRUE(contents(scratch_path("block_ends.pdb")) == expected);
}

// convert_pdb writes a record's line from its text by the program's own code,
// with shortcuts for fields that print as they stand; write_pdb prints the
// records read with the output layout's templates. The shortcuts tell bytes
// apart only as NUL, other control characters, blank, the characters the
// renamed names begin with, and the rest, so every name field, residue name
// and chain made of these bytes covers them all.
TEST(ConvertPdbTest, WritesWhatTheTemplatesPrint) {
  const std::string bytes("\0\t 12HDGE\x80", 10);
  std::string text;
  auto add_line = [&](const std::string& name, const std::string& residue,
                      char chain) {
    text += "ATOM  12345 " + name + residue + " " + chain +
            " -12       1.500  -2.250   3.125\n";
  };
  std::string name(5, ' ');
  for (int i = 0; i < 100000; ++i) {
    for (int k = 0, n = i; k < 5; ++k, n /= 10) name[k] = bytes[n % 10];
    add_line(name, "GLY", 'A');
  }
  std::string residue(3, ' ');
  for (int i = 0; i < 10000; ++i) {
    for (int k = 0, n = i; k < 3; ++k, n /= 10) residue[k] = bytes[n % 10];
    add_line(" CA  ", residue, bytes[i / 1000]);
  }
  std::string input = file_with("every_field.pdb", text);
  std::vector<atom> atoms;
  read_protein(input, atoms);
  write_pdb(scratch_path("templates.pdb"), atoms);
  convert_pdb(input, scratch_path("converted.pdb"));
  EXPECT_TRUE(contents(scratch_path("converted.pdb")) ==
              contents(scratch_path("templates.pdb")));
}
