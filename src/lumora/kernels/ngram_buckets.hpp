// N-grams of two or three words counted in buckets. Every window's words are packed into one
// 64-bit key; the keys are first spread by hash over buckets small enough for a bucket's
// distinct n-grams to stay in the cache while they are counted, then each bucket is counted
// on its own. A bucket holds its windows in corpus order, so the entries a bucket makes come
// in order of first occurrence with the number of their first window, and one pass over those
// numbers puts the entries of all buckets in the order a single table counting window after
// window would have given them. The numbers equal those of ngrams::Partitioned; only the way
// through memory differs. Plain C++, no Python types.
#pragma once

#include "lumora/common/bigmem.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/kernels/ngrams.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace lumora {
namespace ngrams {

// Bits of a word's dense number in a packed key of N words.
template <int N>
constexpr int kKeyBits = N == 2 ? 32 : 21;

// Whether n-grams of N words over `words` distinct word numbers pack into one key.
template <int N>
constexpr bool packs(size_t words) noexcept {
  return (N == 2 || N == 3) && (N == 2 || words <= (size_t{1} << kKeyBits<N>));
}

template <int N>
inline uint64_t pack(const uint32_t* w) noexcept {
  uint64_t key = 0;
  for (int k = 0; k < N; ++k) key |= static_cast<uint64_t>(w[k]) << (k * kKeyBits<N>);
  return key;
}

template <int N>
inline void unpack(uint64_t key, uint32_t* w) noexcept {
  constexpr uint64_t mask = (uint64_t{1} << kKeyBits<N>) - 1;
  for (int k = 0; k < N; ++k) w[k] = static_cast<uint32_t>((key >> (k * kKeyBits<N>)) & mask);
}

// The distinct n-grams of a corpus counted in buckets, in phases: tally() and scatter() on every
// worker (one run of texts each), place() between them; count() on every worker (one run of
// buckets each) after prepare_counts(); then mark() and gather() on every worker (one range of
// windows each) after prepare_order(). A phase's workers run at the same time or one after
// another; the next phase starts once all are done.
template <int N>
class Buckets {
 public:
  static_assert(N == 2 || N == 3, "two or three words a key");

  // An entry: its words' key, its count and its range.
  struct Entry {
    uint64_t key;
    uint32_t count;
    uint32_t range;
  };

  // Whether `texts` can be counted this way: no more windows than 32-bit positions number.
  static bool fits(const std::vector<TextWindows>& texts) noexcept {
    uint64_t windows = 0;
    for (const TextWindows& t : texts) windows += t.windows;
    return windows < UINT32_MAX;
  }

  // Prepares the counting of `texts` (windows numbered as their window0 says, in listing order)
  // by `workers` workers.
  Buckets(const std::vector<TextWindows>& texts, unsigned workers)
      : texts_(texts), workers_(std::max(1u, workers)) {
    for (const TextWindows& t : texts) windows_ += t.windows;
    // About 4096 windows a bucket: their distinct n-grams and table fit the second-level cache.
    bits_ = 0;
    while (bits_ < 12 && (windows_ >> (bits_ + 12)) > 0) ++bits_;
    buckets_ = size_t{1} << bits_;
    // Consecutive runs of texts, one a worker, so that each bucket lists its windows in order.
    range_ = text_runs(texts, workers_);
    histogram_.assign(static_cast<size_t>(workers_) * buckets_, 0);
    window0_.resize(texts.size() + 1);
    for (size_t t = 0; t < texts.size(); ++t) window0_[t] = texts[t].window0;
    window0_[texts.size()] = windows_;
    block_text_.resize(static_cast<size_t>(windows_ >> kBlockBits) + 1);
    size_t t = 0;
    for (size_t k = 0; k < block_text_.size(); ++k) {
      const uint64_t window = static_cast<uint64_t>(k) << kBlockBits;
      while (t + 1 < texts.size() && window0_[t + 1] <= window) ++t;
      block_text_[k] = static_cast<uint32_t>(t);
    }
  }

  unsigned workers() const noexcept { return workers_; }
  size_t buckets() const noexcept { return buckets_; }
  uint64_t windows() const noexcept { return windows_; }

  // Phase 1, worker w (all workers, then phase 2): counts the windows of its texts by bucket.
  template <class Stop>
  void tally(unsigned w, Stop stop) {
    size_t* hist = &histogram_[static_cast<size_t>(w) * buckets_];
    for (size_t t = range_[w]; t < range_[w + 1] && !stop(); ++t) {
      const TextWindows& text = texts_[t];
      const uint32_t* words = text.words.data();
      for (size_t j = 0; j < text.windows; ++j)
        ++hist[bucket_of(mix64(pack<N>(words + j * text.stride)))];
    }
  }

