#ifndef PDB_CONVERT_OUTPUT_FILE_H_
#define PDB_CONVERT_OUTPUT_FILE_H_

#include <cstdio>
#include <string>

// Opens a stream for writing outfile, in place of fopen(outfile, "w"). A new
// or replaceable regular file is written to a new, hidden file beside it, and
// target is set to the name that file takes on close_output; any other output
// is written where it is, and target is left empty. Returns nullptr, with
// errno set, where outfile cannot be opened.
FILE* open_output(const std::string& outfile, std::string& target);

// Closes out and, where target is set, renames the new file to it. Returns 0,
// or EOF where writing, closing or renaming failed; the new file is then
// removed and target keeps what it held.
int close_output(FILE* out, const std::string& target);

#endif  // PDB_CONVERT_OUTPUT_FILE_H_
