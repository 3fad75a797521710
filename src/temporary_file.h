#ifndef PDB_CONVERT_TEMPORARY_FILE_H_
#define PDB_CONVERT_TEMPORARY_FILE_H_

#include <signal.h>
#include <sys/types.h>

#include <string>

// The life of the new file that replaces an output: made beside it, renamed
// over it, or removed, by a run's end or by any signal that ends the process,
// a crash on an exhausted stack among them. One such file at a time.

// Creates the new file in directory, with mode (less the umask, or as the
// directory's default ACL says): with no name where the file system can make
// one so, and otherwise hidden and named after output_name, recorded to be
// removed should the process end before it is renamed. Returns a descriptor
// open for reading and writing, or -1 with errno set.
int create_temporary(int directory, const std::string& output_name,
                     mode_t mode);

// Renames the new file, open on fd, to name in its directory: over the file
// there where replace is set, and otherwise only where no file is there.
// Returns 0 or the error.
int rename_temporary(int fd, const std::string& name, bool replace);

// Removes the new file, if it is still there.
void remove_temporary();

// Holds off every signal that can be held off, those the C library keeps for
// itself among them; restore_signals puts back the mask this returns.
sigset_t block_signals();
void restore_signals(const sigset_t& previous);

#endif  // PDB_CONVERT_TEMPORARY_FILE_H_
