// lm_bundles: the clusters of a search word, that is every sequence of one to three tokens that
// contains an occurrence of it, with how often each occurs, in how many texts, and that number as a
// share of all texts.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pickled_py.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/lm_bundles_kernel.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lumora {
namespace {

using namespace bundles;  // the kernel

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_bundles"};

Name n_strip{"strip"}, n_split{"split"}, n_space{" "}, n_array{"array"}, n_zeros{"zeros"},
    n_concatenate{"concatenate"}, n_shape{"shape"}, n_ravel{"ravel"}, n_tolist{"tolist"},
    n_re{"re"}, n_punctuation{"^\\W+ | \\W+$| \\W+ "};

void ensure_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  check(PyUnicode_READY(s));
#else
  (void)s;
#endif
}

// load_dict of this module: dict() of the unpickled object. An object that is already an exact
// dict is kept as it is; its copy would be equal, and nothing else holds it.
Ref load_dict_obj(PyObject* module, PyObject* path) {
  Ref obj = unpickle(module, path);
  if (PyDict_CheckExact(obj.get())) return obj;
  return call(reinterpret_cast<PyObject*>(&PyDict_Type), obj.get());
}

// The first word of a search text: strip, split on single spaces, strip each piece, take the
// first piece that is not empty. Empty when there is none.
Ref first_word(PyObject* text) {
  Ref stripped = call_method(text, n_strip);
  Ref pieces = call_method(stripped.get(), n_split, n_space.get());
  Ref it = ok(PyObject_GetIter(pieces.get()));
  for (;;) {
    PyObject* next = PyIter_Next(it.get());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      return Ref();
    }
    Ref piece = Ref::steal(next);
    Ref word = call_method(piece.get(), n_strip);
    int truth = PyObject_IsTrue(word.get());
    check(truth);
    if (truth) return word;
  }
}

// np.array(value, dtype=int) through the module's np, read back as the ids it holds.
std::vector<int64_t> encode_ids(PyObject* module, PyObject* value) {
  Ref np = global(module, names::np);
  Ref array = attr(np.get(), n_array);
  Ref args = ok(PyTuple_Pack(1, value));
  Ref kw = ok(PyDict_New());
  check(PyDict_SetItem(kw.get(), names::dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
  Ref arr = ok(PyObject_Call(array.get(), args.get(), kw.get()));
  Ref flat = call_method(arr.get(), n_ravel);
  Ref items = call_method(flat.get(), n_tolist);
  Ref seq = ok(PySequence_Fast(items.get(), "ids must be a sequence"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<int64_t> ids;
  ids.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    long long v = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    ids.push_back(v);
  }
  return ids;
}

// Whether every value of an exact dict is an exact str (then its inverse need not be built).
bool values_are_str(PyObject* d) {
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &pos, &k, &v))
    if (!PyUnicode_CheckExact(v)) return false;
  return true;
}

// In an id-to-word dict whose values are all str: the id that its inverse would give `word`,
// that is the last key whose value equals it. Borrowed; nullptr when there is none.
PyObject* last_key_of(PyObject* d, PyObject* word) {
  ensure_ready(word);
  Py_ssize_t len = PyUnicode_GET_LENGTH(word);
  PyObject* found = nullptr;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &pos, &k, &v)) {
    ensure_ready(v);
    if (PyUnicode_GET_LENGTH(v) == len && PyUnicode_Compare(v, word) == 0) found = k;
  }
  return found;
}

// The search word and the tag filter, encoded.
struct Search {
  bool known = true;      // false: the search word is not in the dictionary
  bool has_word = false;  // false (with known): the search text holds no word
  IdSet node;
  bool has_pos = false;   // a tag filter applies (possibly one that allows no tag)
  IdSet pos;
  bool words_native = false;  // the id-to-word dictionary was read natively
};

