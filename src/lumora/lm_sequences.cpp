// lm_sequences: the n-grams (one to five words) of an indexed corpus with their frequency, range
// and range percent. Ranges are counted in memory while the frequencies are: nothing is written
// to disk.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lumora/common/args.hpp"
#include "lumora/common/corpus.hpp"
#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"
#include "lumora/common/module.hpp"
#include "lumora/common/pickled_py.hpp"
#include "lumora/common/pyarenas.hpp"
#include "lumora/common/pytext.hpp"
#include "lumora/common/ref.hpp"
#include "lumora/kernels/ngram_buckets.hpp"
#include "lumora/kernels/ngrams.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace lumora {
namespace {

using WordNumbers = DenseIds;
template <int N>
using NgramTable = ngrams::Table<N>;
using ngrams::kAhead;
using ngrams::TagPattern;
using ngrams::Shape;
using ngrams::kWordy;
using ngrams::kPunct;
using ngrams::kEmpty;
using ngrams::drops_ngram;

// \w of Python's re for str patterns: a character for which str.isalnum() holds, or "_". Taken
// from the interpreter's own Unicode database; the first 256 code points from a table of it.
inline bool is_word_char(Py_UCS4 c) noexcept {
  return c == '_' || Py_UNICODE_ISALNUM(c);
}

struct Latin1Words {
  bool word[256];
  Latin1Words() noexcept {
    for (Py_UCS4 c = 0; c < 256; ++c) word[c] = is_word_char(c);
  }
};

inline const Latin1Words& latin1_words() noexcept {
  static const Latin1Words table;
  return table;
}

// Code points of a str by index; one-byte strings go through the table.
struct Chars {
  int kind;
  const void* data;
  Py_ssize_t n;
  bool word(Py_ssize_t i) const noexcept {
    if (kind == PyUnicode_1BYTE_KIND)
      return latin1_words().word[static_cast<const Py_UCS1*>(data)[i]];
    return is_word_char(PyUnicode_READ(kind, data, i));
  }
  bool space(Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i) == ' '; }
};

// Whether findall("^\W+$", s) finds anything: s is one or more non-word characters. ("$" may also
// match before a final "\n", itself a non-word character, which changes nothing.)
bool only_non_word(const Chars& s) noexcept {
  if (s.n == 0) return false;
  for (Py_ssize_t i = 0; i < s.n; ++i)
    if (s.word(i)) return false;
  return true;
}

// Whether findall("^\W+ | \W+$| \W+ ", s) finds anything. A space is itself a non-word character,
// so each alternative is a space inside a run of non-word characters: in the run that begins the
// string, after at least one character; followed by at least one character of the run that ends
// the string; or two spaces of one run at least two characters apart.
bool has_non_word_token(const Chars& s) noexcept {
  Py_ssize_t first_space = -1;  // the earliest space of the current run of non-word characters
  bool leading = true;          // the current run began the string
  for (Py_ssize_t i = 0; i < s.n; ++i) {
    if (s.word(i)) {
      first_space = -1;
      leading = false;
      continue;
    }
    if (!s.space(i)) continue;
    if (leading && i >= 1) return true;
    if (first_space < 0)
      first_space = i;
    else if (i - first_space >= 2)
      return true;
  }
  return first_space >= 0 && first_space <= s.n - 2;
}


Shape shape_of(const Chars& s) noexcept {
  if (s.n == 0) return kEmpty;
  return only_non_word(s) ? kPunct : kWordy;
}

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_sequences"};

Name n_re{"re"}, n_strip{"strip"}, n_split{"split"}, n_array{"array"}, n_space{" "},
    n_one_word{"^\\W+$"}, n_words{"^\\W+ | \\W+$| \\W+ "};

