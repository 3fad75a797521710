#ifndef PDB_CONVERT_MMCIF_INPUT_H_
#define PDB_CONVERT_MMCIF_INPUT_H_

#include <string>
#include <string_view>

// Opaque: an input read as the lines of a PDB file, whichever format it
// holds. PDB text gives its own lines. mmCIF, told by its first line that is
// neither blank nor a # comment beginning with data_, loop_ or _, gives for
// each _atom_site row of its first data block that has them the coordinate
// record that the PDB archive writes for that row.
struct record_input;

// Opens pdb_file, with open_input's messages and refusals.
record_input* open_records(const std::string& pdb_file);

// Sets line to the next line, valid until the next call; returns false at
// the end. An mmCIF row that is written (ATOM) and whose values do not fit
// the PDB columns, and damaged mmCIF, print "<pdb_file>:<line>: ..." on
// stderr and exit 1.
bool read_record(record_input* in, std::string_view& line);

// The number of the input line that the last line came from: for mmCIF, the
// line its row begins on.
long record_line(const record_input* in);

// Whether every ATOM record that in gives holds its serial number and its
// x, y and z each in the form "%5d" and "%8.3f" print for its own value: the
// records made from mmCIF rows do; PDB lines are not vouched for.
bool numbers_printed(const record_input* in);

// As fail_if_damaged of input_file.h, for the input in reads.
void fail_if_damaged(record_input* in);

void close_records(record_input* in);

#endif  // PDB_CONVERT_MMCIF_INPUT_H_
