// The engine's counts: word lists, word+tag lists and ranges over every token array of a corpus,
// counted on a pool of threads with the interpreter lock released, by the kernels the modules
// use. Each thread counts the texts it is handed (in increasing listing order) into tables of its
// own; the tables are merged afterwards, so orders of first appearance and ranges are those of
// one thread. Results leave as column buffers (bytearrays the Python side views with NumPy):
// strings as UTF-8 offsets and bytes copied from the lexicon's forms, int64 counts, float32
// percents. No Python object per token or per row.
//
// The Python side (lumora/_counts.py) passes the corpus's token-array paths and the facts of its
// Lexicon (lumora/_lexicon.py): word ids in dictionary order, a grouping of them (which forms
// merge), the groups' strings, and for ranges whether a group is punctuation. Whatever the engine
// cannot reproduce exactly (a file that is not a plain token array, an id missing from the
// dictionary, a total the module would refuse) raises lumora._lexicon.Unsupported.
#pragma once
#include <Python.h>

#include "lumora/common/hashmap.hpp"
#include "lumora/common/npy.hpp"
#include "lumora/common/rank.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/engine/pool.hpp"
#include "lumora/glue/blocks.hpp"
#include "lumora/glue/nogil.hpp"
#include "lumora/kernels/ranges.hpp"
#include "lumora/kernels/wordfreq.hpp"
#include "lumora/kernels/wordtags.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumora {
namespace counts {

// ---------------------------------------------------------------------------------------------
// Plain C++: reading texts on the pool, id look-ups, string columns.

// Strings as UTF-8 offsets (n + 1, from 0) and bytes.
struct Strings {
  const int64_t* offsets = nullptr;
  const uint8_t* data = nullptr;
  size_t n = 0;
  size_t bytes = 0;
};

// A string column being built by copying strings of a Strings.
struct StringColumn {
  std::vector<int64_t> offsets{0};
  std::vector<uint8_t> data;
  void push(const Strings& from, size_t i) {
    auto a = static_cast<size_t>(from.offsets[i]);
    auto b = static_cast<size_t>(from.offsets[i + 1]);
    data.insert(data.end(), from.data + a, from.data + b);
    offsets.push_back(static_cast<int64_t>(data.size()));
  }
};

// Why a call cannot be answered exactly here; the earliest text's reason is kept, so the message
// does not depend on the threads.
struct Refusal {
  std::mutex m;
  bool refused = false;
  size_t text = SIZE_MAX;
  std::string why;
  std::exception_ptr failure;  // a C++ exception of a job (out of memory)

  void refuse(size_t at, std::string reason) {
    std::lock_guard<std::mutex> lock(m);
    if (!refused || at < text) {
      text = at;
      why = std::move(reason);
    }
    refused = true;
  }
  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(m);
    if (!failure) failure = e;
  }
};

// One token array's rows: column 0 at base[i*rs], column 1 at base[i*rs + cs].
struct TextRows {
  const int64_t* base = nullptr;
  std::ptrdiff_t rows = 0, rs = 0, cs = 0;
};

// Reads a token array into buf; false when it is not a plain integer array of (n, >= columns)
// or the empty (0,) of a text without tokens.
inline bool read_text(const std::string& path, int columns, npy::Ints& buf, TextRows* out) {
  npy::Header h;
  if (!npy::read(path.c_str(), &h, buf)) return false;
  *out = TextRows{};
  if (h.ndim == 1 && h.shape[0] == 0) return true;
  if (h.ndim != 2 || h.shape[1] < columns) return false;
  out->rows = static_cast<std::ptrdiff_t>(h.shape[0]);
  if (out->rows == 0) return true;
  out->base = buf.data();
  if (h.fortran) {
    out->rs = 1;
    out->cs = static_cast<std::ptrdiff_t>(h.shape[0]);
  } else {
    out->rs = static_cast<std::ptrdiff_t>(h.shape[1]);
    out->cs = 1;
  }
  return true;
}

