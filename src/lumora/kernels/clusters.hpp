// The counting kernel of clusters, shared by lm_bundles and the engine: plain C++ with no Python
// types. Finds the hits of a search word in one token array, numbers the windows of `size` tokens
// around them, counts the windows with their ranges, and decides the punctuation rule over
// character classes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lumora/common/bigmem.hpp"
#include "lumora/common/hashmap.hpp"

namespace lumora::clusters {

inline constexpr int kMaxSize = 3;

// The ids a search word or a tag stands for (usually one, a few for case variants).
class IdSet {
 public:
  void assign(std::vector<int64_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    ids_ = std::move(ids);
    // Up to four ids are tested all at once, without branches: the scan asks about every token.
    for (size_t k = 0; k < 4; ++k) few_[k] = ids_.empty() ? 0 : ids_[std::min(k, ids_.size() - 1)];
  }
  size_t size() const noexcept { return ids_.size(); }
  bool contains(int64_t v) const noexcept {
    if (ids_.size() <= 4) {
      return !ids_.empty() &&
             ((v == few_[0]) | (v == few_[1]) | (v == few_[2]) | (v == few_[3]));
    }
    return std::binary_search(ids_.begin(), ids_.end(), v);
  }

 private:
  std::vector<int64_t> ids_;
  int64_t few_[4] = {0, 0, 0, 0};  // the first four ids, the last repeated
};

// Columns 0 and 1 of one token array, as strided 64-bit integers.
struct TokenView {
  const int64_t* base;
  ptrdiff_t rows, row_stride, col_stride;
  int64_t word(ptrdiff_t i) const noexcept { return base[i * row_stride]; }
  int64_t tag(ptrdiff_t i) const noexcept { return base[i * row_stride + col_stride]; }
};

// An insertion-ordered index of tuples of `width` 32-bit numbers: each distinct tuple gets the
// next number 0, 1, 2, ... in order of first insertion. Open addressing, linear probing; a slot
// holds the upper half of the tuple's hash beside its number, so most probes touch one array.
class TupleIndex {
 public:
  explicit TupleIndex(int width) : width_(width) { rehash(1024); }

  uint32_t insert(const uint32_t* t, bool* inserted) { return insert(t, hash(t), inserted); }

  // The same with the tuple's hash at hand (see hash()).
  uint32_t insert(const uint32_t* t, uint64_t h, bool* inserted) {
    const auto tag = static_cast<uint32_t>(h >> 32);
    size_t i = h & mask_;
    for (;;) {
      uint64_t slot = slots_[i];
      if (slot == 0) break;
      if (static_cast<uint32_t>(slot >> 32) == tag) {
        auto n = static_cast<uint32_t>(slot) - 1;
        if (equal(n, t)) {
          *inserted = false;
          return n;
        }
      }
      i = (i + 1) & mask_;
    }
    if (count_ == UINT32_MAX - 1) throw std::length_error("too many distinct windows");
    keys_.insert(keys_.end(), t, t + width_);
    const uint32_t n = count_++;
    slots_[i] = (static_cast<uint64_t>(tag) << 32) | (n + 1);
    *inserted = true;
    if (static_cast<size_t>(count_) * 4 > slots_.size() * 3) rehash(slots_.size() * 2);
    return n;
  }

  // Asks for the cache line where a tuple of this hash is looked up first.
  void prefetch(uint64_t h) const noexcept {
#if defined(__GNUC__)
    __builtin_prefetch(&slots_[h & mask_]);
#else
    (void)h;
#endif
  }

  size_t size() const noexcept { return count_; }
  // Room for n tuples without growing.
  void reserve(size_t n) {
    keys_.reserve(n * static_cast<size_t>(width_));
    size_t cap = slots_.size();
    while (cap * 3 < n * 4 + 4) cap *= 2;
    if (cap != slots_.size()) rehash(cap);
  }
  const uint32_t* key(size_t n) const noexcept { return &keys_[n * static_cast<size_t>(width_)]; }

  uint64_t hash(const uint32_t* t) const noexcept {
    uint64_t x = t[0];
    for (int j = 1; j < width_; ++j) x = (x << 21) ^ (x >> 43) ^ t[j];
    return mix64(x ^ (static_cast<uint64_t>(width_) << 61));
  }

