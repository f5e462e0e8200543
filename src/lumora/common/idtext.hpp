// Per-distinct-item helpers for turning counted ids into result rows with Python's semantics:
// looking ids up in an id-to-word dictionary, numbering objects by equality as dictionary keys,
// and result tuples that the cyclic garbage collector need not track.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "lumora/common/hashmap.hpp"
#include "lumora/common/messages.hpp"

namespace lumora {

// dict[id] for integer ids, as Python's dict lookup answers it. When every key of the dictionary
// is an exact int (an id-to-word dictionary as the index builder writes it) and the dictionary is
// not much larger than the number of lookups expected, it is read once into a native table and
// an id's number is the position of its entry in the dictionary (which, as a rule, is also the
// order in which the values lie in memory); otherwise each distinct id is looked up through the
// C API when first asked for and numbered in that order. Numbers are below bound(); values are
// held by strong references.
class IdDict {
 public:
  // `dict` is an exact dict or None (what load_dict returns); None fails at the first lookup.
  IdDict(PyObject* dict, size_t expected_lookups) : dict_(dict) {
    if (dict == Py_None) return;
    Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (static_cast<size_t>(size) > 4 * expected_lookups + 1024) return;
    size_t cap = 16;
    while (cap < static_cast<size_t>(size) * 2) cap <<= 1;
    slots_.assign(cap, Slot{0, 0});
    mask_ = cap - 1;
    values_.reserve(static_cast<size_t>(size));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
      if (!PyLong_CheckExact(k)) {  // a key of another type may equal an int: ask Python
        for (PyObject* held : values_) Py_DECREF(held);
        values_.clear();
        slots_.clear();
        return;
      }
      int overflow = 0;
      long long id = PyLong_AsLongLongAndOverflow(k, &overflow);
      if (overflow != 0) continue;  // equals no 64-bit id
      size_t i = home(id);
      while (slots_[i].number != 0) i = (i + 1) & mask_;  // keys are distinct
      Py_INCREF(v);
      values_.push_back(v);
      slots_[i] = Slot{id, static_cast<uint32_t>(values_.size())};
    }
    native_ = true;
  }
  IdDict(const IdDict&) = delete;
  IdDict& operator=(const IdDict&) = delete;
  ~IdDict() {
    for (PyObject* v : values_) Py_XDECREF(v);
  }

  bool native() const noexcept { return native_; }
  // Every number given so far is below this; a native table gives no others.
  size_t bound() const noexcept { return values_.size(); }

  // The number of id; KeyError(id) when it is missing, TypeError for a None dictionary.
  uint32_t index(int64_t id) {
    if (native_) {
      int64_t n = find(id);
      if (n < 0) throw missing(id);
      return static_cast<uint32_t>(n);
    }
    int64_t known = asked_.find(static_cast<uint64_t>(id));
    if (known >= 0) return static_cast<uint32_t>(known);
    if (dict_ == Py_None) throw err::not_subscriptable(dict_);
    Ref key = ok(PyLong_FromLongLong(id));
    PyObject* v = PyDict_GetItemWithError(dict_, key.get());
    if (v == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      throw err::key_error(key.get());
    }
    values_.push_back(nullptr);
    Py_INCREF(v);
    values_.back() = v;
    return asked_.insert(static_cast<uint64_t>(id));
  }