// Copies n bytes, most words being a few bytes long: two overlapping moves of 8 (or 4) bytes
// instead of a call, never reading or writing outside either range.
inline void copy_short(char* to, const char* from, size_t n) noexcept {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// The characters of each distinct word, copied together in each word's own width, for the joins
// that build the rows.
struct WordTexts {
  struct Text {
    uint32_t at;    // offset in chars
    uint32_t len;   // in code points
    uint8_t kind;   // 1, 2 or 4 bytes a code point
    uint8_t ascii;  // 1-byte strings: all code points below 128
    Shape shape;
  };
  std::vector<Text> texts;
  std::string chars;

  // A hash of a string's characters (equal strings have the same width, so the same bytes).
  static uint64_t hash(const Chars& s) noexcept {
    return hash_bytes(s.data, static_cast<size_t>(s.n) * s.kind,
                      static_cast<uint64_t>(s.kind) << 56);
  }

  // The number of the text with the characters of s (whose hash is h), or -1.
  int64_t find(const Chars& s, uint64_t h) const noexcept {
    if (slots_.empty()) return -1;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const uint32_t slot = slots_[i];
      if (slot == 0) return -1;
      const Text& t = texts[slot - 1];
      if (hashes_[slot - 1] == h && t.kind == s.kind && t.len == static_cast<size_t>(s.n) &&
          std::memcmp(chars.data() + t.at, s.data, static_cast<size_t>(s.n) * s.kind) == 0)
        return slot - 1;
    }
  }

  // Adds the characters of s (whose hash is h), not yet present; returns its number.
  uint32_t add(PyObject* s, Shape shape, uint64_t h) {
    const int kind = PyUnicode_KIND(s);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    // Each text starts at a multiple of 4 bytes, so 2- and 4-byte code points are read aligned.
    chars.resize((chars.size() + 3) & ~static_cast<size_t>(3));
    if (chars.size() + static_cast<size_t>(len) * kind > UINT32_MAX || len > INT32_MAX ||
        texts.size() >= 0xFFFFFFF0u)
      throw std::length_error("word texts too long");
    texts.push_back(Text{static_cast<uint32_t>(chars.size()), static_cast<uint32_t>(len),
                         static_cast<uint8_t>(kind), static_cast<uint8_t>(PyUnicode_IS_ASCII(s)),
                         shape});
    chars.append(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(len) * kind);
    hashes_.push_back(h);
    if (texts.size() * 2 > slots_.size()) {
      slots_.assign(std::max<size_t>(64, slots_.size() * 2), 0);
      mask_ = slots_.size() - 1;
      for (size_t k = 0; k < texts.size(); ++k) place(k);
    } else {
      place(texts.size() - 1);
    }
    return static_cast<uint32_t>(texts.size() - 1);
  }

  // A str of the words joined with single spaces, as " ".join(words) builds it: as wide as its
  // widest word.
  Ref join(const uint32_t* words, int n) const {
    const Text* t[5];
    for (int k = 0; k < n; ++k) t[k] = &texts[words[k]];
    return join(t, n);
  }

  Ref join(const Text* const* t, int n) const {
    Py_ssize_t len = n - 1;
    int kind = 1;
    bool ascii = true;
    for (int k = 0; k < n; ++k) {
      len += t[k]->len;
      if (t[k]->kind > kind) kind = t[k]->kind;
      ascii = ascii && t[k]->ascii;
    }
    const Py_UCS4 maxchar = kind == 4 ? 0x10FFFF : kind == 2 ? 0xFFFF : ascii ? 0x7F : 0xFF;
    Ref s = ok(PyUnicode_New(len, maxchar));
    void* data = PyUnicode_DATA(s.get());
    if (kind == 1) {
      char* out = static_cast<char*>(data);
      for (int k = 0; k < n; ++k) {
        if (k > 0) *out++ = ' ';
        copy_short(out, chars.data() + t[k]->at, t[k]->len);
        out += t[k]->len;
      }
      return s;
    }
    Py_ssize_t at = 0;
    for (int k = 0; k < n; ++k) {
      if (k > 0) PyUnicode_WRITE(kind, data, at++, ' ');
      write_chars(kind, data, at, t[k]->kind, chars.data() + t[k]->at, t[k]->len);
      at += t[k]->len;
    }
    return s;
  }

 private:
  void place(size_t k) noexcept {
    size_t i = hashes_[k] & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = static_cast<uint32_t>(k + 1);
  }

  std::vector<uint64_t> hashes_;  // per text
  std::vector<uint32_t> slots_;   // text number + 1, 0: empty
  size_t mask_ = 0;
};

Chars chars_of(PyObject* s) noexcept {
  return Chars{PyUnicode_KIND(s), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)};
}

// The tag pattern of `pos`, with the tag dictionary read on every call; one tag missing from the
// dictionary voids the whole pattern.
TagPattern parse_search(PyObject* module, PyObject* workspace, PyObject* corpus_name,
                        PyObject* pos) {
  Ref tags = load_dict_copy(module, corpus_path(workspace, corpus_name, names::tags_pickle).get());
  Ref inverted = invert(tags.get());
  TagPattern pattern;
  Ref not_none = ok(PyObject_RichCompare(pos, Py_None, Py_NE));
  const int given = PyObject_IsTrue(not_none.get());
  check(given);
  if (!given) return pattern;

  std::vector<Ref> pieces;
  auto keep = [&](PyObject* piece) {
    Ref s = call_method(piece, n_strip);
    const int truth = PyObject_IsTrue(s.get());
    check(truth);
    if (truth) pieces.push_back(std::move(s));
  };
  if (PyList_CheckExact(pos)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pos); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(pos, i));
      if (!PyUnicode_CheckExact(item.get())) throw err::expected("str", item.get());
      keep(item.get());
    }
  } else {
    Ref stripped = call_method(pos, n_strip);
    Ref parts = call_method(stripped.get(), n_split, n_space.get());
    Ref it = ok(PyObject_GetIter(parts.get()));
    while (Ref piece = Ref::steal(PyIter_Next(it.get()))) keep(piece.get());
    if (PyErr_Occurred()) throw PyErrorSet{};
  }

  pattern.active = true;
  Ref np = global(module, names::np);
  Ref array = attr(np.get(), n_array);
  Ref kw = ok(PyDict_New());
  check(PyDict_SetItem(kw.get(), names::dtype.get(), reinterpret_cast<PyObject*>(&PyLong_Type)));
  for (const Ref& tag : pieces) {
    PyObject* id = PyDict_GetItemWithError(inverted.get(), tag.get());
    if (id == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      pattern.active = false;
      pattern.ids.clear();
      break;
    }
    Ref args = ok(PyTuple_Pack(1, id));
    Ref arr = ok(PyObject_Call(array.get(), args.get(), kw.get()));  // np.array(id, dtype=int)
    Ref value = ok(PyNumber_Long(arr.get()));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow != 0) throw err::int_overflow();
    pattern.ids.push_back(v);
  }
  return pattern;
}

