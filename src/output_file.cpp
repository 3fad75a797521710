#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// A regular output file is not written where it lies: the records go to a new
// file beside it, renamed over it once every byte is written and closed, so
// that a run that fails or is killed leaves the output as it was (and the
// input, when both are one file). Where a rename would break what callers
// rely on, the output is written in place:
//  - a path that is not a regular file: a device, a FIFO, a terminal;
//  - a file with more than one hard link, since every name must show the
//    result;
//  - a file whose owner, group or extended attributes (POSIX ACLs among them)
//    the new file could not take on;
//  - a file in a directory where no file may be created, but which may itself
//    be written;
//  - a file that may not be renamed over (a mount point), which gets the
//    complete result copied over it.
// A file the process already holds open for writing on an inherited
// descriptor is written through that descriptor, so that an appending
// redirection (>>) appends.
//
// Everything is done relative to a descriptor of the output's directory, so
// that no length of path and no unreachable working directory sends the
// output back in place, and the rename lands in the directory examined
// whatever is renamed meanwhile.

// The new file's name: hidden, beside the output and named after it, so that
// one a killed run leaves behind is easy to recognise and remove.
static const char kTemporaryPrefix[] = ".";
static const char kTemporarySuffix[] = ".pdb_convert-";
static const int kRandomCharacters = 6;
static const std::size_t kMaxNameInTemporary =
    NAME_MAX - (sizeof kTemporaryPrefix - 1) - (sizeof kTemporarySuffix - 1) -
    kRandomCharacters;

// As many links as the kernel follows in one path.
static const int kMaxLinks = 40;
// How often the output is looked at again when it changed while examined.
static const int kMaxLooks = 8;
static const int kMaxCreateTries = 100;

// The signals whose default action ends the process, besides the real-time
// ones; SIGKILL cannot be caught.
static const int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
    SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
    SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The new file while it is written: its directory and name, set before the
// file exists and cleared once it is renamed or removed, read by the signal
// handler and at exit to remove it. A handler can reach nothing else, hence
// globals.
static int temporary_dir = -1;
static char temporary_name[NAME_MAX + 1];

// How the output is written, as examine finds it.
enum output_kind {
  kFailed,      // it cannot be opened; errno says why
  kDescriptor,  // through an inherited descriptor
  kByPath,      // in place, opened by its path as given
  kInPlace,     // in place, through the descriptor examine opened
  kReplace,     // a new file renamed over the existing one
  kCreate,      // a new file renamed to the missing one's name
  kChanged,     // it changed while examined: look again
};

// An output as examine finds it: the directory its name is in, open, that
// name, whether a file is there, that file's status, and a descriptor: the
// inherited one to write through (kDescriptor), or the file itself open for
// writing (kInPlace, kReplace).
struct examined_output {
  int directory = -1;
  std::string name;
  bool exists = false;
  struct stat status;
  int fd = -1;
};

// The output being replaced, whose directory is temporary_dir, and a second
// descriptor on the new file, to copy it or change its attributes once the
// stream is closed.
static examined_output output;
static int temporary_fd = -1;

static void remove_temporary() {
  if (temporary_name[0] == '\0') return;
  unlinkat(temporary_dir, temporary_name, 0);
  temporary_name[0] = '\0';
}

// Installed with SA_RESETHAND: the raised signal then ends the process as it
// would have without the handler, so callers see the status they expect.
static void remove_temporary_and_reraise(int signal_number) {
  remove_temporary();
  raise(signal_number);
}

// Holds off every signal while the new file's name and its existence may
// disagree, so that the handler never removes a file that is not ours.
static sigset_t block_signals() {
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  return previous;
}

static void restore_signals(const sigset_t& previous) {
  int error = errno;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
}

// Only over the default action: a signal the caller chose to ignore stays
// ignored, and a handler already there (a sanitizer's) is kept. One call
// swaps the handler in; a second, rarely needed, puts back what was there.
static void install_over_default(int signal_number,
                                 const struct sigaction& action) {
  struct sigaction previous;
  if (sigaction(signal_number, &action, &previous) == 0 &&
      ((previous.sa_flags & SA_SIGINFO) != 0 ||
       previous.sa_handler != SIG_DFL)) {
    sigaction(signal_number, &previous, nullptr);
  }
}

static bool install_cleanup() {
  atexit(remove_temporary);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = remove_temporary_and_reraise;
  action.sa_flags = SA_RESETHAND;
  sigfillset(&action.sa_mask);
  // Held off, so that no signal meets the handler before the caller's
  // action is put back.
  sigset_t previous = block_signals();
  for (int signal_number : kEndingSignals) {
    install_over_default(signal_number, action);
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX;
       ++signal_number) {
    install_over_default(signal_number, action);
  }
  restore_signals(previous);
  return true;
}

static void close_descriptor(int& fd) {
  if (fd < 0) return;
  int error = errno;
  close(fd);
  errno = error;
  fd = -1;
}

// Closes what examine opened, but an inherited descriptor.
static void release(examined_output& found, output_kind kind) {
  close_descriptor(found.directory);
  if (kind != kDescriptor) close_descriptor(found.fd);
}

