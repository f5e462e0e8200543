// lm_spread: where a search term of one to three words occurs in each text of a corpus, as hit
// positions in percent of the text and as hits per fifth of each text.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/ref.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace lumora {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel: no Python types below this line until the glue.

// A by-value membership test over a set of ids, so that a scanning loop keeps it in registers:
// a range check first, then a short list, a bitmap over the range or a hash index.
struct IdTest {
  enum Mode { kList, kBits, kHash };
  int64_t lo = 1, hi = 0;  // lo > hi: holds nothing
  Mode mode = kList;
  const int64_t* list = nullptr;
  size_t n = 0;
  const uint64_t* bits = nullptr;
  const KeyIndex* index = nullptr;

  bool single() const noexcept { return lo == hi; }

  bool operator()(int64_t v) const noexcept {
    if (v < lo || v > hi) return false;
    switch (mode) {
      case kList:
        for (size_t k = 0; k < n; ++k)
          if (list[k] == v) return true;
        return false;
      case kBits: {
        const uint64_t o = static_cast<uint64_t>(v) - static_cast<uint64_t>(lo);
        return (bits[o >> 6] >> (o & 63)) & 1u;
      }
      default:
        return index->find(static_cast<uint64_t>(v)) >= 0;
    }
  }
};

// The ids one node word (or tag) stands for, owning what its IdTest points into.
class IdSet {
 public:
  explicit IdSet(std::vector<int64_t> ids) : ids_(std::move(ids)) {
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    if (!ids_.empty()) {
      lo_ = ids_.front();
      hi_ = ids_.back();
    }
    if (ids_.size() <= kLinear) return;
    const uint64_t span = static_cast<uint64_t>(hi_) - static_cast<uint64_t>(lo_);
    if (span < (uint64_t{1} << 22) || span / 256 <= ids_.size()) {
      mode_ = IdTest::kBits;
      bits_.assign(static_cast<size_t>(span / 64 + 1), 0);
      for (int64_t v : ids_) {
        const uint64_t o = static_cast<uint64_t>(v) - static_cast<uint64_t>(lo_);
        bits_[o >> 6] |= uint64_t{1} << (o & 63);
      }
      return;
    }
    mode_ = IdTest::kHash;
    index_ = KeyIndex(ids_.size());
    for (int64_t v : ids_) index_.insert(static_cast<uint64_t>(v));
  }
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;

  IdTest test() const noexcept {
    IdTest t;
    t.lo = lo_;
    t.hi = hi_;
    t.mode = mode_;
    t.list = ids_.data();
    t.n = ids_.size();
    t.bits = bits_.data();
    t.index = &index_;
    return t;
  }

 private:
  static constexpr size_t kLinear = 8;
  std::vector<int64_t> ids_;
  int64_t lo_ = 1, hi_ = 0;
  IdTest::Mode mode_ = IdTest::kList;
  std::vector<uint64_t> bits_;
  KeyIndex index_{1};
};

// One column of a token array: rows apart by `stride` elements.
struct Column {
  const int64_t* p;
  Py_ssize_t stride;
  int64_t operator[](Py_ssize_t i) const noexcept { return p[i * stride]; }
};

// Calls body(test) with a test specialised for a single id, which most exact words are.
template <class Body>
void with_test(const IdTest& t, Body&& body) {
  if (t.single()) {
    const int64_t id = t.lo;
    body([id](int64_t v) { return v == id; });
  } else {
    const IdTest copy = t;
    body([copy](int64_t v) { return copy(v); });
  }
}

// The first row whose value is in the set, or -1 (the emptiness test of a mask).
Py_ssize_t first_in(Column col, Py_ssize_t rows, const IdTest& set) {
  Py_ssize_t found = -1;
  with_test(set, [&](auto in) {
    for (Py_ssize_t i = 0; i < rows; ++i) {
      if (in(col[i])) {
        found = i;
        return;
      }
    }
  });
  return found;
}

// The condition on the k-th token of a hit: its word id, and its tag id when `tagged`.
struct Steps {
  IdTest word[3];
  IdTest tag[3];
  int n = 0;
  bool tagged = false;
};