// One n-gram list: counting and the rows.
template <int N>
class NgramList {
 public:
  NgramList(PyObject* module, bool lowercase) : module_(module), lowercase_(lowercase) {}

  // The distinct word ids counted, and the dense number of one (-1: not counted).
  size_t word_count() const noexcept { return words_.size(); }
  int64_t word_number(int64_t id) const noexcept { return words_.find(id); }

  // Reads every token array of the folder in listing order and numbers their words (under a
  // pattern, only the words of the windows that pass, each window with its own copy).
  void load(PyObject* npy_path, const TagPattern& pattern) {
    Ref files = listdir(module_, npy_path);
    words_.use_array(!pattern.active);
    const auto listed = static_cast<size_t>(PyList_GET_SIZE(files.get()));
    read_.assign(listed, ngrams::TextWindows{});
    std::vector<uint32_t> starts;
    uint64_t windows = 0;
    for (size_t i = 0; i < listed; ++i) {
      Ref name = Ref::borrow(entry_name(files.get(), static_cast<Py_ssize_t>(i)));
      TokenArray arr;
      arr.load(module_, concat(npy_path, name.get()).get(), pattern.active ? 2 : 1);
      const auto rows = static_cast<size_t>(arr.rows());
      if (rows > UINT32_MAX) throw std::length_error("token array too long");
      auto id = [&arr](size_t r) { return arr.at(static_cast<Py_ssize_t>(r), 0); };
      ngrams::TextWindows& text = read_[i];
      if (pattern.active) {
        auto tag = [&arr](size_t r) { return arr.at(static_cast<Py_ssize_t>(r), 1); };
        starts.clear();
        const bool complete = ngrams::matching_windows<N>(tag, rows, pattern, starts);
        text.words.resize(starts.size() * N);
        for (size_t j = 0; j < starts.size(); ++j)
          for (int k = 0; k < N; ++k) text.words[j * N + k] = words_.insert(id(starts[j] + k));
        if (!complete) throw err::list_index();
        text.windows = starts.size();
        text.stride = N;
      } else {
        text.words.resize(rows);
        for (size_t r = 0; r < rows; ++r) text.words[r] = words_.insert(id(r));
        text.windows = rows >= static_cast<size_t>(N) ? rows + 1 - N : 0;
      }
      text.window0 = windows;
      windows += text.windows;
    }
  }

  // The string of every word of a window: the id-to-word dictionary is either dict_words or,
  // when that is nullptr, `native`, read natively, with `values` the value of each numbered
  // word there (kind kNone: no entry).
  void resolve_words(PyObject* dict_words, pickled::Dict* native,
                     const std::vector<pickled::Obj>* values) {
    dict_words_ = dict_words;
    native_ = native;
    native_values_ = values;
    status_.assign(words_.size(), kUnresolved);
    canon_.assign(words_.size(), 0);
    shape_.assign(words_.size(), kWordy);
    as_written_.assign(words_.size(), 0);
    bool all_good = true;
    for (const ngrams::TextWindows& text : read_) {
      if (text.windows == 0) continue;
      for (const uint32_t d : text.words) {
        if (status_[d] != kUnresolved) continue;
        resolve(d);
        all_good = all_good && status_[d] == kGood;
      }
    }
    by_string_ = N > 1 && all_good && !words_with_space_;
  }

  // Counts the n-grams of the texts read. When every word has a string and no string holds a
  // space, n-grams are counted over the strings' numbers, so that case variants (and words of
  // equal strings) are one n-gram from the start: its first window, count and texts are those
  // of the string. Otherwise over the words, with each text's distinct n-grams kept in the
  // order it first counted them, for the ranges of n-grams that share a string.
  void count() {
    size_t vocabulary = words_.size();
    if (by_string_) {
      for (ngrams::TextWindows& text : read_)
        if (text.windows > 0)
          for (uint32_t& w : text.words) w = canon_[w];
      vocabulary = texts_.texts.size();
      // From here on a "word" of the table is a string.
      status_.assign(vocabulary, kGood);
      shape_.resize(vocabulary);
      for (size_t s = 0; s < vocabulary; ++s) shape_[s] = texts_.texts[s].shape;
      canon_.resize(vocabulary);
      for (size_t s = 0; s < vocabulary; ++s) canon_[s] = static_cast<uint32_t>(s);
    }
    table_.count(read_, vocabulary, by_string_ ? nullptr : &firsts_);
    std::vector<ngrams::TextWindows>().swap(read_);
  }

