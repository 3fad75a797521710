#include "atom.h"

#include <gtest/gtest.h>

TEST(AtomTest, HoldsEveryFieldInOrder) {
  atom a(7, "HD21", -3, {1.5, -2.25, 1e4}, "ASN", "B", kHetatmRecord);
  EXPECT_EQ(a.serial, 7);
  EXPECT_EQ(a.name, "HD21");
  EXPECT_EQ(a.residue_number, -3);
  EXPECT_EQ(a.coords[0], 1.5);
  EXPECT_EQ(a.coords[1], -2.25);
  EXPECT_EQ(a.coords[2], 1e4);
  EXPECT_EQ(a.residue_name, "ASN");
  EXPECT_EQ(a.chain, "B");
  EXPECT_EQ(a.record_type, 2);
}

TEST(AtomTest, CopyIsIndependent) {
  atom a(1, "", 0, {0, 0, 0}, "", "", kAtomRecord);
  atom b = a;
  b.name = "CA";
  b.residue_name = "GLY";
  b.chain = "A";
  b.coords[0] = 9;
  EXPECT_EQ(a.name, "");
  EXPECT_EQ(a.residue_name, "");
  EXPECT_EQ(a.chain, "");
  EXPECT_EQ(a.coords[0], 0);
}