// Rows i in [from, rows - n] at which token i + k meets step k for every k < n (n of 1 to 3).
// Hits may overlap. The first word is tested on every row; the rest only behind it.
void find_hits(Column words, Column tags, Py_ssize_t rows, const Steps& st, Py_ssize_t from,
               std::vector<Py_ssize_t>& hits) {
  const Py_ssize_t last = rows - st.n;
  auto rest = [&](Py_ssize_t i) {
    if (st.tagged && !st.tag[0](tags[i])) return false;
    for (int k = 1; k < st.n; ++k) {
      if (!st.word[k](words[i + k])) return false;
      if (st.tagged && !st.tag[k](tags[i + k])) return false;
    }
    return true;
  };
  with_test(st.word[0], [&](auto first) {
    for (Py_ssize_t i = from; i <= last; ++i)
      if (first(words[i]) && rest(i)) hits.push_back(i);
  });
}

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_spread"};

Name n_search_node{"search_node"}, n_translate{"translate"}, n_round{"round"}, n_re{"re"},
    n_array{"array"}, n_strip{"strip"}, n_split{"split"}, n_space{" "}, n_extend{"extend"},
    n_npy{".npy"}, n_empty_str{""};

// np.array(obj, dtype=int) through the module's np.
Ref int_array(PyObject* module, PyObject* obj) {
  Ref np = global(module, names::np);
  Ref array = attr(np.get(), n_array);
  Ref args = ok(PyTuple_Pack(1, obj));
  Ref kw = ok(PyDict_New());
  check(PyDict_SetItem(kw.get(), names::dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
  return ok(PyObject_Call(array.get(), args.get(), kw.get()));
}

// bool(a == b) or bool(a != b), with Python's comparison and truth rules.
bool compare_true(PyObject* a, PyObject* b, int op) {
  Ref r = ok(PyObject_RichCompare(a, b, op));
  int t = PyObject_IsTrue(r.get());
  check(t);
  return t != 0;
}

// s.strip(), kept when the result is true (not empty).
void add_stripped(PyObject* piece, PyObject* out) {
  Ref stripped = call_method(piece, n_strip);
  int keep = PyObject_IsTrue(stripped.get());
  check(keep);
  if (keep) check(PyList_Append(out, stripped.get()));
}

// The pieces of a tag string or tag list, stripped, empty ones left out.
Ref tag_pieces(PyObject* pos) {
  Ref out = ok(PyList_New(0));
  if (PyList_CheckExact(pos)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pos); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(pos, i));
      if (!PyUnicode_CheckExact(item.get())) throw err::expected("str", item.get());
      add_stripped(item.get(), out.get());
    }
    return out;
  }
  Ref stripped = call_method(pos, n_strip);
  Ref pieces = call_method(stripped.get(), n_split, n_space.get());
  Ref it = ok(PyObject_GetIter(pieces.get()));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref piece = Ref::steal(next);
    add_stripped(piece.get(), out.get());
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
  return out;
}

// Adds the ids a dictionary value stands for: the stored list's ids in order (lower-case
// dictionary) or the value itself (inverted word dictionary).
void add_ids(PyObject* ids, PyObject* value, bool several) {
  if (!several) {
    check(PyList_Append(ids, value));
    return;
  }
  if (PyList_CheckExact(value)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
      check(PyList_Append(ids, PyList_GET_ITEM(value, i)));
    return;
  }
  Ref r = call_method(ids, n_extend, value);
}

// True when every value of the dict is exactly a str.
bool all_values_str(PyObject* d) {
  Py_ssize_t at = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &at, &k, &v)) {
    if (!PyUnicode_CheckExact(v)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(v) < 0) throw PyErrorSet{};
#endif
  }
  return true;
}

// What the inverted dict would hold for `word` (borrowed): the key of the last entry whose value,
// a str, equals it; nullptr when there is none. Equal strings share their compact kind.
PyObject* last_key_of(PyObject* d, PyObject* word) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(word);
  const int kind = PyUnicode_KIND(word);
  const void* data = PyUnicode_DATA(word);
  const size_t bytes = static_cast<size_t>(len) * static_cast<size_t>(kind);
  PyObject* found = nullptr;
  Py_ssize_t at = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &at, &k, &v)) {
    if (v == word || (PyUnicode_GET_LENGTH(v) == len && PyUnicode_KIND(v) == kind &&
                      std::memcmp(PyUnicode_DATA(v), data, bytes) == 0))
      found = k;
  }
  return found;
}

