#ifndef PDB_CONVERT_OUTPUT_PATH_H_
#define PDB_CONVERT_OUTPUT_PATH_H_

#include <sys/stat.h>

#include <string>

// How an output is written, as examine finds it.
enum output_kind {
  kFailed,      // it cannot be opened; errno says why
  kDescriptor,  // through an inherited descriptor
  kByPath,      // in place, opened by its path as given
  kInPlace,     // in place, through the descriptor examine opened
  kReplace,     // a new file renamed over the existing one
  kCreate,      // a new file renamed to the missing one's name
  kCreateHere,  // the missing one made where it lies, in a directory whose
                // files may not be renamed or removed
  kChanged,     // it changed while examined: look again
};

// An output as examine finds it: the directory its name is in, open, that
// name, whether a file is there, that file's status, and a descriptor: the
// inherited one to write through (kDescriptor), or the file itself open for
// writing (kInPlace, kReplace).
struct examined_output {
  int directory = -1;
  std::string name;
  bool exists = false;
  struct stat status;
  int fd = -1;
};

// Finds how outfile is to be written, and where: the file its path leads to,
// with its symbolic links followed by hand and its directories opened in
// pieces, or the inherited descriptor it reaches, however it is spelled. A
// descriptor reached that was not inherited makes it an output that cannot
// be opened.
output_kind examine(const std::string& outfile, examined_output& found);

// Closes what examine opened, but an inherited descriptor.
void release(examined_output& found, output_kind kind);

// Closes fd, if open, keeping errno, and marks it closed.
void close_descriptor(int& fd);

bool same_file(const struct stat& a, const struct stat& b);

#endif  // PDB_CONVERT_OUTPUT_PATH_H_
