// Open-addressing slots keyed by a 64-bit id, shared by the kernels that count per word id: a
// slot is empty while its entry is 0, and probing is linear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {
namespace kernels {

// Multiplicative hashing: the slot is the top bits of id * 2^64/phi, which depend on every bit
// of the id; one multiplication per token.
inline uint64_t spread_id(int64_t id) noexcept {
  return static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ULL;
}

// Moves the filled slots into a table of cap slots (a power of two); mask and shift (64 - log2
// of cap) follow the new size.
template <class Slot>
void rehash_slots(std::vector<Slot>& slots, size_t cap, size_t& mask, int& shift) {
  std::vector<Slot> fresh(cap, Slot{});
  size_t m = cap - 1;
  int s = 64;
  for (size_t c = cap; c > 1; c >>= 1) --s;
  for (const Slot& slot : slots) {
    if (slot.entry == 0) continue;
    size_t i = spread_id(slot.key) >> s;
    while (fresh[i].entry != 0) i = (i + 1) & m;
    fresh[i] = slot;
  }
  slots.swap(fresh);
  mask = m;
  shift = s;
}

}  // namespace kernels
}  // namespace lumora