struct Encoded {
  Ref node;  // None or a list of id arrays, one per node word
  Ref pos;   // None or a list of id arrays, one per tag
};

// The search term and the tags as id arrays; dictionaries are read afresh on every call.
Encoded parse_search(PyObject* module, PyObject* workspace, PyObject* corpus_name, PyObject* node,
                     PyObject* pos, PyObject* case_sensitive, PyObject* regexp) {
  const bool lowercase = compare_true(case_sensitive, Py_False, Py_EQ);
  // The words dictionary as looked up: the lower-case one as stored, or the inverted word
  // dictionary. Inverting an id-to-word dictionary whose words are all str cannot fail, so it is
  // left for the regular-expression walk; exact words are found in the loaded form directly.
  Ref dictionary, id_to_word;
  if (lowercase) {
    dictionary = load_dict_copy(module, corpus_path(workspace, corpus_name, names::wordslc_pickle)
                                            .get());
  } else {
    id_to_word = load_dict_copy(module, corpus_path(workspace, corpus_name, names::words_pickle)
                                            .get());
    if (!all_values_str(id_to_word.get())) dictionary = invert(id_to_word.get());
  }
  Ref tags =
      invert(load_dict_copy(module, corpus_path(workspace, corpus_name, names::tags_pickle).get())
                 .get());

  Ref text = Ref::borrow(node);
  if (compare_true(case_sensitive, Py_False, Py_EQ)) text = str_lower(text.get());
  Ref stripped = call_method(text.get(), n_strip);
  Ref pieces = call_method(stripped.get(), n_split, n_space.get());
  Ref words = ok(PyList_New(0));
  {
    Ref it = ok(PyObject_GetIter(pieces.get()));
    while (PyObject* next = PyIter_Next(it.get())) {
      Ref piece = Ref::steal(next);
      add_stripped(piece.get(), words.get());
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  Ref tag_list;
  if (compare_true(pos, Py_None, Py_NE)) tag_list = tag_pieces(pos);

  Encoded out;
  out.node = ok(PyList_New(0));
  const Py_ssize_t nwords = PyList_GET_SIZE(words.get());
  if (compare_true(regexp, Py_False, Py_EQ)) {
    for (Py_ssize_t k = 0; k < nwords; ++k) {
      PyObject* word = PyList_GET_ITEM(words.get(), k);
      PyObject* value = dictionary ? PyDict_GetItemWithError(dictionary.get(), word)
                                   : last_key_of(id_to_word.get(), word);
      if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        out.node = Ref::borrow(Py_None);
        break;
      }
      Ref hold = Ref::borrow(value);
      Ref ids = int_array(module, value);
      check(PyList_Append(out.node.get(), ids.get()));
    }
  } else {
    Ref re = global(module, n_re);
    std::vector<Ref> patterns;
    for (Py_ssize_t k = 0; k < nwords; ++k)
      patterns.push_back(call_method(re.get(), names::compile, PyList_GET_ITEM(words.get(), k)));
    if (!dictionary) dictionary = invert(id_to_word.get());
    for (const Ref& pattern : patterns) {
      Ref match = attr(pattern.get(), names::match);
      Ref ids = ok(PyList_New(0));
      Py_ssize_t at = 0;
      PyObject *key, *value;
      while (PyDict_Next(dictionary.get(), &at, &key, &value)) {
        Ref hold_key = Ref::borrow(key), hold_value = Ref::borrow(value);
        Ref m = call(match.get(), key);
        if (m.get() != Py_None) add_ids(ids.get(), value, lowercase);
      }
      if (PyList_GET_SIZE(ids.get()) == 0) {
        out.node = Ref::borrow(Py_None);
        break;
      }
      Ref arr = int_array(module, ids.get());
      check(PyList_Append(out.node.get(), arr.get()));
    }
  }

  out.pos = Ref::borrow(Py_None);
  if (compare_true(pos, Py_None, Py_NE)) {
    out.pos = ok(PyList_New(0));
    const Py_ssize_t ntags = tag_list ? PyList_GET_SIZE(tag_list.get()) : 0;
    for (Py_ssize_t k = 0; k < ntags; ++k) {
      PyObject* tag = PyList_GET_ITEM(tag_list.get(), k);
      PyObject* value = PyDict_GetItemWithError(tags.get(), tag);
      if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        out.pos = Ref::borrow(Py_None);
        break;
      }
      Ref hold = Ref::borrow(value);
      Ref ids = int_array(module, value);
      check(PyList_Append(out.pos.get(), ids.get()));
    }
  }
  return out;
}

