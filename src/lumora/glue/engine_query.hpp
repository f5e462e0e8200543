// The engine's query functions: hits of a compiled query, concordance lines and collocate counts
// over every token array of a corpus, on a pool of threads with the interpreter lock released.
// Texts are read natively and their ids turned into dense numbers (positions in the dictionary's
// order); each text's results are kept apart and joined in listing order, so the rows do not
// depend on the threads. Results leave as column buffers (bytearrays the Python side views with
// NumPy). No Python object per token or per row.
//
// The Python side (lumora/_concord.py) passes the token arrays (paths, or int64 arrays NumPy has
// read where the native reader refuses a file), the word and tag ids in dictionary order and the
// query's tables (lumora/query.py). A file the native reader refuses raises
// lumora._lexicon.Unsupported; an id missing from its dictionary raises LookupError.
#pragma once
#include <Python.h>

#include "lumora/common/hashmap.hpp"
#include "lumora/common/npy.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/engine/pool.hpp"
#include "lumora/glue/nogil.hpp"
#include "lumora/kernels/concord.hpp"
#include "lumora/kernels/query.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace lumora {
namespace query_glue {

// ---------------------------------------------------------------------------------------------
// Plain C++: ids to dense numbers, reading texts.

// Dense numbers of ids: a direct table when the ids are small non-negative numbers (as the
// index builder gives them), else a hash index.
class IdMap {
 public:
  void build(const int64_t* ids, size_t n) {
    int64_t lo = 0, hi = -1;
    for (size_t i = 0; i < n; ++i) {
      lo = std::min(lo, ids[i]);
      hi = std::max(hi, ids[i]);
    }
    if (lo >= 0 && hi < static_cast<int64_t>(4 * n + 4096)) {
      direct_.assign(static_cast<size_t>(hi + 1), -1);
      for (size_t i = 0; i < n; ++i) direct_[static_cast<size_t>(ids[i])] = static_cast<int32_t>(i);
      use_direct_ = true;
    } else {
      index_ = KeyIndex(n);
      number_.clear();
      for (size_t i = 0; i < n; ++i) {
        uint32_t k = index_.insert(static_cast<uint64_t>(ids[i]));
        if (k == number_.size()) number_.push_back(static_cast<int32_t>(i));
        else number_[k] = static_cast<int32_t>(i);  // a later equal id wins, as in a dict
      }
    }
  }
  int32_t find(int64_t id) const noexcept {
    if (use_direct_) {
      return id >= 0 && id < static_cast<int64_t>(direct_.size()) ? direct_[static_cast<size_t>(id)]
                                                                   : -1;
    }
    int64_t k = index_.find(static_cast<uint64_t>(id));
    return k < 0 ? -1 : number_[static_cast<size_t>(k)];
  }

 private:
  bool use_direct_ = false;
  std::vector<int32_t> direct_;
  KeyIndex index_{0};
  std::vector<int32_t> number_;
};

// A token array handed over as an int64 C-contiguous (n, columns) buffer.
struct Preloaded {
  const int64_t* base = nullptr;
  int64_t rows = 0, columns = 0;
};

// Where each text comes from: a path read natively, or an array NumPy read.
struct Source {
  std::string path;
  Preloaded array;
  bool preloaded = false;
};

// One text as dense numbers.
struct Text {
  std::vector<int32_t> words, tags;
  std::vector<int64_t> sentence;
  int64_t n = 0;
};

struct Failure {
  std::mutex m;
  size_t text = SIZE_MAX;
  bool unreadable = false;
  std::string why;
  std::exception_ptr error;

  void refuse(size_t at, bool is_unreadable, std::string reason) {
    std::lock_guard<std::mutex> lock(m);
    if (at < text) {
      text = at;
      unreadable = is_unreadable;
      why = std::move(reason);
    }
  }
  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(m);
    if (!error) error = e;
  }
  bool any() const { return text != SIZE_MAX || error; }
};

struct Reader {
  const std::vector<Source>* sources;
  const IdMap* words;
  const IdMap* tags;
  bool sentences;

