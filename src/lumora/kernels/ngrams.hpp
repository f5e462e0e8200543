// N-gram counting over raw buffers: the distinct n-grams of dense word numbers (one to five
// words), in order of first occurrence, each with its frequency and its range (the number of
// texts that counted it). Texts are counted one after another into a table; tables counted over
// consecutive runs of texts merge in listing order into the table one pass over all the texts
// would have made, so work split over threads gives the same order and numbers as one thread.
// Plain C++, no Python types.
#pragma once

#include "lumora/common/bigmem.hpp"
#include "lumora/common/hashmap.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace lumora {
namespace ngrams {

// Entry numbers: the distinct n-grams of texts, text after text.
using EntryList = BigVector<uint32_t>;

// How far ahead the loops over known keys prefetch hash-table slots.
constexpr size_t kAhead = 24;

inline uint32_t add_saturating(uint32_t a, uint32_t b) noexcept {
  const uint32_t s = a + b;
  return s < a ? UINT32_MAX : s;
}

// Distinct n-grams of dense word numbers, numbered 0, 1, 2, ... in order of first insertion, each
// with its count and its range (both saturating at 2**32 - 1) and the number of the last text
// that counted it. Open addressing with linear probing; a slot holds the words, the entry number
// + 1 (0: empty), the last text, the count and the range, so counting a window touches one slot.
// Callers that know their keys ahead prefetch the slots.
template <int N>
class Table {
 public:
  struct Slot {
    uint32_t w[N];
    uint32_t id;
    uint32_t text;  // the last text that counted this n-gram (texts are numbered from 1)
    uint32_t count;
    uint32_t texts;  // how many texts counted it
  };

  explicit Table(size_t expected = 0) {
    size_t cap = 1024;
    while (cap < expected * 2) cap <<= 1;
    rehash(cap);
  }

  static uint64_t hash(const uint32_t* w) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (int k = 0; k < N; k += 2) {
      uint64_t v = w[k];
      if (k + 1 < N) v |= static_cast<uint64_t>(w[k + 1]) << 32;
      h = mix64(h ^ v);
    }
    return h;
  }

  void prefetch(uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }

  // The slot of w (whose hash is h), added with zero counts when new. Valid until the next call.
  Slot& upsert(const uint32_t* w, uint64_t h) {
    size_t i = probe(w, h);
    if (slots_[i].id != 0) return slots_[i];
    if (size() >= 0xFFFFFFF0u) throw std::length_error("too many distinct n-grams");
    if ((size() + 1) * 2 > slots_.size()) {
      rehash(slots_.size() * 2);
      i = probe(w, h);
    }
    Slot& s = slots_[i];
    std::memcpy(s.w, w, sizeof s.w);
    s.id = static_cast<uint32_t>(size() + 1);
    for (int k = 0; k < N; ++k) keys_.push_back(w[k]);
    return s;
  }

  // The entry number of w (whose hash is h), or -1.
  int64_t find(const uint32_t* w, uint64_t h) const noexcept {
    const Slot& s = slots_[probe(w, h)];
    return static_cast<int64_t>(s.id) - 1;
  }

  size_t size() const noexcept { return keys_.size() / N; }
  const uint32_t* words(size_t e) const noexcept { return &keys_[e * N]; }

  // The counts, ranges and last texts of all entries, in entry order (any may be nullptr).
  void totals(std::vector<uint32_t>* counts, std::vector<uint32_t>* texts,
              std::vector<uint32_t>* last = nullptr) const {
    if (counts) counts->assign(size(), 0);
    if (texts) texts->assign(size(), 0);
    if (last) last->assign(size(), 0);
    for (const Slot& s : slots_) {
      if (s.id == 0) continue;
      if (counts) (*counts)[s.id - 1] = s.count;
      if (texts) (*texts)[s.id - 1] = s.texts;
      if (last) (*last)[s.id - 1] = s.text;
    }
  }

 private:
  static bool same(const uint32_t* a, const uint32_t* b) noexcept {
    for (int k = 0; k < N; ++k)
      if (a[k] != b[k]) return false;
    return true;
  }

  // The slot holding w, or the empty slot where it would go.
  size_t probe(const uint32_t* w, uint64_t h) const noexcept {
    size_t i = h & mask_;
    while (slots_[i].id != 0 && !same(slots_[i].w, w)) i = (i + 1) & mask_;
    return i;
  }