  // Between the phases (one thread): where each worker's windows of each bucket go.
  void place() {
    start_.assign(buckets_ + 1, 0);
    cursor_.assign(static_cast<size_t>(workers_) * buckets_, 0);
    size_t at = 0;
    for (size_t b = 0; b < buckets_; ++b) {
      start_[b] = at;
      for (unsigned w = 0; w < workers_; ++w) {
        cursor_[static_cast<size_t>(w) * buckets_ + b] = at;
        at += histogram_[static_cast<size_t>(w) * buckets_ + b];
      }
    }
    start_[buckets_] = at;
    keys_.resize(windows_);
    firsts_.resize(windows_);
  }

  // Phase 2, worker w: writes the key and the number of each of its windows into their bucket.
  template <class Stop>
  void scatter(unsigned w, Stop stop) {
    size_t* cursor = &cursor_[static_cast<size_t>(w) * buckets_];
    uint64_t* keys = keys_.data();
    uint32_t* firsts = firsts_.data();
    for (size_t t = range_[w]; t < range_[w + 1] && !stop(); ++t) {
      const TextWindows& text = texts_[t];
      const uint32_t* words = text.words.data();
      const auto window0 = static_cast<uint32_t>(text.window0);
      for (size_t j = 0; j < text.windows; ++j) {
        const uint64_t key = pack<N>(words + j * text.stride);
        const size_t at = cursor[bucket_of(mix64(key))]++;
        keys[at] = key;
        firsts[at] = window0 + static_cast<uint32_t>(j);
      }
    }
  }

  // Between phases 2 and 3 (one thread): worker w counts the buckets part_[w] .. part_[w+1],
  // a run about as long as the others'.
  void prepare_counts() {
    std::vector<size_t>().swap(cursor_);
    made_entries_.resize(windows_);
    if (list_texts_) {
      text_first_.resize(windows_);
      std::fill(text_first_.begin(), text_first_.end(), 0u);
    }
    part_.assign(1, 0);
    size_t b = 0;
    for (unsigned k = 1; k < workers_; ++k) {
      const size_t goal = windows_ / workers_ * k;
      while (b < buckets_ && start_[b + 1] <= goal) ++b;
      part_.push_back(b);
    }
    part_.push_back(buckets_);
    made_.assign(workers_, 0);
  }

  // Phase 3, worker w: counts its buckets in order, keeping the entries whose words keep(words)
  // keeps. Their entries and first windows are written one after another from the worker's first
  // position on: each bucket's where its windows were or before, once they are read.
  template <class Keep, class Stop>
  void count(unsigned w, Keep keep, Stop stop) {
    Scratch s;
    size_t out = start_[part_[w]];
    uint32_t words[N];
    for (size_t b = part_[w]; b < part_[w + 1] && !stop(); ++b) {
      count_bucket(s, start_[b], start_[b + 1]);
      for (uint32_t i : s.order) {
        Slot& slot = s.slots[i];
        s.top = std::max(s.top, slot.count);
        unpack<N>(slot.key, words);
        if (!keep(words)) continue;
        made_entries_[out] = Entry{slot.key, slot.count, slot.range};
        firsts_[out] = slot.first;
        slot.at = static_cast<uint32_t>(++out);
      }
      for (const auto& ev : s.events)
        if (s.slots[ev.second].at != 0) text_first_[ev.first] = s.slots[ev.second].at;
    }
    made_[w] = out - start_[part_[w]];
    uint32_t seen = top_.load();
    while (s.top > seen && !top_.compare_exchange_weak(seen, s.top)) {
    }
  }

  // The largest count of any entry, kept or not (after phase 3).
  uint32_t top_count() const noexcept { return top_.load(); }

  // Between phases 3 and 4 (one thread).
  void prepare_order() {
    Raw<uint64_t>().swap(keys_);
    size_t kept = 0;
    for (size_t m : made_) kept += m;
    entries_.resize(kept);
    at_window_.resize(windows_);
    if (list_texts_) number_of_.resize(windows_);
    taken_.assign(workers_, 0);
  }

  // Phase 4, worker w: marks, at the first window of each entry first met in its range of
  // windows, the entry's position.
  void mark(unsigned w) {
    const uint64_t lo = windows_ * w / workers_, hi = windows_ * (w + 1) / workers_;
    std::fill(at_window_.begin() + static_cast<std::ptrdiff_t>(lo),
              at_window_.begin() + static_cast<std::ptrdiff_t>(hi), 0u);
    size_t taken = 0;
    for (unsigned k = 0; k < workers_; ++k) {
      const size_t begin = start_[part_[k]];
      for (size_t e = begin; e < begin + made_[k]; ++e) {
        const uint32_t first = firsts_[e];
        if (first < lo || first >= hi) continue;
        at_window_[first] = static_cast<uint32_t>(e + 1);
        ++taken;
      }
    }
    taken_[w] = taken;
  }