static bool same_file(const struct stat& a, const struct stat& b) {
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

// Opens the directory path, relative to base, in pieces shorter than
// PATH_MAX, so that a longer path is not refused. Returns an O_PATH
// descriptor, or -1 with errno set.
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
    int next =
        openat(directory, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory != base) close_descriptor(directory);
    if (next < 0) return -1;
    directory = next;
    from = end;
  } while (from < path.size());
  return directory;
}

// The descriptor number that /dev/fd/N or /proc/self/fd/N names, or -1.
static int descriptor_in_path(const std::string& path) {
  static const char* const kPrefixes[] = {"/dev/fd/", "/proc/self/fd/",
                                          "/proc/thread-self/fd/"};
  for (const char* prefix : kPrefixes) {
    std::string::size_type length = strlen(prefix);
    if (path.compare(0, length, prefix) != 0) continue;
    std::string number = path.substr(length);
    if (number.empty() || number.size() > 9 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    return atoi(number.c_str());
  }
  return -1;
}

static bool open_for_writing(int fd, const struct stat& file) {
  int flags = fcntl(fd, F_GETFL);
  struct stat status;
  return flags != -1 && (flags & O_PATH) == 0 &&
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
    if (fd >= 0 && open_for_writing(fd, file)) return fd;
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

// Finds how outfile is to be written, and where.
static output_kind examine(const std::string& outfile, examined_output& found) {
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
  return exists ? open_existing(found) : kCreate;
}

// Six characters for a new file's name; uniqueness rests on O_EXCL, so they
// need only vary.
static void random_characters(char* out) {
  static const char kCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long long state = 0;
  if (state == 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    state = ((unsigned long long)now.tv_sec << 30) ^
            ((unsigned long long)now.tv_nsec << 10) ^
            (unsigned long long)getpid() ^ 1;
  }
  for (int i = 0; i < kRandomCharacters; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    out[i] = kCharacters[state % (sizeof kCharacters - 1)];
  }
  out[kRandomCharacters] = '\0';
}

// Creates the new file beside the output, in temporary_dir, with mode 0666
// so that the kernel applies the umask or the directory's default ACL, as for
// any new file. Its name is recorded before it exists, with signals held off
// meanwhile, so that no moment leaves it behind unrecorded. Returns the
// descriptor, or -1 with errno set.
static int create_temporary(const std::string& output_name) {
  std::string name = kTemporaryPrefix +
                     output_name.substr(0, kMaxNameInTemporary) +
                     kTemporarySuffix;
  sigset_t previous = block_signals();
  int fd = -1;
  for (int tries = 0; tries < kMaxCreateTries; ++tries) {
    memcpy(temporary_name, name.c_str(), name.size());
    random_characters(temporary_name + name.size());
    fd = openat(temporary_dir, temporary_name,
                O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) temporary_name[0] = '\0';
  restore_signals(previous);
  return fd;
}

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

// Gives the new file the owner, group, extended attributes and permission
// bits of the file it replaces. Returns false where any cannot be given.
static bool take_attributes(int fd, const examined_output& replaced) {
  struct stat created;
  if (fstat(fd, &created) != 0) return false;
  if ((created.st_uid != replaced.status.st_uid ||
       created.st_gid != replaced.status.st_gid) &&
      fchown(fd, replaced.status.st_uid, replaced.status.st_gid) != 0) {
    return false;
  }
  if (!copy_attributes(replaced.fd, fd)) return false;
  // fchown and setting an ACL can clear the set-user-ID and set-group-ID
  // bits: the mode comes last.
  return fchmod(fd, replaced.status.st_mode & 07777) == 0;
}

// Removes the new file, if it is still there, and closes what the output
// held open.
static void discard_temporary() {
  sigset_t previous = block_signals();
  remove_temporary();
  restore_signals(previous);
  release(output, kReplace);
  temporary_dir = -1;
  close_descriptor(temporary_fd);
}

// Truncates the regular file fd, as fopen's "w" would, and opens a stream
// on it.
static FILE* truncated(int fd) {
  FILE* out = ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) close_descriptor(fd);
  return out;
}

static FILE* stream_on(int fd) {
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) close_descriptor(fd);
  return out;
}

// Only a refusal for want of permission sends the output back in place: a
// full disk or an I/O error must not bring back the overwrite.
static bool may_write_in_place(int error) {
  return error == EACCES || error == EPERM;
}

// A stream on a new file for found, of kind kReplace or kCreate, which
// becomes the output being replaced. Returns nullptr, with found left to the
// caller, where the new file cannot be made or cannot take on the replaced
// file's attributes; in_place then says whether found may be written in
// place instead.
static FILE* open_temporary(examined_output& found, output_kind kind,
                            bool& in_place) {
  static const bool kCleanupInstalled = install_cleanup();
  (void)kCleanupInstalled;
  temporary_dir = found.directory;
  int fd = create_temporary(found.name);
  if (fd < 0) {
    in_place = kind == kReplace && may_write_in_place(errno);
    temporary_dir = -1;
    return nullptr;
  }
  bool taken = kind == kCreate || take_attributes(fd, found);
  in_place = kind == kReplace && !taken;
  temporary_fd = taken ? dup(fd) : -1;
  FILE* out = temporary_fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    close(fd);
    close_descriptor(temporary_fd);
    sigset_t previous = block_signals();
    remove_temporary();
    restore_signals(previous);
    temporary_dir = -1;
    return nullptr;
  }
  output = found;
  return out;
}

