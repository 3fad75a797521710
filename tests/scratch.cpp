#include "scratch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

static std::string scratch_directory;

// Set up by the run itself, not by a test: a death test's child process
// shares the directory and never removes it.
class scratch_environment : public testing::Environment {
 public:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::string name = std::string(base) + "/pdb_convert-tests.XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
      fprintf(stderr, "Could not make a scratch directory %s: %s\n",
              name.c_str(), strerror(errno));
      exit(2);
    }
    scratch_directory = name + "/";
  }

  void TearDown() override {
    std::error_code error;
    std::filesystem::remove_all(scratch_directory, error);
    if (error) {
      fprintf(stderr, "Could not remove %s: %s\n", scratch_directory.c_str(),
              error.message().c_str());
    }
  }
};

static testing::Environment* const kScratch =
    testing::AddGlobalTestEnvironment(new scratch_environment);

std::string scratch_path(const std::string& name) {
  return scratch_directory + name;
}

std::string file_with(const std::string& name, const std::string& bytes) {
  std::string path = scratch_path(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) ADD_FAILURE() << "could not write " << path;
  return path;
}