  // Phase 5, worker w: the entries of its range of windows, in order, into entries().
  void gather(unsigned w) {
    const uint64_t lo = windows_ * w / workers_, hi = windows_ * (w + 1) / workers_;
    size_t n = 0;
    for (unsigned k = 0; k < w; ++k) n += taken_[k];
    constexpr size_t kAheadAt = 16;
    uint32_t ring[kAheadAt];
    size_t head = 0, tail = 0;
    auto take = [&](uint32_t at) {
      if (list_texts_) number_of_[at] = static_cast<uint32_t>(n);
      entries_[n++] = made_entries_[at];
    };
    for (uint64_t window = lo; window < hi; ++window) {
      const uint32_t p = at_window_[window];
      if (p == 0) continue;
      __builtin_prefetch(&made_entries_[p - 1]);
      if (tail - head == kAheadAt) take(ring[head++ % kAheadAt]);
      ring[tail++ % kAheadAt] = p - 1;
    }
    while (head < tail) take(ring[head++ % kAheadAt]);
  }

  // Asks, before phase 3, for each text's distinct n-grams (see text_firsts()).
  void list_texts() noexcept { list_texts_ = true; }

  // After phase 5, when asked for with list_texts(): each text's distinct kept n-grams, by
  // entry number, in the order the text first counted them, and where each text's list ends.
  void text_firsts(PartFirsts& out) {
    out.entries.clear();
    out.text_end.clear();
    for (size_t t = 0; t + 1 < window0_.size(); ++t) {
      for (uint64_t j = window0_[t]; j < window0_[t + 1]; ++j)
        if (text_first_[j] != 0) out.entries.push_back(number_of_[text_first_[j] - 1]);
      out.text_end.push_back(out.entries.size());
    }
    Raw<uint32_t>().swap(text_first_);
    Raw<uint32_t>().swap(number_of_);
  }

  // The kept entries in order of first occurrence (after phase 5). Frees the counting's arrays.
  BigVector<Entry>& entries() {
    Raw<uint32_t>().swap(firsts_);
    Raw<uint32_t>().swap(at_window_);
    Raw<Entry>().swap(made_entries_);
    return entries_;
  }

 private:
  template <class T>
  using Raw = std::vector<T, BigAllocator<T, false>>;  // left as allocated: filled before read

  // A distinct n-gram of the bucket being counted.
  struct Slot {
    uint64_t key = 0;
    uint32_t count = 0;
    uint32_t range = 0;
    uint32_t last = 0;   // the last text that counted it
    uint32_t first = 0;  // the window where it was first met
    uint32_t epoch = 0;  // the bucket that wrote the slot; the others read it as empty
    uint32_t at = 0;     // its position + 1 once written out; 0 when left out
  };

  // A worker's table and entries for one bucket at a time, reused from bucket to bucket.
  struct Scratch {
    std::vector<Slot> slots;
    uint32_t epoch = 0;
    std::vector<uint32_t> order;                        // the slots in order of first meeting
    std::vector<std::pair<uint32_t, uint32_t>> events;  // (window, slot): a text's first count
    uint32_t top = 0;
  };

  size_t bucket_of(uint64_t h) const noexcept {
    return bits_ == 0 ? 0 : static_cast<size_t>(h >> (64 - bits_));
  }