  // The rows: lower-casing, the filter, frequencies and ranges.
  Ref rows(int32_t total_files) {
    assign_groups();
    // The hash slots, the largest part of the counting, go before the rows are made.
    table_.totals(&counts_, &in_texts_);
    table_.drop_index();
    count_ranges();
    sum_frequencies();
    return build_rows(total_files);
  }

 private:
  enum Status : uint8_t { kUnresolved, kGood, kBad };
  static constexpr uint32_t kNoGroup = 0xFFFFFFFFu;

  Ref key_object(const int64_t* ids) {
    if (N == 1) return ok(PyLong_FromLongLong(ids[0]));
    Ref t = ok(PyTuple_New(N));
    for (int k = 0; k < N; ++k)
      PyTuple_SET_ITEM(t.get(), k, ok(PyLong_FromLongLong(ids[k])).release());
    return t;
  }

  Ref entry_key(size_t e) {
    int64_t ids[N];
    for (int k = 0; k < N; ++k) ids[k] = words_.id(table_.words(e)[k]);
    return key_object(ids);
  }

  // The string of word d, looked up, lower-cased when asked, and numbered by distinct string
  // (so case variants and words of equal strings share a number). A word whose look-up or
  // string would fail is marked; the n-grams holding it raise Python's own error when they are
  // first met.
  void resolve(uint32_t d) {
    status_[d] = kBad;
    Ref held;  // the word, made from its pickled form
    PyObject* v;
    if (native_ != nullptr) {
      const pickled::Obj& value = (*native_values_)[d];
      if (value.kind == pickled::Obj::kNone) return;
      held = pickled_object(*native_, value);
      v = held.get();
    } else {
      Ref id = ok(PyLong_FromLongLong(words_.id(d)));
      v = PyDict_GetItemWithError(dict_words_, id.get());
      if (v == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return;
      }
    }
    Ref w = Ref::borrow(v);
    if (N == 1) {
      // The word itself is the n-gram string, whatever lower() returns.
      if (lowercase_) w = Ref::steal(PyObject_CallMethodObjArgs(v, names::lower.get(), nullptr));
      if (!w || !PyUnicode_Check(w.get())) {
        PyErr_Clear();
        return;
      }
    } else {
      // Joining takes the characters of any str; the joined string is an exact str.
      if (!PyUnicode_Check(v)) return;
      if (!PyUnicode_CheckExact(v)) w = ok(PyUnicode_FromObject(v));
      if (lowercase_) {
        Ref lower = str_lower(w.get());
        const int same = PyUnicode_Compare(lower.get(), w.get());
        if (same == -1 && PyErr_Occurred()) throw PyErrorSet{};
        as_written_[d] = same == 0;
        w = std::move(lower);
      } else {
        as_written_[d] = 1;
      }
      const Py_ssize_t at = PyUnicode_FindChar(w.get(), ' ', 0, PyUnicode_GET_LENGTH(w.get()), 1);
      if (at == -2) throw PyErrorSet{};
      if (at >= 0) words_with_space_ = true;
    }
    // Strings are told apart by their characters, as str compares them.
    const Chars text = chars_of(w.get());
    const uint64_t h = WordTexts::hash(text);
    const int64_t number = texts_.find(text, h);
    if (number >= 0) {
      canon_[d] = static_cast<uint32_t>(number);
    } else {
      canon_[d] = texts_.add(w.get(), shape_of(text), h);
      canon_objs_.push_back(std::move(w));
    }
    shape_[d] = texts_.texts[canon_[d]].shape;
    status_[d] = kGood;
  }

  bool good(size_t e) const {
    for (int k = 0; k < N; ++k)
      if (status_[table_.words(e)[k]] != kGood) return false;
    return true;
  }

  // Numbers the distinct n-gram strings (the groups) in order of first appearance. N-grams
  // differing only in the case of a word share the numbers of their words' strings; where some
  // word holds a space, two n-grams of different words can still join to one string, and the
  // strings themselves decide.
  void assign_groups() {
    group_of_.assign(table_.size(), kNoGroup);
    if (N == 1) {
      for (size_t e = 0; e < table_.size(); ++e)
        if (good(e)) group_of_[e] = canon_[table_.words(e)[0]];
      groups_ = canon_objs_.size();
    } else if (words_with_space_) {
      strings_dict_ = ok(PyDict_New());
      for (size_t e = 0; e < table_.size(); ++e) {
        if (!good(e)) continue;
        Ref s = group_string_of(e);
        PyObject* number = PyDict_GetItemWithError(strings_dict_.get(), s.get());
        if (number != nullptr) {
          group_of_[e] = static_cast<uint32_t>(PyLong_AsSize_t(number));
          continue;
        }
        if (PyErr_Occurred()) throw PyErrorSet{};
        Ref fresh = ok(PyLong_FromSize_t(strings_.size()));
        check(PyDict_SetItem(strings_dict_.get(), s.get(), fresh.get()));
        group_of_[e] = static_cast<uint32_t>(strings_.size());
        strings_.push_back(std::move(s));
      }
      groups_ = strings_.size();
    } else {
      size_t good_words = 0;
      for (uint8_t s : status_) good_words += s == kGood;
      if (canon_objs_.size() == good_words) {  // no two words share a string
        identity_ = true;
        for (size_t e = 0; e < table_.size(); ++e) {
          if (good(e))
            group_of_[e] = static_cast<uint32_t>(e);
          else
            identity_ = false;
        }
        groups_ = table_.size();
        rep_.resize(table_.size());
        for (size_t e = 0; e < table_.size(); ++e) rep_[e] = static_cast<uint32_t>(e);
      } else {
        merge_case_variants();
      }
    }
    ranges_.assign(groups_, Range{});
    freq_.assign(groups_, 0);
  }

