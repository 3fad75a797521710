#ifndef PDB_CONVERT_INPUT_FILE_H_
#define PDB_CONVERT_INPUT_FILE_H_

#include <string>
#include <string_view>

// Opaque, like FILE: an open input and what is buffered of it.
struct input_file;

// Opens pdb_file for reading and recognises what it holds. Where it cannot be
// opened, prints "No file" and a line feed on stderr and exits 1 (as today);
// where it holds a format that is not read, prints that message and exits 1.
input_file* open_input(const std::string& pdb_file);

// Sets line to the next line of the (decompressed) text, without its line
// feed (a CR before it stays in the line); the view stays valid until the
// next call. Returns false at the end of the input. A read error, or a damaged
// compressed stream, prints "Could not read <pdb_file>" and a line feed on
// stderr and exits 1 -- but a partial line read before a read error is first
// returned as a line, as getline does. Throws std::bad_alloc when a line will
// not fit in memory (main turns that into "Out of memory").
bool read_line(input_file* in, std::string_view& line);

void close_input(input_file* in);

#endif  // PDB_CONVERT_INPUT_FILE_H_
