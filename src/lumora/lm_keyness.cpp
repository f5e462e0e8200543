// lm_keyness: scores every word of a corpus's word list against a reference word list of its
// language, by log-likelihood or chi-square.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/common/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace lumora {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel: no Python types below this line until the glue.

// Every single-precision step is a double operation on single operands rounded to single: for
// +, -, * and / that is exactly the single-precision result, and no compiler can fuse a product
// into a following addition across the explicit rounding.
inline float single(double x) noexcept { return static_cast<float>(x); }

enum class Outcome { ok, zero_division, python_error };

// Log-likelihood of a word's frequencies a (study) and b (reference) in corpora of c and d
// tokens, signed: negative when the word is relatively more frequent in the reference corpus.
// `ln(x, &out)` is the natural logarithm; it may fail (returns false with a Python error set).
template <class Log>
Outcome log_likelihood(int32_t a, int32_t b, int32_t c, int32_t d, Log&& ln, float* score) {
  const float C = single(c);
  const float D = single(d);
  const float S = single(static_cast<double>(static_cast<int64_t>(a) + b));
  const float N = single(double(D) + double(C));
  if (N == 0.0f) return Outcome::zero_division;
  const float E1 = single(double(single(double(C) * double(S))) / double(N));
  const float E2 = single(double(single(double(D) * double(S))) / double(N));
  // A term is dropped when its expected value is below 1, not only when its count is 0.
  float T1 = 0.0f, T2 = 0.0f;
  if (!(a < 1 || E1 < 1.0f)) {
    double l = 0.0;
    if (!ln(double(single(double(single(a)) / double(E1))), &l)) return Outcome::python_error;
    T1 = single(l);
  }
  if (!(b < 1 || E2 < 1.0f)) {
    double l = 0.0;
    if (!ln(double(single(double(single(b)) / double(E2))), &l)) return Outcome::python_error;
    T2 = single(l);
  }
  const float P2 = single(double(single(b)) * double(T2));
  const float P1 = single(double(single(a)) * double(T1));
  const float sum = single(double(P2) + double(P1));
  const float G = single(py_round(double(sum) * 2.0, 2));
  if (c == 0 || d == 0) return Outcome::zero_division;
  float Ra = single(double(a) / double(c));
  float Rb = single(double(b) / double(d));
  if (Ra == 0.0f) Ra = single(0.5 / double(c));
  if (Rb == 0.0f) Rb = single(0.5 / double(d));
  *score = Rb > Ra ? -G : G;  // equal relative frequencies keep G's own sign
  return Outcome::ok;
}

// Pearson's chi-square of the table (a, b) over (c - a, d - b), in double, without a sign.
// Each product is its own statement so that none is fused into the next operation.
Outcome chi_square(int32_t a, int32_t b, int32_t c, int32_t d, float* score) {
  const double A = a, B = b, C = c, D = d;
  const double row = A + B;
  const double rest = C + D - A - B;
  double den = row * rest;
  den = den * C;
  den = den * D;
  const double left = A * (D - B);
  const double right = B * (C - A);
  const double diff = left - right;
  const double square = diff * diff;
  const double num = (C + D) * square;
  if (den == 0.0) return Outcome::zero_division;
  *score = single(py_round(num / den, 2));
  return Outcome::ok;
}

// Fast path for decimal text: optional sign and 1 to 18 ASCII digits.
bool parse_plain_int(const char* p, size_t n, int64_t* out) noexcept {
  bool neg = false;
  if (n > 0 && (*p == '-' || *p == '+')) {
    neg = *p == '-';
    ++p;
    --n;
  }
  if (n == 0 || n > 18) return false;
  int64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned d = static_cast<unsigned char>(p[i]) - '0';
    if (d > 9) return false;
    v = v * 10 + d;
  }
  *out = neg ? -v : v;
  return true;
}

// The reference list: UTF-8 word -> frequency, in order of first appearance; a word given twice
// keeps its later frequency. Keys point into text the caller keeps alive.
class RefTable {
 public:
  struct Entry {
    uint64_t hash;
    const char* p;
    size_t n;
    int64_t freq;
  };

