// lm_bundles: the clusters of a search word, that is every sequence of one to three tokens that
// contains an occurrence of it, with how often each occurs, in how many texts, and that number as a
// share of all texts.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/ahead.hpp"
#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pickled_py.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/kernels/clusters.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace lumora {
namespace {

using namespace clusters;  // the kernel

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

// The values of an id-to-word dictionary read natively, by id. An id set twice keeps its later
// value, as a dict does.
class IdValues {
 public:
  void add(int64_t id, const pickled::Obj& value) {
    // Ids of a compact range (as dictionaries number their words) go into a plain array, which
    // grows no larger than about twice the entries seen.
    if (id >= 0 && id < kDirect && static_cast<size_t>(id) <= 2 * count_ + 65536) {
      const auto at = static_cast<size_t>(id);
      if (at >= direct_.size()) direct_.resize(std::max(at + 1, direct_.size() * 2));
      count_ += direct_[at].kind == pickled::Obj::kNone;
      direct_[at] = value;
      return;
    }
    bool added = false;
    const uint32_t k = others_.insert(static_cast<uint64_t>(id), &added);
    if (added) {
      other_values_.push_back(value);
      ++count_;
    } else {
      other_values_[k] = value;
    }
  }

  // The value of id, or nullptr when the dictionary has none.
  const pickled::Obj* find(int64_t id) const noexcept {
    if (id >= 0 && static_cast<size_t>(id) < direct_.size()) {
      const pickled::Obj& v = direct_[static_cast<size_t>(id)];
      if (v.kind != pickled::Obj::kNone) return &v;
    }
    const int64_t k = others_.find(static_cast<uint64_t>(id));
    return k < 0 ? nullptr : &other_values_[static_cast<size_t>(k)];
  }

  void clear() {
    direct_.clear();
    others_.clear();
    other_values_.clear();
    count_ = 0;
  }

 private:
  static constexpr int64_t kDirect = int64_t{1} << 24;

