#include "string_functions.h"

#include <gtest/gtest.h>

#include <string>

TEST(TrimmedTest, RemovesBlanksAtBothEndsOnly) {
  EXPECT_EQ(trimmed(" \t CA A\r\n", kBlankChars), "CA A");
  EXPECT_EQ(trimmed("HD21", kBlankChars), "HD21");
  EXPECT_EQ(trimmed(std::string("\0CA ", 4), kBlankChars),
            std::string("\0CA", 3));
}

TEST(TrimmedTest, EmptyOrAllBlankGivesEmpty) {
  EXPECT_EQ(trimmed("", kBlankChars), "");
  EXPECT_EQ(trimmed(" \t\r\n ", kBlankChars), "");
  EXPECT_EQ(ltrimmed(" \r", kBlankChars), "");
  EXPECT_EQ(rtrimmed("\t\n", kBlankChars), "");
}

TEST(TrimmedTest, EmptySetKeepsText) {
  EXPECT_EQ(trimmed(" a ", ""), " a ");
  EXPECT_EQ(ltrimmed(" a ", ""), " a ");
  EXPECT_EQ(rtrimmed(" a ", ""), " a ");
}

TEST(TrimmedTest, LeftAndRightTrimOneEnd) {
  EXPECT_EQ(ltrimmed("  N  ", kBlankChars), "N  ");
  EXPECT_EQ(rtrimmed("  N  ", kBlankChars), "  N");
  EXPECT_EQ(trimmed("xxOxx", "x"), "O");
}

TEST(TrimmedTest, TrimsAFieldWhereItLies) {
  std::string line = "ATOM      1  CA  GLY A   1";
  EXPECT_EQ(trimmed(line.data() + 12, line.data() + 17, kBlankChars), "CA");
  EXPECT_EQ(trimmed(line.data() + 4, line.data() + 6, kBlankChars), "");
}
