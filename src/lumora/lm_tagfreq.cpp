// lm_tagfreq: the word+tag frequency list of an indexed corpus, ranked by frequency, optionally
// merging word forms that differ only in case.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/idtext.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/rank.hpp"
#include "lumora/common/ref.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace lumora {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel: no Python types below this line until the glue.

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

// Counts (word id, tag id) pairs over every token array of a corpus. Pairs whose ids fit 32 bits
// (all of them in a well-formed corpus) are packed into one 64-bit key of an open-addressing
// table that holds the count inline; any other pair goes to a side table, so no two pairs ever
// share a key.
class PairCounter {
 public:
  PairCounter() { rehash(1024); }

  // Adds rows [0, rows) of a token array: column 0 at base[i*rs], column 1 at base[i*rs + cs].
  // The caller keeps the total of all rows added within a signed 32-bit integer, so a count
  // always fits 32 bits.
  void add(const int64_t* base, std::ptrdiff_t rows, std::ptrdiff_t rs, std::ptrdiff_t cs, uint32_t file) {
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
        add_packed(key, h >> shift_, file);
      } else {
        Tally& tally =
            wide_.try_emplace(Wide{base[i * rs], base[i * rs + cs]}, Tally{0, file}).first->second;
        ++tally.count;
      }
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