 private:
  bool equal(uint32_t n, const uint32_t* t) const noexcept {
    const uint32_t* k = key(n);
    for (int j = 0; j < width_; ++j)
      if (k[j] != t[j]) return false;
    return true;
  }
  void rehash(size_t cap) {
    slots_.assign(cap, 0u);
    mask_ = cap - 1;
    for (uint32_t n = 0; n < count_; ++n) {
      const uint64_t h = hash(key(n));
      size_t i = h & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = ((h >> 32) << 32) | (n + 1);
    }
  }

  int width_;
  uint32_t count_ = 0;
  BigVector<uint32_t> keys_;
  BigVector<uint64_t> slots_;
  size_t mask_ = 0;
};

// The windows of one call, as tuples of word numbers (see number_windows); per distinct window
// its count over the corpus, and per text the distinct windows it holds. Windows are numbered in
// the order they first arose, which is also the order in which their texts are first counted.
struct WindowCounts {
  explicit WindowCounts(int width) : windows(width) {}

  struct Count {
    int64_t total = 0;       // over the corpus
    uint32_t last_text = 0;  // 1 + the last text that counted it
    uint32_t texts = 0;      // how many texts counted it
  };

  TupleIndex windows;
  BigVector<Count> counts;           // per window
  BigVector<uint32_t> text_windows;  // each text's distinct windows, text after text
  std::vector<size_t> text_end;        // per text: the end of its part of text_windows

