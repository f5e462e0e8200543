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
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>
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

// An estimate of how many distinct values a stream of 64-bit hashes holds (a HyperLogLog sketch
// of 4096 registers, a few per cent off), for sizing a table before it is filled. Reads bits 0-43
// of each hash.
class DistinctEstimate {
 public:
  void add(uint64_t h) noexcept {
    const uint32_t rest = static_cast<uint32_t>(h >> kBits);
    const uint8_t rank = rest == 0 ? 33 : static_cast<uint8_t>(__builtin_clz(rest) + 1);
    uint8_t& r = reg_[h & (kM - 1)];
    if (rank > r) r = rank;
  }

  // The sketch of both streams: the larger of each register.
  void add(const DistinctEstimate& other) noexcept {
    for (uint32_t i = 0; i < kM; ++i)
      if (other.reg_[i] > reg_[i]) reg_[i] = other.reg_[i];
  }

  double value() const noexcept {
    double sum = 0;
    size_t zeros = 0;
    for (uint8_t r : reg_) {
      sum += std::ldexp(1.0, -r);
      zeros += r == 0;
    }
    const double m = kM;
    const double raw = 0.7213 / (1 + 1.079 / m) * m * m / sum;
    if (raw <= 2.5 * m && zeros > 0) return m * std::log(m / static_cast<double>(zeros));
    return raw;
  }

 private:
  static constexpr int kBits = 12;
  static constexpr uint32_t kM = 1u << kBits;
  uint8_t reg_[kM] = {};
};