  // Counts the windows at positions begin .. end (one bucket, in corpus order) into s.
  void count_bucket(Scratch& s, size_t begin, size_t end) {
    s.events.clear();
    s.order.clear();
    const size_t n = end - begin;
    if (n == 0) return;
    size_t cap = 16;
    while (cap < n + n / 2) cap <<= 1;
    if (s.slots.size() < cap) s.slots.assign(cap, Slot{});
    if (++s.epoch == 0) {  // the stamps wrapped: clear them once
      std::fill(s.slots.begin(), s.slots.end(), Slot{});
      s.epoch = 1;
    }
    const uint32_t epoch = s.epoch;
    const size_t mask = cap - 1;
    Slot* slots = s.slots.data();
    const uint64_t* keys = keys_.data() + begin;
    const uint32_t* windows = firsts_.data() + begin;
    for (size_t j = 0; j < n; ++j) {
      const uint64_t key = keys[j];
      const uint32_t window = windows[j];
      // The text of the window (numbered from 1): from the text where its block of windows
      // begins, on past the texts that end before it.
      size_t text = block_text_[window >> kBlockBits];
      while (window0_[text + 1] <= window) ++text;
      const auto text_no = static_cast<uint32_t>(text + 1);
      size_t i = static_cast<size_t>(mix64(key)) & mask;
      for (;;) {
        Slot& slot = slots[i];
        if (slot.epoch != epoch) {
          slot = Slot{key, 1, 1, text_no, window, epoch, 0};
          s.order.push_back(static_cast<uint32_t>(i));
          if (list_texts_) s.events.push_back({window, static_cast<uint32_t>(i)});
          break;
        }
        if (slot.key == key) {
          ++slot.count;
          if (slot.last != text_no) {
            slot.last = text_no;
            ++slot.range;
            if (list_texts_) s.events.push_back({window, static_cast<uint32_t>(i)});
          }
          break;
        }
        i = (i + 1) & mask;
      }
    }
  }

  const std::vector<TextWindows>& texts_;
  unsigned workers_;
  uint64_t windows_ = 0;
  int bits_ = 0;
  size_t buckets_ = 1;
  std::vector<size_t> range_;      // worker w: texts range_[w] .. range_[w+1]
  std::vector<size_t> histogram_;  // per worker, per bucket: windows
  std::vector<size_t> cursor_;     // per worker, per bucket: where its next window goes
  std::vector<size_t> start_;      // per bucket: its first position; one more at the end
  std::vector<size_t> part_;       // worker w counts buckets part_[w] .. part_[w+1]
  std::vector<size_t> made_;       // per worker: the entries it made
  static constexpr int kBlockBits = 10;
  std::vector<uint64_t> window0_;  // per text: its first window; the number of windows last
  std::vector<uint32_t> block_text_;  // per 2**kBlockBits windows: the text of the first
  Raw<uint64_t> keys_;             // per position: a window's key
  Raw<uint32_t> firsts_;           // per position: a window's number, then an entry's first
  Raw<Entry> made_entries_;        // per position: an entry of the counting
  Raw<uint32_t> at_window_;        // per window: the position + 1 of the entry first met there
  std::vector<size_t> taken_;      // per worker: the entries first met in its windows
  BigVector<Entry> entries_;       // the kept entries in order of first occurrence
  bool list_texts_ = false;
  Raw<uint32_t> text_first_;       // per window: position + 1 of the entry a text first counts
  Raw<uint32_t> number_of_;        // per position: the entry's number in entries_
  std::atomic<uint32_t> top_{0};
};

// The n-grams of texts as lm_sequences counts them: in buckets when they pack (two or three
// words over few enough word numbers), else by hash partitions, with the interface of
// Partitioned either way. Every n-gram is an entry (the caller filters).
template <int N>
class Counter {
 public:
  explicit Counter(unsigned parts) : workers_(std::max(1u, parts)), partitioned_(parts) {}

  // Counts every window of `texts` (numbered by their window0, in listing order) over dense
  // word numbers below `words`; `firsts`, when given, receives each text's distinct n-grams,
  // as count_parts() gives them.
  void count(const std::vector<TextWindows>& texts, size_t words,
             std::vector<PartFirsts>* firsts) {
    if constexpr (N == 2 || N == 3) {
      if (packs<N>(words) && Buckets<N>::fits(texts)) {
        bucketed_ = true;
        Buckets<N> b(texts, workers_);
        auto go = [] { return false; };
        auto all = [](const uint32_t*) { return true; };
        if (firsts) b.list_texts();
        run_parts(b.workers(), [&](unsigned w) { b.tally(w, go); });
        b.place();
        run_parts(b.workers(), [&](unsigned w) { b.scatter(w, go); });
        b.prepare_counts();
        run_parts(b.workers(), [&](unsigned w) { b.count(w, all, go); });
        b.prepare_order();
        run_parts(b.workers(), [&](unsigned w) { b.mark(w); });
        run_parts(b.workers(), [&](unsigned w) { b.gather(w); });
        if (firsts) {
          firsts->assign(1, PartFirsts{});
          b.text_firsts((*firsts)[0]);
        }
        const auto& entries = b.entries();
        words_.resize(entries.size() * N);
        counts_.resize(entries.size());
        ranges_.resize(entries.size());
        for (size_t e = 0; e < entries.size(); ++e) {
          unpack<N>(entries[e].key, &words_[e * N]);
          counts_[e] = entries[e].count;
          ranges_[e] = entries[e].range;
        }
        return;
      }
    }
    if constexpr (N == 1) {
      if (count_words(texts, words, firsts)) return;
    }
    count_parts(partitioned_, texts, firsts);
    partitioned_.finish();
  }

