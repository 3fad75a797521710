#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

// A regular output file is not written where it lies: the records go to a new
// file beside it, renamed over it once every byte is written and closed, so
// that a run that fails or is killed leaves the output as it was (and the
// input, when both are one file). Where a rename would break what callers
// rely on, the output is written in place, as fopen would:
//  - a path that is not a regular file: a device, a FIFO, a terminal;
//  - a file with more than one hard link, since every name must show the
//    result;
//  - a file whose owner and group the new file could not take on;
//  - a file in a directory where no file may be created, but which may itself
//    be written.
// The file already open as standard output is written through that
// descriptor, so that an appending redirection (>>) appends.

// The new file's name: hidden, beside the output and named after it, so that
// one a killed run leaves behind is easy to recognise and remove.
static const char kTemporaryPrefix[] = ".";
static const char kTemporarySuffix[] = ".pdb_convert-XXXXXX";
static const std::size_t kMaxNameInTemporary =
    NAME_MAX - (sizeof kTemporaryPrefix - 1) - (sizeof kTemporarySuffix - 1);

// The signals that end a run, after which the new file must not be left.
static const int kCleanupSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM,
                                      SIGPIPE};

// The path of the new file while it is written: set before the file exists,
// cleared once it is renamed or removed, and read by the signal handler and
// at exit to remove it. A handler can reach nothing else, hence a global.
static char temporary[PATH_MAX];

static void remove_temporary() {
  if (temporary[0] == '\0') return;
  unlink(temporary);
  temporary[0] = '\0';
}

// Installed with SA_RESETHAND: the raised signal then ends the process as it
// would have without the handler, so callers see the status they expect.
static void remove_temporary_and_reraise(int signal_number) {
  remove_temporary();
  raise(signal_number);
}

// A signal the caller chose to ignore stays ignored.
static bool install_cleanup() {
  atexit(remove_temporary);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = remove_temporary_and_reraise;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kCleanupSignals) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) == 0 &&
        previous.sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  }
  return true;
}

static bool is_standard_output(const struct stat& file) {
  struct stat output;
  return fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == file.st_dev &&
         output.st_ino == file.st_ino;
}

// Opening /dev/stdout anew would truncate the file that standard output is
// redirected to, even with >>; its own descriptor keeps the redirection's
// offset and mode.
static FILE* open_standard_output() {
  int fd = dup(STDOUT_FILENO);
  if (fd < 0) return nullptr;
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) close(fd);
  return out;
}

// Whether the existing file outfile may be replaced by renaming; if so, sets
// target to the file's own path, through any symbolic links, so that a link
// stays a link.
static bool replaceable(const std::string& outfile, const struct stat& file,
                        std::string& target) {
  if (!S_ISREG(file.st_mode) || file.st_nlink != 1) return false;
  // Renaming would replace a file the process may not write; fopen refuses.
  if (faccessat(AT_FDCWD, outfile.c_str(), W_OK, AT_EACCESS) != 0) {
    return false;
  }
  char* resolved = realpath(outfile.c_str(), nullptr);
  if (resolved == nullptr) return false;
  target = resolved;
  free(resolved);
  return true;
}

// Whether the missing file outfile may be created by renaming. A dangling
// symbolic link is left to fopen, which creates the file it leads to.
static bool creatable(const std::string& outfile) {
  struct stat link;
  return !outfile.empty() && outfile.back() != '/' &&
         lstat(outfile.c_str(), &link) != 0;
}

// Creates the new file beside target. Its path is recorded before the file
// exists, with the cleanup signals held off meanwhile, so that no moment
// leaves it behind unrecorded. Returns the descriptor, or -1 with errno set.
static int create_temporary(const std::string& target) {
  std::string::size_type slash = target.rfind('/');
  std::string::size_type name = slash == std::string::npos ? 0 : slash + 1;
  std::string path = target.substr(0, name) + kTemporaryPrefix +
                     target.substr(name, kMaxNameInTemporary) +
                     kTemporarySuffix;
  if (path.size() >= sizeof temporary) {
    errno = ENAMETOOLONG;
    return -1;
  }
  sigset_t signals, previous;
  sigemptyset(&signals);
  for (int signal_number : kCleanupSignals) sigaddset(&signals, signal_number);
  sigprocmask(SIG_BLOCK, &signals, &previous);
  memcpy(temporary, path.c_str(), path.size() + 1);
  int fd = mkstemp(temporary);
  int error = errno;
  if (fd < 0) temporary[0] = '\0';
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return fd;
}

// Gives the new file what the output would have had: the permission bits,
// owner and group of the file it replaces, or those of a new file. Returns
// false where it cannot.
static bool take_permissions(int fd, const struct stat* replaced) {
  if (replaced == nullptr) {
    mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask) == 0;
  }
  struct stat created;
  if (fstat(fd, &created) != 0) return false;
  if ((created.st_uid != replaced->st_uid ||
       created.st_gid != replaced->st_gid) &&
      fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
    return false;
  }
  // fchown clears the set-user-ID and set-group-ID bits: the mode comes after.
  return fchmod(fd, replaced->st_mode & 07777) == 0;
}

// Only a refusal for want of permission sends the output back in place: a
// full disk or an I/O error must not bring back the overwrite.
static bool may_write_in_place(int error) {
  return error == EACCES || error == EPERM || error == EROFS ||
         error == ENAMETOOLONG;
}

// A stream on a new file that close_output will rename to target, the path
// of outfile's file; replaced is that file's status, or nullptr for a new one.
static FILE* open_replacement(const std::string& outfile,
                              const struct stat* replaced,
                              std::string& target) {
  static const bool kCleanupInstalled = install_cleanup();
  (void)kCleanupInstalled;
  int fd = create_temporary(target);
  if (fd < 0) {
    target.clear();
    return may_write_in_place(errno) ? fopen(outfile.c_str(), "w") : nullptr;
  }
  FILE* out = take_permissions(fd, replaced) ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    close(fd);
    remove_temporary();
    target.clear();
    return fopen(outfile.c_str(), "w");
  }
  return out;
}

FILE* open_output(const std::string& outfile, std::string& target) {
  // A file-size limit then fails a write, as a full disk does, instead of
  // killing the process with no word.
  signal(SIGXFSZ, SIG_IGN);
  target.clear();
  struct stat file;
  if (stat(outfile.c_str(), &file) == 0) {
    if (is_standard_output(file)) return open_standard_output();
    if (replaceable(outfile, file, target)) {
      return open_replacement(outfile, &file, target);
    }
  } else if (errno == ENOENT && creatable(outfile)) {
    target = outfile;
    return open_replacement(outfile, nullptr, target);
  }
  return fopen(outfile.c_str(), "w");
}

int close_output(FILE* out, const std::string& target) {
  int status = fclose(out);
  if (target.empty()) return status;
  if (status != 0 || rename(temporary, target.c_str()) != 0) {
    remove_temporary();
    return EOF;
  }
  temporary[0] = '\0';
  return 0;
}
