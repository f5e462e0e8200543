// An insertion-ordered index of 64-bit keys: each distinct key gets the next dense number
// 0, 1, 2, ... in order of first insertion. Open addressing, linear probing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
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

// A hash of n bytes, `seed` (such as what the bytes are) mixed in.
inline uint64_t hash_bytes(const void* data, size_t n, uint64_t seed) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t h = mix64(0x9E3779B97F4A7C15ULL ^ n ^ seed);
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix64(h ^ w);
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  return mix64(h ^ w);
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

// Ids numbered densely (0, 1, 2, ...) in order of first appearance. Ids of a compact range (as
// most dictionaries number their words) find their number in a plain array; others through a
// KeyIndex.
class DenseIds {
 public:
  // Whether ids of the range go through the array (worth it when most tokens are numbered).
  void use_array(bool yes) noexcept { direct_range_ = yes ? kDirect : 0; }

  uint32_t insert(int64_t id) {
    if (id >= 0 && id < direct_range_) {
      const auto at = static_cast<size_t>(id);
      if (at >= direct_.size())
        direct_.resize(std::min<size_t>(kDirect, std::max(at + 1 + 4096, direct_.size() * 3 / 2)),
                       0);
      uint32_t& slot = direct_[at];
      if (slot == 0) slot = add(id) + 1;
      return slot - 1;
    }
    bool added = false;
    const uint32_t k = others_.insert(static_cast<uint64_t>(id), &added);
    if (added) others_number_.push_back(add(id));
    return others_number_[k];
  }

  // The number of id, or -1.
  int64_t find(int64_t id) const noexcept {
    if (id >= 0 && id < direct_range_) {
      const auto at = static_cast<size_t>(id);
      return at < direct_.size() ? static_cast<int64_t>(direct_[at]) - 1 : -1;
    }
    const int64_t k = others_.find(static_cast<uint64_t>(id));
    return k < 0 ? int64_t{-1} : static_cast<int64_t>(others_number_[static_cast<size_t>(k)]);
  }

  int64_t id(size_t number) const noexcept { return ids_[number]; }
  size_t size() const noexcept { return ids_.size(); }

  // Calls f(id, number) for every id: those of the array's range in increasing order, then the
  // others (so a table indexed by id is walked from start to end).
  template <class F>
  void each_by_id(F&& f) const {
    for (size_t at = 0; at < direct_.size(); ++at)
      if (direct_[at] != 0) f(static_cast<int64_t>(at), direct_[at] - 1);
    for (size_t k = 0; k < others_number_.size(); ++k)
      f(static_cast<int64_t>(others_.key(k)), others_number_[k]);
  }

 private:
  static constexpr int64_t kDirect = int64_t{1} << 22;  // at most 16 MiB of array

  uint32_t add(int64_t id) {
    if (ids_.size() >= 0xFFFFFFF0u) throw std::length_error("too many distinct words");
    ids_.push_back(id);
    return static_cast<uint32_t>(ids_.size() - 1);
  }

  int64_t direct_range_ = kDirect;
  std::vector<int64_t> ids_;              // number -> id
  std::vector<uint32_t> direct_;          // id -> number + 1 (0: not seen), for ids of the range
  KeyIndex others_{0};                    // other ids
  std::vector<uint32_t> others_number_;   // KeyIndex's number -> number
};

}  // namespace lumora