// open_output, or, where replacing_only, open_replacing_output.
static FILE* open_examined(const std::string& outfile, std::string& target,
                           bool replacing_only) {
  // A file-size limit then fails a write, as a full disk does, instead of
  // killing the process with no word.
  signal(SIGXFSZ, SIG_IGN);
  target.clear();
  for (int look = 0; look < kMaxLooks; ++look) {
    examined_output found;
    output_kind kind = examine(outfile, found);
    if (kind == kChanged) {
      release(found, kind);
      continue;
    }
    FILE* out = nullptr;
    bool in_place = false;
    if (kind == kReplace || kind == kCreate) {
      out = open_temporary(found, kind, in_place);
      if (out != nullptr) {
        target = outfile;
        return out;
      }
    }
    if (replacing_only) {
      release(found, kind);
      return nullptr;
    }
    if (kind == kByPath) out = fopen(outfile.c_str(), "w");
    if (kind == kDescriptor) out = stream_on(dup(found.fd));
    if (kind == kInPlace || in_place) {
      out = truncated(found.fd);
      found.fd = -1;
    }
    int error = errno;
    release(found, kind);
    errno = error;
    return out;
  }
  errno = EAGAIN;
  return nullptr;
}

FILE* open_replacing_output(const std::string& outfile, std::string& target) {
  return open_examined(outfile, target, true);
}

FILE* open_output(const std::string& outfile, std::string& target) {
  return open_examined(outfile, target, false);
}

// Whether the output's name still holds the file examined, or still none.
static bool still_examined() {
  struct stat status;
  if (fstatat(temporary_dir, output.name.c_str(), &status,
              AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && !output.exists;
  }
  return output.exists && same_file(status, output.status);
}

static bool same_directory(int a, int b) {
  struct stat first, second;
  return fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
         same_file(first, second);
}

// Looks at outfile again once its name no longer holds the file examined.
// The result goes only to an output that is again one to replace or create
// in the same directory, given the attributes of the file it now replaces;
// anything else fails the run rather than put the result where no one looked.
// Returns whether the output may be looked at once more.
static bool examine_again(const std::string& outfile) {
  examined_output found;
  output_kind kind = examine(outfile, found);
  bool taken = (kind == kReplace || kind == kCreate) &&
               same_directory(found.directory, temporary_dir) &&
               (kind == kCreate || take_attributes(temporary_fd, found));
  if (taken) {
    close_descriptor(output.fd);
    std::swap(output.fd, found.fd);
    output.name = found.name;
    output.exists = found.exists;
    output.status = found.status;
  }
  release(found, kind);
  return taken || kind == kChanged;
}

// Renames the new file to the output's name: over the file examined, or, for
// a new output, only where no file has appeared meanwhile. Returns 0 or the
// error.
static int rename_temporary() {
  sigset_t previous = block_signals();
  int status;
  if (output.exists) {
    status = renameat(temporary_dir, temporary_name, temporary_dir,
                      output.name.c_str());
  } else {
    status = renameat2(temporary_dir, temporary_name, temporary_dir,
                       output.name.c_str(), RENAME_NOREPLACE);
    // A file system that cannot promise it.
    if (status != 0 && errno == EINVAL) {
      status = renameat(temporary_dir, temporary_name, temporary_dir,
                        output.name.c_str());
    }
  }
  int error = status == 0 ? 0 : errno;
  if (status == 0) temporary_name[0] = '\0';
  restore_signals(previous);
  return error;
}

static bool write_all(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

// Copies the complete new file over the output, in place, for an output that
// may not be renamed over: a mount point, or a file in a directory that
// forbids it.
static bool copy_over() {
  if (output.fd < 0 || ftruncate(output.fd, 0) != 0 ||
      lseek(temporary_fd, 0, SEEK_SET) != 0) {
    return false;
  }
  std::vector<char> buffer(64 * 1024);
  ssize_t got;
  while ((got = read(temporary_fd, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || !write_all(output.fd, buffer.data(), got)) return false;
  }
  int fd = output.fd;
  output.fd = -1;
  return close(fd) == 0;
}

// Puts the complete new file in the output's place, checking first that the
// name still holds the file examined.
static bool put_in_place(const std::string& outfile) {
  for (int look = 0; look < kMaxLooks; ++look) {
    if (!still_examined()) {
      if (!examine_again(outfile)) return false;
      continue;
    }
    int error = rename_temporary();
    if (error == 0) return true;
    if (error == EEXIST) continue;
    if (error == EBUSY || error == EPERM || error == EACCES) return copy_over();
    return false;
  }
  return false;
}

int close_output(FILE* out, const std::string& target) {
  int status = fclose(out);
  if (target.empty()) return status;
  bool done = status == 0 && put_in_place(target);
  discard_temporary();
  return done ? 0 : EOF;
}
