#ifndef PDB_CONVERT_FILE_ATTRIBUTES_H_
#define PDB_CONVERT_FILE_ATTRIBUTES_H_

#include <sys/stat.h>

// Gives fd, a new file, the owner, group, extended attributes (POSIX ACLs
// among them) and permission bits of replaced, the file open on replaced_fd
// that it is to replace. Returns false, with errno set, where any cannot be
// given.
bool take_attributes(int fd, int replaced_fd, const struct stat& replaced);

#endif  // PDB_CONVERT_FILE_ATTRIBUTES_H_