  unsigned parts() const noexcept { return bucketed_ ? 1 : partitioned_.parts(); }
  size_t size() const noexcept { return bucketed_ ? counts_.size() : partitioned_.size(); }
  const uint32_t* words(size_t e) const noexcept {
    return bucketed_ ? &words_[e * N] : partitioned_.words(e);
  }
  size_t global(unsigned p, uint32_t local) const noexcept {
    return bucketed_ ? local : partitioned_.global(p, local);
  }

  // found[q] = the entry number of the q-th of n n-grams, -1 where none: form_of(q, w) puts
  // its words in w, hashes[q] is their Table<N>::hash. Counted in buckets, the entries are read
  // once against a table of the n-grams asked for (usually far fewer).
  template <class FormOf, class Hashes, class Found>
  void find_all(size_t n, FormOf form_of, const Hashes& hashes, Found& found) const {
    uint32_t w[N];
    if (bucketed_ && N == 1) {
      for (size_t q = 0; q < n; ++q) {
        form_of(q, w);
        found[q] = w[0] < size() ? static_cast<int64_t>(w[0]) : -1;
      }
      return;
    }
    if (!bucketed_) {
      for (size_t q = 0; q < n; ++q) {
        if (q + kAhead < n) partitioned_.prefetch(hashes[q + kAhead]);
        form_of(q, w);
        found[q] = partitioned_.find(w, hashes[q]);
      }
      return;
    }
    if constexpr (N == 2 || N == 3) {
      KeyIndex asked(n);
      std::vector<uint32_t> number(n);  // per n-gram asked for: its number in `asked`
      for (size_t q = 0; q < n; ++q) {
        form_of(q, w);
        number[q] = asked.insert(pack<N>(w));
      }
      std::vector<int64_t> entry(asked.size(), -1);
      for (size_t e = 0; e < size() && asked.size() > 0; ++e) {
        const int64_t k = asked.find(pack<N>(&words_[e * N]));
        if (k >= 0) entry[static_cast<size_t>(k)] = static_cast<int64_t>(e);
      }
      for (size_t q = 0; q < n; ++q) found[q] = entry[number[q]];
    }
  }

  void drop_index() {
    if (!bucketed_) partitioned_.drop_index();
  }

  template <class V>
  void totals(V* counts, V* texts) const {
    if (!bucketed_) return partitioned_.totals(counts, texts);
    if (counts) counts->assign(counts_.begin(), counts_.end());
    if (texts) texts->assign(ranges_.begin(), ranges_.end());
  }

 private:
  // Single words need no table: words are numbered densely in order of first appearance, so
  // the entry of word d is d, and every word numbered was counted. False (nothing counted) when
  // the counts might not fit their 32 bits.
  bool count_words(const std::vector<TextWindows>& texts, size_t words,
                   std::vector<PartFirsts>* firsts) {
    uint64_t windows = 0;
    for (const TextWindows& t : texts) windows += t.windows;
    if (windows >= UINT32_MAX || words > UINT32_MAX) return false;
    bucketed_ = true;
    words_.resize(words);
    for (size_t d = 0; d < words; ++d) words_[d] = static_cast<uint32_t>(d);
    counts_.assign(words, 0);
    ranges_.assign(words, 0);
    std::vector<uint32_t> last(words, 0);  // the last text (from 1) that counted a word
    PartFirsts* f = nullptr;
    if (firsts) {
      firsts->assign(1, PartFirsts{});
      f = &(*firsts)[0];
      f->text_end.reserve(texts.size());
    }
    for (size_t i = 0; i < texts.size(); ++i) {
      const TextWindows& t = texts[i];
      const auto text = static_cast<uint32_t>(i + 1);
      const uint32_t* w = t.words.data();
      for (size_t j = 0; j < t.windows; ++j) {
        const uint32_t d = w[j * t.stride];
        ++counts_[d];
        if (last[d] != text) {
          last[d] = text;
          ++ranges_[d];
          if (f) f->entries.push_back(d);
        }
      }
      if (f) f->text_end.push_back(f->entries.size());
    }
    return true;
  }

  unsigned workers_;
  bool bucketed_ = false;  // the entries are held here (counted in buckets, or single words)
  Partitioned<N> partitioned_;
  BigVector<uint32_t> words_;  // held here: the words of each entry, in entry order
  BigVector<uint32_t> counts_, ranges_;
};

}  // namespace ngrams
}  // namespace lumora