// Distinct n-grams of dense word numbers, numbered 0, 1, 2, ... in order of first insertion, each
// with its count and its range (both saturating at 2**32 - 1) and the number of the last text
// that counted it. Open addressing with linear probing, at most 60% full; a slot holds the
// words, the entry number + 1 (0: empty), the last text, the count and the range, so counting a
// window touches one slot. The capacity is any number (a hash picks its slot by multiplying its
// low 32 bits), so a table sized ahead with reserve() is no larger than it needs to be. Callers
// that know their keys ahead prefetch the slots.
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

  explicit Table(size_t expected = 0) { rehash(capacity_for(expected)); }

  // Room for `expected` distinct n-grams in all, without growing.
  void reserve(size_t expected) {
    const size_t cap = capacity_for(expected);
    if (cap > slots_.size()) rehash(cap);
    keys_.reserve(expected * N);
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

  // Fetches both ends of w's home slot: a slot of 24, 28 or 36 bytes often spans two lines.
  void prefetch(uint64_t h) const noexcept {
    const Slot* s = &slots_[home(h)];
    __builtin_prefetch(s);
    __builtin_prefetch(reinterpret_cast<const char*>(s + 1) - 1);
  }

  // The slot of w (whose hash is h), added with zero counts when new. Valid until the next call.
  Slot& upsert(const uint32_t* w, uint64_t h) {
    size_t i = probe(w, h);
    if (slots_[i].id != 0) return slots_[i];
    if (size() >= 0xFFFFFFF0u || size() + 2 >= slots_.size())
      throw std::length_error("too many distinct n-grams");
    if ((size() + 1) * 5 > slots_.size() * 3 && slots_.size() < kMaxSlots) {
      rehash(std::min(kMaxSlots, slots_.size() * 2));
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

  // The counts, ranges and last texts of all entries, in entry order (any may be nullptr), into
  // vectors of uint32_t of any allocator.
  template <class V>
  void totals(V* counts, V* texts, V* last = nullptr) const {
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

  // Frees the hash slots (counts, ranges and look-ups go with them); the entries' words stay.
  void drop_index() { Slots().swap(slots_); }

 private:
  // Slots are left as allocated, then cleared.
  using Slots = std::vector<Slot, BigAllocator<Slot, false>>;
  static constexpr size_t kMaxSlots = size_t{1} << 32;  // home() reaches slots below 2**32

  static size_t capacity_for(size_t expected) noexcept {
    const size_t want = expected / 3 * 5 + 5;
    return std::min(kMaxSlots, std::max<size_t>(1024, want));
  }

  size_t home(uint64_t h) const noexcept {
    return static_cast<size_t>(((h & 0xFFFFFFFFu) * slots_.size()) >> 32);
  }

  static bool same(const uint32_t* a, const uint32_t* b) noexcept {
    for (int k = 0; k < N; ++k)
      if (a[k] != b[k]) return false;
    return true;
  }

  // The slot holding w, or the empty slot where it would go.
  size_t probe(const uint32_t* w, uint64_t h) const noexcept {
    size_t i = home(h);
    const size_t cap = slots_.size();
    while (slots_[i].id != 0 && !same(slots_[i].w, w))
      if (++i == cap) i = 0;
    return i;
  }

  void rehash(size_t cap) {
    Slots old(cap);
    std::memset(static_cast<void*>(old.data()), 0, cap * sizeof(Slot));
    old.swap(slots_);
    for (size_t j = 0; j < old.size(); ++j) {
      if (j + kAhead < old.size() && old[j + kAhead].id != 0) prefetch(hash(old[j + kAhead].w));
      if (old[j].id == 0) continue;
      size_t i = home(hash(old[j].w));
      while (slots_[i].id != 0)
        if (++i == cap) i = 0;
      slots_[i] = old[j];
    }
  }

  BigVector<uint32_t> keys_;  // the words of each entry, in entry order
  Slots slots_;
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

  void drop_index() { std::vector<uint32_t>().swap(entry_of_); }

  size_t size() const noexcept { return slots_.size(); }
  const uint32_t* words(size_t e) const noexcept { return slots_[e].w; }

  template <class V>
  void totals(V* counts, V* texts, V* last = nullptr) const {
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

// The windows of one text that pass a tag pattern (see count_matching), by their first token,
// appended to `starts`. False as count_matching returns false.
template <int N, class Tag>
bool matching_windows(Tag tag, size_t rows, const TagPattern& pattern,
                      std::vector<uint32_t>& starts) {
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
    starts.push_back(static_cast<uint32_t>(j));
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

// The words of one text as the counting reads them: `windows` windows, window j's words from
// words[j * stride]; window0 numbers its first window among the windows of all texts.
struct TextWindows {
  std::vector<uint32_t> words;
  size_t windows = 0;
  size_t stride = 1;
  uint64_t window0 = 0;
};

// Each partition's counting of texts: the distinct n-grams of each text (local entry numbers)
// and where each text's part of them ends.
struct PartFirsts {
  EntryList entries;
  std::vector<size_t> text_end;
};

// Counting split by hash over several threads: partition p of P owns the n-grams whose hash
// picks p, and its worker walks every window of every text in listing order but counts only the
// windows of its own n-grams, into a table of its own. Each partition's entries are in order of
// first occurrence, and each remembers the number of the window where it first occurred; finish()
// interleaves the partitions by those numbers, so the entries get the numbers (and the order) one
// table counting every window would have given them. Ranges need no merging: a text's windows
// are all seen by every worker, each counting its own n-grams.
template <int N>
class Partitioned {
 public:
  using Slot = typename Table<N>::Slot;

  // One-word n-grams are counted in one partition: they need no hashing and little work.
  explicit Partitioned(unsigned parts) : parts_(N == 1 ? 1 : std::max(1u, std::min(parts, 64u))) {
    tables_.reserve(parts_);
    for (unsigned p = 0; p < parts_; ++p) tables_.emplace_back();
    first_.resize(parts_);
  }

  unsigned parts() const noexcept { return parts_; }
  static uint64_t hash(const uint32_t* w) noexcept { return Table<N>::hash(w); }
  unsigned part_of(uint64_t h) const noexcept {
    return static_cast<unsigned>(((h >> 32) * parts_) >> 32);
  }

  // Worker `part`: counts those of the `windows` windows of one text (window j's words start at
  // words[j * stride]) that belong to its partition; window0 numbers the text's first window
  // among all windows of all texts. Texts are given in listing order, numbered from 1.
  void count_text(unsigned part, const uint32_t* words, size_t windows, size_t stride,
                  uint32_t text, uint64_t window0, EntryList* firsts = nullptr) {
    Table<N>& table = tables_[part];
    BigVector<uint64_t>& first = first_[part];
    // A stretch of windows at a time: this partition's windows picked out first (no branch to
    // mispredict on every other window), then counted with their slots fetched kAhead ahead.
    constexpr size_t kStretch = 1024;
    uint64_t hashes[kStretch];
    uint32_t at[kStretch];
    for (size_t from = 0; from < windows; from += kStretch) {
      const size_t to = std::min(windows, from + kStretch);
      size_t n = 0;
      for (size_t j = from; j < to; ++j) {
        const uint64_t h = hash(words + j * stride);
        hashes[n] = h;
        at[n] = static_cast<uint32_t>(j - from);
        n += parts_ == 1 || part_of(h) == part;
      }
      for (size_t k = 0; k < n && k < kAhead; ++k) table.prefetch(hashes[k]);
      for (size_t k = 0; k < n; ++k) {
        if (k + kAhead < n) table.prefetch(hashes[k + kAhead]);
        const size_t j = from + at[k];
        Slot& slot = table.upsert(words + j * stride, hashes[k]);
        if (slot.count == 0 && slot.texts == 0) first.push_back(window0 + j);  // a new entry
        count_window(slot, text, firsts);
      }
    }
  }

  // Worker `part`: counts its windows of every text of `texts` (numbered from 1 in order), into
  // a table sized first for the distinct n-grams among them (estimated from their hashes), so
  // that it never grows step by step. With `firsts`, each text's distinct n-grams are listed.
  // Returns early, with what was counted so far, once stop() holds (asked between texts).
  template <class Stop = bool (*)()>
  void count_all(unsigned part, const std::vector<TextWindows>& texts,
                 PartFirsts* firsts = nullptr, Stop stop = [] { return false; }) {
    if constexpr (N > 1) {
      Sketch sketch(parts_);
      if (!sketch_texts(texts, 0, texts.size(), sketch, stop)) return;
      reserve_part(part, sketch.distinct(part), firsts);
    }
    count_texts(part, texts, firsts, stop);
  }

  // The distinct n-grams of each partition among some windows, estimated; sketches of
  // different windows merge into the sketch of all of them.
  class Sketch {
   public:
    explicit Sketch(unsigned parts) : estimates_(parts), windows_(parts, 0) {}
    void add(const Sketch& other) {
      for (size_t p = 0; p < estimates_.size(); ++p) {
        estimates_[p].add(other.estimates_[p]);
        windows_[p] += other.windows_[p];
      }
    }
    // A little over the estimate, never over the windows themselves.
    size_t distinct(unsigned part) const {
      const auto expected = static_cast<size_t>(estimates_[part].value() * 1.05) + 64;
      return std::min(windows_[part], expected);
    }

   private:
    friend class Partitioned;
    std::vector<DistinctEstimate> estimates_;
    std::vector<size_t> windows_;
  };

  // Sketches every window of texts [from, to) into the sketch of its partition; false when
  // stop() held (asked between texts).
  template <class Stop = bool (*)()>
  bool sketch_texts(const std::vector<TextWindows>& texts, size_t from, size_t to, Sketch& sketch,
                    Stop stop = [] { return false; }) const {
    for (size_t i = from; i < to; ++i) {
      if (stop()) return false;
      const TextWindows& t = texts[i];
      for (size_t j = 0; j < t.windows; ++j) {
        const uint64_t h = hash(t.words.data() + j * t.stride);
        const unsigned p = parts_ == 1 ? 0 : part_of(h);
        sketch.estimates_[p].add(h);
        ++sketch.windows_[p];
      }
    }
    return true;
  }

  // Room in partition `part` for `distinct` n-grams, so that its table never grows step by step.
  void reserve_part(unsigned part, size_t distinct, PartFirsts* firsts = nullptr) {
    tables_[part].reserve(distinct);
    first_[part].reserve(distinct);
    if (firsts) firsts->entries.reserve(distinct);
  }

  // Worker `part`: counts its windows of every text of `texts` in order (numbered from 1); with
  // `firsts`, each text's distinct n-grams are listed. Returns early once stop() holds.
  template <class Stop = bool (*)()>
  void count_texts(unsigned part, const std::vector<TextWindows>& texts, PartFirsts* firsts = nullptr,
                   Stop stop = [] { return false; }) {
    for (size_t i = 0; i < texts.size() && !stop(); ++i) {
      const TextWindows& t = texts[i];
      count_text(part, t.words.data(), t.windows, t.stride, static_cast<uint32_t>(i + 1),
                 t.window0, firsts ? &firsts->entries : nullptr);
      if (firsts) firsts->text_end.push_back(firsts->entries.size());
    }
  }

  // Numbers the entries of all partitions in order of first occurrence (call once, after all
  // counting).
  void finish() {
    size_ = 0;
    for (const Table<N>& t : tables_) size_ += t.size();
    if (parts_ == 1) {
      first_[0] = BigVector<uint64_t>();
      return;
    }
    part_of_.resize(size_);
    local_of_.resize(size_);
    global_of_.resize(parts_);
    std::vector<size_t> next(parts_, 0);
    for (unsigned p = 0; p < parts_; ++p) global_of_[p].resize(tables_[p].size());
    for (size_t g = 0; g < size_; ++g) {
      unsigned best = parts_;
      uint64_t earliest = UINT64_MAX;
      for (unsigned p = 0; p < parts_; ++p) {
        if (next[p] < first_[p].size() && first_[p][next[p]] < earliest) {
          earliest = first_[p][next[p]];
          best = p;
        }
      }
      part_of_[g] = static_cast<uint8_t>(best);
      local_of_[g] = static_cast<uint32_t>(next[best]);
      global_of_[best][next[best]++] = static_cast<uint32_t>(g);
    }
    for (auto& f : first_) f = BigVector<uint64_t>();
  }

  size_t size() const noexcept { return size_; }

  const uint32_t* words(size_t e) const noexcept {
    if (parts_ == 1) return tables_[0].words(e);
    return tables_[part_of_[e]].words(local_of_[e]);
  }

  // The entry number of partition p's entry `local`.
  size_t global(unsigned p, uint32_t local) const noexcept {
    return parts_ == 1 ? local : global_of_[p][local];
  }

  void prefetch(uint64_t h) const noexcept { tables_[part_of(h)].prefetch(h); }

  // The entry number of w (whose hash is h), or -1.
  int64_t find(const uint32_t* w, uint64_t h) const noexcept {
    const unsigned p = part_of(h);
    const int64_t local = tables_[p].find(w, h);
    if (local < 0) return -1;
    return static_cast<int64_t>(global(p, static_cast<uint32_t>(local)));
  }

  // Frees the hash slots of every partition (after totals(); find() is gone then).
  void drop_index() {
    for (Table<N>& t : tables_) t.drop_index();
  }

  // The counts and ranges of all entries, in entry order (either may be nullptr).
  template <class V>
  void totals(V* counts, V* texts) const {
    if (parts_ == 1) {
      tables_[0].totals(counts, texts);
      return;
    }
    if (counts) counts->assign(size_, 0);
    if (texts) texts->assign(size_, 0);
    BigVector<uint32_t> c, t;
    for (unsigned p = 0; p < parts_; ++p) {
      tables_[p].totals(counts ? &c : nullptr, texts ? &t : nullptr);
      for (size_t local = 0; local < tables_[p].size(); ++local) {
        const uint32_t g = global_of_[p][local];
        if (counts) (*counts)[g] = c[local];
        if (texts) (*texts)[g] = t[local];
      }
    }
  }

 private:
  unsigned parts_;
  std::vector<Table<N>> tables_;
  std::vector<BigVector<uint64_t>> first_;  // per partition, per entry: its first window
  size_t size_ = 0;
  BigVector<uint8_t> part_of_;              // per entry, after finish()
  BigVector<uint32_t> local_of_;            // per entry: its number in its partition
  std::vector<BigVector<uint32_t>> global_of_;  // per partition: local number -> entry number
};

// Consecutive runs of texts of about as many windows each, one a part: part p has the texts
// cut[p] .. cut[p+1] (parts + 1 bounds, some runs possibly empty).
inline std::vector<size_t> text_runs(const std::vector<TextWindows>& texts, unsigned parts) {
  size_t total = 0;
  for (const TextWindows& t : texts) total += t.windows;
  std::vector<size_t> cut(parts + 1, texts.size());
  cut[0] = 0;
  size_t seen = 0;
  unsigned next = 1;
  for (size_t i = 0; i < texts.size() && next < parts; ++i) {
    seen += texts[i].windows;
    while (next < parts && seen * parts >= total * next) cut[next++] = i + 1;
  }
  return cut;
}

// Runs job(p) for p = 0 .. n-1: 1 to n-1 on helper threads while the caller runs 0 (and any
// whose thread could not be started). Rethrows what a job threw.
template <class Job>
void run_parts(unsigned n, Job job) {
  std::vector<std::thread> threads;
  std::vector<unsigned> mine{0};
  std::vector<std::exception_ptr> failure(n);
  for (unsigned p = 1; p < n; ++p) {
    try {
      threads.emplace_back([&, p] {
        try {
          job(p);
        } catch (...) {
          failure[p] = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      mine.push_back(p);
    }
  }
  for (unsigned p : mine) {
    try {
      job(p);
    } catch (...) {
      failure[p] = std::current_exception();
    }
  }
  for (auto& t : threads) t.join();
  for (auto& f : failure)
    if (f) std::rethrow_exception(f);
}

// Counts every partition of `table` over all of `texts`, as Partitioned::count_all would, on
// one thread per partition: first each thread sketches a share of the windows for every
// partition (so each window is hashed once for the sizing), then each counts its partition.
// Rethrows what a helper's counting threw (out of memory, too many n-grams). With `firsts`, each
// partition's texts list their distinct n-grams there. Touches no Python object.
template <int N>
void count_parts(Partitioned<N>& table, const std::vector<TextWindows>& texts,
                 std::vector<PartFirsts>* firsts) {
  const unsigned parts = table.parts();
  if (firsts) firsts->assign(parts, PartFirsts{});
  auto firsts_of = [firsts](unsigned p) { return firsts ? &(*firsts)[p] : nullptr; };
  if constexpr (N > 1) {
    const std::vector<size_t> cut = text_runs(texts, parts);
    std::vector<typename Partitioned<N>::Sketch> sketches(parts,
                                                          typename Partitioned<N>::Sketch(parts));
    run_parts(parts, [&](unsigned p) { table.sketch_texts(texts, cut[p], cut[p + 1], sketches[p]); });
    for (unsigned p = 1; p < parts; ++p) sketches[0].add(sketches[p]);
    run_parts(parts, [&](unsigned p) {
      table.reserve_part(p, sketches[0].distinct(p), firsts_of(p));
      table.count_texts(p, texts, firsts_of(p));
    });
  } else {
    run_parts(parts, [&](unsigned p) { table.count_texts(p, texts, firsts_of(p)); });
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