  // Groups of n-grams whose words share strings (case variants, once lower-cased). An n-gram's
  // canonical form puts for each word one chosen word with its string; the group of that form is
  // kept by the counted n-gram equal to it, when there is one (most n-grams are their own
  // canonical form and need no look-up), else in a side table.
  void merge_case_variants() {
    // A word already written as its string (the lower-case variant) stands for the others,
    // so that the n-grams of such words, the most frequent, are their own canonical form.
    std::vector<uint32_t> first_word(canon_objs_.size(), kNoGroup);
    for (int pass = 0; pass < 2; ++pass)
      for (size_t d = 0; d < words_.size(); ++d)
        if (status_[d] == kGood && (pass == 1 || as_written_[d]) &&
            first_word[canon_[d]] == kNoGroup)
          first_word[canon_[d]] = static_cast<uint32_t>(d);
    auto canonical = [&](size_t e, uint32_t* form) {
      bool same = true;
      for (int k = 0; k < N; ++k) {
        form[k] = first_word[canon_[table_.words(e)[k]]];
        same = same && form[k] == table_.words(e)[k];
      }
      return same;
    };
    // The counted n-grams that are another's canonical form, found with prefetched look-ups.
    BigVector<size_t> others;
    BigVector<uint64_t> hashes;
    others.reserve(table_.size());  // mapped, not touched, beyond what is used
    hashes.reserve(table_.size());
    uint32_t form[N];
    for (size_t e = 0; e < table_.size(); ++e) {
      if (good(e) && !canonical(e, form)) {
        others.push_back(e);
        hashes.push_back(NgramTable<N>::hash(form));
      }
    }
    BigVector<int64_t> found(others.size());
    table_.find_all(
        others.size(), [&](size_t q, uint32_t* w) { canonical(others[q], w); }, hashes, found);
    // Canonical forms that no counted n-gram equals go to a side table, numbered in order too.
    NgramTable<N> side(others.size());
    BigVector<int64_t> side_at(others.size(), -1);
    for (size_t q = 0; q < others.size(); ++q) {
      if (q + kAhead < others.size() && found[q + kAhead] < 0) side.prefetch(hashes[q + kAhead]);
      if (found[q] >= 0) continue;
      canonical(others[q], form);
      side_at[q] = side.upsert(form, hashes[q]).id - 1;
    }
    BigVector<uint32_t> side_group(side.size(), kNoGroup);
    rep_.reserve(table_.size());  // mapped, touched only as far as used
    size_t q = 0;
    for (size_t e = 0; e < table_.size(); ++e) {
      if (!good(e)) continue;
      uint32_t* group = &group_of_[e];
      if (q < others.size() && others[q] == e) {
        group = found[q] >= 0 ? &group_of_[static_cast<size_t>(found[q])]
                              : &side_group[static_cast<size_t>(side_at[q])];
        ++q;
      }
      if (*group == kNoGroup) {
        *group = static_cast<uint32_t>(rep_.size());
        rep_.push_back(static_cast<uint32_t>(e));
      }
      group_of_[e] = *group;
    }
    groups_ = rep_.size();
  }

  // The string numbers of the words of counted n-gram e.
  void canon_words(size_t e, uint32_t* out) const noexcept {
    for (int k = 0; k < N; ++k) out[k] = canon_[table_.words(e)[k]];
  }

  Ref group_string_of(size_t e) const {
    uint32_t words[N];
    canon_words(e, words);
    return texts_.join(words, N);
  }

  // Whether group g stands for a string (a counted n-gram of a word without one does not).
  bool has_string(size_t g) const {
    return N == 1 || words_with_space_ || group_of_[rep_[g]] == g;
  }

  Ref group_string(size_t g) {
    if (N == 1) return Ref::borrow(canon_objs_[g].get());
    if (words_with_space_) return Ref::borrow(strings_[g].get());
    return group_string_of(rep_[g]);
  }

  // Whether the filter drops group g's string; built only for the strings that stay.
  bool dropped(size_t g) const {
    if (N == 1) return texts_.texts[g].shape == kPunct;
    if (words_with_space_) return has_non_word_token(chars_of(strings_[g].get()));
    const uint32_t* words = table_.words(rep_[g]);
    Shape shapes[N];
    for (int k = 0; k < N; ++k) shapes[k] = shape_[words[k]];
    return drops_ngram(shapes, N);
  }