  // Reads text i into t; false (with the reason in `failure`) when it cannot be.
  bool read(size_t i, npy::Ints& buf, Text& t, Failure& failure) const {
    const Source& src = (*sources)[i];
    const int need = sentences ? 3 : 2;
    const int64_t* base = nullptr;
    int64_t rows = 0, rs = 0, cs = 0;
    if (src.preloaded) {
      if (src.array.rows > 0 && src.array.columns < need) {
        failure.refuse(i, true, "a token array has fewer than " + std::to_string(need) +
                                    " columns");
        return false;
      }
      base = src.array.base;
      rows = src.array.rows;
      rs = src.array.columns;
      cs = 1;
    } else {
      npy::Header h;
      bool plain = npy::read(src.path.c_str(), &h, buf);
      if (plain && h.ndim == 1 && h.shape[0] == 0) {
        rows = 0;
      } else if (plain && h.ndim == 2 && h.shape[1] >= need) {
        base = buf.data();
        rows = h.shape[0];
        rs = h.fortran ? 1 : h.shape[1];
        cs = h.fortran ? h.shape[0] : 1;
      } else {
        failure.refuse(i, true, "not a plain token array: " + src.path);
        return false;
      }
    }
    t.n = rows;
    t.words.resize(static_cast<size_t>(rows));
    t.tags.resize(static_cast<size_t>(rows));
    if (sentences) t.sentence.resize(static_cast<size_t>(rows));
    for (int64_t r = 0; r < rows; ++r) {
      const int64_t* row = base + r * rs;
      int32_t w = words->find(row[0]);
      int32_t g = tags->find(row[cs]);
      if (w < 0 || g < 0) {
        failure.refuse(i, false, std::string(w < 0 ? "word" : "tag") + " id " +
                                     std::to_string(w < 0 ? row[0] : row[cs]) +
                                     " of token " + std::to_string(r) +
                                     " is not in the dictionary");
        return false;
      }
      t.words[static_cast<size_t>(r)] = w;
      t.tags[static_cast<size_t>(r)] = g;
      if (sentences) t.sentence[static_cast<size_t>(r)] = row[2 * cs];
    }
    return true;
  }
};

