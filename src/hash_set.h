#ifndef PDB_CONVERT_HASH_SET_H_
#define PDB_CONVERT_HASH_SET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A set of byte strings, each found by a 64-bit hash of it that the caller
// gives. Open-addressed, 8 bytes a slot, at most three quarters of them used.
// Where it keeps their bytes, two strings whose hashes are equal are still
// two; where not, as for a block's tags, a hash stands for its string.
// Emptied, it starts small again, so that emptying costs what it held,
// however large it once grew.
struct hash_set {
  bool keeps_bytes = false;
  std::vector<std::uint64_t> slots;  // 0: empty
  std::vector<std::size_t> where;    // of each slot's string in bytes
  std::string bytes;                 // of each string kept
  std::size_t count = 0;
  int shift = 64;  // of a hash, for its first slot: 64 - log2(slots)
};

// FNV-1a, over the bytes as they are.
std::uint64_t hash_of(std::string_view text);

// Adds text, whose hash is hash, to the set; whether it was not there.
bool add(hash_set& set, std::uint64_t hash, std::string_view text);

bool holds(hash_set& set, std::uint64_t hash, std::string_view text);

void empty(hash_set& set);

#endif  // PDB_CONVERT_HASH_SET_H_