  explicit RefTable(size_t expected = 16) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, 0u);
    mask_ = cap - 1;
    entries_.reserve(expected);
  }

  void set(const char* p, size_t n, int64_t freq) {
    uint64_t h = hash(p, n);
    size_t i = h & mask_;
    for (uint32_t slot; (slot = slots_[i]) != 0; i = (i + 1) & mask_) {
      Entry& e = entries_[slot - 1];
      if (e.hash == h && e.n == n && std::memcmp(e.p, p, n) == 0) {
        e.freq = freq;
        return;
      }
    }
    entries_.push_back(Entry{h, p, n, freq});
    slots_[i] = static_cast<uint32_t>(entries_.size());
    if (entries_.size() * 2 > slots_.size()) grow();
  }

  const Entry* find(const char* p, size_t n) const noexcept {
    uint64_t h = hash(p, n);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      uint32_t slot = slots_[i];
      if (slot == 0) return nullptr;
      const Entry& e = entries_[slot - 1];
      if (e.hash == h && e.n == n && std::memcmp(e.p, p, n) == 0) return &e;
    }
  }

  const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  static uint64_t hash(const char* p, size_t n) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0xff51afd7ed558ccdULL);
    while (n >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      h = mix64(h ^ w);
      p += 8;
      n -= 8;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    return mix64(h ^ w ^ (static_cast<uint64_t>(n) << 56));
  }

  void grow() {
    slots_.assign(slots_.size() * 2, 0u);
    mask_ = slots_.size() - 1;
    for (size_t k = 0; k < entries_.size(); ++k) {
      size_t i = entries_[k].hash & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = static_cast<uint32_t>(k + 1);
    }
  }

  std::vector<uint32_t> slots_;  // 0 empty, else entry number + 1
  std::vector<Entry> entries_;
  size_t mask_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_keyness"};

Name n_make_wordlist{"make_wordlist"}, n_math{"math"}, n_log{"log"}, n_file{"__file__"},
    n_path{"path"}, n_abspath{"abspath"}, n_dirname{"dirname"}, n_sep{"sep"}, n_altsep{"altsep"},
    n_read{"read"}, n_r{"r"}, n_encoding{"encoding"}, n_utf8{"utf-8"}, n_slash{"/"},
    n_dotdot{".."}, n_reflist{"/data/reflist_"}, n_tab{".tab"};
// What an error report inside a scoring function names.
Name n_where_ll{"lumora.lm_keyness.ll"}, n_where_chi{"lumora.lm_keyness.chi_square"};

// math.log(x) through the module's attribute `math`, looked up at every call.
bool python_log(PyObject* module, double x, double* out) noexcept {
  PyObject* r = guarded([&]() -> PyObject* {
    Ref math = global(module, n_math);
    Ref log = attr(math.get(), n_log);
    Ref arg = ok(PyFloat_FromDouble(x));
    return call(log.get(), arg.get()).release();
  });
  if (r == nullptr) return false;
  double v = PyFloat_AsDouble(r);
  Py_DECREF(r);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// The score of one word. A scoring function cannot raise: its error is handed to the
// interpreter's unraisable-exception hook, and the score is 0.0.
float score(PyObject* module, bool use_ll, int32_t a, int32_t b, int32_t c, int32_t d) {
  float m = 0.0f;
  Outcome r = Outcome::python_error;
  try {
    r = use_ll ? log_likelihood(a, b, c, d,
                                [module](double x, double* out) {
                                  return python_log(module, x, out);
                                },
                                &m)
               : chi_square(a, b, c, d, &m);
  } catch (const PyErrorSet&) {  // from round(), which may ask Python for large values
  }
  if (r == Outcome::ok) return m;
  if (r == Outcome::zero_division) err::float_division();
  PyErr_WriteUnraisable(use_ll ? n_where_ll.get() : n_where_chi.get());
  return 0.0f;
}

// A language reaches a file path: refuse anything that could lead out of the data folder.
void check_language(PyObject* module, PyObject* language) {
  if (language == Py_None) return;  // fails where the path is put together
  Py_ssize_t len = PyUnicode_GET_LENGTH(language);
  Py_ssize_t nul = PyUnicode_FindChar(language, 0, 0, len, 1);
  if (nul == -2) throw PyErrorSet{};
  bool bad = nul >= 0;
  Ref os = global(module, names::os);
  Ref sep = attr(os.get(), n_sep);
  Ref altsep = attr(os.get(), n_altsep);
  PyObject* parts[] = {n_slash.get(), n_dotdot.get(), sep.get(), altsep.get()};
  for (PyObject* part : parts) {
    if (bad) break;
    if (!PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) continue;
    int found = PyUnicode_Contains(language, part);
    check(found);
    bad = found == 1;
  }
  if (bad) throw err::bad_language(language);
}

Ref decode(const char* p, size_t n) {
  return ok(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "strict"));
}

// A loaded reference list. Words are looked up natively by their UTF-8 text; a word that is not
// exactly a str is looked up by Python in the dict the table stands for, made when first needed.
struct Reference {
  Ref text;       // the file's text, which the table's keys point into
  RefTable table;
  int32_t size = 0;  // the sum of all frequencies
  Ref dict;