  // The dict from n-gram string to group, for keys that only Python can turn into a string.
  PyObject* strings_dict() {
    if (!strings_dict_) {
      strings_dict_ = ok(PyDict_New());
      for (size_t g = 0; g < groups_; ++g) {
        if (!has_string(g)) continue;
        Ref s = group_string(g);
        Ref number = ok(PyLong_FromSize_t(g));
        check(PyDict_SetItem(strings_dict_.get(), s.get(), number.get()));
      }
    }
    return strings_dict_.get();
  }

  // The id-to-word dict; one read natively is made into the dict Python would have read.
  PyObject* words_dict() {
    if (dict_words_ == nullptr) {
      whole_dict_ = ok(PyDict_New());
      const bool same = native_->visit_again([&](const pickled::Obj& key, const pickled::Obj& value) {
        Ref k = pickled_object(*native_, key);
        Ref v = pickled_object(*native_, value);
        check(PyDict_SetItem(whole_dict_.get(), k.get(), v.get()));
        return true;
      });
      if (!same) {
        PyErr_SetString(PyExc_RuntimeError, "a dictionary read twice did not read alike");
        throw PyErrorSet{};
      }
      dict_words_ = whole_dict_.get();
    }
    return dict_words_;
  }

  PyObject* pattern() {
    if (!pattern_) {
      Ref re = global(module_, n_re);
      pattern_ = call_method(re.get(), names::compile, (N == 1 ? n_one_word : n_words).get());
    }
    return pattern_.get();
  }

  // The group of an n-gram key, computed step by step as Python computes its string (so a
  // missing word id or a word that is no str raises Python's own error); -1 when no counted
  // n-gram has that string, or for one word, when the filter drops it.
  int64_t python_key_group(PyObject* key) {
    Ref w;
    if (N == 1) {
      w = ok(PyObject_GetItem(words_dict(), key));
      if (lowercase_) w = call_method(w.get(), names::lower);
      if (findall_any(pattern(), w.get())) return -1;
    } else {
      Ref parts = ok(PyList_New(0));
      Ref it = ok(PyObject_GetIter(key));
      while (Ref id = Ref::steal(PyIter_Next(it.get()))) {
        Ref word = ok(PyObject_GetItem(words_dict(), id.get()));
        check(PyList_Append(parts.get(), word.get()));
      }
      if (PyErr_Occurred()) throw PyErrorSet{};
      w = ok(PyUnicode_Join(n_space.get(), parts.get()));
      if (lowercase_) w = str_lower(w.get());
    }
    PyObject* number = PyDict_GetItemWithError(strings_dict(), w.get());
    if (number == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      return -1;
    }
    return PyLong_AsLongLong(number);
  }

  void seen(int64_t g, uint32_t text) {
    if (g < 0) return;
    Range& r = ranges_[static_cast<size_t>(g)];
    if (r.seen_in != text) {
      r.seen_in = text;
      ++r.files;
    }
  }

  // The group of counted n-gram e; for an n-gram whose string Python must make, what Python
  // makes of it (or the error it raises).
  int64_t group(size_t e) {
    if (group_of_[e] != kNoGroup) return group_of_[e];
    auto at = python_groups_.find(e);
    if (at != python_groups_.end()) return at->second;
    const int64_t g = python_key_group(entry_key(e).get());
    python_groups_.emplace(e, g);
    return g;
  }

  // Ranges: each text's distinct n-grams marked in their groups. The n-grams Python must make a
  // string of are made first, in order of first occurrence: the first of them that fails is
  // the first a walk through the texts in listing order would meet. When every n-gram is a
  // group of its own, its count of texts is its range.
  void count_ranges() {
    if (identity_) {
      for (size_t g = 0; g < groups_; ++g) ranges_[g].files = in_texts_[g];
      return;
    }
    for (size_t e = 0; e < table_.size(); ++e)
      if (group_of_[e] == kNoGroup) group(e);
    // Text after text (a group's n-grams may lie in several partitions), each partition's part.
    std::vector<size_t> next(table_.parts(), 0);
    const size_t texts = firsts_.empty() ? 0 : firsts_[0].text_end.size();
    for (size_t t = 0; t < texts; ++t) {
      const auto text = static_cast<uint32_t>(t + 1);
      for (unsigned p = 0; p < table_.parts(); ++p) {
        const ngrams::PartFirsts& f = firsts_[p];
        const size_t n = f.entries.size();
        const uint32_t* entries = f.entries.data();
        size_t& j = next[p];
        for (; j < f.text_end[t]; ++j) {
          if (j + 2 * kAhead < n)
            __builtin_prefetch(&group_of_[table_.global(p, entries[j + 2 * kAhead])]);
          if (j + kAhead < n) {
            const uint32_t ahead = group_of_[table_.global(p, entries[j + kAhead])];
            if (ahead != kNoGroup) __builtin_prefetch(&ranges_[ahead]);
          }
          seen(group(table_.global(p, entries[j])), text);
        }
      }
    }
  }