// Runs per_segment(text, worker, Text, begin, end) over every segment of every text, on the pool.
template <class PerText>
void each_text(const Reader& reader, size_t texts, unsigned threads, engine::Cancel& cancel,
               Failure& failure, PerText&& per_text) {
  const unsigned workers = std::max(1u, threads);
  std::vector<npy::Ints> buffers(workers);
  std::vector<Text> scratch(workers);
  engine::parallel_for(texts, workers, cancel, [&](size_t i, unsigned w) {
    try {
      if (!reader.read(i, buffers[w], scratch[w], failure)) {
        cancel.raise();
        return;
      }
      per_text(i, w, scratch[w]);
    } catch (...) {
      failure.fail(std::current_exception());
      cancel.raise();
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Glue.

template <class T>
class ArrayArg {
 public:
  void acquire(PyObject* obj, const char* kinds, const char* what, int ndim = 1) {
    buffer_.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& v = buffer_.view();
    const char* f = v.format != nullptr ? v.format : "B";
    if (*f == '<' || *f == '=' || *f == '@' || *f == '|') ++f;
    if (v.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || f[0] == '\0' || f[1] != '\0' ||
        std::strchr(kinds, f[0]) == nullptr || v.ndim != ndim) {
      PyErr_Format(PyExc_TypeError, "%s: expected a %d-dimensional array of %zu-byte items", what,
                   ndim, sizeof(T));
      throw PyErrorSet{};
    }
    data_ = static_cast<const T*>(v.buf);
    n_ = static_cast<size_t>(v.len / v.itemsize);
    for (int d = 0; d < v.ndim; ++d) shape_[d] = static_cast<int64_t>(v.shape[d]);
  }
  const T* data() const noexcept { return data_; }
  size_t size() const noexcept { return n_; }
  int64_t shape(int d) const noexcept { return shape_[d]; }

 private:
  Buffer buffer_;
  const T* data_ = nullptr;
  size_t n_ = 0;
  int64_t shape_[2] = {0, 0};
};

// Everything a query call shares: the texts, the id maps and the compiled query.
struct Call {
  std::vector<Source> sources;
  std::vector<std::unique_ptr<Buffer>> arrays;
  ArrayArg<int64_t> word_ids, tag_ids;
  IdMap words, tags;
  ArrayArg<uint8_t> word_class, tag_class, accept;
  ArrayArg<int64_t> offsets, tag_classes, low, high;
  std::vector<query::Condition> conds;
  bool sentences = false;
  unsigned threads = 1;

  void acquire(PyObject* files, PyObject* wids, PyObject* tids, PyObject* program,
               int within_sentence, PyObject* threads_obj) {
    Ref seq = ok(PySequence_Fast(files, "files must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    sources.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
      Source& s = sources[static_cast<size_t>(i)];
      if (PyUnicode_Check(item) || PyBytes_Check(item)) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(item, &encoded)) throw PyErrorSet{};
        Ref hold = Ref::steal(encoded);
        s.path.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
        continue;
      }
      arrays.push_back(std::make_unique<Buffer>());
      Buffer& b = *arrays.back();
      b.acquire(item, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
      const Py_buffer& v = b.view();
      const char* f = v.format != nullptr ? v.format : "B";
      if (*f == '<' || *f == '=' || *f == '@') ++f;
      if (v.itemsize != 8 || (f[0] != 'l' && f[0] != 'q') || f[1] != '\0' || v.ndim != 2) {
        PyErr_SetString(PyExc_TypeError, "files: a token array must be int64 of shape (n, k)");
        throw PyErrorSet{};
      }
      s.preloaded = true;
      s.array = Preloaded{static_cast<const int64_t*>(v.buf), static_cast<int64_t>(v.shape[0]),
                          static_cast<int64_t>(v.shape[1])};
    }
    word_ids.acquire(wids, "lq", "word_ids");
    tag_ids.acquire(tids, "lq", "tag_ids");
    if (word_ids.size() >= INT32_MAX || tag_ids.size() >= INT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "too many dictionary entries");
      throw PyErrorSet{};
    }
    words.build(word_ids.data(), word_ids.size());
    tags.build(tag_ids.data(), tag_ids.size());
    if (!PyTuple_Check(program) || PyTuple_GET_SIZE(program) != 7) {
      PyErr_SetString(PyExc_TypeError, "program: expected a tuple of 7 arrays");
      throw PyErrorSet{};
    }
    word_class.acquire(PyTuple_GET_ITEM(program, 0), "B", "word_class", 2);
    tag_class.acquire(PyTuple_GET_ITEM(program, 1), "B", "tag_class", 2);
    accept.acquire(PyTuple_GET_ITEM(program, 2), "B", "accept");
    offsets.acquire(PyTuple_GET_ITEM(program, 3), "lq", "offsets");
    tag_classes.acquire(PyTuple_GET_ITEM(program, 4), "lq", "tag_classes");
    low.acquire(PyTuple_GET_ITEM(program, 5), "lq", "low");
    high.acquire(PyTuple_GET_ITEM(program, 6), "lq", "high");
    const size_t k = low.size();
    auto bad = [](const char* why) {
      PyErr_Format(PyExc_ValueError, "program: %s", why);
      throw PyErrorSet{};
    };
    if (k > 64 || high.size() != k || offsets.size() != k || tag_classes.size() != k) {
      bad("one entry per token condition (at most 64) expected");
    }
    if (static_cast<size_t>(word_class.shape(0)) != k ||
        static_cast<size_t>(word_class.shape(1)) != word_ids.size() ||
        static_cast<size_t>(tag_class.shape(0)) != k ||
        static_cast<size_t>(tag_class.shape(1)) != tag_ids.size()) {
      bad("class tables of shape (conditions, dictionary entries) expected");
    }
    const size_t nw = word_ids.size(), nt = tag_ids.size();
    for (size_t c = 0; c < k; ++c) {
      const uint8_t* wc = word_class.data() + c * nw;
      const uint8_t* tc = tag_class.data() + c * nt;
      int64_t wmax = 0, tmax = 0;
      for (size_t i = 0; i < nw; ++i) wmax = std::max<int64_t>(wmax, wc[i]);
      for (size_t i = 0; i < nt; ++i) tmax = std::max<int64_t>(tmax, tc[i]);
      const int64_t ntc = tag_classes.data()[c], off = offsets.data()[c];
      if (ntc <= tmax || off < 0 ||
          static_cast<uint64_t>(off + (wmax + 1) * ntc) > accept.size()) {
        bad("classes beyond the accept table");
      }
      const int64_t lo = low.data()[c], hi = high.data()[c];
      if (lo < 0 || hi < 1 || hi < lo || hi > 1000) bad("repetitions out of range");
      conds.push_back(query::Condition{wc, tc, accept.data() + off, ntc, static_cast<int>(lo),
                                       static_cast<int>(hi)});
    }
    sentences = within_sentence != 0;
    if (threads_obj == nullptr || threads_obj == Py_None) {
      threads = engine::default_threads();
    } else {
      long v = PyLong_AsLong(threads_obj);
      if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
      if (v < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be a positive number");
        throw PyErrorSet{};
      }
      threads = static_cast<unsigned>(std::min(v, 256L));
    }
  }

  Reader reader() const { return Reader{&sources, &words, &tags, sentences}; }
};

inline void settle(Failure& failure) {
  if (failure.error) std::rethrow_exception(failure.error);
  if (failure.text == SIZE_MAX) return;
  if (failure.unreadable) {
    Ref mod = ok(PyImport_ImportModule("lumora._lexicon"));
    Ref cls = ok(PyObject_GetAttrString(mod.get(), "Unsupported"));
    PyErr_SetString(cls.get(), failure.why.c_str());
    throw PyErrorSet{};
  }
  PyErr_Format(PyExc_LookupError, "text %zd: %s", static_cast<Py_ssize_t>(failure.text),
               failure.why.c_str());
  throw PyErrorSet{};
}

template <class T>
Ref bytes_of(const T* p, size_t n) {
  return ok(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(p),
                                          static_cast<Py_ssize_t>(n * sizeof(T))));
}
template <class T>
Ref bytes_of(const std::vector<T>& v) {
  return bytes_of(v.data(), v.size());
}

inline int64_t limit_of(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return -1;
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (v < 0) {
    PyErr_SetString(PyExc_ValueError, "limit must not be negative");
    throw PyErrorSet{};
  }
  return static_cast<int64_t>(v);
}

// The hits of each text, found on the pool.
struct TextHits {
  std::vector<query::Hit> hits;
  std::vector<int64_t> seg_begin, seg_end;
};

// query_hits(files, word_ids, tag_ids, program, within_sentence, limit=None, threads=None)
//   -> (text, start, length): int64 buffers, one entry per hit in corpus order
inline PyObject* engine_query_hits(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",           "word_ids", "tag_ids", "program",
                               "within_sentence", "limit",    "threads", nullptr};
    PyObject *files, *wids, *tids, *program, *limit_obj = nullptr, *threads_obj = nullptr;
    int within = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOp|OO:query_hits", const_cast<char**>(kw),
                                     &files, &wids, &tids, &program, &within, &limit_obj,
                                     &threads_obj))
      return nullptr;
    Call call;
    call.acquire(files, wids, tids, program, within, threads_obj);
    const int64_t limit = limit_of(limit_obj);
    std::vector<std::vector<query::Hit>> found(call.sources.size());
    Failure failure;
    run_released([&](engine::Cancel& cancel) {
      std::vector<query::Matcher> matchers(std::max(1u, call.threads),
                                           query::Matcher(call.conds));
      each_text(call.reader(), call.sources.size(), call.threads, cancel, failure,
                [&](size_t i, unsigned w, const Text& t) {
                  query::for_each_segment(t.sentence.data(), t.n, call.sentences,
                                          [&](int64_t b, int64_t e) {
                                            matchers[w].run(t.words.data(), t.tags.data(), b, e,
                                                            found[i]);
                                          });
                });
    });
    settle(failure);
    std::vector<int64_t> text, start, length;
    for (size_t i = 0; i < found.size(); ++i) {
      for (const query::Hit& h : found[i]) {
        if (limit >= 0 && static_cast<int64_t>(text.size()) >= limit) break;
        text.push_back(static_cast<int64_t>(i));
        start.push_back(h.start);
        length.push_back(h.length);
      }
    }
    Ref a = bytes_of(text), b = bytes_of(start), c = bytes_of(length);
    return PyTuple_Pack(3, a.get(), b.get(), c.get());
  });
}

