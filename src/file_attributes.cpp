#include "file_attributes.h"

#include <unistd.h>

#include <cerrno>

// macOS keeps ACLs apart from extended attributes, and fcopyfile, in
// copyfile.h, copies both; elsewhere POSIX ACLs are extended attributes,
// copied one by one.
#if __has_include(<copyfile.h>)
#include <copyfile.h>
#else
#include <sys/xattr.h>

#include <cstring>
#include <vector>
#endif

#if __has_include(<copyfile.h>)
// Gives to the extended attributes and the ACL of from, as fcopyfile copies
// them.
static bool copy_attributes(int from, int to) {
  return fcopyfile(from, to, nullptr, COPYFILE_XATTR | COPYFILE_ACL) == 0;
}
#else
// Fills data with what fetch(buffer, size) gives: fetch returns the size
// needed when given none, as flistxattr and fgetxattr do, and ERANGE where
// the data grew since. Returns false, with errno set, where it fails.
template <typename Fetch>
static bool fetched(Fetch fetch, std::vector<char>& data) {
  for (;;) {
    ssize_t size = fetch(nullptr, 0);
    if (size < 0) return false;
    data.resize(size);
    if (size == 0) return true;
    size = fetch(data.data(), data.size());
    if (size >= 0) {
      data.resize(size);
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// The names of fd's extended attributes, each ending in a NUL; none where the
// file system has none.
static bool attribute_names(int fd, std::vector<char>& names) {
  if (fetched([fd](char* list,
                   std::size_t size) { return flistxattr(fd, list, size); },
              names)) {
    return true;
  }
  names.clear();
  return errno == ENOTSUP;
}

static bool attribute_value(int fd, const char* name,
                            std::vector<char>& value) {
  return fetched(
      [fd, name](char* data, std::size_t size) {
        return fgetxattr(fd, name, data, size);
      },
      value);
}

static bool has_name(const std::vector<char>& names, const char* name) {
  for (std::size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
    if (strcmp(&names[at], name) == 0) return true;
  }
  return false;
}

// Gives to exactly the extended attributes of from: POSIX ACLs are among
// them (system.posix_acl_access), so every user and group keeps the access
// it had. One the new file already has with the same value, such as the
// label a security module gave it, is left alone; one it has that from
// lacks, such as an ACL from the directory's default, is removed.
static bool copy_attributes(int from, int to) {
  std::vector<char> names, own_names, value, own_value;
  if (!attribute_names(from, names) || !attribute_names(to, own_names)) {
    return false;
  }
  for (std::size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
    const char* name = &names[at];
    if (!attribute_value(from, name, value)) return false;
    if (has_name(own_names, name) && attribute_value(to, name, own_value) &&
        own_value == value) {
      continue;
    }
    if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
  }
  for (std::size_t at = 0; at < own_names.size();
       at += strlen(&own_names[at]) + 1) {
    const char* name = &own_names[at];
    if (!has_name(names, name) && fremovexattr(to, name) != 0) return false;
  }
  return true;
}
#endif

bool take_attributes(int fd, int replaced_fd, const struct stat& replaced) {
  struct stat created;
  if (fstat(fd, &created) != 0) return false;
  if ((created.st_uid != replaced.st_uid ||
       created.st_gid != replaced.st_gid) &&
      fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    // An owner that a user namespace cannot map (a rootless container's
    // file of an outside user) may not be given, as another user's may not.
    if (errno == EINVAL) errno = EPERM;
    return false;
  }
  if (!copy_attributes(replaced_fd, fd)) return false;
  // fchown and setting an ACL can clear the set-user-ID and set-group-ID
  // bits, and fchown the file capabilities: the mode comes last, the
  // capabilities with the other attributes after the owner.
  return fchmod(fd, replaced.st_mode & 07777) == 0;
}
