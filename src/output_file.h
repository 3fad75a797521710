#ifndef PDB_CONVERT_OUTPUT_FILE_H_
#define PDB_CONVERT_OUTPUT_FILE_H_

#include <time.h>

#include <cstddef>
#include <memory>
#include <string>

// The output takes converted lines in blocks of whole lines, each of at most
// this many bytes, and writes them as the output keeps them whole: to a pipe
// shared with other writers, in writes that it never interleaves with theirs.
const std::size_t kBlockSize = 64 * 1024;

// Opens outfile for a conversion whose input is still to be read. A new or
// replaceable regular file gets a new file beside it, with no name where the
// file system allows and hidden otherwise, which takes the lines as they come
// and which close_output puts into place. Any other output must not be touched
// before the input is read whole: its lines are held until open_output opens
// it. Returns false, with errno set, where the output cannot be opened, or the
// new file cannot be made (no inode or descriptor is left, say) and the output
// may not be written where it lies instead: the run is to fail before it holds
// any of the conversion.
bool start_output(const std::string& outfile);

// Takes the first size bytes of block, whole lines, as the output's next
// ones. Where the output is open they are written at once: a failure is
// remembered, for close_output to report, and a new file is emptied at once,
// so that a full disk gets its room back while the input is read on. Where it
// is not, they are held, and block is given a new buffer of kBlockSize bytes.
void put_lines(std::unique_ptr<char[]>& block, std::size_t size);

// Once the input is read whole, opens outfile where start_output left it to
// wait, or was not called. Returns false, with errno set, where it cannot be
// opened.
bool open_output(const std::string& outfile);

// Writes the lines held, closes the output and, where a new file replaces it,
// puts that in its place. Returns false where writing, closing or putting it
// in place failed: the new file is then removed and the output keeps what it
// held.
bool close_output();

// For a caller that tells an output up to date by its time: close_output
// gives the output this modification time once its last byte is written,
// and a new file before it bears the output's name, so that no stop between
// the two leaves a complete output with another time; where it cannot,
// close_output fails. Holds for every output closed after the call.
void keep_output_time(const struct timespec& modified);

#endif  // PDB_CONVERT_OUTPUT_FILE_H_