// query_kwic(files, word_ids, tag_ids, program, within_sentence, width, levels, forms,
//            limit=None, threads=None)
//   -> (text, position, left, node, right, keys): text and position int64 per line; left,
//      node and right (offsets, data) string columns; keys int32, len(levels) per line
inline PyObject* engine_query_kwic(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files", "word_ids", "tag_ids", "program", "within_sentence",
                               "width", "levels",   "forms",   "limit",   "threads",
                               nullptr};
    PyObject *files, *wids, *tids, *program, *levels_obj, *forms_obj;
    PyObject *limit_obj = nullptr, *threads_obj = nullptr;
    int within = 0;
    long long width = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOpLOO|OO:query_kwic",
                                     const_cast<char**>(kw), &files, &wids, &tids, &program,
                                     &within, &width, &levels_obj, &forms_obj, &limit_obj,
                                     &threads_obj))
      return nullptr;
    Call call;
    call.acquire(files, wids, tids, program, within, threads_obj);
    const int64_t limit = limit_of(limit_obj);
    if (width < 0) {
      PyErr_SetString(PyExc_ValueError, "width must not be negative");
      throw PyErrorSet{};
    }
    ArrayArg<int64_t> level_arr;
    level_arr.acquire(levels_obj, "lq", "levels");
    if (level_arr.size() % 2 != 0) {
      PyErr_SetString(PyExc_ValueError, "levels: pairs of (side, k) expected");
      throw PyErrorSet{};
    }
    std::vector<concord::Level> levels;
    for (size_t j = 0; j + 1 < level_arr.size(); j += 2) {
      int64_t side = level_arr.data()[j], k = level_arr.data()[j + 1];
      if (side < 0 || side > 2 || k < 1) {
        PyErr_SetString(PyExc_ValueError, "levels: side 0, 1 or 2 and k >= 1 expected");
        throw PyErrorSet{};
      }
      levels.push_back(concord::Level{static_cast<concord::Side>(side), k});
    }
    if (!PyTuple_Check(forms_obj) || PyTuple_GET_SIZE(forms_obj) != 2) {
      PyErr_SetString(PyExc_TypeError, "forms: expected a tuple (offsets, data)");
      throw PyErrorSet{};
    }
    ArrayArg<int64_t> form_offsets;
    ArrayArg<uint8_t> form_data;
    form_offsets.acquire(PyTuple_GET_ITEM(forms_obj, 0), "lq", "forms");
    form_data.acquire(PyTuple_GET_ITEM(forms_obj, 1), "Bbc", "forms");
    if (form_offsets.size() != call.word_ids.size() + 1 || form_offsets.data()[0] != 0) {
      PyErr_SetString(PyExc_ValueError, "forms: one string per dictionary entry expected");
      throw PyErrorSet{};
    }
    for (size_t i = 1; i < form_offsets.size(); ++i) {
      if (form_offsets.data()[i] < form_offsets.data()[i - 1] ||
          static_cast<uint64_t>(form_offsets.data()[i]) > form_data.size()) {
        PyErr_SetString(PyExc_ValueError, "forms: offsets out of order or beyond the data");
        throw PyErrorSet{};
      }
    }
    const concord::Forms forms{form_offsets.data(), form_data.data()};
    std::vector<concord::Lines> lines(call.sources.size());
    Failure failure;
    // With a limit, texts after the one that completes it need not be searched.
    std::atomic<size_t> enough{SIZE_MAX};
    std::vector<int64_t> counts(call.sources.size(), -1);
    std::mutex counts_m;
    run_released([&](engine::Cancel& cancel) {
      std::vector<query::Matcher> matchers(std::max(1u, call.threads),
                                           query::Matcher(call.conds));
      std::vector<std::vector<query::Hit>> hits(std::max(1u, call.threads));
      each_text(call.reader(), call.sources.size(), call.threads, cancel, failure,
                [&](size_t i, unsigned w, const Text& t) {
                  if (i > enough.load()) return;
                  concord::Lines& out = lines[i];
                  query::for_each_segment(
                      t.sentence.data(), t.n, call.sentences, [&](int64_t b, int64_t e) {
                        hits[w].clear();
                        matchers[w].run(t.words.data(), t.tags.data(), b, e, hits[w]);
                        for (const query::Hit& h : hits[w])
                          concord::add_line(t.words.data(), b, e, h, width, forms, levels, out);
                      });
                  if (limit < 0) return;
                  std::lock_guard<std::mutex> lock(counts_m);
                  counts[i] = static_cast<int64_t>(out.position.size());
                  int64_t total = 0;
                  for (size_t j = 0; j < counts.size() && counts[j] >= 0; ++j) {
                    total += counts[j];
                    if (total >= limit) {
                      enough.store(std::min(enough.load(), j));
                      break;
                    }
                  }
                });
    });
    settle(failure);
    size_t rows = 0;
    for (const auto& l : lines) rows += l.position.size();
    if (limit >= 0) rows = std::min(rows, static_cast<size_t>(limit));
    const size_t nlev = levels.size();
    std::vector<int64_t> text, position;
    std::vector<int32_t> keys;
    text.reserve(rows);
    position.reserve(rows);
    keys.reserve(rows * nlev);
    concord::Column cols[3];
    size_t bytes[3] = {0, 0, 0};
    for (const auto& l : lines) {
      bytes[0] += l.left.data.size();
      bytes[1] += l.node.data.size();
      bytes[2] += l.right.data.size();
    }
    for (int c = 0; c < 3; ++c) {
      cols[c].offsets.reserve(rows + 1);
      cols[c].data.reserve(bytes[c]);
    }
    for (size_t i = 0; i < lines.size() && text.size() < rows; ++i) {
      const concord::Lines& l = lines[i];
      const size_t take = std::min(l.position.size(), rows - text.size());
      const concord::Column* src[3] = {&l.left, &l.node, &l.right};
      for (int c = 0; c < 3; ++c) {
        const int64_t base = static_cast<int64_t>(cols[c].data.size());
        const auto end = static_cast<size_t>(src[c]->offsets[take]);
        cols[c].data.insert(cols[c].data.end(), src[c]->data.begin(),
                            src[c]->data.begin() + static_cast<std::ptrdiff_t>(end));
        for (size_t r = 1; r <= take; ++r) cols[c].offsets.push_back(base + src[c]->offsets[r]);
      }
      text.insert(text.end(), take, static_cast<int64_t>(i));
      position.insert(position.end(), l.position.begin(),
                      l.position.begin() + static_cast<std::ptrdiff_t>(take));
      keys.insert(keys.end(), l.keys.begin(),
                  l.keys.begin() + static_cast<std::ptrdiff_t>(take * nlev));
    }
    lines.clear();
    Ref t = bytes_of(text), p = bytes_of(position), k = bytes_of(keys);
    Ref str[3];
    for (int c = 0; c < 3; ++c) {
      Ref off = bytes_of(cols[c].offsets), data = bytes_of(cols[c].data);
      str[c] = ok(PyTuple_Pack(2, off.get(), data.get()));
    }
    return PyTuple_Pack(6, t.get(), p.get(), str[0].get(), str[1].get(), str[2].get(), k.get());
  });
}