  std::vector<pickled::Obj> direct_;  // by id; kind kNone: no entry
  KeyIndex others_{0};
  std::vector<pickled::Obj> other_values_;
  size_t count_ = 0;
};

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
// id-to-word dictionary (exact search), whose values by id are then in `values`.
Search parse_search(PyObject* module, PyObject* workspace, PyObject* corpus_name, PyObject* node,
                    PyObject* pos, bool lowercase, pickled::Dict& native, IdValues& values) {
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
          if (key.kind == pickled::Obj::kInt) values.add(key.i, value);
          return true;
        });
    if (!is_native) {
      values.clear();
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

// The class of a character in the punctuation rule: letters, digits and the underscore are word
// characters (ASCII ones decided here, the others as Python decides them).
inline uint8_t char_class(Py_UCS4 ch) {
  if (ch < 0x80) {
    if (ch == ' ') return kSpace;
    const bool word = ch - '0' < 10u || (ch | 0x20u) - 'a' < 26u || ch == '_';
    return word ? kWordChar : kOtherChar;
  }
  return Py_UNICODE_ISALNUM(ch) ? kWordChar : kOtherChar;
}

// The word forms of cluster texts (words lower-cased when asked), each distinct text once. The
// characters of str forms are copied into one buffer, so cluster texts are joined without
// touching Python objects; the str object of a form is made only when a row needs it.
class Forms {
 public:
  struct Info {
    uint32_t at = 0;        // a str: where its characters start (a multiple of 4 bytes)
    uint32_t len = 0;       // in code points
    uint32_t classes = 0;   // where its character classes start (len of them)
    Py_UCS4 maxchar = 0;    // the widest its kind holds, as PyUnicode_New takes it
    uint8_t kind = 0;       // 1, 2 or 4 bytes a character; 0: not a str
    bool space = false;     // holds a space: joins of it may equal joins of other forms
    bool pure = false;      // word characters only, one at least: no joins of pure forms are
                            // punctuation
  };

  // The form of a str given by its representation (kind, characters, length, and the widest
  // character its kind holds); *added says whether it is new.
  uint32_t str_form(int kind, const void* data, size_t len, Py_UCS4 maxchar, bool* added) {
    const size_t bytes = len * static_cast<size_t>(kind);
    const uint64_t h = hash_bytes(data, bytes, static_cast<uint64_t>(kind) << 56);
    if (slots_.empty()) slots_.assign(1024, 0u);
    size_t mask = slots_.size() - 1;
    size_t i = h & mask;
    for (; slots_[i] != 0; i = (i + 1) & mask) {
      const uint32_t f = slots_[i] - 1;
      const Info& o = info_[f];
      if (hash_[f] == h && o.kind == kind && o.len == len &&
          std::memcmp(chars_.data() + o.at, data, bytes) == 0) {
        *added = false;
        return f;
      }
    }
    *added = true;
    const uint32_t f = new_form();
    Info& info = info_[f];
    hash_[f] = h;
    // Each form's characters start at a multiple of 4 bytes, so wide ones are read aligned.
    const size_t at = (chars_.size() + 3) & ~static_cast<size_t>(3);
    if (at + bytes > UINT32_MAX || classes_.size() + len > UINT32_MAX)
      throw std::length_error("word forms too long");
    chars_.resize(at);
    chars_.append(static_cast<const char*>(data), bytes);
    info.at = static_cast<uint32_t>(at);
    info.len = static_cast<uint32_t>(len);
    info.kind = static_cast<uint8_t>(kind);
    info.maxchar = maxchar;
    info.classes = static_cast<uint32_t>(classes_.size());
    bool pure = len > 0;
    for (size_t k = 0; k < len; ++k) {
      const Py_UCS4 ch = PyUnicode_READ(kind, data, k);
      const uint8_t c = char_class(ch);
      info.space |= c == kSpace;
      pure &= c == kWordChar;
      classes_.push_back(c);
    }
    info.pure = pure;
    slots_[i] = f + 1;
    if (++str_forms_ * 2 > slots_.size()) {
      slots_.assign(slots_.size() * 2, 0u);
      mask = slots_.size() - 1;
      for (uint32_t k = 0; k < info_.size(); ++k) {
        if (info_[k].kind == 0) continue;
        size_t j = hash_[k] & mask;
        while (slots_[j] != 0) j = (j + 1) & mask;
        slots_[j] = k + 1;
      }
    }
    return f;
  }

  // The form of an exact str object, which it keeps.
  uint32_t str_form(Ref s, bool* added) {
    ensure_ready(s.get());
    const uint32_t f =
        str_form(PyUnicode_KIND(s.get()), PyUnicode_DATA(s.get()),
                 static_cast<size_t>(PyUnicode_GET_LENGTH(s.get())),
                 PyUnicode_MAX_CHAR_VALUE(s.get()), added);
    if (!objects_[f]) objects_[f] = std::move(s);
    return f;
  }

  // Room for about n forms, so that the tables are not grown and copied form by form.
  void reserve(size_t n) {
    info_.reserve(n);
    hash_.reserve(n);
    objects_.reserve(n);
    chars_.reserve(n * 12);
    classes_.reserve(n * 10);
    size_t slots = 1024;
    while (slots < 2 * n) slots *= 2;
    if (slots > slots_.size() && str_forms_ == 0) slots_.assign(slots, 0u);
  }

  // A form that is not a str: a form of its own.
  uint32_t other_form(Ref obj) {
    const uint32_t f = new_form();
    objects_[f] = std::move(obj);
    return f;
  }

  const Info& info(uint32_t f) const noexcept { return info_[f]; }
  const char* chars(const Info& i) const noexcept { return chars_.data() + i.at; }
  const uint8_t* classes(const Info& i) const noexcept { return classes_.data() + i.classes; }

  // The object of a form: a str is made from its characters when first asked for. Borrowed.
  PyObject* object(uint32_t f) {
    if (!objects_[f]) {
      const Info& i = info_[f];
      Ref s = ok(PyUnicode_New(static_cast<Py_ssize_t>(i.len), i.maxchar));
      std::memcpy(PyUnicode_DATA(s.get()), chars(i), static_cast<size_t>(i.len) * i.kind);
      objects_[f] = std::move(s);
    }
    return objects_[f].get();
  }

 private:
  uint32_t new_form() {
    if (info_.size() >= (1u << 29)) throw std::length_error("too many word forms");
    info_.emplace_back();
    hash_.push_back(0);
    objects_.emplace_back();
    return static_cast<uint32_t>(info_.size() - 1);
  }

  std::vector<Info> info_;
  std::vector<uint64_t> hash_;  // of a str form's representation
  std::vector<Ref> objects_;    // per form: its object, once there is one
  std::string chars_;           // the characters of str forms
  std::vector<uint8_t> classes_;
  std::vector<uint32_t> slots_;  // str forms by text: 1 + the form, 0 for none
  size_t str_forms_ = 0;
};

// Word ids numbered by their form, found in the id-to-word dictionary read natively: ids of
// equal forms share a number, the form's. An id whose word is missing or not a str has a number
// of its own (kHard set); its windows fail when they are turned into texts, as the dictionary
// look-up or the string operation fails there.
class FormNumbers {
 public:
  static constexpr uint32_t kHard = 0x80000000u;

  FormNumbers(const pickled::Dict& dict, const IdValues& values, Forms& forms, bool lowercase)
      : dict_(dict), values_(values), forms_(forms), lowercase_(lowercase) {}

  // The number of each id numbered densely (see DenseIds), in that order. Ids are taken in
  // increasing order, so the dictionary's values (and, as dictionaries are written in id order,
  // their characters) are read from start to end.
  std::vector<uint32_t> number(const DenseIds& ids) {
    struct Entry {
      const pickled::Obj* value;
      uint32_t dense;
      int64_t id;
    };
    std::vector<Entry> entries;
    entries.reserve(ids.size());
    ids.each_by_id([&](int64_t id, uint32_t dense) {
      entries.push_back(Entry{values_.find(id), dense, id});
    });
    // Counted ids are a part of the dictionary's only: their characters are asked for a few
    // entries ahead.
    constexpr size_t kAhead = 8;
    std::vector<uint32_t> out(ids.size());
    forms_.reserve(ids.size());
    for (size_t k = 0; k < entries.size(); ++k) {
      if (k + kAhead < entries.size()) prefetch_chars(entries[k + kAhead].value);
      out[entries[k].dense] = number_of(entries[k].id, entries[k].value);
    }
    return out;
  }

  int64_t hard_id(uint32_t number) const noexcept { return hard_[number & ~kHard]; }

  // Whether every number handed out is a str form without a space: then distinct tuples of
  // numbers join to distinct texts.
  bool plain() const noexcept { return hard_.empty() && !spaced_; }

 private:
  void prefetch_chars(const pickled::Obj* value) const noexcept {
#if defined(__GNUC__)
    if (value != nullptr && value->kind == pickled::Obj::kStr)
      __builtin_prefetch(dict_.bytes(*value).data());
#else
    (void)value;
#endif
  }

  uint32_t number_of(int64_t id, const pickled::Obj* value) {
    if (value == nullptr || value->kind != pickled::Obj::kStr) {
      if (hard_.size() >= kHard - 1) throw std::length_error("too many word ids");
      hard_.push_back(id);
      return kHard | static_cast<uint32_t>(hard_.size() - 1);
    }
    bool added = false;
    const std::string_view b = dict_.bytes(*value);
    bool ascii = true;
    for (char c : b) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      // An ASCII str lower-cases letter by letter, A-Z to a-z, as str.lower does.
      if (!lowercase_)
        return note(forms_.str_form(PyUnicode_1BYTE_KIND, b.data(), b.size(), 0x7f, &added));
      lowered_.assign(b.data(), b.size());
      for (char& c : lowered_)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      return note(
          forms_.str_form(PyUnicode_1BYTE_KIND, lowered_.data(), lowered_.size(), 0x7f, &added));
    }
    Ref word = pickled_object(dict_, *value);
    if (lowercase_) word = str_lower(word.get());
    return note(forms_.str_form(std::move(word), &added));
  }

  uint32_t note(uint32_t form) noexcept {
    spaced_ |= forms_.info(form).space;
    return form;
  }

  const pickled::Dict& dict_;
  const IdValues& values_;
  Forms& forms_;
  bool lowercase_;
  std::vector<int64_t> hard_;  // ids with numbers of their own
  bool spaced_ = false;        // a form holds a space
  std::string lowered_;
};

