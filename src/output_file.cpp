#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<linux/magic.h>)
#include <linux/magic.h>
#include <sys/statfs.h>
#else
#include <sys/mount.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
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
//  - a file in a directory where no file may be created, but which may itself
//    be written;
//  - a file in a directory whose files may not be renamed or removed
//    (append-only), where a new output is also made where it lies;
//  - a file that may not be renamed over (a mount point), or whose owner,
//    group or extended attributes (POSIX ACLs among them) the new file may
//    not take on, which gets the complete result copied over it.
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

// The new file that replaces a file is made owner-only, and stays so while it
// is written: it never lets in more users than the file it replaces. It gets
// that file's owner, attributes and mode only once it is written whole, since
// a write clears the set-id bits and file capabilities. A new output
// replaces none: it is made with what the shell's > gives, 0666 less the
// umask or the directory's default ACL, so that the kernel sets either as for
// any new file.
static const mode_t kReplacingMode = S_IRUSR | S_IWUSR;
static const mode_t kCreatingMode = 0666;

// The output while it is written: the descriptor written, whether that is a
// pipe's, and whether a write to it failed.
static int out_fd = -1;
static bool to_pipe = false;
static bool write_failed = false;
// Lines held until the output may be touched: blocks, and the bytes of each
// that are lines.
static std::vector<std::pair<std::unique_ptr<char[]>, std::size_t>> held;
// Where a new file replaces the output, the output's path, looked at again
// before the rename; empty where the output is written where it lies.
static std::string target;
// The output being replaced, in whose directory the new file is, and a second
// descriptor on the new file, to give it attributes or copy it once out_fd is
// closed.
static examined_output output;
static int temporary_fd = -1;
// Whether the new file is still owner-only as it was made: made to replace
// a file, and given no file's attributes since.
static bool owner_only = false;
static struct timespec kept_time = {0, UTIME_OMIT};

// Gives fd, once its last byte is written, the time keep_output_time kept.
static bool given_time(int fd) {
  if (kept_time.tv_nsec == UTIME_OMIT) return true;
  const struct timespec times[2] = {{0, UTIME_OMIT}, kept_time};
  return futimens(fd, times) == 0;
}

// Removes the new file, if it is still there, and closes what the output
// held open.
static void discard_temporary() {
  remove_temporary();
  release(output, kReplace);
  close_descriptor(temporary_fd);
}

// Only a refusal for want of permission sends the output back in place: a
// full disk or an I/O error must not bring back the overwrite.
static bool may_write_in_place(int error) {
  return error == EACCES || error == EPERM;
}

// Makes fd, where it is open, the output written, noting whether it is a
// pipe's.
static bool opened(int fd) {
  struct stat status;
  out_fd = fd;
  to_pipe = fd >= 0 && fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
  return fd >= 0;
}

// Makes the new file for found, of kind kReplace or kCreate, which becomes
// the output being replaced. Returns false, with found left to the caller,
// where it cannot be made; in_place then says whether found may be written in
// place instead.
static bool open_temporary(examined_output& found, output_kind kind,
                           bool& in_place) {
  int fd = create_temporary(found.directory, found.name,
                            kind == kReplace ? kReplacingMode : kCreatingMode);
  in_place = fd < 0 && kind == kReplace && may_write_in_place(errno);
  if (fd < 0) return false;
  temporary_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (temporary_fd < 0) {
    close_descriptor(fd);
    remove_temporary();
    return false;
  }
  output = found;
  owner_only = kind == kReplace;
  return opened(fd);
}

// Opens found, of kind, where it lies, as fopen's "w" would. Returns a
// descriptor, or -1 with errno set.
static int open_where_it_lies(const std::string& outfile,
                              examined_output& found, output_kind kind) {
  if (kind == kByPath) {
    return open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                kCreatingMode);
  }
  // A descriptor of its own, so that closing it leaves the caller's open.
  if (kind == kDescriptor) return fcntl(found.fd, F_DUPFD_CLOEXEC, 0);
  if (kind == kCreateHere) {
    return openat(found.directory, found.name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kCreatingMode);
  }
  int fd = found.fd;
  found.fd = -1;
  if (ftruncate(fd, 0) != 0) close_descriptor(fd);
  return fd;
}

