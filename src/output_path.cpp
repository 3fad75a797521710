#include "output_path.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

// As many links as the kernel follows in one path.
static const int kMaxLinks = 40;

// Which of the descriptors below tracked_descriptors were open when the
// program started, before it opened any of its own.
static const int kMaxTrackedDescriptors = 1024;
static bool open_at_start[kMaxTrackedDescriptors];
static int tracked_descriptors = 0;

void note_inherited_descriptors() {
  struct rlimit limit;
  int count = kMaxTrackedDescriptors;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < rlim_t(count)) {
    count = limit.rlim_cur;
  }
  // One call for them all: a descriptor that is not open comes back POLLNVAL.
  static struct pollfd descriptors[kMaxTrackedDescriptors];
  for (int fd = 0; fd < count; ++fd) {
    descriptors[fd].fd = fd;
    descriptors[fd].events = 0;
  }
  if (poll(descriptors, count, 0) < 0) return;
  for (int fd = 0; fd < count; ++fd) {
    open_at_start[fd] = (descriptors[fd].revents & POLLNVAL) == 0;
  }
  tracked_descriptors = count;
}

void close_descriptor(int& fd) {
  if (fd < 0) return;
  int error = errno;
  close(fd);
  errno = error;
  fd = -1;
}

void release(examined_output& found, output_kind kind) {
  close_descriptor(found.directory);
  if (kind != kDescriptor) close_descriptor(found.fd);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Splits path into its directory part, with its last slash, and its last
// component.
static void split_path(const std::string& path, std::string& directory,
                       std::string& name) {
  std::string::size_type slash = path.rfind('/');
  std::string::size_type start = slash == std::string::npos ? 0 : slash + 1;
  directory = path.substr(0, start);
  name = path.substr(start);
}

// A name a file may be made under: not empty, nor . or ..
static bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != "..";
}

// A directory is opened only to reach the files in it, which needs no
// permission to read it: O_PATH, or macOS's O_SEARCH. A system with neither
// needs that permission.
#if defined(O_PATH)
static const int kReachOnly = O_PATH | O_DIRECTORY;
#elif defined(O_SEARCH)
static const int kReachOnly = O_SEARCH | O_DIRECTORY;
#else
static const int kReachOnly = O_RDONLY | O_DIRECTORY;
#endif

// Opens the directory path, relative to base, in pieces shorter than
// PATH_MAX, so that a longer path is not refused. Returns a descriptor that
// reaches it, or -1 with errno set.
static int open_directory(int base, const std::string& path) {
  int directory = base;
  std::string::size_type from = 0;
  do {
    // "a//b" is "a/b": a piece after the first must not start at the root.
    while (from > 0 && from < path.size() && path[from] == '/') ++from;
    std::string::size_type end = path.size();
    if (end - from >= PATH_MAX) {
      end = path.rfind('/', from + PATH_MAX - 2);
      if (end == std::string::npos || end < from) {
        if (directory != base) close_descriptor(directory);
        errno = ENAMETOOLONG;
        return -1;
      }
      ++end;
    }
    std::string piece = end > from ? path.substr(from, end - from) : ".";
    int next = openat(directory, piece.c_str(), kReachOnly | O_CLOEXEC);
    if (directory != base) close_descriptor(directory);
    if (next < 0) return -1;
    directory = next;
    from = end;
  } while (from < path.size());
  return directory;
}

// The descriptor that path names as /dev/fd/N, /proc/self/fd/N or
// /proc/<this process's id>/fd/N, or as /dev/stdin, /dev/stdout or
// /dev/stderr; -1 where it names none.
static int descriptor_in_path(const std::string& path) {
  static const char* const kStandard[] = {"/dev/stdin", "/dev/stdout",
                                          "/dev/stderr"};
  for (int fd = 0; fd < 3; ++fd) {
    if (path == kStandard[fd]) return fd;
  }
  const std::string prefixes[] = {"/dev/fd/", "/proc/self/fd/",
                                  "/proc/thread-self/fd/",
                                  "/proc/" + std::to_string(getpid()) + "/fd/"};
  for (const std::string& prefix : prefixes) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    std::string number = path.substr(prefix.size());
    if (number.empty() || number.size() > 9 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    return atoi(number.c_str());
  }
  return -1;
}

// A descriptor the caller gave the program: one open when it started. Past
// those tracked, one open now is the caller's: the program's own take the
// lowest numbers that were free.
static bool inherited(int fd) {
  if (fd < tracked_descriptors) return open_at_start[fd];
  return fcntl(fd, F_GETFD) != -1;
}

// Where path names a descriptor, whether that one was inherited; errno is
// set where it was not.
static bool names_inherited_descriptor(const std::string& path) {
  int fd = descriptor_in_path(path);
  if (fd < 0 || inherited(fd)) return true;
  errno = EBADF;
  return false;
}