  explicit Reference(size_t expected) : table(expected) {}

  // The frequency of a word; false when it is not in the list.
  bool find(PyObject* word, int64_t* freq) {
    if (PyUnicode_CheckExact(word)) {
      Py_ssize_t n = 0;
      const char* p = PyUnicode_AsUTF8AndSize(word, &n);
      if (p == nullptr) {
        // Lone surrogates: never equal to decoded text.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
        PyErr_Clear();
        return false;
      }
      const RefTable::Entry* e = table.find(p, static_cast<size_t>(n));
      if (e != nullptr) *freq = e->freq;
      return e != nullptr;
    }
    if (!dict) {
      dict = ok(PyDict_New());
      for (const RefTable::Entry& e : table.entries()) {
        Ref key = ok(PyUnicode_DecodeUTF8(e.p, static_cast<Py_ssize_t>(e.n), "strict"));
        Ref value = ok(PyLong_FromLongLong(e.freq));
        check(PyDict_SetItem(dict.get(), key.get(), value.get()));
      }
    }
    PyObject* found = PyDict_GetItemWithError(dict.get(), word);
    if (found == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      return false;
    }
    *freq = PyLong_AsLongLong(found);  // made from an int64 above
    return true;
  }
};

// The reference list of a language: every line "word<TAB>frequency" (white space around a line
// and fields after the second are ignored, shorter lines skipped), read from data/ beside the
// module file as UTF-8. Its size is a signed 32-bit running sum of the frequencies.
std::unique_ptr<Reference> load_reference(PyObject* module, PyObject* language) {
  Ref os = global(module, names::os);
  Ref file = global(module, n_file);
  Ref os_path = attr(os.get(), n_path);
  Ref absolute = call_method(os_path.get(), n_abspath, file.get());
  Ref folder = call_method(os_path.get(), n_dirname, absolute.get());
  if (!PyUnicode_CheckExact(folder.get())) throw err::expected("str", folder.get());
  Ref p1 = concat(folder.get(), n_reflist.get());
  Ref p2 = concat(p1.get(), language);
  Ref path = concat(p2.get(), n_tab.get());

  Ref open = global(module, names::open);
  Ref open_args = ok(PyTuple_Pack(2, path.get(), n_r.get()));
  Ref open_kw = ok(PyDict_New());
  check(PyDict_SetItem(open_kw.get(), n_encoding.get(), n_utf8.get()));
  Ref f = ok(PyObject_Call(open.get(), open_args.get(), open_kw.get()));
  PyObject* read = PyObject_CallMethodObjArgs(f.get(), n_read.get(), nullptr);
  close_file(f.get());
  Ref content = ok(read);
  if (PyErr_Occurred()) throw PyErrorSet{};
  if (!PyUnicode_CheckExact(content.get())) throw err::expected("str", content.get());

  // Text mode has turned every line end into "\n".
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(content.get(), &n);
  if (data == nullptr) throw PyErrorSet{};
  const char* end = data + n;
  size_t lines = 1;
  for (const char* q = data; (q = static_cast<const char*>(std::memchr(q, '\n', end - q)));
       ++q)
    ++lines;
  auto ref = std::make_unique<Reference>(std::min<size_t>(lines, size_t{1} << 22));
  ref->text = std::move(content);
  int32_t total = 0;
  for (const char* line = data; line < end;) {
    const char* eol = static_cast<const char*>(std::memchr(line, '\n', end - line));
    if (eol == nullptr) eol = end;
    auto b = reinterpret_cast<const unsigned char*>(line);
    auto e = reinterpret_cast<const unsigned char*>(eol);
    line = eol + 1;
    text::strip(&b, &e);
    const char* s = reinterpret_cast<const char*>(b);
    const char* t = reinterpret_cast<const char*>(e);
    if (s == t) continue;
    const char* tab1 = static_cast<const char*>(std::memchr(s, '\t', t - s));
    if (tab1 == nullptr) continue;  // a single field
    const char* f2 = tab1 + 1;
    const char* tab2 = static_cast<const char*>(std::memchr(f2, '\t', t - f2));
    const char* f2_end = tab2 ? tab2 : t;
    int64_t v = 0;
    if (!parse_plain_int(f2, static_cast<size_t>(f2_end - f2), &v)) {
      // Anything else Python's int() accepts (spaces, underscores, other digits) or rejects.
      Ref field = decode(f2, static_cast<size_t>(f2_end - f2));
      Ref value = ok(PyLong_FromUnicodeObject(field.get(), 10));
      int overflow = 0;
      v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
      if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
      if (overflow != 0) throw err::int_overflow();
    }
    ref->table.set(s, static_cast<size_t>(tab1 - s), v);
    total = add_int32(total, v);
  }
  ref->size = total;
  return ref;
}