// Runs per_text(text, worker, rows) for every text on up to `threads` threads, each worker
// handed texts in increasing order. A text that cannot be read, or a job that throws, stops
// the run (through the cancellation flag) and is kept in `refusal`.
template <class PerText>
void count_texts(const std::vector<std::string>& paths, unsigned threads, int columns,
                 engine::Cancel& cancel, Refusal& refusal, PerText&& per_text) {
  std::vector<npy::Ints> buffers(std::max(1u, threads));
  engine::parallel_for(paths.size(), threads, cancel, [&](size_t i, unsigned worker) {
    try {
      TextRows rows;
      if (!read_text(paths[i], columns, buffers[worker], &rows)) {
        refusal.refuse(i, "not a plain token array: " + paths[i]);
        cancel.raise();
        return;
      }
      per_text(i, worker, rows);
    } catch (...) {
      refusal.fail(std::current_exception());
      cancel.raise();
    }
  });
  for (auto& b : buffers) npy::Ints().swap(b);
}

// Dense indices (positions in the dictionary's order) of ids.
class DenseMap {
 public:
  // False when two entries share an id (no lexicon gives that).
  bool build(const int64_t* ids, size_t n) {
    index_ = KeyIndex(n);
    for (size_t i = 0; i < n; ++i) {
      bool inserted = false;
      index_.insert(static_cast<uint64_t>(ids[i]), &inserted);
      if (!inserted) return false;
    }
    return true;
  }
  int64_t find(int64_t id) const noexcept { return index_.find(static_cast<uint64_t>(id)); }

 private:
  KeyIndex index_{0};
};

// float32 of part / whole * 100 computed in double precision, as the modules compute it.
inline float percent_of(double part, double whole) noexcept {
  return static_cast<float>(part / whole * 100.0);
}

