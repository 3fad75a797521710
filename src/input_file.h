#ifndef PDB_CONVERT_INPUT_FILE_H_
#define PDB_CONVERT_INPUT_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

// Opaque, like FILE: an open input and what is buffered of it.
struct input_file;

// Opens pdb_file for reading and recognises what it holds. Where it cannot be
// opened, prints "No file" and a line feed on stderr and exits 1 (as today);
// where it holds a format that is not read, prints that message and exits 1.
input_file* open_input(const std::string& pdb_file);

// For a reader of inputs that are no files of their own (a tar member held in
// memory): the next open_input of name reads fd, open and at the text's
// start, rather than opening name, so that messages name the input as its
// reader knows it. The input closes fd.
void read_descriptor_as(int fd, const std::string& name);

// Sets line to the next line of the (decompressed) text, without its line
// feed (a CR before it stays in the line); the view stays valid until the
// next call. A line longer than the buffer, 128 KiB, is cut to its first KiB:
// the rest is skipped as it is read, so that no line needs more memory.
// Returns false at the end of the input. A read error, or a damaged
// compressed stream, prints "Could not read <pdb_file>" and a line feed on
// stderr and exits 1, and the line it cut short is not returned.
bool read_line(input_file* in, std::string_view& line);

// The start of the next line, without reading it: up to its line feed, or as
// much of it as the buffer holds; empty at the end of the input.
std::string_view peek_line(input_file* in);

// For a reader of bytes rather than lines: sets text to the next bytes of the
// text, as many as are buffered, and counts them as read; the view stays
// valid until the next call. Returns false, and fails, as read_line does.
bool read_text(input_file* in, std::string_view& text);

// For tests: read_text gives at most first bytes the first time, and each
// bytes every time after, in the inputs opened after the call (0: as many as
// are buffered), so that a reader of bytes meets its text cut anywhere.
void limit_text_reads(std::size_t first, std::size_t each);

// To be called before a refusal of what the text says. Where the input is
// compressed, reads the rest of it, and where the stream is damaged fails as
// read_line does: a damaged stream's text may say anything, and the damage,
// not what its text says, is what is wrong with the file. Any other input is
// left as it is.
void fail_if_damaged(input_file* in);

void close_input(input_file* in);

#endif  // PDB_CONVERT_INPUT_FILE_H_
