#include "hash_set.h"

#include <algorithm>

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

static bool holds_text(const hash_set& set, const hash_slot& slot,
                       std::string_view text) {
  return slot.size == text.size() &&
         std::string_view(set.bytes).substr(slot.offset, slot.size) == text;
}

// The slot that holds text, or the empty one where it would go.
static hash_slot& slot_of(hash_set& set, std::uint64_t hash,
                          std::string_view text) {
  const std::size_t mask = set.slots.size() - 1;
  std::size_t i = first_slot(set, hash);
  while (set.slots[i].hash != 0 &&
         !(set.slots[i].hash == hash && holds_text(set, set.slots[i], text))) {
    i = (i + 1) & mask;
  }
  return set.slots[i];
}

// Strings held are told apart already: each goes to the first empty slot.
static void grow(hash_set& set) {
  std::vector<hash_slot> old(std::max(kFirstSlots, set.slots.size() * 2));
  old.swap(set.slots);
  --set.shift;
  if (old.empty()) set.shift = 64 - 6;  // log2(kFirstSlots)
  const std::size_t mask = set.slots.size() - 1;
  for (const hash_slot& slot : old) {
    if (slot.hash == 0) continue;
    std::size_t i = first_slot(set, slot.hash);
    while (set.slots[i].hash != 0) i = (i + 1) & mask;
    set.slots[i] = slot;
  }
}

// 0 marks an empty slot, so that it stands for itself as 1.
bool add(hash_set& set, std::uint64_t hash, std::string_view text) {
  hash += hash == 0;
  if ((set.count + 1) * 4 > set.slots.size() * 3) grow(set);
  hash_slot& slot = slot_of(set, hash, text);
  if (slot.hash != 0) return false;
  slot = {hash, text.size(), set.bytes.size()};
  set.bytes.append(text);
  ++set.count;
  return true;
}

bool holds(hash_set& set, std::uint64_t hash, std::string_view text) {
  hash += hash == 0;
  return set.count > 0 && slot_of(set, hash, text).hash != 0;
}

void empty(hash_set& set) {
  if (set.count == 0) return;
  if (set.slots.size() > kFirstSlots || set.bytes.size() > kFirstSlots * 64) {
    set = hash_set();
  } else {
    std::fill(set.slots.begin(), set.slots.end(), hash_slot{0, 0, 0});
    set.bytes.clear();
    set.count = 0;
  }
}