  void rehash(size_t cap) {
    BigVector<Slot> old(cap, Slot{});
    old.swap(slots_);
    mask_ = cap - 1;
    for (size_t j = 0; j < old.size(); ++j) {
      if (j + kAhead < old.size() && old[j + kAhead].id != 0) prefetch(hash(old[j + kAhead].w));
      if (old[j].id == 0) continue;
      size_t i = hash(old[j].w) & mask_;
      while (slots_[i].id != 0) i = (i + 1) & mask_;
      slots_[i] = old[j];
    }
  }

  BigVector<uint32_t> keys_;  // the words of each entry, in entry order
  BigVector<Slot> slots_;
  size_t mask_ = 0;
};

// One-word n-grams need no hashing: the dense word numbers index their entries directly.
template <>
class Table<1> {
 public:
  struct Slot {
    uint32_t w[1];
    uint32_t id;
    uint32_t text;
    uint32_t count;
    uint32_t texts;
  };

  explicit Table(size_t = 0) {}
  static uint64_t hash(const uint32_t*) noexcept { return 0; }
  void prefetch(uint64_t) const noexcept {}

  Slot& upsert(const uint32_t* w, uint64_t) {
    if (w[0] >= entry_of_.size())
      entry_of_.resize(std::max<size_t>(size_t{w[0]} + 1, entry_of_.size() * 2), 0);
    uint32_t& at = entry_of_[w[0]];
    if (at == 0) {
      slots_.push_back(Slot{{w[0]}, static_cast<uint32_t>(slots_.size() + 1), 0, 0, 0});
      at = static_cast<uint32_t>(slots_.size());
    }
    return slots_[at - 1];
  }

  int64_t find(const uint32_t* w, uint64_t) const noexcept {
    return w[0] < entry_of_.size() ? static_cast<int64_t>(entry_of_[w[0]]) - 1 : -1;
  }

  size_t size() const noexcept { return slots_.size(); }
  const uint32_t* words(size_t e) const noexcept { return slots_[e].w; }

  void totals(std::vector<uint32_t>* counts, std::vector<uint32_t>* texts,
              std::vector<uint32_t>* last = nullptr) const {
    if (counts) counts->resize(size());
    if (texts) texts->resize(size());
    if (last) last->resize(size());
    for (size_t e = 0; e < size(); ++e) {
      if (counts) (*counts)[e] = slots_[e].count;
      if (texts) (*texts)[e] = slots_[e].texts;
      if (last) (*last)[e] = slots_[e].text;
    }
  }

 private:
  std::vector<uint32_t> entry_of_;  // dense word number -> entry number + 1, 0: none
  std::vector<Slot> slots_;         // in entry order
};

// The tag pattern: inactive (no restriction) or the tag ids of its entries, in order.
struct TagPattern {
  bool active = false;
  std::vector<int64_t> ids;

  bool any(int64_t tag) const noexcept {
    for (int64_t id : ids)
      if (id == tag) return true;
    return false;
  }
};

// One counted window: a text that counts an n-gram for the first time adds it to its range and,
// when asked, appends its entry number to `firsts` (so each text's list holds its distinct
// n-grams in the order it first counted them).
template <class Slot>
inline void count_window(Slot& slot, uint32_t text, EntryList* firsts) {
  if (slot.text != text) {
    slot.text = text;
    if (slot.texts != UINT32_MAX) ++slot.texts;
    if (firsts) firsts->push_back(slot.id - 1);
  }
  if (slot.count != UINT32_MAX) ++slot.count;
}

// Counts every window of one text numbered `text` (numbers grow from text to text, from 1);
// words[i] is the dense number of token i's word. A text shorter than the n-gram counts nothing.
template <int N>
void count_text(Table<N>& table, const uint32_t* words, size_t rows, uint32_t text,
                EntryList* firsts = nullptr) {
  if (rows < static_cast<size_t>(N)) return;
  const size_t windows = rows + 1 - N;
  constexpr size_t kRing = 32;  // hashes of the windows from j to j + kAhead
  static_assert(kRing > kAhead && (kRing & (kRing - 1)) == 0, "a power of two above kAhead");
  uint64_t ring[kRing];
  for (size_t j = 0; j < windows && j < kAhead; ++j) ring[j] = Table<N>::hash(words + j);
  for (size_t j = 0; j < windows; ++j) {
    if (j + kAhead < windows) {
      const uint64_t h = Table<N>::hash(words + j + kAhead);
      ring[(j + kAhead) & (kRing - 1)] = h;
      table.prefetch(h);
    }
    count_window(table.upsert(words + j, ring[j & (kRing - 1)]), text, firsts);
  }
}