  // The number of id in a native table, or -1 (also for every id when the table is not native).
  int64_t find(int64_t id) const noexcept {
    if (!native_) return -1;
    for (size_t i = home(id);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.number == 0) return -1;
      if (s.key == id) return static_cast<int64_t>(s.number) - 1;
    }
  }

  // The numbers of many ids, as find() gives them, with the look-ups' cache misses overlapped:
  // slots are prefetched well ahead, and each value object a little ahead.
  std::vector<int64_t> find_all(const std::vector<int64_t>& ids) const {
    std::vector<int64_t> out(ids.size(), -1);
    if (!native_) return out;
    constexpr size_t kSlotAhead = 16, kValueAhead = 8;
    for (size_t k = 0; k < ids.size(); ++k) {
      if (k + kSlotAhead < ids.size()) __builtin_prefetch(&slots_[home(ids[k + kSlotAhead])]);
      out[k] = find(ids[k]);
      if (k >= kValueAhead && out[k - kValueAhead] >= 0)
        __builtin_prefetch(values_[static_cast<size_t>(out[k - kValueAhead])]);
    }
    return out;
  }

  // The number of ids[k] given found = find_all(ids): found[k], or else what index() says
  // (a Python look-up, or the failure).
  uint32_t index_of(const std::vector<int64_t>& ids, const std::vector<int64_t>& found, size_t k) {
    return found[k] >= 0 ? static_cast<uint32_t>(found[k]) : index(ids[k]);
  }

  // The value of a number (borrowed from this table).
  PyObject* value(uint32_t n) const noexcept { return values_[n]; }

 private:
  struct Slot {
    int64_t key;
    uint32_t number;  // number + 1; 0 for an empty slot
  };
  size_t home(int64_t id) const noexcept {
    return static_cast<size_t>(mix64(static_cast<uint64_t>(id))) & mask_;
  }
  static PyErrorSet missing(int64_t id) {
    PyObject* key = PyLong_FromLongLong(id);
    if (key == nullptr) return PyErrorSet{};
    err::key_error(key);
    Py_DECREF(key);
    return PyErrorSet{};
  }

  PyObject* dict_;
  bool native_ = false;
  std::vector<Slot> slots_;  // native: id -> number
  size_t mask_ = 0;
  KeyIndex asked_;                 // otherwise: the ids looked up so far, numbered in order
  std::vector<PyObject*> values_;  // by number
};

// Dense numbers 0, 1, 2, ... for objects that are equal as dictionary keys, in order of first
// sight; each number keeps the first object that got it. Exact str objects are compared natively
// (equal strs have the same kind and the same code units); the first object of another type
// moves every number into a Python dict, which decides from then on, so results are Python's.
class KeyClasses {
 public:
  explicit KeyClasses(size_t expected = 32) {
    size_t cap = 64;
    while (cap < expected * 2) cap <<= 1;
    slots_.assign(cap, Slot{0, 0});
    reps_.reserve(expected);
    hashes_.reserve(expected);
  }
  KeyClasses(const KeyClasses&) = delete;
  KeyClasses& operator=(const KeyClasses&) = delete;
  ~KeyClasses() {
    for (PyObject* r : reps_) Py_XDECREF(r);
  }

  uint32_t of(PyObject* obj) {
    if (!py_ && !PyUnicode_CheckExact(obj)) to_python();
    if (py_) return of_python(obj);
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1) throw PyErrorSet{};
    uint64_t mixed = mix64(static_cast<uint64_t>(h));
    auto tag = static_cast<uint32_t>(mixed >> 32);
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(mixed) & mask;
    for (;;) {
      const Slot& s = slots_[i];
      if (s.number == 0) break;
      if (s.tag == tag && same_str(reps_[s.number - 1], obj)) return s.number - 1;
      i = (i + 1) & mask;
    }
    auto n = static_cast<uint32_t>(reps_.size());
    reps_.push_back(nullptr);
    hashes_.push_back(mixed);
    Py_INCREF(obj);
    reps_.back() = obj;
    slots_[i] = Slot{tag, n + 1};
    if (reps_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
    return n;
  }

