#include "shards.h"

#ifdef PDB_CONVERT_READS_SHARDS
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

// The size of the reads of a shard.
static const std::size_t kShardBlock = 64 * 1024;

bool reads_shards() { return true; }

// A file in memory for a member's bytes, which its worker reads as it would
// read a file, with nothing written to disk; where there is no memfd, an
// unnamed file in TMPDIR.
static int new_member_file() {
#ifdef MFD_CLOEXEC
  return memfd_create("member", MFD_CLOEXEC);
#else
  const char* directory = getenv("TMPDIR");
  std::string name =
      std::string(directory != nullptr && directory[0] != '\0' ? directory
                                                               : "/tmp") +
      "/pdb_convert_many-XXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) return -1;
  unlink(name.c_str());
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

// Copies the member's bytes into a new member file; returns it at its
// start, or -1 with the reason in error, and broken set where the shard
// itself cannot be read on.
static int member_bytes(archive* a, archive_entry* entry, std::string& error,
                        bool& broken) {
  int fd = new_member_file();
  if (fd < 0) {
    error = std::string("cannot hold the member: ") + strerror(errno);
    return -1;
  }
  const void* bytes;
  std::size_t size;
  la_int64_t offset;
  int status;
  while ((status = archive_read_data_block(a, &bytes, &size, &offset)) ==
         ARCHIVE_OK) {
    // Sparse members come in pieces with holes between, read as zeros.
    if (pwrite(fd, bytes, size, offset) != ssize_t(size)) {
      error = std::string("cannot hold the member: ") + strerror(errno);
      close(fd);
      return -1;
    }
  }
  broken = status != ARCHIVE_EOF;
  if (broken || (archive_entry_size_is_set(entry) &&
                 ftruncate(fd, archive_entry_size(entry)) != 0)) {
    const char* why = archive_error_string(a);
    error = broken && why != nullptr ? why : strerror(errno);
    close(fd);
    return -1;
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// Why a member of this type is not converted, or nullptr for a file.
static const char* refusal_of(mode_t type) {
  switch (type) {
    case AE_IFREG:
      return nullptr;
    case AE_IFLNK:
      return "is a symbolic link, not a file";
    case AE_IFCHR:
    case AE_IFBLK:
      return "is a device, not a file";
    case AE_IFIFO:
      return "is a FIFO, not a file";
    default:
      return "is not a file";
  }
}

// Hands one member to take; false where the shard can be read no further.
static bool take_member(const std::string& shard, archive* a,
                        archive_entry* entry,
                        void (*take)(conversion&, const char*)) {
  if (archive_entry_filetype(entry) == AE_IFDIR) return true;
  conversion member;
  const char* name = archive_entry_pathname(entry);
  member.path = name != nullptr ? name : "";
  member.input = shard + ":" + member.path;
  member.modified = {archive_entry_mtime(entry),
                     archive_entry_mtime_nsec(entry)};
  const char* link = archive_entry_hardlink(entry);
  // A hard link may carry the bytes again (pax), or name the member that
  // holds them.
  if (link != nullptr && archive_entry_size(entry) == 0) {
    member.copy_of = link;
    take(member, nullptr);
    return true;
  }
  const char* refusal =
      link != nullptr ? nullptr : refusal_of(archive_entry_filetype(entry));
  if (refusal != nullptr) {
    take(member, refusal);
    return true;
  }
  std::string error;
  bool broken = false;
  member.descriptor = member_bytes(a, entry, error, broken);
  if (member.descriptor < 0) {
    report_failure(member.input, error);
    return !broken;
  }
  take(member, nullptr);
  return true;
}

// Opens shard, named or "-", for a; returns its descriptor, or -1 with the
// reason set in a.
static int open_shard(archive* a, const std::string& shard) {
  archive_read_support_format_tar(a);
  archive_read_support_format_gnutar(a);
  archive_read_support_filter_gzip(a);
  archive_read_support_filter_bzip2(a);
  archive_read_support_filter_xz(a);
  archive_read_support_filter_zstd(a);
  archive_read_support_filter_lz4(a);
  int fd = shard == "-" ? 0 : open(shard.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    archive_set_error(a, errno, "%s", strerror(errno));
    return -1;
  }
  return fd;
}

void read_shard(const std::string& shard,
                void (*take)(conversion& member, const char* refusal)) {
  std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(),
                                                archive_read_free);
  if (!a) {
    report_failure(shard, "cannot read the shard: out of memory");
    return;
  }
  int fd = open_shard(a.get(), shard);
  bool read =
      fd >= 0 && archive_read_open_fd(a.get(), fd, kShardBlock) == ARCHIVE_OK;
  archive_entry* entry;
  int status = ARCHIVE_OK;
  while (read && !stopping()) {
    status = archive_read_next_header(a.get(), &entry);
    read = status == ARCHIVE_OK || status == ARCHIVE_WARN;
    if (read) read = take_member(shard, a.get(), entry, take);
  }
  if (!stopping() && status != ARCHIVE_EOF) {
    const char* why = archive_error_string(a.get());
    report_failure(shard, why != nullptr ? why : "the shard cannot be read");
  }
  a.reset();
  if (fd > 0) close(fd);
}
#else
bool reads_shards() { return false; }

void read_shard(const std::string&, void (*)(conversion&, const char*)) {}
#endif
