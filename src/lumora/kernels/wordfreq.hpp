// Word frequencies: every word id of a corpus with the number of its tokens, in order of first
// appearance (texts in listing order, within a text by first position). Plain C++ over raw
// integer buffers; no Python types.
#pragma once

#include "lumora/kernels/id_slots.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {
namespace kernels {

// One distinct word id with its frequency and where it first occurs.
struct WordFreq {
  int64_t id;
  int64_t count;
  uint32_t first_file;  // position in the folder listing of the first text it occurs in
  uint64_t first_row;   // its first row in that text
};

// Counts word ids. A counter is given its texts in increasing listing order, so its entries
// stand in order of first appearance; several counters (one per thread) can be merged.
class WordCounter {
 public:
  WordCounter() { rehash(1024); }

  // Adds the word ids base[i*rs], i in [0, rows), of text `file`.
  void add(const int64_t* base, std::ptrdiff_t rows, std::ptrdiff_t rs, uint32_t file) {
    // Each id's slot is prefetched kAhead rows before it is counted; the ring keeps the full
    // hash, since a slot index taken before the table grew is no place to start probing.
    constexpr std::ptrdiff_t kAhead = 32;
    int64_t ring_id[kAhead];
    uint64_t ring_hash[kAhead];
    auto fetch = [&](std::ptrdiff_t j) {
      int64_t id = base[j * rs];
      uint64_t h = spread(id);
      ring_id[j % kAhead] = id;
      ring_hash[j % kAhead] = h;
      __builtin_prefetch(&slots_[h >> shift_]);
    };
    for (std::ptrdiff_t j = 0; j < std::min(kAhead, rows); ++j) fetch(j);
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
      int64_t id = ring_id[i % kAhead];
      size_t at = ring_hash[i % kAhead] >> shift_;
      if (i + kAhead < rows) fetch(i + kAhead);
      for (;;) {
        Slot& s = slots_[at];
        if (s.entry == 0) {
          words_.push_back(WordFreq{id, 1, file, static_cast<uint64_t>(i)});
          s = Slot{id, static_cast<uint32_t>(words_.size())};
          if (words_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
          break;
        }
        if (s.key == id) {
          ++words_[s.entry - 1].count;
          break;
        }
        at = (at + 1) & mask_;
      }
    }
  }

  // Adds another counter's ids: counts add up (the two counted different texts), an id's first
  // occurrence is the earlier of the two. No text is added after a merge.
  void merge(const WordCounter& other) {
    for (const WordFreq& w : other.words_) {
      size_t at = spread(w.id) >> shift_;
      for (;;) {
        Slot& s = slots_[at];
        if (s.entry == 0) {
          words_.push_back(w);
          s = Slot{w.id, static_cast<uint32_t>(words_.size())};
          if (words_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
          break;
        }
        if (s.key == w.id) {
          WordFreq& mine = words_[s.entry - 1];
          mine.count += w.count;
          if (before(w, mine)) {
            mine.first_file = w.first_file;
            mine.first_row = w.first_row;
          }
          break;
        }
        at = (at + 1) & mask_;
      }
    }
  }

  const std::vector<WordFreq>& words() const noexcept { return words_; }

  // Entry numbers in order of first appearance.
  std::vector<uint32_t> first_appearance() const {
    std::vector<uint32_t> order(words_.size());
    for (size_t e = 0; e < order.size(); ++e) order[e] = static_cast<uint32_t>(e);
    bool in_order = true;  // one counter's entries are; merged ones need not be
    for (size_t e = 1; e < words_.size() && in_order; ++e)
      in_order = before(words_[e - 1], words_[e]);
    if (!in_order)
      std::sort(order.begin(), order.end(),
                [this](uint32_t x, uint32_t y) { return before(words_[x], words_[y]); });
    return order;
  }

 private:
  struct Slot {
    int64_t key;
    uint32_t entry;  // entry number + 1; 0 for an empty slot
  };

  static bool before(const WordFreq& a, const WordFreq& b) noexcept {
    return a.first_file != b.first_file ? a.first_file < b.first_file : a.first_row < b.first_row;
  }

  static uint64_t spread(int64_t id) noexcept { return spread_id(id); }

  void rehash(size_t cap) { rehash_slots(slots_, cap, mask_, shift_); }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;  // 64 - log2 of the number of slots
  std::vector<WordFreq> words_;
};

}  // namespace kernels
}  // namespace lumora
