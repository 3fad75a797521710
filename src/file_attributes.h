#ifndef PDB_CONVERT_FILE_ATTRIBUTES_H_
#define PDB_CONVERT_FILE_ATTRIBUTES_H_

#include <sys/stat.h>

// Gives fd, a new file, the owner, group, extended attributes (POSIX ACLs and
// file capabilities among them) and permission bits, set-id bits included, of
// replaced, the file open on replaced_fd that it is to replace; to be called
// once fd is written, since a write clears the set-id bits and capabilities.
// Returns false, with errno set, where any cannot be given; EPERM or EACCES
// where the user may not give them.
bool take_attributes(int fd, int replaced_fd, const struct stat& replaced);

#endif  // PDB_CONVERT_FILE_ATTRIBUTES_H_