// Integer kinds of the buffer protocol's struct syntax: 'i' signed, 'u' unsigned (bool too).
bool integer_format(const char* fmt, Py_ssize_t itemsize, char* kind, bool* swap) {
  if (fmt == nullptr) return false;
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  const bool little = first == 1;
  bool big = !little;
  if (*fmt == '<' || *fmt == '>' || *fmt == '=' || *fmt == '@' || *fmt == '!') {
    if (*fmt == '<') big = false;
    if (*fmt == '>' || *fmt == '!') big = true;
    ++fmt;
  }
  if (fmt[0] == '\0' || fmt[1] != '\0') return false;
  if (std::strchr("bhilqn", fmt[0]) != nullptr) {
    *kind = 'i';
  } else if (std::strchr("BHILQN?", fmt[0]) != nullptr) {
    *kind = 'u';
  } else {
    return false;
  }
  if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return false;
  *swap = big == little && itemsize > 1;
  return true;
}

// Reads one element; false for an unsigned value above the int64 range (it equals no id).
bool read_id(const char* p, Py_ssize_t size, char kind, bool swap, int64_t* out) {
  unsigned char b[8];
  std::memcpy(b, p, static_cast<size_t>(size));
  if (swap) std::reverse(b, b + size);
  switch (size) {
    case 1: {
      int8_t s;
      uint8_t u;
      std::memcpy(&s, b, 1);
      std::memcpy(&u, b, 1);
      *out = kind == 'i' ? s : u;
      return true;
    }
    case 2: {
      int16_t s;
      uint16_t u;
      std::memcpy(&s, b, 2);
      std::memcpy(&u, b, 2);
      *out = kind == 'i' ? s : u;
      return true;
    }
    case 4: {
      int32_t s;
      uint32_t u;
      std::memcpy(&s, b, 4);
      std::memcpy(&u, b, 4);
      *out = kind == 'i' ? s : static_cast<int64_t>(u);
      return true;
    }
    default: {
      int64_t s;
      std::memcpy(&s, b, 8);
      if (kind == 'u' && s < 0) return false;
      *out = s;
      return true;
    }
  }
}

// Every element of an integer array of any shape, as np.isin flattens it.
void array_ids(PyObject* arr, std::vector<int64_t>& out) {
  Buffer buf;
  buf.acquire(arr, PyBUF_RECORDS_RO);
  const Py_buffer& v = buf.view();
  char kind = 0;
  bool swap = false;
  if (!integer_format(v.format, v.itemsize, &kind, &swap)) {
    Ref dtype = ok(PyObject_GetAttr(arr, names::dtype.get()));
    Ref text = ok(PyObject_Str(dtype.get()));
    const char* name = PyUnicode_AsUTF8(text.get());
    if (name == nullptr) throw PyErrorSet{};
    throw err::ids_not_integers(name);
  }
  Py_ssize_t count = 1;
  for (int d = 0; d < v.ndim; ++d) count *= v.shape[d];
  if (count == 0) return;
  std::vector<Py_ssize_t> index(static_cast<size_t>(std::max(v.ndim, 1)), 0);
  const char* base = static_cast<const char*>(v.buf);
  for (Py_ssize_t n = 0; n < count; ++n) {
    const char* p = base;
    for (int d = 0; d < v.ndim; ++d) p += index[static_cast<size_t>(d)] * v.strides[d];
    int64_t id;
    if (read_id(p, v.itemsize, kind, swap, &id)) out.push_back(id);
    for (int d = v.ndim - 1; d >= 0; --d) {  // next index, last axis fastest
      if (++index[static_cast<size_t>(d)] < v.shape[d]) break;
      index[static_cast<size_t>(d)] = 0;
    }
  }
}

