#ifndef PDB_CONVERT_TESTS_SCRATCH_H_
#define PDB_CONVERT_TESTS_SCRATCH_H_

#include <string>

// The unit tests' files live in a directory of the run's own, made under
// TMPDIR (or /tmp) before the first test and removed with all it holds after
// the last: runs by different users, one after another or at once, never
// meet each other's files, and a run leaves nothing behind.

// The path of name in that directory; the directory's own path, with its
// final slash, for an empty name.
std::string scratch_path(const std::string& name);

// Writes bytes to scratch_path(name), replacing any file there, and returns
// its path; a write that fails fails the test.
std::string file_with(const std::string& name, const std::string& bytes);

#endif  // PDB_CONVERT_TESTS_SCRATCH_H_
