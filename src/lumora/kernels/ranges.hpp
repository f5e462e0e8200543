// Ranges: for every word id, the number of texts it occurs in, and the order of first appearance
// (by the first text, then ascending id) in which a table filled text by text with each text's
// distinct ids in ascending order holds them. Plain C++ over raw integer buffers; no Python types.
#pragma once

#include "lumora/kernels/id_slots.hpp"

#include "lumora/common/rank.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {
namespace kernels {

// One distinct word id of the corpus.
struct Word {
  int64_t id;
  uint32_t first_file;  // position in the folder listing of the first text it occurs in
};

// Counts, for every word id, the texts it occurs in. A counter is given its texts in increasing
// listing order, each text whole; each id gets an entry number when first seen. Several counters
// (one per thread) can be merged into one afterwards.
class RangeCounter {
 public:
  RangeCounter() { rehash(1024); }

  // Adds the word ids base[i*rs], i in [0, rows), of text `file`. When `present` is given, the
  // entry number of each id distinct within this text is appended to it.
  void add(const int64_t* base, std::ptrdiff_t rows, std::ptrdiff_t rs, uint32_t file,
           std::vector<uint32_t>* present) {
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
    const uint32_t mark = file + 1;
    size_t listed = 0;  // entries of this text written to out
    if (present != nullptr && scratch_.size() < static_cast<size_t>(rows))
      scratch_.resize(static_cast<size_t>(rows));
    uint32_t* out = present != nullptr ? scratch_.data() : nullptr;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
      int64_t id = ring_id[i % kAhead];
      size_t at = ring_hash[i % kAhead] >> shift_;
      if (i + kAhead < rows) fetch(i + kAhead);
      for (;;) {
        Slot& s = slots_[at];
        if (s.entry == 0) {
          words_.push_back(Word{id, file});
          ranges_.push_back(1);
          auto e = static_cast<uint32_t>(words_.size());
          s = Slot{id, e, mark};
          if (out != nullptr) out[listed++] = e - 1;
          if (words_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
          break;
        }
        if (s.key == id) {
          // Without branches: whether a text counts for an id is close to a coin toss.
          uint32_t fresh = s.last_file != mark;
          s.last_file = mark;
          ranges_[s.entry - 1] += fresh;
          if (out != nullptr) {
            out[listed] = s.entry - 1;
            listed += fresh;
          }
          break;
        }
        at = (at + 1) & mask_;
      }
    }
    if (present != nullptr) present->insert(present->end(), scratch_.begin(),
                                            scratch_.begin() + static_cast<std::ptrdiff_t>(listed));
  }

  // Adds another counter's ids: ranges add up (the two counted different texts), an id's first
  // text is the earlier of the two. When `entry_map` is given, it receives this counter's entry
  // number for each of the other's entries. No text is added after a merge.
  void merge(const RangeCounter& other, std::vector<uint32_t>* entry_map) {
    if (entry_map != nullptr) entry_map->resize(other.words_.size());
    for (size_t e = 0; e < other.words_.size(); ++e) {
      const Word& w = other.words_[e];
      size_t at = spread(w.id) >> shift_;
      for (;;) {
        Slot& s = slots_[at];
        if (s.entry == 0) {
          words_.push_back(w);
          ranges_.push_back(other.ranges_[e]);
          s = Slot{w.id, static_cast<uint32_t>(words_.size()), 0};
          if (entry_map != nullptr) (*entry_map)[e] = s.entry - 1;
          if (words_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
          break;
        }
        if (s.key == w.id) {
          Word& mine = words_[s.entry - 1];
          mine.first_file = std::min(mine.first_file, w.first_file);
          ranges_[s.entry - 1] += other.ranges_[e];
          if (entry_map != nullptr) (*entry_map)[e] = s.entry - 1;
          break;
        }
        at = (at + 1) & mask_;
      }
    }
  }

  const std::vector<Word>& words() const noexcept { return words_; }
  const std::vector<uint32_t>& ranges() const noexcept { return ranges_; }

  // Entry numbers in order of first appearance: by first file, then ascending id (the order in
  // which a table filled file by file with each text's distinct ids in ascending order has them).
  std::vector<uint32_t> first_appearance() const {
    std::vector<uint32_t> order(words_.size());
    for (size_t e = 0; e < order.size(); ++e) order[e] = static_cast<uint32_t>(e);
    bool grouped = true;  // as one counter's entries are, by first file; merged ones need not be
    for (size_t e = 1; e < words_.size() && grouped; ++e)
      grouped = words_[e - 1].first_file <= words_[e].first_file;
    if (!grouped) {
      std::sort(order.begin(), order.end(), [this](uint32_t x, uint32_t y) {
        const Word& a = words_[x];
        const Word& b = words_[y];
        return a.first_file != b.first_file ? a.first_file < b.first_file : a.id < b.id;
      });
      return order;
    }
    for (size_t a = 0; a < order.size();) {
      size_t b = a;
      while (b < order.size() && words_[b].first_file == words_[a].first_file) ++b;
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(a),
                order.begin() + static_cast<std::ptrdiff_t>(b),
                [this](uint32_t x, uint32_t y) { return words_[x].id < words_[y].id; });
      a = b;
    }
    return order;
  }

 private:
  struct Slot {
    int64_t key;
    uint32_t entry;      // entry number + 1; 0 for an empty slot
    uint32_t last_file;  // file number + 1 of the last text the id was counted for
  };

  static uint64_t spread(int64_t id) noexcept { return spread_id(id); }

  void rehash(size_t cap) { rehash_slots(slots_, cap, mask_, shift_); }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;  // 64 - log2 of the number of slots
  std::vector<Word> words_;
  std::vector<uint32_t> ranges_;   // by entry
  std::vector<uint32_t> scratch_;  // one text's distinct entries, while it is added
};

// Numbers ordered by value, largest first; equal values keep their order in `order`.
inline void stable_rank(std::vector<uint32_t>& order, const std::vector<uint32_t>& value) {
  rank_by_count(order, [&value](uint32_t n) { return value[n]; });
}

// Ranges of merged groups (case variants): for each group, the number of texts in which any of
// its members occurs. `present` lists each text's distinct entries, text after text, `bounds[t]`
// marking where text t's run ends; `group_of` maps an entry to its group (below `groups`).
// `marks` is scratch space, text numbers + 1 by group; `first_mark` makes marks of another call
// over the same scratch distinct.
inline void count_group_ranges(const std::vector<uint32_t>& present,
                               const std::vector<size_t>& bounds,
                               const std::vector<uint32_t>& group_of, uint32_t first_mark,
                               std::vector<uint32_t>& marks, std::vector<uint32_t>& group_range) {
  size_t from = 0;
  for (size_t t = 0; t < bounds.size(); ++t) {
    auto mark = static_cast<uint32_t>(first_mark + t + 1);
    for (size_t k = from; k < bounds[t]; ++k) {
      uint32_t g = group_of[present[k]];
      if (marks[g] != mark) {
        marks[g] = mark;
        ++group_range[g];
      }
    }
    from = bounds[t];
  }
}

}  // namespace kernels
}  // namespace lumora
