#include "file_names.h"

#include <gtest/gtest.h>

#include <cstring>  // glibc's C basename, which must not be the one called
#include <string>
#include <type_traits>
#include <utility>

static_assert(std::is_same_v<decltype(basename(std::declval<std::string>())),
                             std::string>,
              "a std::string argument must reach the module's basename");

struct path_case {
  const char* path;
  const char* base;
  const char* file_name;
};

TEST(FileNamesTest, LastComponentAfterEitherSeparator) {
  const path_case cases[] = {
      {"1abc.pdb", "1abc.pdb", "1abc.p"},
      {"/data/pdb/1abc.pdb", "1abc.pdb", "1abc.p"},
      {"C:\\pdb\\1abc.pdb", "1abc.pdb", "1abc.p"},
      {"a\\b/c.pdb", "c.pdb", "c.p"},
      {"a/b\\c.pdb", "c.pdb", "c.p"},
      {"dir/ab", "ab", ""},
      {"abc", "abc", "a"},
      {"./.x", ".x", ""},
      {"dir/ x ", " x ", " "},
  };
  for (const path_case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(basename(std::string(c.path)), c.base);
    EXPECT_EQ(get_file_name(std::string(c.path)), c.file_name);
  }
}

TEST(FileNamesDeathTest, UnusablePathsExit) {
  for (const char* path : {"", "dir/", "dir\\", "/"}) {
    SCOPED_TRACE(path);
    EXPECT_EXIT(basename(std::string(path)), testing::ExitedWithCode(1),
                "^invalid input file name\n$");
    EXPECT_EXIT(get_file_name(std::string(path)), testing::ExitedWithCode(1),
                "^invalid input file name\n$");
  }
}

TEST(FileNamesDeathTest, OneCharacterBaseHasNoFileName) {
  EXPECT_EQ(basename(std::string("dir/x")), "x");
  EXPECT_EXIT(get_file_name(std::string("dir/x")), testing::ExitedWithCode(1),
              "^invalid input file name\n$");
}