// query_collocates(files, word_ids, tag_ids, program, within_sentence, span_left, span_right,
//                  threads=None)
//   -> (left, right, freq, window, hits, tokens): left, right and freq int64 per dictionary
//      entry; window the number of window positions of all hits
inline PyObject* engine_query_collocates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"files",           "word_ids",  "tag_ids",    "program",
                               "within_sentence", "span_left", "span_right", "threads",
                               nullptr};
    PyObject *files, *wids, *tids, *program, *threads_obj = nullptr;
    int within = 0;
    long long span_left = 0, span_right = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOpLL|O:query_collocates",
                                     const_cast<char**>(kw), &files, &wids, &tids, &program,
                                     &within, &span_left, &span_right, &threads_obj))
      return nullptr;
    if (span_left < 0 || span_right < 0) {
      PyErr_SetString(PyExc_ValueError, "spans must not be negative");
      throw PyErrorSet{};
    }
    Call call;
    call.acquire(files, wids, tids, program, within, threads_obj);
    const size_t nw = call.word_ids.size();
    const unsigned workers = std::max(1u, call.threads);
    std::vector<concord::Windows> counts;
    Failure failure;
    run_released([&](engine::Cancel& cancel) {
      counts.assign(workers, concord::Windows(nw));
      std::vector<query::Matcher> matchers(workers, query::Matcher(call.conds));
      std::vector<std::vector<query::Hit>> hits(workers);
      each_text(call.reader(), call.sources.size(), call.threads, cancel, failure,
                [&](size_t, unsigned w, const Text& t) {
                  counts[w].count_text(t.words.data(), t.n);
                  query::for_each_segment(
                      t.sentence.data(), t.n, call.sentences, [&](int64_t b, int64_t e) {
                        hits[w].clear();
                        matchers[w].run(t.words.data(), t.tags.data(), b, e, hits[w]);
                        for (const query::Hit& h : hits[w])
                          counts[w].count_hit(t.words.data(), b, e, h, span_left, span_right);
                      });
                });
      for (unsigned w = 1; w < workers; ++w) counts[0].merge(counts[w]);
    });
    settle(failure);
    const concord::Windows& all = counts[0];
    Ref l = bytes_of(all.left), r = bytes_of(all.right), f = bytes_of(all.freq);
    return Py_BuildValue("(OOOLLL)", l.get(), r.get(), f.get(),
                         static_cast<long long>(all.window), static_cast<long long>(all.hits),
                         static_cast<long long>(all.tokens));
  });
}

}  // namespace query_glue

