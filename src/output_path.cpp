#include "output_path.h"

#include <fcntl.h>
#include <unistd.h>
#if __has_include(<linux/magic.h>)
#include <linux/magic.h>
#include <sys/statfs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

// As many links as the kernel follows in one path.
static const int kMaxLinks = 40;

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

// A descriptor the caller gave the program: one open when it started,
// whatever its number. exec closed every descriptor marked close-on-exec, so
// that each the caller gave is unmarked, and the program marks each it opens
// itself (O_CLOEXEC, F_DUPFD_CLOEXEC): one unmarked is the caller's, whenever
// it is asked, with no list of them made at the start (reading /proc/self/fd
// cost a tenth of a small file's run).
static bool inherited(int fd) {
  int flags = fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) == 0;
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

static bool open_for_writing(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && !reaches_only(flags) && (flags & O_ACCMODE) != O_RDONLY;
}

// Standard output or error where they are open for writing on file, the file
// outfile leads to by whatever path: opening it anew would truncate it, even
// with >>; the descriptor itself keeps the redirection's offset and mode. -1
// when it is neither. The file is compared first: it is seldom either, and
// then one call for each stream is enough.
static int standard_stream(const struct stat& file) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat status;
    if (fstat(fd, &status) == 0 && same_file(status, file) && inherited(fd) &&
        open_for_writing(fd)) {
      return fd;
    }
  }
  return -1;
}

// Whether the entry of directory named after descriptor fd leads to
// directory itself.
static bool leads_back(int directory, int fd) {
  struct stat own, reached;
  return fstat(directory, &own) == 0 &&
         fstatat(directory, std::to_string(fd).c_str(), &reached, 0) == 0 &&
         same_file(own, reached);
}

// Whether directory is this process's table of descriptors, however its path
// reached it: /dev/fd, /proc/self/fd, /proc/<pid>/task/<tid>/fd, a link to
// one of them. Known by what it shows, not by its name: Linux's proc file
// system shows each descriptor open on directory as an entry leading to it.
// Another process's table shows such entries where that process holds its
// own table open by the same numbers; only this process's shows a new
// descriptor come and go. macOS's /dev/fd, which shows only this process's,
// is known by what it shows alone.
static bool is_own_descriptor_table(int directory) {
#ifdef PROC_SUPER_MAGIC
  struct statfs file_system;
  if (fstatfs(directory, &file_system) != 0 ||
      file_system.f_type != PROC_SUPER_MAGIC) {
    return false;
  }
#endif
  if (!leads_back(directory, directory)) return false;
  int probe = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  // With no descriptor left to open, the first must do.
  if (probe < 0) return true;
  bool shown = leads_back(directory, probe);
  close(probe);
  return shown && !leads_back(directory, probe);
}

// The descriptor that an entry of a table of descriptors is named after; -1
// for any other name.
static int descriptor_named(const std::string& name) {
  if (name.empty() || name.size() > 9 ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  return atoi(name.c_str());
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

// Where following a path's links by hand ends.
enum path_end {
  kAtFile,           // found names a file that is no link, or a missing one
  kAtDescriptor,     // a descriptor the caller gave, open for writing: found.fd
  kAtOwnDescriptor,  // a descriptor the caller did not give, or none
  kNotFollowed,      // a link could not be followed; errno says why
};

// Follows the symbolic links of found's name to the file they end at, as the
// kernel would, so that the new file is made and renamed beside that file,
// and a link stays a link. A dangling link ends at a missing file. Where the
// way enters this process's table of descriptors, the descriptor named there
// is the output: written through where the caller gave it open for writing,
// refused where the caller did not give it (the program's own, its input's
// among them), and where it is open only for reading, the file it is open on,
// followed on as its link says.
static path_end follow_links(examined_output& found) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    int fd = descriptor_named(found.name);
    if (fd >= 0 && is_own_descriptor_table(found.directory)) {
      if (!inherited(fd)) return kAtOwnDescriptor;
      if (open_for_writing(fd)) {
        found.fd = fd;
        return kAtDescriptor;
      }
    }
    found.exists = fstatat(found.directory, found.name.c_str(), &found.status,
                           AT_SYMLINK_NOFOLLOW) == 0;
    if (!found.exists) return errno == ENOENT ? kAtFile : kNotFollowed;
    if (!S_ISLNK(found.status.st_mode)) return kAtFile;
    if (!follow_link(found.directory, found.name)) return kNotFollowed;
  }
  errno = ELOOP;
  return kNotFollowed;
}

// Opens found, a regular file, for writing without truncating it, and checks
// that it is the file examined. It is opened as the shell's > opens a file,
// with O_CREAT, so that the kernel's rules for files in sticky directories
// (fs.protected_regular) refuse another user's file planted there, as they
// refuse it to the shell; a file the program would replace it with would
// otherwise be handed to that user. Should the file go just before it is
// opened, an empty one takes its place, as the shell's > would leave. Returns
// kReplace, kInPlace (a file of more than one link), kChanged or kFailed.
static output_kind open_existing(examined_output& found) {
  found.fd =
      openat(found.directory, found.name.c_str(),
             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
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
  std::string directory_part;
  split_path(outfile, directory_part, found.name);
  bool plain = plain_name(found.name);
  found.directory = open_directory(AT_FDCWD, directory_part);
  if (found.directory < 0) return kFailed;
  // The file the path leads to as the kernel follows it: the file examined.
  struct stat examined;
  bool exists = fstatat(found.directory, found.name.c_str(), &examined, 0) == 0;
  int error = errno;
  path_end end = follow_links(found);
  if (end == kAtDescriptor) return kDescriptor;
  // As the shell refuses echo > /dev/fd/3 with no 3> given: the program's own
  // descriptor there may well be its input.
  if (end == kAtOwnDescriptor) {
    errno = EBADF;
    return kFailed;
  }
  if (exists) found.fd = standard_stream(examined);
  if (found.fd >= 0) return kDescriptor;
  if ((!exists && error != ENOENT) || (exists && !S_ISREG(examined.st_mode)) ||
      !plain) {
    return kByPath;
  }
  if (end == kNotFollowed) return kFailed;
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