// The ids of one encoded element: an integer, an integer array of any shape, or a list or tuple
// of such, flattened.
void collect_ids(PyObject* obj, PyObject* ndarray, std::vector<int64_t>& out) {
  if (PyLong_Check(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow == 0) out.push_back(v);  // a value beyond 64 bits equals no id
    return;
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    if (Py_EnterRecursiveCall(" while reading encoded ids")) throw PyErrorSet{};
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref seq = ok(PySequence_Fast(obj, "encoded ids"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
      collect_ids(item.get(), ndarray, out);
    }
    return;
  }
  int is_array = PyObject_IsInstance(obj, ndarray);
  check(is_array);
  if (is_array) {
    array_ids(obj, out);
    return;
  }
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (!PyFloat_Check(obj) && nb != nullptr && nb->nb_index != nullptr) {  // NumPy integer scalars
    Ref i = ok(PyNumber_Index(obj));
    collect_ids(i.get(), ndarray, out);
    return;
  }
  throw err::ids_not_integers(Py_TYPE(obj)->tp_name);
}

// The encoded node and tags of one search, turned into id sets when the search first needs them,
// so that a bad or missing entry fails exactly where its mask would have been built.
class Encoding {
 public:
  Encoding(PyObject* module, PyObject* node, PyObject* pos)
      : module_(module), node_(node), pos_(pos) {}

  bool has_tags() const noexcept { return pos_ != Py_None; }

  // The rows of one token array at which the node begins, ascending.
  void search(const TokenArray& arr, std::vector<Py_ssize_t>& hits) {
    hits.clear();
    const Py_ssize_t n = node_count();
    if (n < 1 || n > 3) throw err::unbound_local("ix");
    const Py_ssize_t rows = arr.rows();
    const Column words{arr.base(), arr.row_stride()};
    const Column tags{arr.base() ? arr.base() + arr.col_stride() : nullptr, arr.row_stride()};
    Steps st;
    st.n = static_cast<int>(n);
    st.tagged = has_tags();
    Py_ssize_t from = 0;
    if (st.tagged && !PyList_Check(pos_) && !PyTuple_Check(pos_))
      throw err::expected("list", pos_);
    if (st.n == 1) {  // one word, with every listed tag allowed: no emptiness tests
      st.word[0] = word(0).test();
      if (st.tagged) st.tag[0] = all_tags().test();
    } else {
      for (int k = 0; k < st.n; ++k) {
        st.word[k] = word(k).test();
        if (st.tagged) st.tag[k] = tag(k).test();  // the k-th tag belongs to the k-th word
        Py_ssize_t f = first_in(words, rows, st.word[k]);
        if (f < 0) return;  // an empty mask ends the search of this array
        if (st.tagged) {
          Py_ssize_t ft = first_in(tags, rows, st.tag[k]);
          if (ft < 0) return;
          f = std::max(f, ft);
        }
        from = std::max(from, f - k);  // no hit starts before every word has been seen
      }
    }
    find_hits(words, tags, rows, st, from, hits);
  }

 private:
  Py_ssize_t node_count() {
    if (count_ < 0) {
      Py_ssize_t n = PyObject_Size(node_);  // len(None) fails here, as it does for any non-sized
      if (n < 0) throw PyErrorSet{};
      if (!PyList_Check(node_) && !PyTuple_Check(node_)) throw err::expected("list", node_);
      count_ = n;
    }
    return count_;
  }

  PyObject* ndarray() {
    if (!ndarray_) {
      Ref np = global(module_, names::np);
      ndarray_ = attr(np.get(), names::ndarray);
    }
    return ndarray_.get();
  }

  std::vector<int64_t> ids_of(PyObject* obj) {
    std::vector<int64_t> ids;
    collect_ids(obj, ndarray(), ids);
    return ids;
  }

  const IdSet& word(int k) {
    if (!words_[k]) {
      Ref item = ok(PySequence_GetItem(node_, k));
      words_[k].emplace(ids_of(item.get()));
    }
    return *words_[k];
  }

  const IdSet& tag(int k) {
    if (!tags_[k]) {
      Ref item = ok(PySequence_GetItem(pos_, k));  // IndexError when the tag is missing
      tags_[k].emplace(ids_of(item.get()));
    }
    return *tags_[k];
  }

  const IdSet& all_tags() {
    if (!all_tags_) all_tags_.emplace(ids_of(pos_));
    return *all_tags_;
  }

  PyObject* module_;
  PyObject* node_;
  PyObject* pos_;
  Ref ndarray_;
  Py_ssize_t count_ = -1;
  std::optional<IdSet> words_[3], tags_[3], all_tags_;
};

// The hit rows as positions in percent: round(i / tokens * 100, 2).
Ref position_list(const std::vector<Py_ssize_t>& hits, Py_ssize_t tokens) {
  Ref out = ok(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  const double whole = static_cast<double>(tokens);
  for (size_t k = 0; k < hits.size(); ++k) {
    const double p = py_round(static_cast<double>(hits[k]) / whole * 100.0, 2);
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), ok(PyFloat_FromDouble(p)).release());
  }
  return out;
}