// Where the translator finds the word of a number that windows are counted by.
struct Numbering {
  // By id (numbers are dense ids, see DenseIds), with the words in a dict or read natively.
  const DenseIds* ids = nullptr;
  // Or by form (see FormNumbers): a number is a form, or with kHard set, an id of its own.
  const FormNumbers* forms = nullptr;
  // The id-to-word dict; or nullptr, with `native` its pickled form and `values` by id.
  PyObject* dict_words = nullptr;
  const pickled::Dict* native = nullptr;
  const IdValues* values = nullptr;
};

// Turns the counted windows into cluster rows.
//
// Windows are visited in the order they first arose, so errors and new cluster texts come in
// the order in which the texts are first counted. A window's text is decided once per distinct
// tuple of forms. Two different tuples of str forms without a space give different texts, so
// those are merged without looking at the text; the others (forms with a space, forms that are
// not str) are merged by their text through a dict, and once a form that is not a str occurs,
// every text is. Windows counted by id meet the same tuple of forms again when two ids share a
// form (case variants under lower-casing): from then on, windows are also looked up by their
// tuple of forms.
class Translator {
 public:
  Translator(PyObject* module, const Numbering& numbering, Forms& forms, bool lowercase, int size)
      : module_(module), numbering_(numbering), forms_(forms), lowercase_(lowercase),
        size_(size), tuples_(size) {}