  // Frequencies: the corpus counts summed per string in the counts' order.
  void sum_frequencies() {
    const BigVector<uint32_t>& counts = counts_;
    for (size_t e = 0; e < table_.size(); ++e) {
      const int64_t g = group(e);
      if (g < 0) continue;
      freq_[static_cast<size_t>(g)] = add_int32(freq_[static_cast<size_t>(g)], counts[e]);
    }
  }

  // One row: rank, string, frequency, range and the range's percent (one float per value).
  void put_row(PyObject* list, long row, Ref s, size_t g, int32_t total_files,
               std::vector<Ref>& percents) {
    const auto range = static_cast<size_t>(ranges_[g].files);
    if (percents.size() <= range) percents.resize(range + 1);
    Ref& percent = percents[range];
    if (!percent) percent = single_float(percent_single(static_cast<double>(range), total_files));
    Ref number = ok(PyLong_FromLong(row));
    Ref frequency = ok(PyLong_FromLong(freq_[g]));
    Ref files = ok(PyLong_FromSize_t(range));
    Ref tuple = ok(PyTuple_New(5));
    PyTuple_SET_ITEM(tuple.get(), 0, number.release());
    PyTuple_SET_ITEM(tuple.get(), 1, s.release());
    PyTuple_SET_ITEM(tuple.get(), 2, frequency.release());
    PyTuple_SET_ITEM(tuple.get(), 3, files.release());
    Py_INCREF(percent.get());
    PyTuple_SET_ITEM(tuple.get(), 4, percent.get());
    // A tuple of ints, a str and a float can hold no cycle: the collector would untrack it at
    // its first pass anyway.
    PyObject_GC_UnTrack(tuple.get());
    PyList_SET_ITEM(list, row - 1, tuple.release());
  }

  Ref build_rows(int32_t total_files) {
    // The list is made at its final size (a list of unfilled items frees as an empty one).
    BigVector<uint8_t> kept(groups_);
    size_t rows = 0;
    for (size_t g = 0; g < groups_; ++g) {
      kept[g] = has_string(g) && !dropped(g);
      rows += kept[g];
    }
    Ref result = ok(PyList_New(static_cast<Py_ssize_t>(rows)));
    std::vector<Ref> percents;
    long row = 0;
    if (N > 1 && !words_with_space_) {
      // Each group's string is its first n-gram's words joined; the characters of each word
      // are found through its own number, and those of groups a little ahead are fetched early.
      std::vector<WordTexts::Text> text_of(status_.size());
      for (size_t d = 0; d < status_.size(); ++d)
        if (status_[d] == kGood) text_of[d] = texts_.texts[canon_[d]];
      constexpr size_t kWords = 16, kChars = 8;
      for (size_t g = 0; g < groups_; ++g) {
        if (g + kWords < groups_) {
          const uint32_t* ahead = table_.words(rep_[g + kWords]);
          for (int k = 0; k < N; ++k) __builtin_prefetch(&text_of[ahead[k]]);
        }
        if (g + kChars < groups_ && kept[g + kChars]) {
          const uint32_t* ahead = table_.words(rep_[g + kChars]);
          for (int k = 0; k < N; ++k) __builtin_prefetch(texts_.chars.data() + text_of[ahead[k]].at);
        }
        if (!kept[g]) continue;
        const uint32_t* words = table_.words(rep_[g]);
        const WordTexts::Text* t[N];
        for (int k = 0; k < N; ++k) t[k] = &text_of[words[k]];
        put_row(result.get(), ++row, texts_.join(t, N), g, total_files, percents);
      }
      return result;
    }
    for (size_t g = 0; g < groups_; ++g) {
      if (!kept[g]) continue;
      put_row(result.get(), ++row, group_string(g), g, total_files, percents);
    }
    return result;
  }

  PyObject* module_;
  const bool lowercase_;
  WordNumbers words_;
  std::vector<ngrams::TextWindows> read_;  // the texts read, until they are counted
  bool by_string_ = false;                  // counted over string numbers
  ngrams::Counter<N> table_{std::thread::hardware_concurrency() > 1 ? 2u : 1u};
  std::vector<ngrams::PartFirsts> firsts_;  // per partition: each text's distinct n-grams

  PyObject* dict_words_ = nullptr;
  pickled::Dict* native_ = nullptr;
  const std::vector<pickled::Obj>* native_values_ = nullptr;
  Ref whole_dict_;
  // Per word of the table: a dense word, or a string when counted over strings.
  std::vector<uint8_t> status_;
  std::vector<uint32_t> canon_;     // the number of its (lower-cased) string
  std::vector<Shape> shape_;        // the shape of its string
  std::vector<uint8_t> as_written_; // its string is the word as written
  std::vector<Ref> canon_objs_;     // per string number: the string
  WordTexts texts_;                 // per string number: its characters and shape
  bool words_with_space_ = false;

