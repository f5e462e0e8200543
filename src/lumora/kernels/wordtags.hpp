// Word+tag pairs: every (word id, tag id) pair of a corpus with its count and the first text it
// occurs in, ranked by count as a stable sort of a table filled text by text in ascending pair
// order would rank them. Plain C++ over raw integer buffers; no Python types.
#pragma once

#include "lumora/common/hashmap.hpp"
#include "lumora/common/rank.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace lumora {
namespace kernels {

// One distinct (word id, tag id) pair of the corpus.
struct PairCount {
  int64_t word;
  int64_t tag;
  int64_t count;
  uint32_t first_file;  // position in the folder listing of the first text it occurs in
};

constexpr bool fits_int32(int64_t v) noexcept {
  return static_cast<uint64_t>(v + 0x80000000LL) <= 0xFFFFFFFFULL;
}

// Counts (word id, tag id) pairs over token arrays. Pairs whose ids fit 32 bits (all of them in a
// well-formed corpus) are packed into one 64-bit key of an open-addressing table that holds the
// count inline; any other pair goes to a side table, so no two pairs ever share a key.
//
// Texts may be counted by several counters (one per thread, each given its texts in increasing
// listing order) and the counters merged afterwards: the ranking is the same as one counter's.
class PairCounter {
 public:
  PairCounter() { rehash(1024); }

  // Adds rows [0, rows) of a token array: column 0 at base[i*rs], column 1 at base[i*rs + cs].
  // The caller keeps the total of all rows added within a signed 32-bit integer, so a count
  // always fits 32 bits.
  void add(const int64_t* base, std::ptrdiff_t rows, std::ptrdiff_t rs, std::ptrdiff_t cs,
           uint32_t file) {
    if (file >= files_) files_ = static_cast<size_t>(file) + 1;
    // Most of the time goes to cache misses on the slots of rare pairs, so each row's slot is
    // prefetched kAhead rows before the row is counted. The ring keeps the full hash: a slot
    // index taken before the table grew would be no place to start probing.
    constexpr std::ptrdiff_t kAhead = 32;
    uint64_t ring_key[kAhead];
    uint64_t ring_hash[kAhead];
    bool ring_wide[kAhead];
    auto fetch = [&](std::ptrdiff_t j) {
      int64_t w = base[j * rs];
      int64_t t = base[j * rs + cs];
      uint64_t key = pack(w, t);
      uint64_t h = spread(key);
      bool wide = !(fits_int32(w) && fits_int32(t));
      ring_key[j % kAhead] = key;
      ring_hash[j % kAhead] = h;
      ring_wide[j % kAhead] = wide;
      if (!wide) __builtin_prefetch(&slots_[h >> shift_]);
    };
    for (std::ptrdiff_t j = 0; j < std::min(kAhead, rows); ++j) fetch(j);
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
      uint64_t key = ring_key[i % kAhead];
      uint64_t h = ring_hash[i % kAhead];
      bool wide = ring_wide[i % kAhead];
      if (i + kAhead < rows) fetch(i + kAhead);
      if (!wide) {
        add_packed(key, h >> shift_, file, 1);
      } else {
        Tally& tally =
            wide_.try_emplace(Wide{base[i * rs], base[i * rs + cs]}, Tally{0, file}).first->second;
        ++tally.count;
      }
    }
  }

  // Adds another counter's pairs: counts add up, a pair's first text is the earlier of the two.
  void merge(const PairCounter& other) {
    files_ = std::max(files_, other.files_);
    for (const Slot& s : other.slots_)
      if (s.count != 0) add_packed(s.key, spread(s.key) >> shift_, s.first_file, s.count);
    for (const auto& kv : other.wide_) {
      auto at = wide_.try_emplace(kv.first, Tally{0, kv.second.first_file}).first;
      at->second.count += kv.second.count;
      at->second.first_file = std::min(at->second.first_file, kv.second.first_file);
    }
  }