// Whether a descriptor with these flags only reaches its file: an O_PATH one
// cannot write whatever its access mode says. macOS's O_SEARCH has the
// access mode O_RDONLY.
static bool reaches_only(int flags) {
#ifdef O_PATH
  return (flags & O_PATH) != 0;
#else
  (void)flags;
  return false;
#endif
}

static bool open_for_writing(int fd, const struct stat& file) {
  int flags = fcntl(fd, F_GETFL);
  struct stat status;
  return flags != -1 && !reaches_only(flags) &&
         (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &status) == 0 &&
         same_file(status, file);
}

// The inherited descriptor, open for writing, that outfile names: standard
// output or error by any path to their file, any other as /dev/fd/N or
// /proc/self/fd/N. Opening the path anew would truncate the file that
// descriptor was opened on, even with >>; the descriptor itself keeps the
// redirection's offset and mode. -1 when there is none.
static int inherited_descriptor(const std::string& outfile,
                                const struct stat& file) {
  const int candidates[] = {descriptor_in_path(outfile), STDOUT_FILENO,
                            STDERR_FILENO};
  for (int fd : candidates) {
    if (fd >= 0 && inherited(fd) && open_for_writing(fd, file)) return fd;
  }
  return -1;
}

// Moves directory and name to where the link they name leads.
static bool follow_link(int& directory, std::string& name) {
  char text[PATH_MAX];
  ssize_t length = readlinkat(directory, name.c_str(), text, sizeof text);
  if (length < 0) return false;
  if (length == sizeof text) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (!names_inherited_descriptor(std::string(text, length))) return false;
  std::string link_directory;
  split_path(std::string(text, length), link_directory, name);
  if (!plain_name(name)) {
    errno = EISDIR;
    return false;
  }
  int next = open_directory(directory, link_directory);
  if (next < 0) return false;
  close_descriptor(directory);
  directory = next;
  return true;
}

// Follows the symbolic links of found's name to the file they end at, as the
// kernel would, so that the new file is made and renamed beside that file,
// and a link stays a link. A dangling link ends at a missing file. Returns
// false, with errno set, where a link cannot be followed.
static bool follow_links(examined_output& found) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    found.exists = fstatat(found.directory, found.name.c_str(), &found.status,
                           AT_SYMLINK_NOFOLLOW) == 0;
    if (!found.exists) return errno == ENOENT;
    if (!S_ISLNK(found.status.st_mode)) return true;
    if (!follow_link(found.directory, found.name)) return false;
  }
  errno = ELOOP;
  return false;
}

// Opens found, a regular file, for writing without truncating it, and checks
// that it is the file examined. Returns kReplace, kInPlace (a file of more
// than one link), kChanged or kFailed.
static output_kind open_existing(examined_output& found) {
  found.fd = openat(found.directory, found.name.c_str(),
                    O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (found.fd < 0) {
    return errno == ENOENT || errno == ELOOP ? kChanged : kFailed;
  }
  struct stat status;
  if (fstat(found.fd, &status) != 0) return kFailed;
  if (!same_file(status, found.status)) return kChanged;
  found.status = status;
  return status.st_nlink == 1 ? kReplace : kInPlace;
}

// Whether directory lets no file in it be renamed or removed: it is
// append-only or immutable (chattr +a, +i; on macOS and BSD, chflags uappnd,
// sappnd, uchg, schg). A new file made there could neither replace the output
// nor be removed.
static bool keeps_its_files(int directory) {
#ifdef STATX_ATTR_APPEND
  struct statx status;
  return statx(directory, "", AT_EMPTY_PATH, 0, &status) == 0 &&
         (status.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) !=
             0;
#else
  struct stat status;
  return fstat(directory, &status) == 0 &&
         (status.st_flags &
          (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) != 0;
#endif
}

output_kind examine(const std::string& outfile, examined_output& found) {
  // As the shell refuses echo > /dev/fd/3 with no 3> given: the program's own
  // descriptor there may well be its input.
  if (!names_inherited_descriptor(outfile)) return kFailed;
  std::string directory_part;
  split_path(outfile, directory_part, found.name);
  found.directory = open_directory(AT_FDCWD, directory_part);
  if (found.directory < 0) return kByPath;
  // The file the path leads to as the kernel follows it: the file examined.
  struct stat examined;
  bool exists = fstatat(found.directory, found.name.c_str(), &examined, 0) == 0;
  if (exists) found.fd = inherited_descriptor(outfile, examined);
  if (found.fd >= 0) return kDescriptor;
  if ((!exists && errno != ENOENT) || (exists && !S_ISREG(examined.st_mode)) ||
      !plain_name(found.name)) {
    return kByPath;
  }
  if (!follow_links(found)) return kFailed;
  // The links were followed one at a time; any of them may have changed
  // meanwhile, and the file found must be the file examined.
  if (found.exists != exists ||
      (exists && !same_file(found.status, examined))) {
    return kChanged;
  }
  if (!exists) return keeps_its_files(found.directory) ? kCreateHere : kCreate;
  output_kind kind = open_existing(found);
  return kind == kReplace && keeps_its_files(found.directory) ? kInPlace : kind;
}