// Indices 0..n-1 ordered by value, largest first, stable.
inline std::vector<uint32_t> rank_values(const std::vector<int64_t>& value) {
  std::vector<uint32_t> order(value.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = static_cast<uint32_t>(k);
  int64_t top = 0;
  for (int64_t v : value) top = std::max(top, v);
  if (top <= static_cast<int64_t>(UINT32_MAX)) {
    rank_by_count(order, [&value](uint32_t k) { return static_cast<uint32_t>(value[k]); });
  } else {
    std::stable_sort(order.begin(), order.end(),
                     [&value](uint32_t a, uint32_t b) { return value[a] > value[b]; });
  }
  return order;
}

// A grouping of the dictionary's entries: group_of[d] is a string of `strings` (validated
// where used).
struct Grouping {
  const int32_t* group_of = nullptr;
  size_t n = 0;
  Strings strings;
  const bool* punct = nullptr;  // by group, where asked for

  // The group of dense index d, or -1 when the grouping does not cover it.
  int64_t of(int64_t d) const noexcept {
    if (d < 0 || static_cast<size_t>(d) >= n) return -1;
    int32_t g = group_of[d];
    return g >= 0 && static_cast<size_t>(g) < strings.n ? g : -1;
  }
};

// ---------------------------------------------------------------------------------------------
// The analyses (plain C++; run with the interpreter lock released).

struct WordsResult {
  StringColumn word;
  std::vector<int64_t> freq;
  int64_t tokens = 0;
  int64_t types = 0;
  int64_t hapax = 0;
};

// The word list: every group (form) with the tokens of its ids, ranked; equal frequencies keep
// the order of first appearance of the group's first id.
inline void word_list(const std::vector<std::string>& paths, unsigned threads,
                      const int64_t* word_ids, size_t n_words, const Grouping& groups,
                      engine::Cancel& cancel, Refusal& refusal, WordsResult& out) {
  std::vector<kernels::WordCounter> counters(std::max(1u, threads));
  count_texts(paths, threads, 1, cancel, refusal, [&](size_t i, unsigned w, const TextRows& t) {
    counters[w].add(t.base, t.rows, t.rs, static_cast<uint32_t>(i));
  });
  if (cancel.is_raised()) return;
  for (size_t w = 1; w < counters.size(); ++w) {
    counters[0].merge(counters[w]);
    counters[w] = kernels::WordCounter();
  }
  const kernels::WordCounter& all = counters[0];
  DenseMap dense;
  if (!dense.build(word_ids, n_words)) return refusal.refuse(SIZE_MAX, "word ids repeat");
  std::vector<int64_t> number_of(groups.strings.n, -1);  // by group: its row before ranking
  std::vector<uint32_t> group_at;                         // by row: the group
  for (uint32_t e : all.first_appearance()) {
    const kernels::WordFreq& wf = all.words()[e];
    int64_t g = groups.of(dense.find(wf.id));
    if (g < 0) return refusal.refuse(SIZE_MAX, "word id " + std::to_string(wf.id) + " unknown");
    if (number_of[static_cast<size_t>(g)] < 0) {
      number_of[static_cast<size_t>(g)] = static_cast<int64_t>(group_at.size());
      group_at.push_back(static_cast<uint32_t>(g));
      out.freq.push_back(0);
    }
    out.freq[static_cast<size_t>(number_of[static_cast<size_t>(g)])] += wf.count;
  }
  std::vector<uint32_t> order = rank_values(out.freq);
  std::vector<int64_t> ranked(order.size());
  for (size_t k = 0; k < order.size(); ++k) {
    ranked[k] = out.freq[order[k]];
    out.word.push(groups.strings, group_at[order[k]]);
    out.tokens += ranked[k];
    out.hapax += ranked[k] == 1;
  }
  out.freq.swap(ranked);
  out.types = static_cast<int64_t>(order.size());
}

struct WordTagsResult {
  StringColumn word, tag;
  std::vector<int64_t> freq;
  std::vector<float> percent;
  int64_t tokens = 0;
};

// The word+tag list: every (word, tag) pair ranked by count; with `merge`, pairs whose word
// groups and tag groups are equal are one row (walked in ranked order, ranked again).
inline void word_tag_list(const std::vector<std::string>& paths, unsigned threads,
                          const int64_t* word_ids, size_t n_words, const int64_t* tag_ids,
                          size_t n_tags, bool merge, const Grouping& words,
                          const Grouping& tags, engine::Cancel& cancel, Refusal& refusal,
                          WordTagsResult& out) {
  std::vector<kernels::PairCounter> counters(std::max(1u, threads));
  std::vector<int64_t> rows(counters.size(), 0);
  count_texts(paths, threads, 2, cancel, refusal, [&](size_t i, unsigned w, const TextRows& t) {
    rows[w] += t.rows;
    if (rows[w] > INT32_MAX) throw std::overflow_error("tokens");  // refused below
    counters[w].add(t.base, t.rows, t.rs, t.cs, static_cast<uint32_t>(i));
  });
  for (int64_t r : rows) out.tokens += r;
  if (out.tokens > INT32_MAX) {  // the module's count of tokens is a signed 32-bit integer
    refusal.failure = nullptr;
    return refusal.refuse(SIZE_MAX, "more tokens than a signed 32-bit count holds");
  }
  if (cancel.is_raised()) return;
  for (size_t w = 1; w < counters.size(); ++w) {
    counters[0].merge(counters[w]);
    counters[w] = kernels::PairCounter();
  }
  std::vector<kernels::PairCount> pairs = counters[0].ranked();
  counters.clear();
  DenseMap word_dense, tag_dense;
  if (!word_dense.build(word_ids, n_words) || !tag_dense.build(tag_ids, n_tags))
    return refusal.refuse(SIZE_MAX, "ids repeat");
  const auto tokens = static_cast<double>(out.tokens);
  auto push = [&](size_t wg, size_t tg, int64_t count) {
    out.word.push(words.strings, wg);
    out.tag.push(tags.strings, tg);
    out.freq.push_back(count);
    out.percent.push_back(percent_of(static_cast<double>(count), tokens));
  };
  if (!merge) {
    for (const kernels::PairCount& p : pairs) {
      int64_t wg = words.of(word_dense.find(p.word));
      int64_t tg = tags.of(tag_dense.find(p.tag));
      if (wg < 0 || tg < 0) return refusal.refuse(SIZE_MAX, "word or tag id unknown");
      push(static_cast<size_t>(wg), static_cast<size_t>(tg), p.count);
    }
    return;
  }
  kernels::MergedCounts merged;
  for (const kernels::PairCount& p : pairs) {
    int64_t wg = words.of(word_dense.find(p.word));
    int64_t tg = tags.of(tag_dense.find(p.tag));
    if (wg < 0 || tg < 0) return refusal.refuse(SIZE_MAX, "word or tag id unknown");
    merged.add(static_cast<uint32_t>(wg), static_cast<uint32_t>(tg), p.count);
  }
  pairs.clear();
  pairs.shrink_to_fit();
  for (uint32_t n : merged.ranked()) {
    uint64_t key = merged.key(n);
    push(static_cast<size_t>(key >> 32), static_cast<size_t>(key & 0xFFFFFFFFu), merged.total(n));
  }
}

struct RangesResult {
  StringColumn word;
  std::vector<int64_t> texts;
  std::vector<float> percent;
  int64_t files = 0;
  int64_t tokens = 0;
};

// Ranges: every word id (or, with `merge`, every group of ids) with the number of texts it
// occurs in, ranked by that number; equal ranges in order of first appearance (first text, then
// ascending id; a group by its first member in that order). Groups that are punctuation get no
// row and no rank.
inline void range_list(const std::vector<std::string>& paths, unsigned threads,
                       const int64_t* word_ids, size_t n_words, bool merge,
                       const Grouping& groups, engine::Cancel& cancel, Refusal& refusal,
                       RangesResult& out) {
  const size_t workers = std::max(1u, threads);
  std::vector<kernels::RangeCounter> counters(workers);
  std::vector<int64_t> rows(workers, 0);
  // With merge, each text's distinct entries (entry numbers of its worker's counter).
  std::vector<std::vector<uint32_t>> present(merge ? workers : 0);
  std::vector<std::vector<size_t>> bounds(merge ? workers : 0);
  count_texts(paths, threads, 1, cancel, refusal, [&](size_t i, unsigned w, const TextRows& t) {
    rows[w] += t.rows;
    counters[w].add(t.base, t.rows, t.rs, static_cast<uint32_t>(i),
                    merge ? &present[w] : nullptr);
    if (merge) bounds[w].push_back(present[w].size());
  });
  if (cancel.is_raised()) return;
  out.files = static_cast<int64_t>(paths.size());
  for (int64_t r : rows) out.tokens += r;
  std::vector<std::vector<uint32_t>> entry_map(workers);
  for (size_t w = 1; w < workers; ++w) {
    counters[0].merge(counters[w], merge ? &entry_map[w] : nullptr);
    counters[w] = kernels::RangeCounter();
  }
  const kernels::RangeCounter& all = counters[0];
  DenseMap dense;
  if (!dense.build(word_ids, n_words)) return refusal.refuse(SIZE_MAX, "word ids repeat");
  std::vector<uint32_t> order = all.first_appearance();
  std::vector<uint32_t> group_of_entry(all.words().size());
  for (uint32_t e : order) {
    int64_t g = groups.of(dense.find(all.words()[e].id));
    if (g < 0)
      return refusal.refuse(SIZE_MAX,
                            "word id " + std::to_string(all.words()[e].id) + " unknown");
    group_of_entry[e] = static_cast<uint32_t>(g);
  }
  const auto files = static_cast<double>(out.files);
  auto push = [&](uint32_t g, uint32_t range) {
    if (groups.punct[g]) return;
    out.word.push(groups.strings, g);
    out.texts.push_back(range);
    out.percent.push_back(percent_of(static_cast<double>(range), files));
  };
  if (!merge) {
    kernels::stable_rank(order, all.ranges());
    for (uint32_t e : order) push(group_of_entry[e], all.ranges()[e]);
    return;
  }
  // Groups numbered in order of first appearance; then each worker's texts counted per group.
  std::vector<int64_t> number_of(groups.strings.n, -1);
  std::vector<uint32_t> group_at;
  std::vector<uint32_t> row_of_entry(all.words().size());
  for (uint32_t e : order) {
    uint32_t g = group_of_entry[e];
    if (number_of[g] < 0) {
      number_of[g] = static_cast<int64_t>(group_at.size());
      group_at.push_back(g);
    }
    row_of_entry[e] = static_cast<uint32_t>(number_of[g]);
  }
  std::vector<uint32_t> range(group_at.size(), 0), marks(group_at.size(), 0), local;
  uint32_t first_mark = 0;
  for (size_t w = 0; w < workers; ++w) {
    const std::vector<uint32_t>* of = &row_of_entry;
    if (w > 0) {
      local.resize(entry_map[w].size());
      for (size_t e = 0; e < local.size(); ++e) local[e] = row_of_entry[entry_map[w][e]];
      of = &local;
    }
    kernels::count_group_ranges(present[w], bounds[w], *of, first_mark, marks, range);
    first_mark += static_cast<uint32_t>(bounds[w].size());
    std::vector<uint32_t>().swap(present[w]);
  }
  std::vector<uint32_t> ranked(group_at.size());
  for (size_t k = 0; k < ranked.size(); ++k) ranked[k] = static_cast<uint32_t>(k);
  kernels::stable_rank(ranked, range);
  for (uint32_t k : ranked) push(group_at[k], range[k]);
}

// ---------------------------------------------------------------------------------------------
// Glue.

// A contiguous NumPy (or other buffer) array of T, checked by item size and kind.
template <class T>
class ArrayArg {
 public:
  // kinds: the struct format letters accepted (e.g. "lq" for 64-bit signed).
  void acquire(PyObject* obj, const char* kinds, const char* what) {
    buffer_.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = buffer_.view();
    const char* f = v.format != nullptr ? v.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (v.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || f[0] == '\0' || f[1] != '\0' ||
        std::strchr(kinds, f[0]) == nullptr || v.ndim > 1) {
      PyErr_Format(PyExc_TypeError, "%s: expected a one-dimensional array of %zu-byte items",
                   what, sizeof(T));
      throw PyErrorSet{};
    }
    data_ = static_cast<const T*>(v.buf);
    n_ = static_cast<size_t>(v.len / v.itemsize);
  }
  const T* data() const noexcept { return data_; }
  size_t size() const noexcept { return n_; }

 private:
  Buffer buffer_;
  const T* data_ = nullptr;
  size_t n_ = 0;
};

// The arrays of a (offsets, data) pair.
struct StringsArg {
  ArrayArg<int64_t> offsets;
  ArrayArg<uint8_t> data;
  Strings strings;

  void acquire(PyObject* pair, const char* what) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_Format(PyExc_TypeError, "%s: expected a tuple (offsets, data)", what);
      throw PyErrorSet{};
    }
    offsets.acquire(PyTuple_GET_ITEM(pair, 0), "lq", what);
    data.acquire(PyTuple_GET_ITEM(pair, 1), "Bbc", what);
    if (offsets.size() == 0 || offsets.data()[0] != 0) {
      PyErr_Format(PyExc_ValueError, "%s: offsets must start at 0", what);
      throw PyErrorSet{};
    }
    for (size_t i = 1; i < offsets.size(); ++i)
      if (offsets.data()[i] < offsets.data()[i - 1] ||
          static_cast<uint64_t>(offsets.data()[i]) > data.size()) {
        PyErr_Format(PyExc_ValueError, "%s: offsets out of order or beyond the data", what);
        throw PyErrorSet{};
      }
    strings = Strings{offsets.data(), data.data(), offsets.size() - 1, data.size()};
  }
};