  // Windows counted by form, every one a tuple of str forms without a space (see
  // FormNumbers::plain): each window that is listed is a cluster of its own, so rows are made
  // straight from the windows.
  Ref run_plain(const WindowCounts& counts, int32_t total_files) {
    Ref re = global(module_, n_re);
    pattern_ = call_method(re.get(), names::compile, n_punctuation.get());
    const size_t n = counts.windows.size();
    // Windows follow each other in the order they arose, their forms in no order: what a form
    // holds is asked for some windows ahead.
    constexpr size_t kAhead = 8;
    std::vector<uint32_t> listed;
    listed.reserve(n);
    for (size_t g = 0; g < n; ++g) {
      if (g + kAhead < n) prefetch_info(counts.windows.key(g + kAhead));
      if (!punctuation(counts.windows.key(g))) listed.push_back(static_cast<uint32_t>(g));
    }
    std::vector<Ref> percents;
    Ref rows = ok(PyList_New(static_cast<Py_ssize_t>(listed.size())));
    for (size_t i = 0; i < listed.size(); ++i) {
      if (i + 2 * kAhead < listed.size()) prefetch_info(counts.windows.key(listed[i + 2 * kAhead]));
      if (i + kAhead < listed.size()) prefetch_chars(counts.windows.key(listed[i + kAhead]));
      const uint32_t* form = counts.windows.key(listed[i]);
      const WindowCounts::Count& c = counts.counts[listed[i]];
      Ref text = size_ == 1 ? Ref::borrow(forms_.object(form[0])) : join_str(form);
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i),
                      row(i, std::move(text), c.total, static_cast<int32_t>(c.texts), total_files,
                          percents)
                          .release());
    }
    return rows;
  }

  Ref run(const WindowCounts& counts, int32_t total_files) {
    Ref re = global(module_, n_re);
    pattern_ = call_method(re.get(), names::compile, n_punctuation.get());
    texts_ = ok(PyDict_New());

    counts_ = &counts;
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

    std::vector<Ref> percents;
    Ref rows = ok(PyList_New(static_cast<Py_ssize_t>(clusters_.size())));
    for (size_t i = 0; i < clusters_.size(); ++i) {
      Cluster& c = clusters_[i];
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i),
                      row(i, std::move(c.text), c.freq, c.range, total_files, percents).release());
    }
    return rows;
  }

 private:
  struct Cluster {
    Ref text;
    int64_t freq = 0;
    int32_t range = 0;
    uint32_t last_file = 0;
  };

  // Row i: (i + 1, text, freq, range, range percent). It takes the text's reference over, so
  // the text object is not touched again. One percentage object per range value: the rows
  // share them.
  static Ref row(size_t i, Ref text, int64_t freq, int32_t range, int32_t total_files,
                 std::vector<Ref>& percents) {
    const auto r = static_cast<size_t>(range);
    if (percents.size() <= r) percents.resize(r + 1);
    if (!percents[r]) percents[r] = single_float(percent_single(range, total_files));
    Ref number = ok(PyLong_FromSize_t(i + 1));
    Ref frequency = ok(PyLong_FromLongLong(freq));
    Ref files = ok(PyLong_FromLong(range));
    const bool untrack = PyUnicode_CheckExact(text.get());
    Ref out = ok(PyTuple_New(5));
    PyTuple_SET_ITEM(out.get(), 0, number.release());
    PyTuple_SET_ITEM(out.get(), 1, text.release());
    PyTuple_SET_ITEM(out.get(), 2, frequency.release());
    PyTuple_SET_ITEM(out.get(), 3, files.release());
    PyTuple_SET_ITEM(out.get(), 4, Ref::borrow(percents[r].get()).release());
    // A tuple of a str and numbers can hold no cycle; the collector would untrack it at its
    // first pass anyway, and untracking it now spares the collections a long list of rows.
    if (untrack) PyObject_GC_UnTrack(out.get());
    return out;
  }

  void prefetch_info(const uint32_t* form) const noexcept {
#if defined(__GNUC__)
    for (int j = 0; j < size_; ++j) __builtin_prefetch(&forms_.info(form[j]));
#else
    (void)form;
#endif
  }

  void prefetch_chars(const uint32_t* form) const noexcept {
#if defined(__GNUC__)
    for (int j = 0; j < size_; ++j) __builtin_prefetch(forms_.chars(forms_.info(form[j])));
#else
    (void)form;
#endif
  }

  // Whether the punctuation pattern finds a match in the text of these str forms.
  bool punctuation(const uint32_t* form) {
    bool pure = true;
    for (int j = 0; j < size_; ++j) pure &= forms_.info(form[j]).pure;
    if (pure) return false;
    line_.clear();
    for (int j = 0; j < size_; ++j) {
      if (j > 0) line_.push_back(kSpace);
      const Forms::Info& f = forms_.info(form[j]);
      const uint8_t* c = forms_.classes(f);
      line_.insert(line_.end(), c, c + f.len);
    }
    return punctuation_match(line_.data(), line_.size());
  }

  // The form of a number as a code: the form shifted left by two, with kNotStr and kSpaced.
  static constexpr uint32_t kNotStr = 1, kSpaced = 2, kUnknown = UINT32_MAX;

  uint32_t code(uint32_t form) const noexcept {
    const Forms::Info& info = forms_.info(form);
    return form << 2 | (info.kind == 0 ? kNotStr : 0) | (info.space ? kSpaced : 0);
  }

  uint32_t form_code(uint32_t number) {
    if (numbering_.forms != nullptr && (number & FormNumbers::kHard) == 0) return code(number);
    // A number whose word is looked up (and lower-cased) here, once.
    const bool by_id = numbering_.forms == nullptr;
    const uint32_t k = by_id ? number : number & ~FormNumbers::kHard;
    if (k >= looked_up_.size()) looked_up_.resize(std::max<size_t>(k + 1, looked_up_.size() * 2), kUnknown);
    if (looked_up_[k] != kUnknown) return looked_up_[k];
    const int64_t id = by_id ? numbering_.ids->id(number) : numbering_.forms->hard_id(number);
    Ref held;
    if (numbering_.values != nullptr) {
      const pickled::Obj* value = numbering_.values->find(id);
      if (value == nullptr) throw err::key_error(ok(PyLong_FromLongLong(id)).get());
      held = pickled_object(*numbering_.native, *value);
    } else {
      Ref key = ok(PyLong_FromLongLong(id));
      PyObject* value = PyDict_GetItemWithError(numbering_.dict_words, key.get());
      if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        throw err::key_error(key.get());
      }
      held = Ref::borrow(value);
    }
    Ref text = lowercase_ ? str_lower(held.get()) : std::move(held);
    uint32_t form;
    if (PyUnicode_CheckExact(text.get())) {
      bool added = false;
      form = forms_.str_form(std::move(text), &added);
      merged_ |= !added;
    } else {
      form = forms_.other_form(std::move(text));
    }
    return looked_up_[k] = code(form);
  }

  // The cluster of window g, or -1 when its text is left out. As long as no two numbers have
  // the same form, windows (distinct tuples of numbers) have distinct tuples of forms; from the
  // first shared form on, windows are also looked up by their tuple of forms.
  int32_t cluster_of(size_t g) {
    const uint32_t* key = counts_->windows.key(g);
    uint32_t form[kMaxSize];
    bool all_str = true, spaced = false;
    for (int j = 0; j < size_; ++j) {
      const uint32_t c = form_code(key[j]);
      form[j] = c >> 2;
      all_str &= (c & kNotStr) == 0;
      spaced |= (c & kSpaced) != 0;
    }
    if (!merged_) return new_tuple_cluster(form, all_str, spaced);
    if (!by_form_) {
      by_form_ = true;
      for (size_t h = 0; h < g; ++h) {
        const uint32_t* k = counts_->windows.key(h);
        uint32_t f[kMaxSize];
        for (int j = 0; j < size_; ++j) f[j] = form_code(k[j]) >> 2;
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
    if (punctuation(form)) return -1;
    Ref text = size_ == 1 ? Ref::borrow(forms_.object(form[0])) : join_str(form);
    if (!spaced && !by_text_) return add_cluster(std::move(text));
    return find_or_add(std::move(text));
  }

  // Forms that are not all str: Python joins and matches them.
  int32_t other_cluster(const uint32_t* form) {
    Ref text;
    if (size_ == 1) {
      text = Ref::borrow(forms_.object(form[0]));
    } else {
      Ref parts = ok(PyTuple_New(size_));
      for (int j = 0; j < size_; ++j)
        PyTuple_SET_ITEM(parts.get(), j, Ref::borrow(forms_.object(form[j])).release());
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
      const Forms::Info& f = forms_.info(form[j]);
      len += f.len;
      maxchar = std::max(maxchar, f.maxchar);
    }
    Ref out = ok(PyUnicode_New(len, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    for (int j = 0; j < size_; ++j) {
      if (j > 0) PyUnicode_WRITE(kind, data, at++, ' ');
      const Forms::Info& f = forms_.info(form[j]);
      write_chars(kind, data, at, f.kind, forms_.chars(f), f.len);
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
    c.text = std::move(text);
    clusters_.push_back(std::move(c));
    return static_cast<int32_t>(clusters_.size() - 1);
  }

  PyObject* module_;
  const Numbering& numbering_;
  Forms& forms_;
  bool lowercase_;
  int size_;
  Ref pattern_, texts_;
  bool by_text_ = false;  // every new text is merged through texts_
  const WindowCounts* counts_ = nullptr;
  bool merged_ = false;   // two numbers have had the same form
  bool by_form_ = false;  // windows are looked up by their tuple of forms
  std::vector<int32_t> window_cluster_;
  std::vector<uint8_t> line_;  // character classes of a cluster text
  std::vector<uint32_t> looked_up_;  // per number looked up here: its form code, or kUnknown
  TupleIndex tuples_;
  std::vector<int32_t> tuple_cluster_;
  std::vector<Cluster> clusters_;
};

// The module's np.load, looked up as each token array is loaded.
Ref numpy_load(PyObject* module) {
  Ref np = global(module, names::np);
  return attr(np.get(), names::load);
}

// np.load(path) through Python as a token array. Anything that is not an array of shape (n, 4)
// or (0,) is put between rows of zeros as it stands, so NumPy reports what does not fit.
void load_tokens_python(PyObject* module, PyObject* load, PyObject* path, TokenArray& tokens) {
  Ref np = global(module, names::np);
  Ref arr = call(load, path);
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

// What a token array read natively (off the interpreter, see Ahead) gave.
struct TextScan {
  bool read = false;           // false: NumPy reads the file
  std::vector<int64_t> hoods;  // the neighbourhoods of its hits (see collect_hoods)
};

// Reads the token array at a file-system path natively and collects the neighbourhoods of its
// hits when asked. Touches no Python object and throws nothing.
void scan_text(const std::string& path, const Search& search, int size, bool collect,
               npy::Ints& buffer, TextScan& out) noexcept {
  out.read = false;
  out.hoods.clear();
  if (path.empty()) return;
  try {
    npy::Header h;
    if (!npy::read(path.c_str(), &h, buffer)) return;
    if (h.ndim == 1 && h.shape[0] == 0) {  // a text without tokens
      out.read = true;
      return;
    }
    if (h.ndim != 2 || h.shape[1] != 4) return;  // NumPy's error, through the array it reads
    const auto rows = static_cast<ptrdiff_t>(h.shape[0]);
    const TokenView view = h.fortran ? TokenView{buffer.data(), rows, 1, rows}
                                     : TokenView{buffer.data(), rows, 4, 1};
    if (collect) collect_hoods(view, search.node, search.has_pos ? &search.pos : nullptr, size,
                               out.hoods);
    out.read = true;
  } catch (...) {  // out of memory: NumPy may do better
    out.read = false;
    out.hoods.clear();
  }
}

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
    IdValues values;
    Search search =
        parse_search(self, workspace, corpus_name, a[2], a[3], lowercase, native, values);
    if (!search.known) return PyList_New(0);

    Ref npy_path = corpus_path(workspace, corpus_name, names::npy_dir);
    Ref files = listdir(self, npy_path.get());
    const auto listed = static_cast<size_t>(PyList_GET_SIZE(files.get()));
    const bool counting = size >= 1 && size <= kMaxSize && search.has_word;
    const size_t width = counting ? 2 * static_cast<size_t>(size) - 1 : 1;

    // The windows of every text as tuples of word ids numbered densely, text after text;
    // text_end[t] ends text t's part.
    DenseIds ids;
    WindowNumbers tuples;
    std::vector<size_t> text_end;
    {
      // Token arrays are read natively ahead of their turn, on a helper thread too; NumPy reads,
      // at its turn, what cannot be read so (and any entry the listing no longer holds).
      std::vector<PyObject*> names(listed);
      std::vector<std::string> paths(listed);
      const bool plain_folder = PyUnicode_CheckExact(npy_path.get());
      for (size_t i = 0; i < listed; ++i) {
        names[i] = PyList_GET_ITEM(files.get(), static_cast<Py_ssize_t>(i));
        if (!plain_folder || !PyUnicode_CheckExact(names[i])) continue;
        Ref path = concat(npy_path.get(), names[i]);
        Ref encoded = native_path(path.get());
        if (encoded) paths[i].assign(PyBytes_AS_STRING(encoded.get()),
                                     static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
      }
      // The entries stay alive while they are compared with the listing's.
      Ref held = ok(PyList_GetSlice(files.get(), 0, PyList_GET_SIZE(files.get())));
      std::vector<TextScan> scans(listed);
      npy::Ints buffers[2];
      const bool helper = counting && std::thread::hardware_concurrency() > 1;
      Ahead ahead(listed, 32, helper, [&](size_t i, int worker) {
        scan_text(paths[i], search, size, counting, buffers[worker], scans[i]);
      });

      TokenArray tokens;
      std::vector<int64_t> hoods;
      auto by_id = [&](int64_t id) { return ids.insert(id); };
      // The list's length is read again at each step, as a for loop over it does.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
        if (size < 0) throw negative_size(self, size);
        const auto at = static_cast<size_t>(i);
        Ref name = Ref::borrow(PyList_GET_ITEM(files.get(), i));
        Ref path = concat(npy_path.get(), name.get());
        Ref load = numpy_load(self);
        const bool is_default = load.get() == numpy_load_at_start();
        const bool scanned = at < listed && name.get() == names[at] && is_default &&
                             !paths[at].empty();
        if (scanned) ahead.wait(at);
        if (scanned && scans[at].read) {
          hoods.swap(scans[at].hoods);
        } else {
          // NumPy reads it: the native reader declined it (or, for an entry not scanned ahead,
          // declines it now).
          if (scanned || !is_default || !tokens.load_native(path.get(), 4, true))
            load_tokens_python(self, load.get(), path.get(), tokens);
          hoods.clear();
          if (counting && tokens.rows() > 0) {
            TokenView view{tokens.base(), tokens.rows(), tokens.row_stride(), tokens.col_stride()};
            collect_hoods(view, search.node, search.has_pos ? &search.pos : nullptr, size, hoods);
          }
        }
        if (!search.has_word) throw err::unbound_local("ix");
        if (counting) number_windows(hoods.data(), hoods.size() / width, size, by_id, tuples);
        text_end.push_back(counting ? tuples.size() / static_cast<size_t>(size) : 0);
        hoods = std::vector<int64_t>();
      }
    }
    if (text_end.empty()) return PyList_New(0);

    Ref again = listdir(self, npy_path.get());
    const int32_t total_files = add_int32(0, PyList_GET_SIZE(again.get()));

    // The id-to-word dictionary: read natively, the values of the ids counted; an exact search
    // has read it already, and its entries are used again.
    Ref words_path = corpus_path(workspace, corpus_name, names::words_pickle);
    bool is_native = search.words_native && pickle_is_default(self);
    if (!is_native) {
      values.clear();
      is_native = read_pickled_dict(self, words_path.get(), native,
                                    [&](const pickled::Obj& key, const pickled::Obj& value) {
                                      if (key.kind == pickled::Obj::kInt && ids.find(key.i) >= 0)
                                        values.add(key.i, value);
                                      return true;
                                    });
    }
    Numbering numbering;
    Ref dict_words;
    if (is_native) {
      numbering.native = &native;
      numbering.values = &values;
    } else {
      dict_words = load_dict_obj(self, words_path.get());
      numbering.dict_words = dict_words.get();
    }

    // Read natively, the dictionary gives every id its form at once, and windows are counted by
    // their forms: ids of one form (case variants under lower-casing) meet in one window.
    Forms forms;
    FormNumbers form_numbers(native, values, forms, lowercase);
    if (is_native && counting) {
      const std::vector<uint32_t> form_of = form_numbers.number(ids);
      for (uint32_t& t : tuples) t = form_of[t];
      numbering.forms = &form_numbers;
    } else {
      numbering.ids = &ids;
    }
    WindowCounts counts(counting ? size : 1);
    if (counting) {
      // Windows of one word (size 1) are as many as the word's ids at most.
      const size_t distinct = size == 1 ? search.node.size() : size_t{1} << 22;
      count_windows(tuples, text_end, size, distinct, counts);
    } else {
      counts.text_end.assign(text_end.size(), 0);
    }
    tuples = WindowNumbers();

    Translator translator(self, numbering, forms, lowercase, counting ? size : 1);
    Ref rows = numbering.forms != nullptr && form_numbers.plain()
                   ? translator.run_plain(counts, total_files)
                   : translator.run(counts, total_files);
    return rows.release();
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