  // Counts one packed pair; `i` is the slot its hash points at in the table as it is now.
  void add_packed(uint64_t key, size_t i, uint32_t file) {
    for (;;) {
      Slot& s = slots_[i];
      if (s.count == 0) {
        s = Slot{key, 1, file};
        if (++size_ * 2 > slots_.size()) rehash(slots_.size() * 2);
        return;
      }
      if (s.key == key) {
        ++s.count;
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

// Insertion-ordered totals for keys made of two dense class numbers.
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

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_tagfreq"};

// (rank, word, tag, frequency, percent)
Ref make_row(int32_t rank, PyObject* word, PyObject* tag, int64_t freq, int32_t tokens) {
  float p = percent_single(static_cast<double>(freq), static_cast<double>(tokens));
  Ref r = ok(PyLong_FromLong(rank));
  Ref f = ok(PyLong_FromLongLong(freq));
  Ref pf = single_float(p);
  return result_tuple(r.get(), word, tag, f.get(), pf.get());
}

// Entry n of a per-entry cache that grows to cover whatever entry it is asked about; new
// entries are value-initialised (an empty Ref, or 0 for a number, which stands for "not yet").
template <class T>
T& slot(std::vector<T>& v, uint32_t n) {
  if (n >= v.size()) v.resize(static_cast<size_t>(n) + 1);
  return v[n];
}

// Appends the rows (rank, word, tag, frequency, percent) in ranked order.
void emit_rows(PyObject* out, const std::vector<PyObject*>& words,
               const std::vector<PyObject*>& tags, const std::vector<int64_t>& counts,
               int32_t tokens) {
  int32_t i = 0;
  for (size_t k = 0; k < words.size(); ++k) {
    if (k + 8 < words.size()) __builtin_prefetch(words[k + 8]);
    i = add_int32(i, 1);
    int32_t v = add_int32(0, counts[k]);
    Ref row = make_row(i, words[k], tags[k], v, tokens);
    check(PyList_Append(out, row.get()));
  }
}

// Counts the pairs of every token array in the folder, one array in memory at a time; returns
// the number of tokens, which must fit a signed 32-bit integer.
int32_t count_wt(PyObject* module, PyObject* npy_folder, PairCounter& counter) {
  Ref files = listdir(module, npy_folder);
  int32_t tokens = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
    Ref name = Ref::borrow(entry_name(files.get(), i));
    Ref path = concat(npy_folder, name.get());
    TokenArray arr;
    arr.load(module, path.get(), 2);
    tokens = add_int32(tokens, arr.rows());
    counter.add(arr.base(), arr.rows(), arr.row_stride(), arr.col_stride(),
                static_cast<uint32_t>(i));
  }
  return tokens;
}

Signature make_wtfreq_sig{
    "make_wtfreq", 4, {"workspace", "corpus_name", "language", "lowercase"}, 0b0111};

PyObject* make_wtfreq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    parse_args(make_wtfreq_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    int lowercase = PyObject_IsTrue(a[3]);
    check(lowercase);

    PairCounter counter;
    int32_t tokens = count_wt(self, corpus_path(workspace, corpus_name, names::npy_dir).get(),
                              counter);
    Ref dict_words = load_dict(self, corpus_path(workspace, corpus_name, names::words_pickle).get());
    Ref dict_tags = load_dict(self, corpus_path(workspace, corpus_name, names::tags_pickle).get());

    std::vector<PairCount> pairs = counter.ranked();
    std::vector<int64_t> word_ids(pairs.size()), tag_ids(pairs.size());
    for (size_t k = 0; k < pairs.size(); ++k) {
      word_ids[k] = pairs[k].word;
      tag_ids[k] = pairs[k].tag;
    }
    IdDict words(dict_words.get(), pairs.size()), tags(dict_tags.get(), pairs.size());
    std::vector<int64_t> word_found = words.find_all(word_ids);
    std::vector<int64_t> tag_found = tags.find_all(tag_ids);
    Ref wtfreq = ok(PyList_New(0));

    if (!lowercase) {
      // Look-ups in ranked order, word before tag (either may fail), then the rows.
      std::vector<PyObject*> row_word(pairs.size()), row_tag(pairs.size());
      for (size_t k = 0; k < pairs.size(); ++k) {
        row_word[k] = words.value(words.index_of(word_ids, word_found, k));
        row_tag[k] = tags.value(tags.index_of(tag_ids, tag_found, k));
      }
      std::vector<int64_t> counts(pairs.size());
      for (size_t k = 0; k < pairs.size(); ++k) counts[k] = pairs[k].count;
      pairs.clear();
      pairs.shrink_to_fit();
      emit_rows(wtfreq.get(), row_word, row_tag, counts, tokens);
      return wtfreq.release();
    }

    // Merging case variants: each (lower-cased word, tag) key collects the counts of its pairs,
    // walked in ranked order; the key keeps the objects of the first pair that made it. Each
    // word is lower-cased once and each distinct form and tag numbered once.
    std::vector<Ref> lowered(words.bound());        // by word number
    std::vector<uint32_t> word_cls(words.bound());  // by word number: 1 + number of the form
    std::vector<uint32_t> tag_cls;                  // by tag number: 1 + number of the tag
    KeyClasses word_classes(words.bound()), tag_classes;
    Lowerer lower;
    if (words.native()) {
      // Exact str words are lower-cased and numbered up front, in the dictionary's own order,
      // which is the order they lie in memory: str.lower and comparing strs have no effects
      // whose order could show. Failing look-ups, and lower-casing or comparing any other
      // object, happen below in ranked order.
      for (int64_t n : word_found)
        if (n >= 0) word_cls[static_cast<size_t>(n)] = 1;  // wanted
      for (uint32_t n = 0; n < words.bound(); ++n) {
        if (word_cls[n] == 0) continue;
        PyObject* w = words.value(n);
        if (PyUnicode_CheckExact(w)) lowered[n] = lower(w);
      }
      for (uint32_t n = 0; n < words.bound(); ++n) {
        if (n + 8 < words.bound() && lowered[n + 8]) word_classes.prefetch(lowered[n + 8].get());
        word_cls[n] = lowered[n] ? word_classes.of(lowered[n].get()) + 1 : 0;
      }
    }
    MergedCounts merged;
    std::vector<PyObject*> key_word, key_tag;  // by merged key: borrowed from the tables above
    for (size_t k = 0; k < pairs.size(); ++k) {
      uint32_t wn = words.index_of(word_ids, word_found, k);
      Ref& low = slot(lowered, wn);
      if (!low) low = lower(words.value(wn));
      uint32_t tn = tags.index_of(tag_ids, tag_found, k);
      uint32_t& wc = slot(word_cls, wn);
      if (wc == 0) wc = word_classes.of(low.get()) + 1;
      uint32_t& tc = slot(tag_cls, tn);
      if (tc == 0) tc = tag_classes.of(tags.value(tn)) + 1;
      if (merged.add(wc, tc, pairs[k].count)) {
        key_word.push_back(low.get());
        key_tag.push_back(tags.value(tn));
      }
    }
    pairs.clear();
    pairs.shrink_to_fit();
    std::vector<uint32_t> ranked = merged.ranked();
    std::vector<PyObject*> row_word(ranked.size()), row_tag(ranked.size());
    std::vector<int64_t> counts(ranked.size());
    for (size_t k = 0; k < ranked.size(); ++k) {
      row_word[k] = key_word[ranked[k]];
      row_tag[k] = key_tag[ranked[k]];
      counts[k] = merged.total(ranked[k]);
    }
    emit_rows(wtfreq.get(), row_word, row_tag, counts, tokens);
    return wtfreq.release();
  });
}

PyMethodDef make_wtfreq_def = {
    "make_wtfreq", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_wtfreq)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_wtfreq(workspace, corpus_name, language, lowercase)\n--\n\n"
    "Ranked list of (rank, word, tag, frequency, percent) for every word+tag pair of a corpus."};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_wtfreq_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    bind_function(m, &make_wtfreq_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_tagfreq,
              "Word+tag frequency list: every (word, tag) pair of a corpus, ranked by frequency.",
              lumora::state, lumora::exec_module)