// The file name without any ".npy" in it.
Ref record_name(PyObject* filename) {
  if (PyUnicode_CheckExact(filename)) return ok(PyUnicode_Replace(filename, n_npy.get(),
                                                                   n_empty_str.get(), -1));
  return call_method(filename, names::replace, n_npy.get(), n_empty_str.get());
}

Ref search_corpus(PyObject* module, PyObject* npy_path, PyObject* encoded_node,
                  PyObject* encoded_pos) {
  Ref files = listdir(module, npy_path);
  Ref data = ok(PyList_New(0));
  Encoding encoding(module, encoded_node, encoded_pos);
  const int columns = encoding.has_tags() ? 2 : 1;
  TokenArray arr;
  std::vector<Py_ssize_t> hits;
  for (Py_ssize_t f = 0; f < PyList_GET_SIZE(files.get()); ++f) {
    Ref filename = Ref::borrow(PyList_GET_ITEM(files.get(), f));
    Ref path = concat(npy_path, filename.get());
    arr.load(module, path.get(), columns);
    encoding.search(arr, hits);
    Ref name = record_name(filename.get());
    Ref positions = position_list(hits, arr.rows());
    Ref record = ok(Py_BuildValue("(OnnO)", name.get(), arr.rows(),
                                  static_cast<Py_ssize_t>(hits.size()), positions.get()));
    check(PyList_Append(data.get(), record.get()));
  }
  return data;
}

Signature search_node_sig{"search_node", 3, {"npy_path", "encoded_node", "encoded_pos"}, 0};

PyObject* search_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    parse_args(search_node_sig, args, nargs, kwnames, a);
    return search_corpus(self, a[0], a[1], a[2]).release();
  });
}

// translate: section counts of file records.

// d[k] of a record, as Python indexes it.
Ref field(PyObject* record, Py_ssize_t k) {
  if (PyTuple_CheckExact(record) && k < PyTuple_GET_SIZE(record))
    return Ref::borrow(PyTuple_GET_ITEM(record, k));
  Ref index = ok(PyLong_FromSsize_t(k));
  return ok(PyObject_GetItem(record, index.get()));
}

constexpr long kLower[5] = {0, 20, 40, 60, 80};
constexpr long kUpper[5] = {19, 39, 59, 79, 100};

// The first section whose inclusive range holds the point, or -1.
int section_of(PyObject* point) {
  if (PyLong_CheckExact(point)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(point, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow != 0) return -1;
    for (int s = 0; s < 5; ++s)
      if (v >= kLower[s] && v <= kUpper[s]) return s;
    return -1;
  }
  for (int s = 0; s < 5; ++s) {  // point >= lower and point <= upper, as Python evaluates it
    Ref lower = ok(PyLong_FromLong(kLower[s]));
    if (!compare_true(point, lower.get(), Py_GE)) continue;
    Ref upper = ok(PyLong_FromLong(kUpper[s]));
    if (compare_true(point, upper.get(), Py_LE)) return s;
  }
  return -1;
}