  // Starts bringing the slot where of(obj) will look into the cache. Only for an exact str while
  // the table is native: its hash is computed here and kept by the str, which has no other effect.
  void prefetch(PyObject* obj) const {
    if (py_ || !PyUnicode_CheckExact(obj)) return;
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1) {  // cannot happen for a str; leave any error to of()
      PyErr_Clear();
      return;
    }
    __builtin_prefetch(&slots_[static_cast<size_t>(mix64(static_cast<uint64_t>(h))) &
                               (slots_.size() - 1)]);
  }

  size_t size() const noexcept { return reps_.size(); }
  // The first object that got number n (borrowed from this table).
  PyObject* rep(uint32_t n) const noexcept { return reps_[n]; }

 private:
  struct Slot {
    uint32_t tag;     // high half of the mixed hash
    uint32_t number;  // class + 1; 0 for an empty slot
  };

  static bool same_str(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
  }

  void rehash(size_t cap) {
    std::vector<Slot> fresh(cap, Slot{0, 0});
    size_t mask = cap - 1;
    for (const Slot& s : slots_) {
      if (s.number == 0) continue;
      size_t i = static_cast<size_t>(hashes_[s.number - 1]) & mask;
      while (fresh[i].number != 0) i = (i + 1) & mask;
      fresh[i] = s;
    }
    slots_.swap(fresh);
  }

  void to_python() {
    Ref d = ok(PyDict_New());
    for (size_t n = 0; n < reps_.size(); ++n) {
      Ref number = ok(PyLong_FromSize_t(n));
      check(PyDict_SetItem(d.get(), reps_[n], number.get()));
    }
    py_ = std::move(d);
    slots_.clear();
    hashes_.clear();
  }

  uint32_t of_python(PyObject* obj) {
    PyObject* found = PyDict_GetItemWithError(py_.get(), obj);
    if (found != nullptr) return static_cast<uint32_t>(PyLong_AsSize_t(found));
    if (PyErr_Occurred()) throw PyErrorSet{};
    auto n = static_cast<uint32_t>(reps_.size());
    Ref number = ok(PyLong_FromSize_t(n));
    check(PyDict_SetItem(py_.get(), obj, number.get()));
    reps_.push_back(nullptr);
    Py_INCREF(obj);
    reps_.back() = obj;
    return n;
  }

  std::vector<Slot> slots_;
  std::vector<uint64_t> hashes_;  // by number: the mixed hash, for growing the table
  std::vector<PyObject*> reps_;   // strong references
  Ref py_;
};

// s.lower() for many objects. For an exact str this calls the C function behind str.lower
// directly: it is the very function the method call reaches, since the str type cannot be
// altered, without the cost of a method look-up and call per word (and an ASCII word without
// capitals is its own lower-cased form). Any other object is asked through its own lower
// attribute.
class Lowerer {
 public:
  Lowerer() {
    Ref descr = ok(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    if (Py_TYPE(descr.get()) == &PyMethodDescr_Type) {
      PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr.get())->d_method;
      if (def->ml_flags == METH_NOARGS) fn_ = def->ml_meth;
    }
  }
  Ref operator()(PyObject* s) const {
    if (fn_ != nullptr && PyUnicode_CheckExact(s)) {
#if PY_VERSION_HEX < 0x030C0000
      if (PyUnicode_READY(s) < 0) throw PyErrorSet{};
#endif
      // For ASCII text str.lower changes A-Z and nothing else: text without them stays as it is
      // (an equal str; the tests compare with str.lower on generated words).
      if (PyUnicode_IS_ASCII(s)) {
        const Py_UCS1* p = PyUnicode_1BYTE_DATA(s);
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        Py_ssize_t i = 0;
        while (i < n && !(p[i] >= 'A' && p[i] <= 'Z')) ++i;
        if (i == n) return Ref::borrow(s);
      }
      return ok(fn_(s, nullptr));
    }
    return ok(PyObject_CallMethod(s, "lower", nullptr));
  }

 private:
  PyCFunction fn_ = nullptr;
};

// A new tuple of the given items (borrowed). A tuple of atomic items (str, int, float) can never
// be part of a reference cycle; it is untracked at once, as the collector would untrack it at its
// first pass, so that building a long result list does not make every collection scan it.
template <class... Items>
Ref result_tuple(Items... items) {
  PyObject* t = PyTuple_Pack(sizeof...(Items), items...);
  if (t == nullptr) throw PyErrorSet{};
  bool atomic = (... && !PyObject_IS_GC(items));
  if (atomic) PyObject_GC_UnTrack(t);
  return Ref::steal(t);
}

}  // namespace lumora
