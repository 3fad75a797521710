#ifndef PDB_CONVERT_OUTPUT_FILE_H_
#define PDB_CONVERT_OUTPUT_FILE_H_

#include <cstdio>
#include <string>

// Opens a stream for writing outfile, in place of fopen(outfile, "w"). A new
// or replaceable regular file is written to a new, hidden file beside it,
// which close_output renames into place, and target is set (to outfile);
// any other output is written where it is, or through the inherited
// descriptor it names, and target is left empty. Returns nullptr, with errno
// set, where outfile cannot be opened.
FILE* open_output(const std::string& outfile, std::string& target);

// As open_output, but only for an output that is written to a new file and
// renamed into place by close_output: any other output (written in place or
// through an inherited descriptor) is not opened, target is left empty and
// nullptr is returned; so is a failure to create the new file (the caller
// then opens the output with open_output once the input is read, and reports
// a failure there).
FILE* open_replacing_output(const std::string& outfile, std::string& target);

// Empties the new file that open_replacing_output opened, where one is open,
// after a write to it failed: the run is to fail, and a full disk gets the
// file's space back at once while the input is still read. close_output
// then fails.
void empty_new_file();

// Closes out and, where target is set, puts the new file in the output's
// place. Returns 0, or EOF where writing, closing or putting it in place
// failed; the new file is then removed and the output keeps what it held.
int close_output(FILE* out, const std::string& target);

#endif  // PDB_CONVERT_OUTPUT_FILE_H_
