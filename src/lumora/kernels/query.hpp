// Token-pattern matching over dense word and tag numbers. A query arrives as tables made once per
// distinct word form and tag (see query.py): token condition k matches a token of word w and tag
// t when accept[k][word_class[k][w] * tag_classes[k] + tag_class[k][t]] is set, and may repeat
// from low[k] to high[k] times. At every start position the longest match of at least one token
// is taken; a match never leaves the segment (a text, or a sentence) it starts in.
// Plain C++, no Python types.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace lumora {
namespace query {

struct Condition {
  const uint8_t* word_class;  // one per dense word number
  const uint8_t* tag_class;   // one per dense tag number
  const uint8_t* accept;      // word classes x tag classes
  int64_t tag_classes;
  int low, high;
};

struct Hit {
  int64_t start;   // first token of the match, in its text
  int64_t length;  // tokens in the match (>= 1)
};

class Matcher {
 public:
  explicit Matcher(std::vector<Condition> conds) : conds_(std::move(conds)) {
    fixed_ = true;
    for (size_t k = 0; k < conds_.size(); ++k) {
      const Condition& c = conds_[k];
      if (c.low != 1 || c.high != 1) fixed_ = false;
      elem_start_.push_back(static_cast<int>(slot_elem_.size()));
      for (int j = 0; j < c.high; ++j) {
        slot_elem_.push_back(static_cast<int>(k));
        slot_optional_.push_back(j >= c.low ? 1 : 0);
      }
    }
    const int slots = static_cast<int>(slot_elem_.size());
    slot_next_.resize(slot_elem_.size());
    for (int s = 0; s < slots; ++s) {
      size_t k = static_cast<size_t>(slot_elem_[s]);
      slot_next_[s] = k + 1 < conds_.size() ? elem_start_[k + 1] : slots;
    }
    // Conditions a match can begin with: the first, and each one after conditions that may be
    // skipped.
    for (size_t k = 0; k < conds_.size() && k < 64; ++k) {
      first_ |= uint64_t{1} << k;
      if (conds_[k].low > 0) break;
    }
  }

  size_t conditions() const noexcept { return conds_.size(); }

  bool matches(size_t k, int32_t w, int32_t t) const noexcept {
    const Condition& c = conds_[k];
    return c.accept[c.word_class[w] * c.tag_classes + c.tag_class[t]] != 0;
  }

  // Appends the hits in the segment [begin, end) of a text's dense word and tag numbers.
  template <class Out>
  void run(const int32_t* words, const int32_t* tags, int64_t begin, int64_t end, Out& out) {
    if (conds_.empty() || end <= begin) return;
    if (fixed_) {
      run_fixed(words, tags, begin, end, out);
      return;
    }
    const int64_t n = end - begin;
    masks_.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      uint64_t m = 0;
      for (size_t k = 0; k < conds_.size(); ++k)
        if (matches(k, words[begin + i], tags[begin + i])) m |= uint64_t{1} << k;
      masks_[static_cast<size_t>(i)] = m;
    }
    for (int64_t p = 0; p < n; ++p) {
      if ((masks_[static_cast<size_t>(p)] & first_) == 0) continue;
      int64_t len = longest(p, n);
      if (len > 0) out.push_back(Hit{begin + p, len});
    }
  }

 private:
  template <class Out>
  void run_fixed(const int32_t* words, const int32_t* tags, int64_t begin, int64_t end,
                 Out& out) const {
    const int64_t len = static_cast<int64_t>(conds_.size());
    for (int64_t p = begin; p + len <= end; ++p) {
      if (!matches(0, words[p], tags[p])) continue;
      size_t k = 1;
      while (k < conds_.size() && matches(k, words[p + static_cast<int64_t>(k)],
                                          tags[p + static_cast<int64_t>(k)]))
        ++k;
      if (k == conds_.size()) out.push_back(Hit{p, len});
    }
  }

  // Adds slot s and every slot reachable from it by skipping optional repetitions.
  void add(int s, std::vector<int>& set) {
    const int slots = static_cast<int>(slot_elem_.size());
    while (true) {
      if (stamp_[static_cast<size_t>(s)] == generation_) return;
      stamp_[static_cast<size_t>(s)] = generation_;
      set.push_back(s);
      if (s == slots || !slot_optional_[static_cast<size_t>(s)]) return;
      s = slot_next_[static_cast<size_t>(s)];
    }
  }

  // The length of the longest match starting at p (0 when none) among the n masked tokens.
  int64_t longest(int64_t p, int64_t n) {
    const int slots = static_cast<int>(slot_elem_.size());
    stamp_.resize(static_cast<size_t>(slots) + 1, 0);
    cur_.clear();
    bump();
    add(0, cur_);
    int64_t best = 0;
    for (int64_t i = p; i < n && !cur_.empty(); ++i) {
      const uint64_t m = masks_[static_cast<size_t>(i)];
      next_.clear();
      bump();
      bool accepted = false;
      for (int s : cur_) {
        if (s == slots) continue;
        if ((m >> slot_elem_[static_cast<size_t>(s)]) & 1u) add(s + 1, next_);
      }
      for (int s : next_)
        if (s == slots) accepted = true;
      if (accepted) best = i - p + 1;
      cur_.swap(next_);
    }
    return best;
  }

  void bump() {
    if (++generation_ == 0) {
      std::fill(stamp_.begin(), stamp_.end(), 0);
      generation_ = 1;
    }
  }

  std::vector<Condition> conds_;
  bool fixed_ = false;
  uint64_t first_ = 0;
  std::vector<int> elem_start_, slot_elem_, slot_next_;
  std::vector<uint8_t> slot_optional_;
  std::vector<uint64_t> masks_;
  std::vector<uint32_t> stamp_;
  uint32_t generation_ = 0;
  std::vector<int> cur_, next_;
};

// Segments of a text: the whole text, or its sentences (runs of equal sentence numbers).
template <class F>
void for_each_segment(const int64_t* sentence, int64_t n, bool by_sentence, F&& f) {
  if (n <= 0) return;
  if (!by_sentence) {
    f(int64_t{0}, n);
    return;
  }
  int64_t b = 0;
  for (int64_t i = 1; i < n; ++i) {
    if (sentence[i] != sentence[i - 1]) {
      f(b, i);
      b = i;
    }
  }
  f(b, n);
}

}  // namespace query
}  // namespace lumora