// How opening an output ends.
enum opening { kOpened, kLater, kUnopenable };

// Opens outfile: a new file for it at once; where it is written where it
// lies, only where now is set (the input is read whole), and otherwise
// kLater.
static opening open_examined(const std::string& outfile, bool now) {
  // A file-size limit then fails a write, as a full disk does, instead of
  // killing the process with no word.
  signal(SIGXFSZ, SIG_IGN);
  for (int look = 0; look < kMaxLooks; ++look) {
    examined_output found;
    output_kind kind = examine(outfile, found);
    if (kind == kChanged) {
      release(found, kind);
      continue;
    }
    bool in_place = false;
    if (kind == kReplace || kind == kCreate) {
      if (open_temporary(found, kind, in_place)) {
        target = outfile;
        return kOpened;
      }
      if (!in_place) kind = kFailed;
    }
    // An output that cannot be opened, or a new file that cannot be made (no
    // inode or descriptor is left, say): the run fails before it holds any
    // of the conversion.
    if (kind == kFailed) {
      release(found, kind);
      return kUnopenable;
    }
    if (in_place) kind = kInPlace;
    if (!now) {
      release(found, kind);
      return kLater;
    }
    int fd = open_where_it_lies(outfile, found, kind);
    release(found, kind);
    // A file was made there since it was examined.
    if (fd < 0 && errno == EEXIST && kind == kCreateHere) continue;
    return opened(fd) ? kOpened : kUnopenable;
  }
  errno = EAGAIN;
  return kUnopenable;
}

bool start_output(const std::string& outfile) {
  return open_examined(outfile, false) != kUnopenable;
}

bool open_output(const std::string& outfile) {
  return out_fd >= 0 || open_examined(outfile, true) == kOpened;
}