struct GroupingArg {
  ArrayArg<int32_t> group_of;
  StringsArg strings;
  ArrayArg<bool> punct;
  Grouping grouping;

  void acquire(PyObject* group_of_obj, PyObject* strings_obj, PyObject* punct_obj,
               size_t n_words, const char* what) {
    group_of.acquire(group_of_obj, "il", what);
    if (group_of.size() != n_words) {
      PyErr_Format(PyExc_ValueError, "%s: one group per dictionary entry expected", what);
      throw PyErrorSet{};
    }
    strings.acquire(strings_obj, what);
    grouping = Grouping{group_of.data(), group_of.size(), strings.strings, nullptr};
    if (punct_obj != nullptr) {
      punct.acquire(punct_obj, "?", what);
      if (punct.size() != strings.strings.n) {
        PyErr_Format(PyExc_ValueError, "%s: one punctuation fact per group expected", what);
        throw PyErrorSet{};
      }
      grouping.punct = punct.data();
    }
  }
};

// Token-array paths as the file system takes them.
inline std::vector<std::string> paths_of(PyObject* files) {
  Ref seq = ok(PySequence_Fast(files, "files must be a sequence of paths"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(seq.get(), i), &encoded))
      throw PyErrorSet{};
    Ref hold = Ref::steal(encoded);
    out.emplace_back(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  }
  return out;
}