  // Every pair, ranked: largest count first; equal counts in order of first appearance (earlier
  // listed file, then ascending word id, then ascending tag id), as a stable sort by count of a
  // table filled file by file in ascending pair order gives them.
  std::vector<PairCount> ranked() const {
    std::vector<PairCount> out;
    out.reserve(size_ + wide_.size());
    if (wide_.empty()) {
      // Insertion order first: group the pairs by first file, then order each group by (word,
      // tag) as unsigned keys that order like the signed ids; then a stable sort by count.
      std::vector<uint32_t> start(files_ + 1, 0);
      for (const Slot& s : slots_)
        if (s.count != 0) ++start[s.first_file + 1];
      for (size_t f = 0; f < files_; ++f) start[f + 1] += start[f];
      struct Item {
        uint64_t key;  // (word, tag) with the sign bits flipped
        uint32_t count;
        uint32_t first_file;
      };
      std::vector<Item> items(size_);
      for (const Slot& s : slots_)
        if (s.count != 0)
          items[start[s.first_file]++] = Item{s.key ^ 0x8000000080000000ULL, s.count, s.first_file};
      for (size_t a = 0; a < items.size();) {
        size_t b = a;
        while (b < items.size() && items[b].first_file == items[a].first_file) ++b;
        std::sort(items.begin() + static_cast<std::ptrdiff_t>(a),
                  items.begin() + static_cast<std::ptrdiff_t>(b),
                  [](const Item& x, const Item& y) { return x.key < y.key; });
        a = b;
      }
      rank_by_count(items, [](const Item& x) { return x.count; });
      for (const Item& it : items) {
        uint64_t key = it.key ^ 0x8000000080000000ULL;
        out.push_back(PairCount{static_cast<int32_t>(key >> 32),
                                static_cast<int32_t>(key & 0xFFFFFFFFu), it.count, it.first_file});
      }
      return out;
    }
    for (const Slot& s : slots_)
      if (s.count != 0)
        out.push_back(PairCount{static_cast<int32_t>(s.key >> 32),
                                static_cast<int32_t>(s.key & 0xFFFFFFFFu), s.count, s.first_file});
    for (const auto& kv : wide_)
      out.push_back(PairCount{kv.first.word, kv.first.tag, kv.second.count, kv.second.first_file});
    std::sort(out.begin(), out.end(), [](const PairCount& a, const PairCount& b) {
      if (a.count != b.count) return a.count > b.count;
      if (a.first_file != b.first_file) return a.first_file < b.first_file;
      if (a.word != b.word) return a.word < b.word;
      return a.tag < b.tag;
    });
    return out;
  }

 private:
  struct Slot {
    uint64_t key;
    uint32_t count;  // 0: an empty slot
    uint32_t first_file;
  };
  struct Wide {
    int64_t word, tag;
    bool operator==(const Wide& o) const noexcept { return word == o.word && tag == o.tag; }
  };
  struct WideHash {
    size_t operator()(const Wide& p) const noexcept {
      return static_cast<size_t>(mix64(static_cast<uint64_t>(p.word) * 31 ^
                                       mix64(static_cast<uint64_t>(p.tag))));
    }
  };
  struct Tally {
    int64_t count;
    uint32_t first_file;
  };

  // Multiplicative hashing: the slot is the top bits of key * 2^64/phi, which depend on every bit
  // of the key; one multiplication per token.
  static uint64_t spread(uint64_t key) noexcept { return key * 0x9E3779B97F4A7C15ULL; }

  static uint64_t pack(int64_t w, int64_t t) noexcept {
    return (static_cast<uint64_t>(static_cast<uint32_t>(w)) << 32) | static_cast<uint32_t>(t);
  }

  // Counts n occurrences of one packed pair first seen in `file`; `i` is the slot its hash points
  // at in the table as it is now.
  void add_packed(uint64_t key, size_t i, uint32_t file, uint32_t n) {
    for (;;) {
      Slot& s = slots_[i];
      if (s.count == 0) {
        s = Slot{key, n, file};
        if (++size_ * 2 > slots_.size()) rehash(slots_.size() * 2);
        return;
      }
      if (s.key == key) {
        s.count += n;
        s.first_file = std::min(s.first_file, file);
        return;
      }
      i = (i + 1) & mask_;
    }
  }

  void rehash(size_t cap) {
    std::vector<Slot> old(cap, Slot{0, 0, 0});
    old.swap(slots_);
    mask_ = cap - 1;
    shift_ = 64;
    for (size_t c = cap; c > 1; c >>= 1) --shift_;
    for (const Slot& s : old) {
      if (s.count == 0) continue;
      size_t i = spread(s.key) >> shift_;
      while (slots_[i].count != 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;  // 64 - log2 of the number of slots
  size_t size_ = 0;
  size_t files_ = 0;  // one more than the largest file number added
  std::unordered_map<Wide, Tally, WideHash> wide_;
};

// Insertion-ordered totals for keys made of two dense class numbers: the merge of case variants
// of a word+tag list, fed the pairs in ranked order.
class MergedCounts {
 public:
  // Adds v to the key's total; returns whether the key is new (then its number is size() - 1).
  bool add(uint32_t a, uint32_t b, int64_t v) {
    bool inserted = false;
    uint32_t n = index_.insert((static_cast<uint64_t>(a) << 32) | b, &inserted);
    if (inserted)
      totals_.push_back(v);
    else
      totals_[n] += v;
    return inserted;
  }
  size_t size() const noexcept { return totals_.size(); }
  int64_t total(size_t n) const noexcept { return totals_[n]; }
  uint64_t key(size_t n) const noexcept { return index_.key(n); }

  // Key numbers by total, largest first; equal totals keep insertion order.
  std::vector<uint32_t> ranked() const {
    std::vector<uint32_t> order(totals_.size());
    for (size_t n = 0; n < order.size(); ++n) order[n] = static_cast<uint32_t>(n);
    rank_by_count(order, [this](uint32_t n) { return static_cast<uint32_t>(totals_[n]); });
    return order;
  }

 private:
  KeyIndex index_;
  std::vector<int64_t> totals_;
};

}  // namespace kernels
}  // namespace lumora
