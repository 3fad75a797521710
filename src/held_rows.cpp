#include "held_rows.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::string temporary_directory() {
  const char* directory = getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

[[noreturn]] static void die(const char* what) {
  fprintf(stderr, "%s %s\n", what, temporary_directory().c_str());
  exit(1);
}

// A file without a name, so that no end of the run, a signal's or a
// crash's, leaves it behind: O_TMPFILE, where the system and the file
// system have it; else a named one, unlinked at once.
static int open_unnamed(const std::string& directory) {
#ifdef O_TMPFILE
  int file = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (file >= 0) return file;
#endif
  std::string name = directory + "/.pdb_convert_rows.XXXXXX";
  int named = mkostemp(&name[0], O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
}

static void write_all(int file, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(file, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) die("Could not write");
    bytes += written;
    size -= written;
  }
}

// Sends what the buffer holds to the file, made where it is not yet.
static void spill(held_rows& held) {
  if (held.file < 0) held.file = open_unnamed(temporary_directory());
  if (held.file < 0) die("Could not write");
  write_all(held.file, held.buffer.get(), held.used);
  held.used = 0;
}

void put_held(held_rows& held, const void* bytes, std::size_t size) {
  // An empty entity id has no bytes, and perhaps no address.
  if (size == 0) return;
  if (!held.buffer) held.buffer.reset(new char[kHeldInMemory]);
  if (kHeldInMemory - held.used < size) spill(held);
  if (size > kHeldInMemory) {
    return write_all(held.file, static_cast<const char*>(bytes), size);
  }
  memcpy(held.buffer.get() + held.used, bytes, size);
  held.used += size;
}

void start_taking(held_rows& held) {
  held.taken = 0;
  if (held.file < 0) return;
  spill(held);
  if (lseek(held.file, 0, SEEK_SET) != 0) die("Could not read");
}

// Reads the next bytes of the file into the buffer.
static void refill(held_rows& held) {
  ssize_t got;
  do {
    got = read(held.file, held.buffer.get(), kHeldInMemory);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) die("Could not read");
  held.used = got;
  held.taken = 0;
}

void take_held(held_rows& held, void* bytes, std::size_t size) {
  char* out = static_cast<char*>(bytes);
  while (size > 0) {
    if (held.taken == held.used) refill(held);
    std::size_t n = std::min(size, held.used - held.taken);
    memcpy(out, held.buffer.get() + held.taken, n);
    held.taken += n;
    out += n;
    size -= n;
  }
}

void drop_held(held_rows& held) {
  if (held.file >= 0) close(held.file);
  held = held_rows();
}