inline unsigned threads_of(PyObject* threads) {
  if (threads == nullptr || threads == Py_None) return engine::default_threads();
  long v = PyLong_AsLong(threads);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (v < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be a positive number");
    throw PyErrorSet{};
  }
  return static_cast<unsigned>(std::min(v, 256L));
}

[[noreturn]] inline void raise_unsupported(const std::string& why) {
  Ref mod = ok(PyImport_ImportModule("lumora._lexicon"));
  Ref cls = ok(PyObject_GetAttrString(mod.get(), "Unsupported"));
  PyErr_SetString(cls.get(), why.c_str());
  throw PyErrorSet{};
}

// Passes on what the released work left behind: a C++ failure, or a refusal as Unsupported.
inline void settle(Refusal& refusal) {
  if (refusal.failure) std::rethrow_exception(refusal.failure);
  if (refusal.refused) raise_unsupported(refusal.why);
}

template <class T>
Ref bytes_of(const std::vector<T>& v) {
  return ok(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                          static_cast<Py_ssize_t>(v.size() * sizeof(T))));
}

// The vector's memory as a buffer Python holds (v is left empty).
template <class T, class A>
Ref column_of(std::vector<T, A>& v) {
  return blocks::block_of(v);
}

inline Ref strings_of(StringColumn& c) {
  Ref off = column_of(c.offsets);
  Ref data = column_of(c.data);
  return ok(PyTuple_Pack(2, off.get(), data.get()));
}