// The same under a tag pattern, with tag(i) the tag id of token i and word(i) the dense number
// of its word, asked only for the tokens of windows that pass. For one word, the pattern lets a
// token through when its tag is any entry; for more, the k-th entry must be the k-th token's
// tag. Returns false when a window passes every entry of a pattern shorter than N (there is no
// entry to test its next token against); what was counted before stays.
template <int N, class Tag, class Word>
bool count_matching(Table<N>& table, Tag tag, Word word, size_t rows, const TagPattern& pattern,
                    uint32_t text, EntryList* firsts = nullptr) {
  if (rows < static_cast<size_t>(N)) return true;
  const size_t entries = pattern.ids.size();
  for (size_t j = 0; j + N <= rows; ++j) {
    if (N == 1) {
      if (!pattern.any(tag(j))) continue;
    } else {
      int k = 0;
      for (; k < N; ++k) {
        if (static_cast<size_t>(k) >= entries) return false;
        if (tag(j + k) != pattern.ids[k]) break;
      }
      if (k < N) continue;
    }
    uint32_t w[N];
    for (int k = 0; k < N; ++k) w[k] = word(j + k);
    count_window(table.upsert(w, Table<N>::hash(w)), text, firsts);
  }
  return true;
}

// Adds `part`, counted over texts that all come after those counted into `into`, to `into`:
// entries new to `into` follow in part's order, counts and ranges add up (a text is in one table
// only). entry_of, when given, receives for each entry of part its entry number in `into`.
template <int N>
void merge(Table<N>& into, const Table<N>& part, std::vector<uint32_t>* entry_of = nullptr) {
  std::vector<uint32_t> counts, texts, last;
  part.totals(&counts, &texts, &last);
  const size_t n = part.size();
  if (entry_of) entry_of->resize(n);
  constexpr size_t kRing = 32;
  uint64_t ring[kRing];
  for (size_t e = 0; e < n && e < kAhead; ++e) ring[e] = Table<N>::hash(part.words(e));
  for (size_t e = 0; e < n; ++e) {
    if (e + kAhead < n) {
      const uint64_t h = Table<N>::hash(part.words(e + kAhead));
      ring[(e + kAhead) & (kRing - 1)] = h;
      into.prefetch(h);
    }
    auto& slot = into.upsert(part.words(e), ring[e & (kRing - 1)]);
    slot.count = add_saturating(slot.count, counts[e]);
    slot.texts = add_saturating(slot.texts, texts[e]);
    slot.text = last[e];
    if (entry_of) (*entry_of)[e] = slot.id - 1;
  }
}

// A word as the n-gram filters see it: made of non-word characters only (a "punctuation" word),
// empty, or anything else.
enum Shape : uint8_t { kWordy, kPunct, kEmpty };

// Whether the filter of n-grams of two words or more drops words joined with single spaces,
// from the words' shapes, when no word holds a space itself (so the separators are the only
// spaces): the first or the last word is a punctuation word, or an inner one is; an empty first
// (last) word is followed (preceded) by a word of non-word characters only; or two inner
// neighbours are both without word characters. One word is dropped when it is a punctuation word.
inline bool drops_ngram(const Shape* w, int n) noexcept {
  if (n == 1) return w[0] == kPunct;
  auto bare = [&](int k) { return w[k] != kWordy; };  // no word character at all
  if (w[0] == kPunct || w[n - 1] == kPunct) return true;
  if (n >= 3 && ((w[0] == kEmpty && bare(1)) || (w[n - 1] == kEmpty && bare(n - 2)))) return true;
  for (int k = 1; k < n - 1; ++k) {
    if (w[k] == kPunct) return true;
    if (k + 1 < n - 1 && bare(k) && bare(k + 1)) return true;
  }
  return false;
}

}  // namespace ngrams
}  // namespace lumora