inline int engine_query_exec(PyObject*) { return 0; }

}  // namespace lumora

#define LUMORA_ENGINE_QUERY_METHODS                                                           \
  {"query_hits",                                                                              \
   reinterpret_cast<PyCFunction>(                                                             \
       reinterpret_cast<void (*)(void)>(lumora::query_glue::engine_query_hits)),              \
   METH_VARARGS | METH_KEYWORDS,                                                              \
   "query_hits(files, word_ids, tag_ids, program, within_sentence, limit=None, "              \
   "threads=None)\n--\n\nHits of a compiled query: (text, start, length) buffers."},          \
      {"query_kwic",                                                                          \
       reinterpret_cast<PyCFunction>(                                                         \
           reinterpret_cast<void (*)(void)>(lumora::query_glue::engine_query_kwic)),          \
       METH_VARARGS | METH_KEYWORDS,                                                          \
       "query_kwic(files, word_ids, tag_ids, program, within_sentence, width, levels, "       \
       "forms, limit=None, threads=None)\n--\n\nConcordance lines of a compiled query."},     \
      {"query_collocates",                                                                    \
       reinterpret_cast<PyCFunction>(                                                         \
           reinterpret_cast<void (*)(void)>(lumora::query_glue::engine_query_collocates)),    \
       METH_VARARGS | METH_KEYWORDS,                                                          \
       "query_collocates(files, word_ids, tag_ids, program, within_sentence, span_left, "     \
       "span_right, threads=None)\n--\n\nCollocate window counts of a compiled query."},