// The five columns of a sequence list (n-grams, clusters): (rank, (offsets, data), freq, texts,
// percent), each a buffer taking the memory of out's vectors.
template <class Columns>
PyObject* sequence_columns(Columns& out) {
  Ref rank = column_of(out.rank);
  Ref off = column_of(out.offsets);
  Ref data = column_of(out.data);
  Ref text = ok(PyTuple_Pack(2, off.get(), data.get()));
  Ref freq = column_of(out.freq);
  Ref texts = column_of(out.texts);
  Ref percent = column_of(out.percent);
  return PyTuple_Pack(5, rank.get(), text.get(), freq.get(), texts.get(), percent.get());
}

// count_words(files, word_ids, group_of, strings, threads=None)
//   -> ((offsets, data) of the words, freq, tokens, types, hapax), rows ranked
inline PyObject* engine_count_words(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files", "word_ids", "group_of", "strings", "threads", nullptr};
    PyObject *files, *ids_obj, *group_obj, *strings_obj, *threads_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:count_words", const_cast<char**>(kw),
                                     &files, &ids_obj, &group_obj, &strings_obj, &threads_obj))
      return nullptr;
    std::vector<std::string> paths = paths_of(files);
    ArrayArg<int64_t> ids;
    ids.acquire(ids_obj, "lq", "word_ids");
    GroupingArg groups;
    groups.acquire(group_obj, strings_obj, nullptr, ids.size(), "words");
    unsigned threads = threads_of(threads_obj);
    Refusal refusal;
    WordsResult out;
    run_released([&](engine::Cancel& cancel) {
      word_list(paths, threads, ids.data(), ids.size(), groups.grouping, cancel, refusal, out);
    });
    settle(refusal);
    Ref words = strings_of(out.word);
    Ref freq = column_of(out.freq);
    return Py_BuildValue("(OOLLL)", words.get(), freq.get(), static_cast<long long>(out.tokens),
                         static_cast<long long>(out.types), static_cast<long long>(out.hapax));
  });
}