PyObject* translate(PyObject* self, PyObject* positions) {
  return guarded([&]() -> PyObject* {
    Ref dispersion = ok(PyList_New(0));
    Ref dpts = ok(PyDict_New());
    int64_t total[5] = {0, 0, 0, 0, 0};
    int64_t i = 0;
    Ref round = global(self, n_round);
    Ref it = ok(PyObject_GetIter(positions));
    while (PyObject* next = PyIter_Next(it.get())) {
      Ref d = Ref::steal(next);
      ++i;
      int64_t s[5] = {0, 0, 0, 0, 0};
      {
        Ref points = field(d.get(), 3);
        Ref name = field(d.get(), 0);
        check(PyDict_SetItem(dpts.get(), name.get(), points.get()));
      }
      Ref points = field(d.get(), 3);
      if (PyList_CheckExact(points.get())) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(points.get()); ++k) {
          Ref p = Ref::borrow(PyList_GET_ITEM(points.get(), k));
          Ref point = call(round.get(), p.get());
          int sec = section_of(point.get());
          if (sec >= 0) ++s[sec];
        }
      } else {
        Ref pit = ok(PyObject_GetIter(points.get()));
        while (PyObject* pnext = PyIter_Next(pit.get())) {
          Ref p = Ref::steal(pnext);
          Ref point = call(round.get(), p.get());
          int sec = section_of(point.get());
          if (sec >= 0) ++s[sec];
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
      }
      for (int k = 0; k < 5; ++k) total[k] += s[k];
      Ref name = field(d.get(), 0);
      Ref tokens = field(d.get(), 1);
      Ref hits = field(d.get(), 2);
      Ref row = ok(Py_BuildValue("(LOOOLLLLL)", static_cast<long long>(i), name.get(),
                                 tokens.get(), hits.get(), static_cast<long long>(s[0]),
                                 static_cast<long long>(s[1]), static_cast<long long>(s[2]),
                                 static_cast<long long>(s[3]), static_cast<long long>(s[4])));
      check(PyList_Append(dispersion.get(), row.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    Ref totals = ok(Py_BuildValue("(LLLLL)", static_cast<long long>(total[0]),
                                  static_cast<long long>(total[1]),
                                  static_cast<long long>(total[2]),
                                  static_cast<long long>(total[3]),
                                  static_cast<long long>(total[4])));
    return PyTuple_Pack(3, totals.get(), dpts.get(), dispersion.get());
  });
}


Signature make_dispersion_sig{
    "make_dispersion",
    6,
    {"workspace", "corpus_name", "node", "pos", "case_sensitive", "regexp"},
    0b000111};

PyObject* make_dispersion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    parse_args(make_dispersion_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    Ref dispersion = ok(PyList_New(0));
    Ref dpts = ok(PyDict_New());
    Ref totals = ok(PyTuple_New(0));
    Encoded enc = parse_search(self, workspace, corpus_name, a[2], a[3], a[4], a[5]);
    if (enc.node.get() != Py_None) {
      Ref npy_path = corpus_path(workspace, corpus_name, names::npy_dir);
      Ref search = global(self, n_search_node);
      Ref positions = call(search.get(), npy_path.get(), enc.node.get(), enc.pos.get());
      if (!PyList_CheckExact(positions.get())) throw err::expected("list", positions.get());
      if (PyList_GET_SIZE(positions.get()) > 0) {
        Ref fn = global(self, n_translate);
        Ref result = call(fn.get(), positions.get());
        Ref parts[3];
        unpack(result.get(), parts, 3);
        if (!PyTuple_CheckExact(parts[0].get())) throw err::expected("tuple", parts[0].get());
        if (!PyDict_CheckExact(parts[1].get())) throw err::expected("dict", parts[1].get());
        if (!PyList_CheckExact(parts[2].get())) throw err::expected("list", parts[2].get());
        totals = std::move(parts[0]);
        dpts = std::move(parts[1]);
        dispersion = std::move(parts[2]);
      }
    }
    return PyTuple_Pack(3, totals.get(), dpts.get(), dispersion.get());
  });
}

PyMethodDef search_node_def = {
    "search_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(search_node)),
    METH_FASTCALL | METH_KEYWORDS,
    "search_node(npy_path, encoded_node, encoded_pos)\n--\n\n"
    "Searches the node in every text file and gets positions."};
PyMethodDef translate_def = {
    "translate", translate, METH_O,
    "translate(positions, /)\n--\n\n"
    "Translate numbers back to words in a list format for lumora KIWC object."};
PyMethodDef make_dispersion_def = {
    "make_dispersion",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_dispersion)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_dispersion(workspace, corpus_name, node, pos, case_sensitive, regexp)\n--\n\n"};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!search_node_sig.intern() || !make_dispersion_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    bind_import(m, "re", "re");
    bind_function(m, &search_node_def);
    bind_function(m, &translate_def);
    bind_function(m, &make_dispersion_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_spread,
              "Dispersion of a search term: hit positions per text and hits per fifth of each text.",
              lumora::state, lumora::exec_module)