  size_t texts() const noexcept { return text_end.size(); }
};

// The neighbourhood of each hit of one text: the 2 * size - 1 word ids from size - 1 before the
// hit to size - 1 after it, with 0 (no word) where that reaches beyond the text, appended to
// `out`. Every window of the hit lies in its neighbourhood.
inline void collect_hoods(const TokenView& t, const IdSet& node, const IdSet* pos, int size,
                          std::vector<int64_t>& out) {
  const ptrdiff_t reach = size - 1;
  for (ptrdiff_t p = 0; p < t.rows; ++p) {
    if (!node.contains(t.word(p))) continue;
    if (pos != nullptr && !pos->contains(t.tag(p))) continue;
    for (ptrdiff_t q = p - reach; q <= p + reach; ++q)
      out.push_back(q >= 0 && q < t.rows ? t.word(q) : 0);
  }
}

// Windows as numbers, one window after the other; room added for them is not zeroed first.
using WindowNumbers = std::vector<uint32_t, BigAllocator<uint32_t, false>>;

// Appends the windows of one text's neighbourhoods to `tuples`, each hit's windows from the
// leftmost to the rightmost, as tuples of `size` numbers. A window that holds the id 0 (no word,
// or beyond the text) is never listed, so it is left out. number(id) gives the number a word id
// is counted by (never 0 is asked); it is asked only for ids of windows that are kept.
template <class Number>
void number_windows(const int64_t* hoods, size_t hits, int size, Number&& number,
                    WindowNumbers& tuples) {
  const auto z = static_cast<size_t>(size);
  const size_t width = 2 * z - 1;
  // Room for every window of every hit, grown as a vector grows.
  size_t at = tuples.size();
  const size_t most = at + hits * z * z;
  if (most > tuples.capacity()) tuples.reserve(std::max(most, 2 * tuples.capacity()));
  tuples.resize(most);
  uint32_t* out = tuples.data();
  for (size_t h = 0; h < hits; ++h) {
    const int64_t* ids = hoods + h * width;
    uint32_t num[2 * kMaxSize - 1];
    bool all = true;
    for (size_t q = 0; q < width; ++q) all &= ids[q] != 0;
    if (all) {  // a hit inside the text with words all round: every window counts
      for (size_t q = 0; q < width; ++q) num[q] = number(ids[q]);
      for (size_t s = 0; s < z; ++s)
        for (size_t j = 0; j < z; ++j) out[at++] = num[s + j];
      continue;
    }
    bool whole[kMaxSize];  // whether the window starting at ids[s] holds words only
    for (size_t s = 0; s < z; ++s) {
      bool ok = true;
      for (size_t j = 0; j < z; ++j) ok &= ids[s + j] != 0;
      whole[s] = ok;
    }
    for (size_t q = 0; q < width; ++q) {
      // Position q lies in the windows starting at q - size + 1 .. q.
      bool used = false;
      for (size_t s = 0; s < z; ++s) used |= whole[s] && s <= q && q < s + z;
      num[q] = used ? number(ids[q]) : 0;
    }
    for (size_t s = 0; s < z; ++s)
      if (whole[s])
        for (size_t j = 0; j < z; ++j) out[at++] = num[s + j];
  }
  tuples.resize(at);
}

// Counts the windows of every text: `tuples` holds them text after text, and text_end[t] is the
// end of text t's part (in windows). The table is sized at once for `distinct` windows at most:
// growing it step by step costs several times the counting itself.
inline void count_windows(const WindowNumbers& tuples, const std::vector<size_t>& text_end,
                          int size, size_t distinct, WindowCounts& c) {
  const size_t n = tuples.size() / static_cast<size_t>(size);
  c.windows.reserve(std::min(n, distinct));
  c.counts.reserve(std::min(n, distinct));
  // Each look-up's first cache line is asked for a few windows ahead.
  constexpr size_t kAhead = 8;
  uint64_t hashes[kAhead];
  for (size_t k = 0; k < std::min(n, kAhead); ++k) {
    hashes[k] = c.windows.hash(&tuples[k * size]);
    c.windows.prefetch(hashes[k]);
  }
  size_t k = 0;
  for (size_t t = 0; t < text_end.size(); ++t) {
    const auto text = static_cast<uint32_t>(t + 1);
    for (; k < text_end[t]; ++k) {
      const uint64_t h = hashes[k % kAhead];
      if (k + kAhead < n) {
        hashes[k % kAhead] = c.windows.hash(&tuples[(k + kAhead) * size]);
        c.windows.prefetch(hashes[k % kAhead]);
      }
      bool inserted = false;
      const uint32_t g = c.windows.insert(&tuples[k * size], h, &inserted);
      if (inserted) c.counts.emplace_back();
      WindowCounts::Count& count = c.counts[g];
      count.total += 1;
      if (count.last_text != text) {
        count.last_text = text;
        count.texts += 1;
        c.text_windows.push_back(g);
      }
    }
    c.text_end.push_back(c.text_windows.size());
  }
}

// Character classes of the punctuation rule: a word character (letter, digit or underscore in
// the sense of Python's re), the space, any other character.
enum CharClass : uint8_t { kWordChar = 0, kSpace = 1, kOtherChar = 2 };

// Whether "^\W+ | \W+$| \W+ " finds a match in a text of these classes. Since the space is itself
// a non-word character, that is: the non-word run at the start holds a space after its first
// character, or the run at the end holds a space before its last character, or some run holds
// two spaces at least two apart. (A "$" before a final line end adds nothing: the line end is a
// non-word character too.)
inline bool punctuation_match(const uint8_t* c, size_t n) noexcept {
  for (size_t i = 0; i < n && c[i] != kWordChar; ++i)
    if (c[i] == kSpace && i >= 1) return true;
  for (size_t j = n; j > 0 && c[j - 1] != kWordChar; --j)
    if (c[j - 1] == kSpace && j < n) return true;
  size_t k = 0;
  while (k < n) {
    if (c[k] == kWordChar) {
      ++k;
      continue;
    }
    size_t first = SIZE_MAX, last = 0;
    for (; k < n && c[k] != kWordChar; ++k) {
      if (c[k] == kSpace) {
        if (first == SIZE_MAX) first = k;
        last = k;
      }
    }
    if (first != SIZE_MAX && last - first >= 2) return true;
  }
  return false;
}

// What the punctuation rule can tell of a word form that holds no space, as bits; the engine
// has them decided once per form with Python's own \W.
enum FormShape : uint8_t {
  kFormEmpty = 1,       // no characters
  kFormNoWordChar = 2,  // characters, none of them a word character
  kFormSpaced = 4,      // holds a space: window_is_punctuation cannot decide it
};

// Whether the punctuation rule drops the window of these word forms (none kFormSpaced), joined
// with single spaces. Spaces stand only between forms, so a run of other characters that holds
// a space reaches into a form only up to that form's first or last word character, and two of
// its spaces at least two apart enclose a whole form without word characters. The rule
// therefore sees of a form only whether it is empty, holds a word character, or holds other
// characters only (however many): one class each stands in for it.
inline bool window_is_punctuation(const uint8_t* shapes, int size) noexcept {
  uint8_t c[2 * kMaxSize];
  size_t n = 0;
  for (int j = 0; j < size; ++j) {
    if (j > 0) c[n++] = kSpace;
    if (shapes[j] & kFormEmpty) continue;
    c[n++] = (shapes[j] & kFormNoWordChar) ? kOtherChar : kWordChar;
  }
  return punctuation_match(c, n);
}

}  // namespace lumora::clusters