// `native` receives a dictionary read natively; Search::words_native says whether that is the
// id-to-word dictionary (exact search), which translation then need not read again.
Search parse_search(PyObject* module, PyObject* workspace, PyObject* corpus_name, PyObject* node,
                    PyObject* pos, bool lowercase, pickled::Dict& native) {
  // The search word of a str node, found before the dictionaries are read: lower-casing,
  // stripping and splitting a str have no effects and raise nothing. (A None node fails below,
  // after the dictionaries, as the Python rendering fails.)
  Ref word;
  if (node != Py_None) {
    Ref text = lowercase ? Ref::borrow(node) : str_lower(node);
    word = first_word(text.get());
  }
  Ref bytes = word ? pickled_bytes(word.get()) : Ref();

  // An exact search looks the word up in the inverse of the id-to-word dictionary; when every
  // form is a str that inverse is searched in place instead of being built. A dictionary read
  // natively is searched while it is read: the last entry with the word as key (a dict's lookup)
  // or, for the inverse, as value.
  Ref words;
  bool search_values = false;
  pickled::Obj last;
  bool seen = false;
  bool is_native = false;
  if (!lowercase) {
    Ref path = corpus_path(workspace, corpus_name, names::wordslc_pickle);
    is_native = read_pickled_dict(
        module, path.get(), native, [&](const pickled::Obj& key, const pickled::Obj& value) {
          if (bytes && same_bytes(native, key, bytes.get())) {
            last = value;
            seen = true;
          }
          return true;
        });
    if (!is_native) words = load_dict_obj(module, path.get());
  } else {
    // The inverse follows the stream's order, which is the dict's while keys are distinct; a
    // list value would make building the inverse fail: Python does both of those.
    Ref path = corpus_path(workspace, corpus_name, names::words_pickle);
    pickled::KeySet keys;
    is_native = read_pickled_dict(
        module, path.get(), native, [&](const pickled::Obj& key, const pickled::Obj& value) {
          if (value.kind == pickled::Obj::kList || !keys.insert(native, key)) return false;
          if (bytes && same_bytes(native, value, bytes.get())) {
            last = key;
            seen = true;
          }
          return true;
        });
    if (!is_native) {
      words = load_dict_obj(module, path.get());
      search_values = values_are_str(words.get());
      if (!search_values) words = invert(words.get());
    }
  }
  Ref tags_obj = load_dict_obj(module, corpus_path(workspace, corpus_name, names::tags_pickle).get());
  Ref tags = invert(tags_obj.get());
  tags_obj.reset();

  if (node == Py_None) {  // fails as the Python rendering fails
    Ref text = lowercase ? Ref::borrow(node) : str_lower(node);
    first_word(text.get());
  }
  Ref tag = pos != Py_None ? first_word(pos) : Ref();

  Search s;
  s.words_native = lowercase && is_native;
  if (word) {
    Ref found;
    if (is_native) {
      if (seen) found = pickled_object(native, last);
    } else {
      PyObject* value = search_values ? last_key_of(words.get(), word.get())
                                      : PyDict_GetItemWithError(words.get(), word.get());
      if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
      if (value != nullptr) found = Ref::borrow(value);
    }
    if (!found) {
      s.known = false;
    } else {
      s.has_word = true;
      s.node.assign(encode_ids(module, found.get()));
    }
  }
  if (pos != Py_None) {
    s.has_pos = true;
    if (tag) {
      PyObject* value = PyDict_GetItemWithError(tags.get(), tag.get());
      if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
      if (value == nullptr) {
        s.has_pos = false;  // an unknown tag drops the filter
      } else {
        Ref hold = Ref::borrow(value);
        s.pos.assign(encode_ids(module, hold.get()));
      }
    }
  }
  return s;
}

// np.zeros((2 * size, 4), dtype=int) for a negative size: NumPy raises its own ValueError.
PyErrorSet negative_size(PyObject* module, int32_t size) {
  Ref np = global(module, names::np);
  Ref zeros = attr(np.get(), n_zeros);
  Ref shape = ok(Py_BuildValue("(Li)", 2LL * size, 4));
  Ref args = ok(PyTuple_Pack(1, shape.get()));
  Ref kw = ok(PyDict_New());
  check(PyDict_SetItem(kw.get(), names::dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
  Ref r = ok(PyObject_Call(zeros.get(), args.get(), kw.get()));
  PyErr_SetString(PyExc_SystemError, "np.zeros accepted a negative dimension");
  return {};
}

// Shape (n, 4) or, for a text without tokens, (0,).
bool plain_token_shape(PyObject* arr) {
  Ref shape = ok(PyObject_GetAttr(arr, n_shape.get()));
  if (!PyTuple_Check(shape.get())) return false;
  Py_ssize_t nd = PyTuple_GET_SIZE(shape.get());
  if (nd != 1 && nd != 2) return false;
  Py_ssize_t last = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), nd - 1));
  if (last == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return nd == 1 ? last == 0 : last == 4;
}

