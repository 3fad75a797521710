#ifndef PDB_CONVERT_HELD_ROWS_H_
#define PDB_CONVERT_HELD_ROWS_H_

#include <cstddef>
#include <memory>

// The bytes of mmCIF rows held until the polymers that decide them are
// known: put one after another, then taken back once, in the same order.
// The first kHeldInMemory bytes stay in memory; where more come, they all
// go to an unnamed temporary file in TMPDIR (or /tmp), read back a buffer at
// a time, so that any number of rows is held in the same memory.
constexpr std::size_t kHeldInMemory = 4 * 1024 * 1024;

struct held_rows {
  std::unique_ptr<char[]> buffer;  // kHeldInMemory bytes, once any is put
  std::size_t used = 0;            // of buffer, the bytes it holds
  std::size_t taken = 0;           // of those, the bytes taken back
  int file = -1;                   // once they do not fit in buffer
};

// Puts size bytes after those put. A temporary file that cannot be made or
// written prints "Could not write <directory>" on stderr and exits 1.
void put_held(held_rows& held, const void* bytes, std::size_t size);

// Every byte is put: taking starts from the first.
void start_taking(held_rows& held);

// Takes the next size bytes into bytes. A file that cannot be read back
// prints "Could not read <directory>" on stderr and exits 1.
void take_held(held_rows& held, void* bytes, std::size_t size);

// Lets the bytes, the buffer and the file go.
void drop_held(held_rows& held);

#endif  // PDB_CONVERT_HELD_ROWS_H_
