// An insertion-ordered index of 64-bit keys: each distinct key gets the next dense number
// 0, 1, 2, ... in order of first insertion. Open addressing, linear probing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

inline uint64_t mix64(uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

class KeyIndex {
 public:
  explicit KeyIndex(size_t expected = 16) { rehash(capacity_for(expected)); }

  // The number of key, inserting it if new; *inserted says whether it was.
  uint32_t insert(uint64_t key, bool* inserted = nullptr) {
    size_t i = mix64(key) & mask_;
    for (;;) {
      uint32_t slot = slots_[i];
      if (slot == 0) break;
      if (keys_[slot - 1] == key) {
        if (inserted) *inserted = false;
        return slot - 1;
      }
      i = (i + 1) & mask_;
    }
    keys_.push_back(key);
    auto n = static_cast<uint32_t>(keys_.size());
    slots_[i] = n;
    if (inserted) *inserted = true;
    if (keys_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
    return n - 1;
  }

  // The number of key, or -1 when absent.
  int64_t find(uint64_t key) const noexcept {
    size_t i = mix64(key) & mask_;
    for (;;) {
      uint32_t slot = slots_[i];
      if (slot == 0) return -1;
      if (keys_[slot - 1] == key) return slot - 1;
      i = (i + 1) & mask_;
    }
  }

  size_t size() const noexcept { return keys_.size(); }
  uint64_t key(size_t n) const noexcept { return keys_[n]; }
  const std::vector<uint64_t>& keys() const noexcept { return keys_; }

  void clear() {
    keys_.clear();
    std::fill(slots_.begin(), slots_.end(), 0u);
  }

 private:
  static size_t capacity_for(size_t n) {
    size_t c = 16;
    while (c < n * 2) c <<= 1;
    return c;
  }
  void rehash(size_t cap) {
    slots_.assign(cap, 0u);
    mask_ = cap - 1;
    for (size_t n = 0; n < keys_.size(); ++n) {
      size_t i = mix64(keys_[n]) & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = static_cast<uint32_t>(n + 1);
    }
  }

  std::vector<uint64_t> keys_;
  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
};

}  // namespace lumora