// np.load(path) as a token array. Anything that is not an array of shape (n, 4) or (0,) is put
// between rows of zeros as it stands, so NumPy reports what does not fit.
void load_tokens(PyObject* module, PyObject* path, TokenArray& tokens) {
  Ref np = global(module, names::np);
  Ref load = attr(np.get(), names::load);
  if (load.get() == numpy_load_at_start() && tokens.load_native(path, 4, true)) return;
  Ref arr = call(load.get(), path);
  Ref ndarray = attr(np.get(), names::ndarray);
  int is_array = PyObject_IsInstance(arr.get(), ndarray.get());
  check(is_array);
  if (!is_array || !plain_token_shape(arr.get())) {
    Ref zeros = attr(np.get(), n_zeros);
    Ref shape = ok(Py_BuildValue("(ii)", 0, 4));
    Ref args = ok(PyTuple_Pack(1, shape.get()));
    Ref kw = ok(PyDict_New());
    check(PyDict_SetItem(kw.get(), names::dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
    Ref pad = ok(PyObject_Call(zeros.get(), args.get(), kw.get()));
    Ref parts = ok(PyList_New(3));
    PyObject* items[3] = {pad.get(), arr.get(), pad.get()};
    for (Py_ssize_t i = 0; i < 3; ++i) {
      Py_INCREF(items[i]);
      PyList_SET_ITEM(parts.get(), i, items[i]);
    }
    Ref concatenate = attr(np.get(), n_concatenate);
    arr = call(concatenate.get(), parts.get());
  }
  tokens.from_array(arr.get(), 2);
}

// A word form as cluster texts use it: the word of an id, lower-cased when asked. Ids whose
// forms are equal str share one form.
struct WordForm {
  Ref text;
  Py_hash_t hash = 0;  // of an exact str
  uint32_t class_begin = 0, class_len = 0;
};

// What joining needs of a form, kept apart from the Python object: its characters are copied
// into the translator's own buffer, so cluster texts are built without touching the words.
struct FormInfo {
  uint32_t at = 0;       // an exact str: its characters in the buffer
  uint32_t len = 0;      // in code points
  Py_UCS4 maxchar = 0;   // the widest its kind holds, as PyUnicode_New takes it
  uint8_t kind = 0;      // 1, 2 or 4 bytes a character; 0: not an exact str
  bool space = false;    // holds a space: joins of it may equal joins of other forms
  bool pure = false;     // word characters only, one at least: no joins of pure forms are
                         // punctuation
};

// Turns the counted windows into cluster rows.
//
// Windows are visited in the order they first arose, so errors and new cluster texts come in
// the order in which the texts are first counted. A window's text is decided once per distinct
// tuple of forms. Two different tuples of str forms without a space give different texts, so
// those are merged without looking at the text; the others (forms with a space, forms that are
// not str) are merged by their text through a dict, and once a form that is not a str occurs,
// every text is.
class Translator {
 public:
  // dict_words: the id-to-word dict; or nullptr, with `native` its pickled form and
  // `native_values` the value of each dense word number there (kind kNone: no entry).
  Translator(PyObject* module, PyObject* dict_words, const pickled::Dict* native,
             const std::vector<pickled::Obj>* native_values, bool lowercase, int size)
      : module_(module), dict_words_(dict_words), native_(native), native_values_(native_values),
        lowercase_(lowercase), size_(size), tuples_(size) {}

  Ref run(const WindowCounts& counts, int32_t total_files) {
    Ref re = global(module_, n_re);
    pattern_ = call_method(re.get(), names::compile, n_punctuation.get());
    texts_ = ok(PyDict_New());

    counts_ = &counts;
    dense_form_.assign(counts.ids.size(), kUnknown);
    const size_t n = counts.windows.size();
    std::vector<int32_t>& cluster = window_cluster_;
    cluster.reserve(n);
    for (size_t g = 0; g < n; ++g) cluster.push_back(cluster_of(g));

    for (size_t g = 0; g < n; ++g)
      if (cluster[g] >= 0)
        clusters_[static_cast<size_t>(cluster[g])].freq += counts.counts[g].total;
    size_t begin = 0;
    for (size_t f = 0; f < counts.texts(); ++f) {
      const auto file = static_cast<uint32_t>(f + 1);
      for (size_t k = begin; k < counts.text_end[f]; ++k) {
        int32_t c = cluster[counts.text_windows[k]];
        if (c < 0) continue;
        Cluster& cl = clusters_[static_cast<size_t>(c)];
        if (cl.last_file != file) {
          cl.last_file = file;
          cl.range += 1;
        }
      }
      begin = counts.text_end[f];
    }

    // One percentage object per range value: the rows share them.
    std::vector<Ref> percents;
    Ref rows = ok(PyList_New(static_cast<Py_ssize_t>(clusters_.size())));
    for (size_t i = 0; i < clusters_.size(); ++i) {
      const Cluster& c = clusters_[i];
      const auto r = static_cast<size_t>(c.range);
      if (percents.size() <= r) percents.resize(r + 1);
      if (!percents[r]) percents[r] = single_float(percent_single(c.range, total_files));
      Ref number = ok(PyLong_FromSize_t(i + 1));
      Ref freq = ok(PyLong_FromLongLong(c.freq));
      Ref range = ok(PyLong_FromLong(c.range));
      Ref row = ok(PyTuple_New(5));
      PyTuple_SET_ITEM(row.get(), 0, number.release());
      // The row takes the cluster's reference over: the text object is not touched again.
      const bool untrack = c.plain;
      PyTuple_SET_ITEM(row.get(), 1, clusters_[i].text.release());
      PyTuple_SET_ITEM(row.get(), 2, freq.release());
      PyTuple_SET_ITEM(row.get(), 3, range.release());
      PyTuple_SET_ITEM(row.get(), 4, Ref::borrow(percents[r].get()).release());
      // A tuple of a str and numbers can hold no cycle; the collector would untrack it at its
      // first pass anyway, and untracking it now spares the collections a long list of rows.
      if (untrack) PyObject_GC_UnTrack(row.get());
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return rows;
  }

 private:
  struct Cluster {
    Ref text;
    bool plain = false;  // text is an exact str
    int64_t freq = 0;
    int32_t range = 0;
    uint32_t last_file = 0;
  };

  // The form of a word id (by its dense number) as a code: the form number shifted left by two,
  // with kNotStr and kSpaced. Its word is looked up (and lower-cased) once.
  static constexpr uint32_t kNotStr = 1, kSpaced = 2, kUnknown = UINT32_MAX;

  uint32_t form_code(uint32_t dense) {
    if (dense_form_[dense] != kUnknown) return dense_form_[dense];
    const int64_t id = counts_->ids.id(dense);
    Ref held;
    if (native_ != nullptr) {
      const pickled::Obj& value = (*native_values_)[dense];
      if (value.kind == pickled::Obj::kNone) throw err::key_error(ok(PyLong_FromLongLong(id)).get());
      held = pickled_object(*native_, value);
    } else {
      Ref key = ok(PyLong_FromLongLong(id));
      PyObject* value = PyDict_GetItemWithError(dict_words_, key.get());
      if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        throw err::key_error(key.get());
      }
      held = Ref::borrow(value);
    }
    Ref text = lowercase_ ? str_lower(held.get()) : std::move(held);
    const uint32_t form = PyUnicode_CheckExact(text.get()) ? str_form(std::move(text))
                                                            : add_form(std::move(text), 0);
    if (form >= (1u << 30)) throw std::length_error("too many word forms");
    const FormInfo& info = info_[form];
    const uint32_t code = form << 2 | (info.kind == 0 ? kNotStr : 0) | (info.space ? kSpaced : 0);
    dense_form_[dense] = code;
    return code;
  }

  // The form of an exact str: an earlier one of equal text, or a new one.
  uint32_t str_form(Ref text) {
    PyObject* s = text.get();
    ensure_ready(s);
    const Py_hash_t h = PyObject_Hash(s);
    if (h == -1) throw PyErrorSet{};
    if (form_slots_.empty()) form_slots_.assign(1024, 0u);
    size_t mask = form_slots_.size() - 1;
    size_t i = mix64(static_cast<uint64_t>(h)) & mask;
    for (; form_slots_[i] != 0; i = (i + 1) & mask) {
      const uint32_t f = form_slots_[i] - 1;
      if (forms_[f].hash == h && same_text(forms_[f].text.get(), s)) {
        merged_ = true;
        return f;
      }
    }
    const uint32_t f = add_form(std::move(text), h);
    form_slots_[i] = f + 1;
    if (++str_forms_ * 2 > form_slots_.size()) {
      form_slots_.assign(form_slots_.size() * 2, 0u);
      mask = form_slots_.size() - 1;
      for (uint32_t k = 0; k < forms_.size(); ++k) {
        if (info_[k].kind == 0) continue;
        size_t j = mix64(static_cast<uint64_t>(forms_[k].hash)) & mask;
        while (form_slots_[j] != 0) j = (j + 1) & mask;
        form_slots_[j] = k + 1;
      }
    }
    return f;
  }

  static bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
  }

  uint32_t add_form(Ref text, Py_hash_t hash) {
    WordForm f;
    FormInfo info;
    f.hash = hash;
    if (PyUnicode_CheckExact(text.get())) {
      PyObject* s = text.get();
      ensure_ready(s);
      const int kind = PyUnicode_KIND(s);
      const void* data = PyUnicode_DATA(s);
      const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
      // Each form's characters start at a multiple of 4 bytes, so wide ones are read aligned.
      const size_t at = (chars_.size() + 3) & ~static_cast<size_t>(3);
      const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(kind);
      if (at + bytes > UINT32_MAX) throw std::length_error("word forms too long");
      chars_.resize(at);
      chars_.append(static_cast<const char*>(data), bytes);
      info.at = static_cast<uint32_t>(at);
      info.len = static_cast<uint32_t>(n);
      info.kind = static_cast<uint8_t>(kind);
      info.maxchar = PyUnicode_MAX_CHAR_VALUE(s);
      f.class_begin = static_cast<uint32_t>(classes_.size());
      bool pure = n > 0;
      for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        uint8_t c = ch == ' ' ? kSpace
                    : (ch == '_' || Py_UNICODE_ISALNUM(ch)) ? kWordChar
                                                             : kOtherChar;
        info.space |= c == kSpace;
        pure &= c == kWordChar;
        classes_.push_back(c);
      }
      info.pure = pure;
      f.class_len = static_cast<uint32_t>(classes_.size() - f.class_begin);
    }
    f.text = std::move(text);
    forms_.push_back(std::move(f));
    info_.push_back(info);
    return static_cast<uint32_t>(forms_.size() - 1);
  }

  // The cluster of window g, or -1 when its text is left out. As long as no two word ids have
  // the same form, windows (distinct tuples of ids) have distinct tuples of forms; from the first
  // shared form on, windows are also looked up by their tuple of forms.
  int32_t cluster_of(size_t g) {
    const uint32_t* key = counts_->windows.key(g);
    uint32_t form[kMaxSize];
    bool all_str = true, spaced = false;
    for (int j = 0; j < size_; ++j) {
      const uint32_t code = form_code(key[j]);
      form[j] = code >> 2;
      all_str &= (code & kNotStr) == 0;
      spaced |= (code & kSpaced) != 0;
    }
    if (!merged_) return new_tuple_cluster(form, all_str, spaced);
    if (!by_form_) {
      by_form_ = true;
      for (size_t h = 0; h < g; ++h) {
        const uint32_t* k = counts_->windows.key(h);
        uint32_t f[kMaxSize];
        for (int j = 0; j < size_; ++j) f[j] = dense_form_[k[j]] >> 2;
        bool inserted = false;
        tuples_.insert(f, &inserted);
        tuple_cluster_.push_back(window_cluster_[h]);
      }
    }
    bool inserted = false;
    uint32_t t = tuples_.insert(form, &inserted);
    if (!inserted) return tuple_cluster_[t];
    tuple_cluster_.push_back(-1);
    int32_t c = new_tuple_cluster(form, all_str, spaced);
    tuple_cluster_[t] = c;
    return c;
  }

  int32_t new_tuple_cluster(const uint32_t* form, bool all_str, bool spaced) {
    return all_str ? str_cluster(form, spaced && size_ > 1) : other_cluster(form);
  }

  int32_t str_cluster(const uint32_t* form, bool spaced) {
    bool pure = true;
    for (int j = 0; j < size_; ++j) pure &= info_[form[j]].pure;
    if (!pure) {
      line_.clear();
      for (int j = 0; j < size_; ++j) {
        if (j > 0) line_.push_back(kSpace);
        const WordForm& f = forms_[form[j]];
        line_.insert(line_.end(), classes_.begin() + f.class_begin,
                     classes_.begin() + f.class_begin + f.class_len);
      }
      if (punctuation_match(line_.data(), line_.size())) return -1;
    }
    Ref text = size_ == 1 ? Ref::borrow(forms_[form[0]].text.get())
                          : join_str(form);
    if (!spaced && !by_text_) return add_cluster(std::move(text));
    return find_or_add(std::move(text));
  }

  // Forms that are not all str: Python joins and matches them.
  int32_t other_cluster(const uint32_t* form) {
    Ref text;
    if (size_ == 1) {
      text = Ref::borrow(forms_[form[0]].text.get());
    } else {
      Ref parts = ok(PyTuple_New(size_));
      for (int j = 0; j < size_; ++j)
        PyTuple_SET_ITEM(parts.get(), j,
                         Ref::borrow(forms_[form[j]].text.get()).release());
      text = ok(PyUnicode_Join(n_space.get(), parts.get()));
    }
    if (findall_any(pattern_.get(), text.get())) return -1;
    if (!by_text_) {
      by_text_ = true;
      for (size_t i = 0; i < clusters_.size(); ++i) {
        Ref number = ok(PyLong_FromSize_t(i));
        check(PyDict_SetItem(texts_.get(), clusters_[i].text.get(), number.get()));
      }
    }
    return find_or_add(std::move(text));
  }

  // " ".join of str forms, built in place from their copied characters.
  Ref join_str(const uint32_t* form) {
    Py_ssize_t len = size_ - 1;
    Py_UCS4 maxchar = ' ';
    for (int j = 0; j < size_; ++j) {
      const FormInfo& f = info_[form[j]];
      len += f.len;
      maxchar = std::max(maxchar, f.maxchar);
    }
    Ref out = ok(PyUnicode_New(len, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    for (int j = 0; j < size_; ++j) {
      if (j > 0) PyUnicode_WRITE(kind, data, at++, ' ');
      const FormInfo& f = info_[form[j]];
      const char* from = chars_.data() + f.at;
      if (f.kind == kind) {
        std::memcpy(static_cast<char*>(data) + at * kind, from, static_cast<size_t>(f.len) * kind);
      } else {
        for (uint32_t i = 0; i < f.len; ++i)
          PyUnicode_WRITE(kind, data, at + i, PyUnicode_READ(f.kind, from, i));
      }
      at += f.len;
    }
    return out;
  }

  int32_t find_or_add(Ref text) {
    PyObject* number = PyDict_GetItemWithError(texts_.get(), text.get());
    if (number != nullptr) return static_cast<int32_t>(PyLong_AsLong(number));
    if (PyErr_Occurred()) throw PyErrorSet{};
    Ref value = ok(PyLong_FromSize_t(clusters_.size()));
    check(PyDict_SetItem(texts_.get(), text.get(), value.get()));
    return add_cluster(std::move(text));
  }

  int32_t add_cluster(Ref text) {
    if (clusters_.size() >= static_cast<size_t>(INT32_MAX)) throw err::int_overflow();
    Cluster c;
    c.plain = PyUnicode_CheckExact(text.get());
    c.text = std::move(text);
    clusters_.push_back(std::move(c));
    return static_cast<int32_t>(clusters_.size() - 1);
  }

  PyObject* module_;
  PyObject* dict_words_;
  const pickled::Dict* native_;
  const std::vector<pickled::Obj>* native_values_;
  bool lowercase_;
  int size_;
  Ref pattern_, texts_;
  std::vector<uint32_t> form_slots_;  // str forms by text: 1 + the form number, 0 for none
  size_t str_forms_ = 0;
  bool by_text_ = false;  // every new text is merged through texts_
  const WindowCounts* counts_ = nullptr;
  bool merged_ = false;   // two word ids have had the same form
  bool by_form_ = false;  // windows are looked up by their tuple of forms
  std::vector<int32_t> window_cluster_;
  std::vector<uint32_t> dense_form_;  // per dense word number: its form code, or kUnknown
  std::vector<WordForm> forms_;
  std::vector<FormInfo> info_;  // per form
  std::string chars_;           // the characters of str forms
  std::vector<uint8_t> classes_, line_;
  TupleIndex tuples_;
  std::vector<int32_t> tuple_cluster_;
  std::vector<Cluster> clusters_;
};

Signature make_clusters_sig{
    "make_clusters", 6, {"workspace", "corpus_name", "node", "pos", "lowercase", "size"}, 0b001111};

PyObject* make_clusters(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    parse_args(make_clusters_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    int truth = PyObject_IsTrue(a[4]);
    check(truth);
    const bool lowercase = truth != 0;
    const int32_t size = to_int32(a[5]);

    pickled::Dict native;
    Search search = parse_search(self, workspace, corpus_name, a[2], a[3], lowercase, native);
    if (!search.known) return PyList_New(0);

    Ref npy_path = corpus_path(workspace, corpus_name, names::npy_dir);
    Ref files = listdir(self, npy_path.get());
    const bool counting = size >= 1 && size <= kMaxSize;
    WindowCounts counts(counting ? size : 1);
    {
      TokenArray tokens;  // one token array at a time, released before the texts are built
      std::vector<uint32_t> tuples;
      std::vector<uint64_t> hashes;
      // The list's length is read again at each step, as a for loop over it does.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
        if (size < 0) throw negative_size(self, size);
        Ref name = Ref::borrow(PyList_GET_ITEM(files.get(), i));
        Ref path = concat(npy_path.get(), name.get());
        load_tokens(self, path.get(), tokens);
        if (!search.has_word) throw err::unbound_local("ix");
        if (!counting || tokens.rows() == 0) {
          counts.add_empty_text();
          continue;
        }
        TokenView view{tokens.base(), tokens.rows(), tokens.row_stride(), tokens.col_stride()};
        count_text(view, search.node, search.has_pos ? &search.pos : nullptr, size, counts,
                   tuples, hashes);
      }
    }
    if (counts.texts() == 0) return PyList_New(0);

    Ref again = listdir(self, npy_path.get());
    const int32_t total_files = add_int32(0, PyList_GET_SIZE(again.get()));
    Ref words_path = corpus_path(workspace, corpus_name, names::words_pickle);
    // Read natively, the dictionary gives only the words of counted ids (a dict keeps the last
    // value of a key). An exact search has read it already: its bytes are visited again.
    std::vector<pickled::Obj> values(counts.ids.size());
    auto visit = [&](const pickled::Obj& key, const pickled::Obj& value) {
      if (key.kind == pickled::Obj::kInt) {
        const int64_t dense = counts.ids.find(key.i);
        if (dense >= 0) values[static_cast<size_t>(dense)] = value;
      }
      return true;
    };
    const bool is_native = search.words_native
                               ? pickle_is_default(self) && native.visit_again(visit)
                               : read_pickled_dict(self, words_path.get(), native, visit);
    Ref dict_words;
    if (!is_native) dict_words = load_dict_obj(self, words_path.get());
    Translator translator(self, dict_words.get(), is_native ? &native : nullptr, &values,
                          lowercase, size);
    return translator.run(counts, total_files).release();
  });
}

PyMethodDef make_clusters_def = {
    "make_clusters",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_clusters)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_clusters(workspace, corpus_name, node, pos, lowercase, size)\n--\n\n"
    "Lists the clusters of 1 to 3 tokens around a search word with frequency, range and range "
    "percent."};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_clusters_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_import(m, "pickle", "pickle");
    capture_pickle_defaults();
    bind_import(m, "re", "re");
    bind_function(m, &make_clusters_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_bundles,
              "Clusters: the 1-, 2- or 3-token sequences around a search word, with frequency and range.",
              lumora::state, lumora::exec_module)