static bool written_all(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

// How many bytes of lines go to a pipe in one write: whole lines, at most
// PIPE_BUF bytes of them, which the pipe keeps together whatever others write
// to it meanwhile; a line longer than that alone.
static std::size_t pipe_piece(const char* lines, std::size_t size) {
  if (size <= PIPE_BUF) return size;
  for (std::size_t end = PIPE_BUF; end > 0; --end) {
    if (lines[end - 1] == '\n') return end;
  }
  const void* line_end = memchr(lines + PIPE_BUF, '\n', size - PIPE_BUF);
  return line_end != nullptr ? static_cast<const char*>(line_end) - lines + 1
                             : size;
}

// Writes size bytes of whole lines to the output, each write ending a line,
// so that others appending to the same file or pipe meet them only between
// lines.
static bool written_lines(const char* lines, std::size_t size) {
  while (size > 0) {
    std::size_t piece = to_pipe ? pipe_piece(lines, size) : size;
    if (!written_all(out_fd, lines, piece)) return false;
    lines += piece;
    size -= piece;
  }
  return true;
}

void put_lines(std::unique_ptr<char[]>& block, std::size_t size) {
  if (out_fd < 0) {
    held.emplace_back(std::move(block), size);
    block.reset(new char[kBlockSize]);
    return;
  }
  if (write_failed || written_lines(block.get(), size)) return;
  write_failed = true;
  if (temporary_fd >= 0) ftruncate(temporary_fd, 0);
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

// Looks at outfile again once its name no longer holds the file examined.
// The result goes only to an output that is again one to replace or create
// in the same directory, which becomes the output being replaced; anything
// else fails the run rather than put the result where no one looked.
// Returns whether the output may be looked at once more.
static bool examine_again(const std::string& outfile) {
  examined_output found;
  output_kind kind = examine(outfile, found);
  bool taken = (kind == kReplace || kind == kCreate) &&
               same_directory(found.directory, output.directory);
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

// Gives the new file, written whole, the owner, attributes and mode of the
// file it replaces. Made owner-only first, unless it still is: it may have
// been made for a new output, or on an earlier look have taken those of a
// file less private than this one.
static bool give_attributes() {
  if (!output.exists) return true;
  if (!owner_only && fchmod(temporary_fd, kReplacingMode) != 0) return false;
  owner_only = false;
  return take_attributes(temporary_fd, output.fd, output.status);
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

// Waits for an exclusive lock on fd, as flock(1) takes one, so that two runs
// copying over one output copy one after the other. A file system that
// cannot lock goes without; macOS says so with ENOTSUP, which on Linux is
// EOPNOTSUPP.
static bool locked(int fd) {
  for (;;) {
    if (flock(fd, LOCK_EX) == 0) return true;
    if (errno != EINTR) {
      return errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP;
    }
  }
}

// Whether a file system writes every block anew elsewhere (copy-on-write).
// Linux's fstatfs tells such file systems by their magic number (btrfs, ZFS,
// bcachefs), macOS's by their name (APFS, ZFS).
static bool writes_anew(const struct statfs& file_system) {
#ifdef BTRFS_SUPER_MAGIC
  static const uint32_t kCopyOnWrite[] = {BTRFS_SUPER_MAGIC, 0x2fc12fc1,
                                          0xca451a4e};
  return std::find(std::begin(kCopyOnWrite), std::end(kCopyOnWrite),
                   static_cast<uint32_t>(file_system.f_type)) !=
         std::end(kCopyOnWrite);
#else
  return strcmp(file_system.f_fstypename, "apfs") == 0 ||
         strcmp(file_system.f_fstypename, "zfs") == 0;
#endif
}

// Whether fd's file system has room for size bytes more, where it writes
// every block anew elsewhere: there, the space reserved for a file does not
// cover writing over its blocks, and the whole result needs new room. Only a
// check, made before the copy: another process may take that room meanwhile.
static bool room_to_rewrite(int fd, off_t size) {
  struct statfs file_system;
  if (fstatfs(fd, &file_system) != 0) return false;
  if (!writes_anew(file_system) ||
      static_cast<unsigned long long>(file_system.f_bavail) *
              file_system.f_bsize >=
          static_cast<unsigned long long>(size)) {
    return true;
  }
  errno = ENOSPC;
  return false;
}

// Copies the complete new file over the output, in place, for an output that
// may not be renamed over (a mount point, or a file in a directory that
// forbids it) or whose owner or attributes the new file may not take. Locked
// meanwhile, so that runs copying over the same output take turns; signals
// are held off, so that the output holds its old bytes or the whole result,
// never part of it: only SIGKILL can stop the copy.
static bool copy_over() {
  struct stat old, result;
  if (output.fd < 0 || !locked(output.fd) || fstat(output.fd, &old) != 0 ||
      fstat(temporary_fd, &result) != 0 ||
      !room_to_rewrite(output.fd, result.st_size)) {
    return false;
  }
  sigset_t previous = block_signals();
  bool copied = copied_over(old.st_size, result.st_size);
  restore_signals(previous);
  if (!copied || !given_time(output.fd)) return false;
  // Closing it lets the next run's copy begin.
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
    if (!give_attributes()) return may_write_in_place(errno) && copy_over();
    int error = rename_temporary(temporary_fd, output.name, output.exists);
    if (error == 0) return true;
    if (error == EEXIST) continue;
    if (error == EBUSY || error == EPERM || error == EACCES) return copy_over();
    return false;
  }
  return false;
}

void keep_output_time(const struct timespec& modified) { kept_time = modified; }

bool close_output() {
  bool done = !write_failed;
  for (const auto& block : held) {
    done = done && written_lines(block.first.get(), block.second);
  }
  held.clear();
  done = done && given_time(out_fd);
  // A full disk often shows only when the file is closed.
  done = close(out_fd) == 0 && done;
  out_fd = -1;
  write_failed = false;
  if (target.empty()) return done;
  done = done && put_in_place(target);
  target.clear();
  discard_temporary();
  return done;
}