// count_wordtags(files, word_ids, tag_ids, merge, word_group_of, word_strings, tag_group_of,
//                tag_strings, threads=None)
//   -> ((offsets, data) of the words, of the tags, freq, percent, tokens), rows ranked
inline PyObject* engine_count_wordtags(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",        "word_ids",    "tag_ids",
                               "merge",        "word_group_of", "word_strings",
                               "tag_group_of", "tag_strings", "threads",
                               nullptr};
    PyObject *files, *wids_obj, *tids_obj, *wg_obj, *ws_obj, *tg_obj, *ts_obj;
    PyObject* threads_obj = nullptr;
    int merge = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOpOOOO|O:count_wordtags",
                                     const_cast<char**>(kw), &files, &wids_obj, &tids_obj, &merge,
                                     &wg_obj, &ws_obj, &tg_obj, &ts_obj, &threads_obj))
      return nullptr;
    std::vector<std::string> paths = paths_of(files);
    ArrayArg<int64_t> wids, tids;
    wids.acquire(wids_obj, "lq", "word_ids");
    tids.acquire(tids_obj, "lq", "tag_ids");
    GroupingArg words, tags;
    words.acquire(wg_obj, ws_obj, nullptr, wids.size(), "words");
    tags.acquire(tg_obj, ts_obj, nullptr, tids.size(), "tags");
    unsigned threads = threads_of(threads_obj);
    Refusal refusal;
    WordTagsResult out;
    run_released([&](engine::Cancel& cancel) {
      word_tag_list(paths, threads, wids.data(), wids.size(), tids.data(), tids.size(),
                    merge != 0, words.grouping, tags.grouping, cancel, refusal, out);
    });
    settle(refusal);
    Ref w = strings_of(out.word);
    Ref t = strings_of(out.tag);
    Ref freq = column_of(out.freq);
    Ref percent = column_of(out.percent);
    return Py_BuildValue("(OOOOL)", w.get(), t.get(), freq.get(), percent.get(),
                         static_cast<long long>(out.tokens));
  });
}

// count_ranges(files, word_ids, merge, group_of, strings, punct, threads=None)
//   -> ((offsets, data) of the words, texts, percent, files, tokens), rows ranked
inline PyObject* engine_count_ranges(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",   "word_ids", "merge", "group_of",
                               "strings", "punct",    "threads", nullptr};
    PyObject *files, *ids_obj, *group_obj, *strings_obj, *punct_obj, *threads_obj = nullptr;
    int merge = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpOOO|O:count_ranges",
                                     const_cast<char**>(kw), &files, &ids_obj, &merge, &group_obj,
                                     &strings_obj, &punct_obj, &threads_obj))
      return nullptr;
    std::vector<std::string> paths = paths_of(files);
    ArrayArg<int64_t> ids;
    ids.acquire(ids_obj, "lq", "word_ids");
    GroupingArg groups;
    groups.acquire(group_obj, strings_obj, punct_obj, ids.size(), "words");
    unsigned threads = threads_of(threads_obj);
    Refusal refusal;
    RangesResult out;
    run_released([&](engine::Cancel& cancel) {
      range_list(paths, threads, ids.data(), ids.size(), merge != 0, groups.grouping, cancel,
                 refusal, out);
    });
    settle(refusal);
    Ref w = strings_of(out.word);
    Ref texts = column_of(out.texts);
    Ref percent = column_of(out.percent);
    return Py_BuildValue("(OOOLL)", w.get(), texts.get(), percent.get(),
                         static_cast<long long>(out.files), static_cast<long long>(out.tokens));
  });
}

}  // namespace counts

inline int engine_counts_exec(PyObject* m) { return blocks::blocks_exec(m); }

}  // namespace lumora

#define LUMORA_ENGINE_COUNT_METHODS                                                          \
  {"count_words",                                                                            \
   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                           \
       lumora::counts::engine_count_words)),                                                 \
   METH_VARARGS | METH_KEYWORDS,                                                             \
   "count_words(files, word_ids, group_of, strings, threads=None)\n--\n\n"                   \
   "Word list columns of the token arrays `files`, merged by group."},                       \
      {"count_wordtags",                                                                     \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                       \
           lumora::counts::engine_count_wordtags)),                                          \
       METH_VARARGS | METH_KEYWORDS,                                                         \
       "count_wordtags(files, word_ids, tag_ids, merge, word_group_of, word_strings, "       \
       "tag_group_of, tag_strings, threads=None)\n--\n\n"                                    \
       "Word+tag list columns of the token arrays `files`."},                                \
      {"count_ranges",                                                                       \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                       \
           lumora::counts::engine_count_ranges)),                                            \
       METH_VARARGS | METH_KEYWORDS,                                                         \
       "count_ranges(files, word_ids, merge, group_of, strings, punct, threads=None)\n--\n\n" \
       "Range columns of the token arrays `files` (punctuation groups left out)."},