  BigVector<uint32_t> group_of_;    // per counted n-gram
  bool identity_ = false;           // every counted n-gram is a group of its own
  size_t groups_ = 0;
  BigVector<uint32_t> rep_;         // per group: its first n-gram
  std::vector<Ref> strings_;        // per group, when strings decide the groups
  Ref strings_dict_;
  Ref pattern_;
  struct Range {
    uint32_t seen_in;  // the last text that held the group
    uint32_t files;    // the number of texts that held it
  };
  BigVector<Range> ranges_;         // per group
  BigVector<int32_t> freq_;
  BigVector<uint32_t> counts_, in_texts_;  // per counted n-gram: its count and its range
  std::unordered_map<size_t, int64_t> python_groups_;  // counted n-gram -> its group from Python
};

// What one make_ngrams call counts and where.
struct Request {
  PyObject* module;
  PyObject* workspace;
  PyObject* corpus_name;
  TagPattern pattern;
  bool lowercase;
  int32_t total_files;
  PyObject* npy_path;
};

template <int N>
Ref ngram_list(const Request& r) {
  NgramList<N> list(r.module, r.lowercase);
  list.load(r.npy_path, r.pattern);
  // Read natively, the dictionary gives only the words of the texts read (a dict keeps the last
  // value of a key).
  Ref path = corpus_path(r.workspace, r.corpus_name, names::words_pickle);
  pickled::Dict native;
  std::vector<pickled::Obj> values(list.word_count());
  const bool is_native = read_pickled_dict(
      r.module, path.get(), native, [&](const pickled::Obj& key, const pickled::Obj& value) {
        if (key.kind == pickled::Obj::kInt) {
          const int64_t d = list.word_number(key.i);
          if (d >= 0) values[static_cast<size_t>(d)] = value;
        }
        return true;
      });
  Ref dict_words;
  if (!is_native) dict_words = load_dict_copy(r.module, path.get());
  list.resolve_words(dict_words.get(), is_native ? &native : nullptr, &values);
  list.count();
  return list.rows(r.total_files);
}

Ref ngrams_in(PyObject* module, PyObject* workspace, PyObject* corpus_name, PyObject* pos,
              int32_t size, bool lowercase) {
  TagPattern pattern = parse_search(module, workspace, corpus_name, pos);
  Ref npy_path = corpus_path(workspace, corpus_name, names::npy_dir);
  int32_t total_files = 0;
  {
    Ref os = global(module, names::os);
    Ref listing = call_method(os.get(), names::listdir, npy_path.get());
    const Py_ssize_t n = PyObject_Size(listing.get());
    if (n < 0) throw PyErrorSet{};
    if (n > INT32_MAX) throw err::int_overflow();
    total_files = static_cast<int32_t>(n);
  }
  const Request r{module, workspace, corpus_name, pattern, lowercase, total_files, npy_path.get()};
  switch (size) {
    case 1: return ngram_list<1>(r);
    case 2: return ngram_list<2>(r);
    case 3: return ngram_list<3>(r);
    case 4: return ngram_list<4>(r);
    case 5: return ngram_list<5>(r);
    default: break;
  }
  // No window function for this size: the first token array, once loaded, cannot be counted,
  // whatever it holds.
  Ref files = listdir(module, npy_path.get());
  if (PyList_GET_SIZE(files.get()) > 0) {
    Ref name = Ref::borrow(entry_name(files.get(), 0));
    Ref np = global(module, names::np);
    Ref arr = call_method(np.get(), names::load, concat(npy_path.get(), name.get()).get());
    throw err::unbound_local("counter");
  }
  Ref dict_words =
      load_dict_copy(module, corpus_path(workspace, corpus_name, names::words_pickle).get());
  return ok(PyList_New(0));
}

Signature make_ngrams_sig{
    "make_ngrams", 5, {"workspace", "corpus_name", "pos", "size", "lowercase"}, 0b00011};

PyObject* make_ngrams(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    parse_args(make_ngrams_sig, args, nargs, kwnames, a);
    // A list of rows fills hundreds of the interpreter's arenas, one call after another.
    pyarenas::keep_freed_arenas();
    const int32_t size = to_int32(a[3]);
    const int lowercase = PyObject_IsTrue(a[4]);
    check(lowercase);

    return ngrams_in(self, a[0], a[1], a[2], size, lowercase != 0).release();
  });
}

PyMethodDef make_ngrams_def = {
    "make_ngrams", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make_ngrams)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

int exec_module(PyObject* m) {
  return exec_with(state, m, [&] {
    if (!make_ngrams_sig.intern()) throw PyErrorSet{};
    bind_import(m, "os", "os");
    bind_numpy(m);
    bind_import(m, "pickle", "pickle");
    capture_pickle_defaults();
    bind_import(m, "re", "re");
    bind_import(m, "collections", "collections");
    bind_import(m, "tempfile", "tempfile");
    bind_import(m, "shutil", "shutil");
    bind(m, "DTYPE", reinterpret_cast<PyObject*>(&PyLong_Type));
    bind_function(m, &make_ngrams_def);
  });
}

}  // namespace
}  // namespace lumora

LUMORA_MODULE(lm_sequences,
              "N-gram lists: every sequence of one to five words with its frequency and range.",
              lumora::state, lumora::exec_module)