Signature make_keywords_sig{
    "make_keywords", 4, {"workspace", "corpus_name", "language", "measure"}, 0b0111};

PyObject* make_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    parse_args(make_keywords_sig, args, nargs, kwnames, a);
    PyObject* workspace = a[0];
    PyObject* corpus_name = a[1];
    PyObject* language = a[2];
    const bool use_ll = to_int32(a[3]) == 1;
    check_language(self, language);

    Ref make_wordlist = global(self, n_make_wordlist);
    Ref result = call(make_wordlist.get(), workspace, corpus_name, language, Py_True);
    Ref parts[5];
    unpack(result.get(), parts, 5);
    result.reset();
    const int32_t tokens = to_int32(parts[0].get());
    to_int32(parts[1].get());  // types: checked, not used
    if (PyFloat_AsDouble(parts[2].get()) == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    to_int32(parts[3].get());  // hapax: checked, not used
    PyObject* wordlist = parts[4].get();
    if (wordlist != Py_None && !PyList_CheckExact(wordlist)) throw err::expected("list", wordlist);

    std::unique_ptr<Reference> ref = load_reference(self, language);
    const int32_t ref_tokens = ref->size;
    if (wordlist == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
      throw PyErrorSet{};
    }

    Ref keywords = ok(PyList_New(0));
    int32_t i = 0;
    // By index, re-reading the length: a replaced math.log could change the list.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(wordlist); ++k) {
      Ref row = Ref::borrow(PyList_GET_ITEM(wordlist, k));
      if (!PyTuple_CheckExact(row.get())) throw err::expected("tuple", row.get());
      if (PyTuple_GET_SIZE(row.get()) < 2) throw err::tuple_index();
      PyObject* word = PyTuple_GET_ITEM(row.get(), 1);
      int32_t freq_refc = 1;  // a word missing from the reference list counts once there
      int64_t found = 0;
      if (ref->find(word, &found)) {
        if (found < INT32_MIN || found > INT32_MAX) throw err::int_overflow();
        freq_refc = static_cast<int32_t>(found);
      }
      if (PyTuple_GET_SIZE(row.get()) < 3) throw err::tuple_index();
      PyObject* freq = PyTuple_GET_ITEM(row.get(), 2);
      const float m = score(self, use_ll, to_int32(freq), freq_refc, tokens, ref_tokens);
      ++i;
      Ref rank = ok(PyLong_FromLong(i));
      Ref value = single_float(m);
      Ref out = ok(PyList_New(4));
      Py_INCREF(word);
      Py_INCREF(freq);
      PyList_SET_ITEM(out.get(), 0, rank.release());
      PyList_SET_ITEM(out.get(), 1, word);
      PyList_SET_ITEM(out.get(), 2, freq);
      PyList_SET_ITEM(out.get(), 3, value.release());
      check(PyList_Append(keywords.get(), out.get()));
    }
    return keywords.release();
  });
}

PyMethodDef make_keywords_def = {
    "make_keywords",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_keywords)),
    METH_FASTCALL | METH_KEYWORDS,
    "make_keywords(workspace, corpus_name, language, measure)\n--\n\n"
    "Keyword list of a corpus against the reference list of its language: rows\n"
    "[rank, word, frequency, score] in word-list order; measure 1 scores by log-likelihood,\n"
    "any other value by chi-square."};

// from lumora.lm_vocab import make_wordlist
void bind_make_wordlist(PyObject* m) {
  Ref vocab = ok(PyImport_ImportModule("lumora.lm_vocab"));
  PyObject* fn = PyObject_GetAttr(vocab.get(), n_make_wordlist.get());
  if (fn == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError))
      PyErr_Format(PyExc_ImportError, "cannot import name %S", n_make_wordlist.get());
    throw PyErrorSet{};
  }
  Ref owned = Ref::steal(fn);
  bind(m, "make_wordlist", fn);
}

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_keywords_sig.intern()) throw PyErrorSet{};
    n_where_ll.get();  // made now, so that reporting an error never has to allocate
    n_where_chi.get();
    bind_import(m, "os", "os");
    bind_make_wordlist(m);
    bind_import(m, "math", "math");
    bind_function(m, &make_keywords_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_keyness,
              "Keyword lists: a corpus's word list scored against a reference list by log-likelihood or "
    "chi-square.",
              lumora::state, lumora::exec_module)
