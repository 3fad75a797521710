#include "hash_set.h"

#include <algorithm>
#include <cstring>

static const std::size_t kFirstSlots = 64;

std::uint64_t hash_of(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  }
  return hash;
}

// The slot a hash is looked for from: its mixed top bits.
static std::size_t first_slot(const hash_set& set, std::uint64_t hash) {
  return (hash * 0x9e3779b97f4a7c15u) >> set.shift;
}

// A string kept is its size, as many bytes as a size_t has, then its bytes.
static std::string_view kept_at(const hash_set& set, std::size_t where) {
  std::size_t size;
  memcpy(&size, set.bytes.data() + where, sizeof size);
  return std::string_view(set.bytes).substr(where + sizeof size, size);
}

static bool holds_at(const hash_set& set, std::size_t i, std::uint64_t hash,
                     std::string_view text) {
  return set.slots[i] == hash &&
         (!set.keeps_bytes || kept_at(set, set.where[i]) == text);
}

// The slot that holds text, or the empty one where it would go.
static std::size_t slot_of(const hash_set& set, std::uint64_t hash,
                           std::string_view text) {
  const std::size_t mask = set.slots.size() - 1;
  std::size_t i = first_slot(set, hash);
  while (set.slots[i] != 0 && !holds_at(set, i, hash, text)) {
    i = (i + 1) & mask;
  }
  return i;
}

// The strings held are told apart already: each goes to the first empty
// slot from its own.
static void grow(hash_set& set) {
  std::vector<std::uint64_t> old(std::max(kFirstSlots, set.slots.size() * 2));
  std::vector<std::size_t> old_where(set.keeps_bytes ? old.size() : 0);
  old.swap(set.slots);
  old_where.swap(set.where);
  --set.shift;
  if (old.empty()) set.shift = 64 - 6;  // log2(kFirstSlots)
  const std::size_t mask = set.slots.size() - 1;
  for (std::size_t j = 0; j < old.size(); ++j) {
    if (old[j] == 0) continue;
    std::size_t i = first_slot(set, old[j]);
    while (set.slots[i] != 0) i = (i + 1) & mask;
    set.slots[i] = old[j];
    if (set.keeps_bytes) set.where[i] = old_where[j];
  }
}

// 0 marks an empty slot, so that it stands for itself as 1.
bool add(hash_set& set, std::uint64_t hash, std::string_view text) {
  hash += hash == 0;
  if ((set.count + 1) * 4 > set.slots.size() * 3) grow(set);
  std::size_t i = slot_of(set, hash, text);
  if (set.slots[i] != 0) return false;
  set.slots[i] = hash;
  if (set.keeps_bytes) {
    set.where[i] = set.bytes.size();
    std::size_t size = text.size();
    set.bytes.append(reinterpret_cast<const char*>(&size), sizeof size);
    set.bytes.append(text);
  }
  ++set.count;
  return true;
}

bool holds(hash_set& set, std::uint64_t hash, std::string_view text) {
  hash += hash == 0;
  return set.count > 0 && set.slots[slot_of(set, hash, text)] != 0;
}

void empty(hash_set& set) {
  if (set.count == 0) return;
  if (set.slots.size() > kFirstSlots || set.bytes.size() > 4096) {
    bool keeps_bytes = set.keeps_bytes;
    set = hash_set();
    set.keeps_bytes = keeps_bytes;
  } else {
    std::fill(set.slots.begin(), set.slots.end(), 0);
    set.bytes.clear();
    set.count = 0;
  }
}
