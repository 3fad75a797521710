#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "file_attributes.h"
#include "output_path.h"
#include "temporary_file.h"

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
//  - a file in a directory whose files may not be renamed or removed
//    (append-only), where a new output is also made where it lies;
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

// How often the output is looked at again when it changed while examined.
static const int kMaxLooks = 8;

// The new file that replaces a file is made owner-only, and so never open to
// more users than the file it replaces, while it is given that file's owner,
// attributes and mode. A new output replaces none: it is made with what the
// shell's > gives, 0666 less the umask or the directory's default ACL, so
// that the kernel sets either as for any new file.
static const mode_t kReplacingMode = S_IRUSR | S_IWUSR;
static const mode_t kCreatingMode = 0666;

// The output being replaced, in whose directory the new file is, and a second
// descriptor on the new file, to copy it or change its attributes once the
// stream is closed.
static examined_output output;
static int temporary_fd = -1;
// Whether the new file is already known to fail the run, as a failed write
// does, whatever is written to it.
static bool output_failed = false;

// Removes the new file, if it is still there, and closes what the output
// held open.
static void discard_temporary() {
  remove_temporary();
  release(output, kReplace);
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
// caller, where the new file cannot be made or may not take on the replaced
// file's attributes; in_place then says whether found may be written in
// place instead.
static FILE* open_temporary(examined_output& found, output_kind kind,
                            bool& in_place) {
  int fd = create_temporary(found.directory, found.name,
                            kind == kReplace ? kReplacingMode : kCreatingMode);
  if (fd < 0) {
    in_place = kind == kReplace && may_write_in_place(errno);
    return nullptr;
  }
  bool taken = kind == kCreate || take_attributes(fd, found.fd, found.status);
  in_place = !taken && may_write_in_place(errno);
  temporary_fd = in_place ? -1 : dup(fd);
  FILE* out = temporary_fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    close(fd);
    close_descriptor(temporary_fd);
    remove_temporary();
    return nullptr;
  }
  // Any other failure to give them, a full disk or an I/O error, fails the
  // run as a failed write does, and the output keeps its bytes.
  output_failed = !taken;
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
    if (kind == kCreateHere) {
      out = stream_on(openat(found.directory, found.name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                             kCreatingMode));
      // A file was made there since it was examined.
      if (out == nullptr && errno == EEXIST) {
        release(found, kind);
        continue;
      }
    }
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
  if (fstatat(output.directory, output.name.c_str(), &status,
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

// Gives the new file the attributes of found, the file it now replaces,
// made owner-only first: that file may be more private than the one the new
// file took after before.
static bool retake_attributes(const examined_output& found) {
  return fchmod(temporary_fd, kReplacingMode) == 0 &&
         take_attributes(temporary_fd, found.fd, found.status);
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
               same_directory(found.directory, output.directory) &&
               (kind == kCreate || retake_attributes(found));
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

static bool written_at(int fd, const char* bytes, std::size_t size,
                       off_t offset) {
  while (size > 0) {
    ssize_t written = pwrite(fd, bytes, size, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= written;
    offset += written;
  }
  return true;
}

// Copies the bytes of the new file from offset from to offset to over the
// output's, at the same offsets.
static bool copied_range(off_t from, off_t to) {
  std::vector<char> buffer(64 * 1024);
  while (from < to) {
    std::size_t size = std::min<off_t>(buffer.size(), to - from);
    ssize_t got = pread(temporary_fd, buffer.data(), size, from);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !written_at(output.fd, buffer.data(), got, from)) {
      return false;
    }
    from += got;
  }
  return true;
}

// Reserves room in the output for size bytes where it holds old_size, without
// changing its size; false, with errno set, where it cannot, and EOPNOTSUPP
// where its file system cannot reserve room at all. macOS reserves room past
// the blocks a file has, with fcntl's F_PREALLOCATE, all of it or none.
static bool reserve(off_t old_size, off_t size) {
#ifdef FALLOC_FL_KEEP_SIZE
  (void)old_size;
  return fallocate(output.fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0;
#else
  if (size <= old_size) return true;
  fstore_t room = {F_ALLOCATEALL, F_PEOFPOSMODE, 0, size - old_size, 0};
  if (fcntl(output.fd, F_PREALLOCATE, &room) != -1) return true;
  if (errno == ENOTSUP || errno == EINVAL) errno = EOPNOTSUPP;
  return false;
#endif
}

// The new file's size bytes copied over the output's old_size. The space for
// them is reserved first, so that a full disk fails the run before the old
// bytes are touched. A file system that cannot reserve space gets the part
// past the old end first, the only part that needs new space where a file
// system writes in place, cut off again where that fails.
static bool copied_over(off_t old_size, off_t size) {
  bool reserved = size == 0 || reserve(old_size, size);
  if (!reserved && errno != EOPNOTSUPP && errno != ENOSYS) {
    // What was reserved before the disk was full.
    ftruncate(output.fd, old_size);
    return false;
  }
  off_t first = reserved ? 0 : std::min(old_size, size);
  if (!copied_range(first, size)) {
    if (!reserved) ftruncate(output.fd, old_size);
    return false;
  }
  return copied_range(0, first) && ftruncate(output.fd, size) == 0;
}

// Copies the complete new file over the output, in place, for an output that
// may not be renamed over: a mount point, or a file in a directory that
// forbids it. Signals are held off meanwhile, so that the output holds its
// old bytes or the whole result, never part of it; only SIGKILL can stop the
// copy.
static bool copy_over() {
  struct stat old, result;
  if (output.fd < 0 || fstat(output.fd, &old) != 0 ||
      fstat(temporary_fd, &result) != 0) {
    return false;
  }
  sigset_t previous = block_signals();
  bool copied = copied_over(old.st_size, result.st_size);
  restore_signals(previous);
  if (!copied) return false;
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
    int error = rename_temporary(output.name, output.exists);
    if (error == 0) return true;
    if (error == EEXIST) continue;
    if (error == EBUSY || error == EPERM || error == EACCES) return copy_over();
    return false;
  }
  return false;
}

void empty_new_file() {
  if (temporary_fd >= 0) ftruncate(temporary_fd, 0);
  output_failed = true;
}

int close_output(FILE* out, const std::string& target) {
  int status = fclose(out);
  if (target.empty()) return status;
  bool done = status == 0 && !output_failed && put_in_place(target);
  discard_temporary();
  return done ? 0 : EOF;
}
