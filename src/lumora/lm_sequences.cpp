// lm_sequences: the n-grams (one to five words) of an indexed corpus with their frequency, range
// and range percent. Each text leaves a presence file (a pickled dict n-gram -> 1) in a temporary
// folder of its own; the ranges are computed by reading those files back one by one.
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

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumora {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel: no Python objects below this line until the glue.

// An allocator for the large hash tables: blocks of 4 MiB and more are aligned to 2 MiB and, on
// Linux, marked for transparent huge pages, so random probes miss the TLB less often.
template <class T>
struct BigAllocator {
  using value_type = T;
  static constexpr size_t kBig = size_t{4} << 20;
  static constexpr size_t kHuge = size_t{2} << 20;

  BigAllocator() noexcept = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
#if defined(__linux__)
    if (bytes >= kBig) {
      const size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
      void* p = nullptr;
      if (posix_memalign(&p, kHuge, rounded) != 0) throw std::bad_alloc();
      madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without it the table works the same
      return static_cast<T*>(p);
    }
#endif
    return static_cast<T*>(::operator new(bytes));
  }

  void deallocate(T* p, size_t n) noexcept {
#if defined(__linux__)
    if (n * sizeof(T) >= kBig) {
      std::free(p);
      return;
    }
#endif
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const BigAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const BigAllocator<U>&) const noexcept { return false; }
};

template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;

using WordNumbers = DenseIds;

// How far ahead the loops over known keys prefetch hash-table slots.
constexpr size_t kAhead = 24;

// Distinct n-grams of dense word numbers, numbered 0, 1, 2, ... in order of first insertion, each
// with its corpus count (saturating at 2**32 - 1) and the number of the last text that counted
// it. Open addressing with linear probing; a slot holds the words, the entry number + 1 (0:
// empty), the text and the count, so counting a window touches one slot. Callers that know their
// keys ahead prefetch the slots.
template <int N>
class NgramTable {
 public:
  struct Slot {
    uint32_t w[N];
    uint32_t id;
    uint32_t text;  // the last text that counted this n-gram (texts are numbered from 1)
    uint32_t count;
  };

  explicit NgramTable(size_t expected = 0) {
    size_t cap = 1024;
    while (cap < expected * 2) cap <<= 1;
    rehash(cap);
  }

  static uint64_t hash(const uint32_t* w) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (int k = 0; k < N; k += 2) {
      uint64_t v = w[k];
      if (k + 1 < N) v |= static_cast<uint64_t>(w[k + 1]) << 32;
      h = mix64(h ^ v);
    }
    return h;
  }

  void prefetch(uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }

  // The slot of w (whose hash is h), added with a zero count when new. Valid until the next call.
  Slot& upsert(const uint32_t* w, uint64_t h) {
    size_t i = probe(w, h);
    if (slots_[i].id != 0) return slots_[i];
    if (size() >= 0xFFFFFFF0u) throw std::length_error("too many distinct n-grams");
    if ((size() + 1) * 2 > slots_.size()) {
      rehash(slots_.size() * 2);
      i = probe(w, h);
    }
    Slot& s = slots_[i];
    std::memcpy(s.w, w, sizeof s.w);
    s.id = static_cast<uint32_t>(size() + 1);
    for (int k = 0; k < N; ++k) keys_.push_back(w[k]);
    return s;
  }

  // The entry number of w (whose hash is h), or -1.
  int64_t find(const uint32_t* w, uint64_t h) const noexcept {
    const Slot& s = slots_[probe(w, h)];
    return static_cast<int64_t>(s.id) - 1;
  }

  size_t size() const noexcept { return keys_.size() / N; }
  const uint32_t* words(size_t e) const noexcept { return &keys_[e * N]; }

  // The counts of all entries, in entry order.
  void counts(std::vector<uint32_t>& out) const {
    out.assign(size(), 0);
    for (const Slot& s : slots_)
      if (s.id != 0) out[s.id - 1] = s.count;
  }

 private:
  static bool same(const uint32_t* a, const uint32_t* b) noexcept {
    for (int k = 0; k < N; ++k)
      if (a[k] != b[k]) return false;
    return true;
  }

  // The slot holding w, or the empty slot where it would go.
  size_t probe(const uint32_t* w, uint64_t h) const noexcept {
    size_t i = h & mask_;
    while (slots_[i].id != 0 && !same(slots_[i].w, w)) i = (i + 1) & mask_;
    return i;
  }

  void rehash(size_t cap) {
    BigVector<Slot> old(cap, Slot{});
    old.swap(slots_);
    mask_ = cap - 1;
    for (size_t j = 0; j < old.size(); ++j) {
      if (j + kAhead < old.size() && old[j + kAhead].id != 0) prefetch(hash(old[j + kAhead].w));
      if (old[j].id == 0) continue;
      size_t i = hash(old[j].w) & mask_;
      while (slots_[i].id != 0) i = (i + 1) & mask_;
      slots_[i] = old[j];
    }
  }

  BigVector<uint32_t> keys_;  // the words of each entry, in entry order
  BigVector<Slot> slots_;
  size_t mask_ = 0;
};

// One-word n-grams need no hashing: the dense word numbers index their entries directly.
template <>
class NgramTable<1> {
 public:
  struct Slot {
    uint32_t w[1];
    uint32_t id;
    uint32_t text;
    uint32_t count;
  };

  explicit NgramTable(size_t = 0) {}
  static uint64_t hash(const uint32_t*) noexcept { return 0; }
  void prefetch(uint64_t) const noexcept {}

  Slot& upsert(const uint32_t* w, uint64_t) {
    if (w[0] >= entry_of_.size())
      entry_of_.resize(std::max<size_t>(size_t{w[0]} + 1, entry_of_.size() * 2), 0);
    uint32_t& at = entry_of_[w[0]];
    if (at == 0) {
      slots_.push_back(Slot{{w[0]}, static_cast<uint32_t>(slots_.size() + 1), 0, 0});
      at = static_cast<uint32_t>(slots_.size());
    }
    return slots_[at - 1];
  }

  int64_t find(const uint32_t* w, uint64_t) const noexcept {
    return w[0] < entry_of_.size() ? static_cast<int64_t>(entry_of_[w[0]]) - 1 : -1;
  }

  size_t size() const noexcept { return slots_.size(); }
  const uint32_t* words(size_t e) const noexcept { return slots_[e].w; }

  void counts(std::vector<uint32_t>& out) const {
    out.resize(size());
    for (size_t e = 0; e < size(); ++e) out[e] = slots_[e].count;
  }

 private:
  std::vector<uint32_t> entry_of_;  // dense word number -> entry number + 1, 0: none
  std::vector<Slot> slots_;         // in entry order
};

// The tag pattern: inactive (no restriction) or the tag ids of its entries, in order.
struct TagPattern {
  bool active = false;
  std::vector<int64_t> ids;

  bool any(int64_t tag) const noexcept {
    for (int64_t id : ids)
      if (id == tag) return true;
    return false;
  }
};

// Counts every window of one text; words[i] is the dense number of token i's word. The first
// tokens of the windows whose n-grams the text counts for the first time are appended to
// `firsts`.
template <int N>
void count_text(NgramTable<N>& table, const uint32_t* words, size_t rows, uint32_t text,
                std::vector<uint32_t>& firsts) {
  if (rows < static_cast<size_t>(N)) return;  // a text shorter than the n-gram: no window
  const size_t windows = rows + 1 - N;
  constexpr size_t kRing = 32;  // hashes of the windows from j to j + kAhead
  static_assert(kRing > kAhead && (kRing & (kRing - 1)) == 0, "a power of two above kAhead");
  uint64_t ring[kRing];
  for (size_t j = 0; j < windows && j < kAhead; ++j) ring[j] = NgramTable<N>::hash(words + j);
  for (size_t j = 0; j < windows; ++j) {
    if (j + kAhead < windows) {
      const uint64_t h = NgramTable<N>::hash(words + j + kAhead);
      ring[(j + kAhead) & (kRing - 1)] = h;
      table.prefetch(h);
    }
    auto& slot = table.upsert(words + j, ring[j & (kRing - 1)]);
    if (slot.text != text) {
      slot.text = text;
      firsts.push_back(static_cast<uint32_t>(j));
    }
    if (slot.count != UINT32_MAX) ++slot.count;
  }
}

// The same under a tag pattern, with tag(i) the tag id of token i and word(i) the dense number
// of its word, asked only for the tokens of windows that pass. For one word, the pattern lets a
// token through when its tag is any entry; for more, the k-th entry must be the k-th token's
// tag. Returns false when a window passes every entry of a pattern shorter than N (there is no
// entry to test its next token against).
template <int N, class Tag, class Word>
bool count_matching(NgramTable<N>& table, Tag tag, Word word, size_t rows,
                    const TagPattern& pattern, uint32_t text, std::vector<uint32_t>& firsts) {
  if (rows < static_cast<size_t>(N)) return true;
  const size_t entries = pattern.ids.size();
  for (size_t j = 0; j + N <= rows; ++j) {
    if (N == 1) {
      if (!pattern.any(tag(j))) continue;
    } else {
      int k = 0;
      for (; k < N; ++k) {
        if (static_cast<size_t>(k) >= entries) return false;
        if (tag(j + k) != pattern.ids[k]) break;
      }
      if (k < N) continue;
    }
    uint32_t w[N];
    for (int k = 0; k < N; ++k) w[k] = word(j + k);
    auto& slot = table.upsert(w, NgramTable<N>::hash(w));
    if (slot.text != text) {
      slot.text = text;
      firsts.push_back(static_cast<uint32_t>(j));
    }
    if (slot.count != UINT32_MAX) ++slot.count;
  }
  return true;
}

// A dict {key: 1} pickled byte for byte as CPython's pickler writes it with protocol 4 or 5: keys
// are ints or tuples of ints, tuples are memoized, items go in batches of 1000 (a full last batch
// is followed by an empty one), and a frame is closed when it holds at least 64 KiB at the moment
// the save of an object begins; a last frame under 4 bytes gets no header.
class PresenceWriter {
 public:
  template <class KeyAt>
  void write(std::string& out, int protocol, size_t count, int arity, KeyAt key_at) {
    out_ = &out;
    len_ = 0;
    reserve(64);
    put('\x80');
    put(static_cast<char>(protocol));
    open_frame();
    put('}');
    put('\x94');
    int64_t ids[5];
    auto item = [&](size_t j) {
      reserve(kItemMax);
      key_at(j, ids);
      save_key(ids, arity);
      save_int(1);
    };
    if (count == 1) {
      item(0);
      put('s');
    } else if (count > 1) {
      size_t j = 0;
      for (;;) {
        reserve(1);
        put('(');
        size_t batch = 0;
        for (; j < count && batch < 1000; ++j, ++batch) item(j);
        reserve(1);
        put('u');
        if (batch != 1000) break;
      }
    }
    reserve(1);
    put('.');
    close_frame();
    out.resize(len_);
  }

 private:
  static constexpr size_t kHeader = 9;
  static constexpr size_t kFrameTarget = 64 * 1024;
  // The most one item writes: a frame header before each of its seven saves, a mark, five
  // LONG1 ints of ten bytes, the value, the tuple and memo opcodes.
  static constexpr size_t kItemMax = 7 * kHeader + 1 + 5 * 11 + 2 + 2;

  void reserve(size_t more) {
    if (out_->size() < len_ + more) out_->resize(std::max(out_->size() * 2, len_ + more + 4096));
    p_ = &(*out_)[0];
  }
  void put(char c) { p_[len_++] = c; }

  void open_frame() {
    frame_ = len_;
    len_ += kHeader;
  }

  void close_frame() {
    const size_t len = len_ - frame_ - kHeader;
    if (len >= 4) {
      p_[frame_] = '\x95';
      for (size_t b = 0; b < 8; ++b)
        p_[frame_ + 1 + b] = static_cast<char>((static_cast<uint64_t>(len) >> (8 * b)) & 0xFF);
    } else {
      std::memmove(p_ + frame_, p_ + frame_ + kHeader, len);
      len_ -= kHeader;
    }
  }

  // Where the save of an object begins.
  void boundary() {
    if (len_ - frame_ - kHeader >= kFrameTarget) {
      close_frame();
      open_frame();
    }
  }

  void save_key(const int64_t* ids, int arity) {
    if (arity == 1) {
      save_int(ids[0]);
      return;
    }
    boundary();
    if (arity > 3) put('(');
    for (int k = 0; k < arity; ++k) save_int(ids[k]);
    put(arity > 3 ? 't' : static_cast<char>(0x84 + arity));  // TUPLE or TUPLE1..3
    put('\x94');
  }

  void save_int(int64_t v) {
    boundary();
    if (v >= 0 && v < 0x100) {
      put('K');
      put(static_cast<char>(v));
    } else if (v >= 0 && v < 0x10000) {
      put('M');
      put(static_cast<char>(v & 0xFF));
      put(static_cast<char>(v >> 8));
    } else if (v >= INT32_MIN && v <= INT32_MAX) {
      const auto u = static_cast<uint32_t>(v);
      put('J');
      for (int b = 0; b < 4; ++b) put(static_cast<char>((u >> (8 * b)) & 0xFF));
    } else {
      // LONG1: little-endian two's complement, one byte more than the magnitude's bits need,
      // less a redundant sign byte of a negative number.
      const uint64_t u = static_cast<uint64_t>(v);
      const uint64_t mag = v < 0 ? 0 - u : u;
      int bits = 0;
      while (bits < 64 && (mag >> bits) != 0) ++bits;
      int nbytes = (bits >> 3) + 1;
      unsigned char b[9];
      for (int k = 0; k < nbytes; ++k)
        b[k] = k < 8 ? static_cast<unsigned char>((u >> (8 * k)) & 0xFF) : (v < 0 ? 0xFF : 0);
      if (v < 0 && nbytes > 1 && b[nbytes - 1] == 0xFF && (b[nbytes - 2] & 0x80) != 0) --nbytes;
      put('\x8a');
      put(static_cast<char>(nbytes));
      for (int k = 0; k < nbytes; ++k) put(static_cast<char>(b[k]));
    }
  }

  std::string* out_ = nullptr;
  char* p_ = nullptr;
  size_t len_ = 0;
  size_t frame_ = 0;
};

// Pickle bytes read opcode by opcode, across frames as the unpickler crosses them: an opcode and
// its argument lie inside one frame, and a frame starts only where the last one ended.
class PickleReader {
 public:
  PickleReader(const unsigned char* p, size_t n) noexcept : p_(p), n_(n) {}

  // The next opcode, after any frame headers; false at the end or on a bad frame.
  bool op(unsigned char* code) noexcept {
    for (;;) {
      if (in_frame_ && i_ == frame_end_) in_frame_ = false;
      const unsigned char* c = take(1);
      if (c == nullptr) return false;
      if (*c != 0x95) {
        *code = *c;
        return true;
      }
      const unsigned char* a = take(8);
      if (in_frame_ || a == nullptr) return false;
      uint64_t len = 0;
      for (int b = 0; b < 8; ++b) len |= static_cast<uint64_t>(a[b]) << (8 * b);
      if (len > n_ - i_) return false;
      frame_end_ = i_ + static_cast<size_t>(len);
      in_frame_ = true;
    }
  }

  // The k bytes of an argument, or nullptr.
  const unsigned char* take(size_t k) noexcept {
    const size_t end = in_frame_ ? frame_end_ : n_;
    if (end - i_ < k) return nullptr;
    const unsigned char* q = p_ + i_;
    i_ += k;
    return q;
  }

  // The int an int opcode pushes (BININT1, BININT2, BININT, LONG1 of at most 8 bytes).
  bool int_arg(unsigned char code, int64_t* v) noexcept {
    const unsigned char* a = nullptr;
    switch (code) {
      case 'K':
        if ((a = take(1)) == nullptr) return false;
        *v = a[0];
        return true;
      case 'M':
        if ((a = take(2)) == nullptr) return false;
        *v = a[0] | (a[1] << 8);
        return true;
      case 'J': {
        if ((a = take(4)) == nullptr) return false;
        uint32_t u = 0;
        for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(a[b]) << (8 * b);
        *v = static_cast<int32_t>(u);
        return true;
      }
      case 0x8a: {
        const unsigned char* len = take(1);
        if (len == nullptr || *len > 8 || (a = take(*len)) == nullptr) return false;
        uint64_t u = 0;
        for (int b = 0; b < *len; ++b) u |= static_cast<uint64_t>(a[b]) << (8 * b);
        if (*len > 0 && *len < 8 && (a[*len - 1] & 0x80) != 0) u |= ~uint64_t{0} << (8 * *len);
        *v = static_cast<int64_t>(u);
        return true;
      }
      default:
        return false;
    }
  }

 private:
  const unsigned char* p_;
  size_t n_;
  size_t i_ = 0;
  size_t frame_end_ = 0;
  bool in_frame_ = false;
};

inline bool is_int_op(unsigned char c) noexcept {
  return c == 'K' || c == 'M' || c == 'J' || c == 0x8a;
}

// The keys of a presence file laid out exactly as PresenceWriter (and CPython's pickler) writes
// it, read without a stack. False as soon as the layout differs; read_int_keys decides then.
bool read_written_keys(const unsigned char* p, size_t n, int arity, std::vector<int64_t>& keys) {
  PickleReader r(p, n);
  unsigned char c = 0;
  const unsigned char* a = nullptr;
  if (!r.op(&c) || c != 0x80 || (a = r.take(1)) == nullptr || *a < 4 || *a > 5) return false;
  if (!r.op(&c) || c != '}' || !r.op(&c) || c != 0x94 || !r.op(&c)) return false;
  int64_t v = 0;
  auto item = [&](unsigned char first) {  // first: the item's first opcode, already read
    if (arity > 3 && first != '(') return false;
    for (int k = 0; k < arity; ++k) {
      if (arity > 3 || k > 0) {
        if (!r.op(&first)) return false;
      }
      if (!is_int_op(first) || !r.int_arg(first, &v)) return false;
      keys.push_back(v);
    }
    if (arity > 1) {
      if (!r.op(&c) || c != (arity > 3 ? 't' : 0x84 + arity) || !r.op(&c) || c != 0x94)
        return false;
    }
    return r.op(&c) && is_int_op(c) && r.int_arg(c, &v);  // the value
  };
  if (c == '.') return true;  // an empty dict
  if (c != '(') {             // one item
    return item(c) && r.op(&c) && c == 's' && r.op(&c) && c == '.';
  }
  for (;;) {  // batches of items, each after a mark
    if (!r.op(&c)) return false;
    while (c != 'u') {
      if (!item(c) || !r.op(&c)) return false;
    }
    if (!r.op(&c)) return false;
    if (c == '.') return true;
    if (c != '(') return false;
  }
}

// Reads the keys of a pickled dict whose keys are ints (arity 1) or tuples of `arity` ints and
// whose values are ints: what PresenceWriter writes, and the same dict in protocols 2 to 5 with or
// without frames and memo puts. The keys are appended to `keys` in the order they are set.
// Returns false for anything else; the caller then leaves the file to Python's unpickler.
bool read_int_keys(const unsigned char* p, size_t n, int arity, std::vector<int64_t>& keys) {
  if (read_written_keys(p, n, arity, keys)) return true;
  keys.clear();
  enum Kind : uint8_t { kMark, kInt, kTuple, kDict };
  struct Item {
    uint32_t at;  // ints and tuples: the first value in `values`
    Kind kind;
    uint8_t len;
  };
  // The stack grows by hand: a batch of items holds up to 2000 objects.
  std::vector<Item> stack(64);
  std::vector<int64_t> values(64);
  size_t top = 0, count = 0;
  auto push = [&](Item it) {
    if (top == stack.size()) stack.resize(top * 2);
    stack[top++] = it;
  };
  auto push_int = [&](int64_t v) {
    if (count == values.size()) values.resize(count * 2);
    if (count >= UINT32_MAX) return false;
    values[count] = v;
    push(Item{static_cast<uint32_t>(count++), kInt, 1});
    return true;
  };
  auto set_item = [&](const Item& key, const Item& value) {
    if (value.kind != kInt) return false;
    if (arity == 1 ? key.kind != kInt : key.kind != kTuple || key.len != arity) return false;
    for (int k = 0; k < arity; ++k) keys.push_back(values[key.at + k]);
    return true;
  };
  auto last_mark = [&]() -> int64_t {
    for (size_t k = top; k-- > 0;)
      if (stack[k].kind == kMark) return static_cast<int64_t>(k);
    return -1;
  };
  PickleReader r(p, n);
  for (;;) {
    unsigned char op = 0;
    if (!r.op(&op)) return false;
    const unsigned char* a = nullptr;
    int64_t v = 0;
    switch (op) {
      case 0x80:  // PROTO
        if ((a = r.take(1)) == nullptr || *a < 2 || *a > 5) return false;
        break;
      case '}':  // EMPTY_DICT
        push(Item{0, kDict, 0});
        break;
      case 0x94:  // MEMOIZE
        if (top == 0) return false;
        break;
      case 'q':  // BINPUT
      case 'r':  // LONG_BINPUT
        if (top == 0 || r.take(op == 'q' ? 1 : 4) == nullptr) return false;
        break;
      case '(':  // MARK
        push(Item{0, kMark, 0});
        break;
      case 'K':  // BININT1
      case 'M':  // BININT2
      case 'J':  // BININT
      case 0x8a:  // LONG1
        if (!r.int_arg(op, &v) || !push_int(v)) return false;
        break;
      case 0x85:  // TUPLE1
      case 0x86:  // TUPLE2
      case 0x87:  // TUPLE3
      case 't': {  // TUPLE
        size_t from;
        if (op == 't') {
          const int64_t m = last_mark();
          if (m < 0) return false;
          from = static_cast<size_t>(m) + 1;
        } else {
          const size_t k = op - 0x84u;
          if (top < k) return false;
          from = top - k;
        }
        const size_t len = top - from;
        if (len == 0 || len > 5) return false;
        for (size_t k = from; k < top; ++k)
          if (stack[k].kind != kInt || stack[k].at != stack[from].at + (k - from)) return false;
        const Item t{stack[from].at, kTuple, static_cast<uint8_t>(len)};
        top = op == 't' ? from - 1 : from;
        push(t);
        break;
      }
      case 's':  // SETITEM
        if (top < 3 || stack[top - 3].kind != kDict) return false;
        if (!set_item(stack[top - 2], stack[top - 1])) return false;
        top -= 2;
        break;
      case 'u': {  // SETITEMS
        const int64_t m = last_mark();
        if (m < 1 || stack[static_cast<size_t>(m) - 1].kind != kDict) return false;
        const auto from = static_cast<size_t>(m) + 1;
        if ((top - from) % 2 != 0) return false;
        for (size_t k = from; k < top; k += 2)
          if (!set_item(stack[k], stack[k + 1])) return false;
        top = static_cast<size_t>(m);
        break;
      }
      case '.':  // STOP
        return top == 1 && stack[0].kind == kDict;
      default:
        return false;
    }
  }
}

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

// A word as the n-gram filters see it: made of non-word characters only (a "punctuation" word),
// empty, or anything else.
enum Shape : uint8_t { kWordy, kPunct, kEmpty };

Shape shape_of(const Chars& s) noexcept {
  if (s.n == 0) return kEmpty;
  return only_non_word(s) ? kPunct : kWordy;
}

// has_non_word_token of words joined with single spaces, from the words' shapes, when no word
// holds a space itself (so the separators are the only spaces): the first or the last word is a
// punctuation word, or an inner one is; an empty first (last) word is followed (preceded) by a
// word of non-word characters only; or two inner neighbours are both without word characters.
bool drops_ngram(const Shape* w, int n) noexcept {
  auto bare = [&](int k) { return w[k] != kWordy; };  // no word character at all
  if (w[0] == kPunct || w[n - 1] == kPunct) return true;
  if (n >= 3 && ((w[0] == kEmpty && bare(1)) || (w[n - 1] == kEmpty && bare(n - 2)))) return true;
  for (int k = 1; k < n - 1; ++k) {
    if (w[k] == kPunct) return true;
    if (k + 1 < n - 1 && bare(k) && bare(k + 1)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Glue.

ModuleState state{"lm_sequences"};

Name n_tempfile{"tempfile"}, n_mkdtemp{"mkdtemp"}, n_shutil{"shutil"}, n_rmtree{"rmtree"},
    n_re{"re"}, n_strip{"strip"}, n_split{"split"}, n_array{"array"}, n_read{"read"},
    n_write{"write"}, n_slash{"/"}, n_space{" "}, n_default_protocol{"DEFAULT_PROTOCOL"},
    n_one_word{"^\\W+$"}, n_words{"^\\W+ | \\W+$| \\W+ "};

// Reads a whole file in binary mode.
Ref read_bytes(PyObject* module, PyObject* path) {
  Ref open = global(module, names::open);
  Ref f = call(open.get(), path, names::rb.get());
  Ref data = Ref::steal(PyObject_CallMethodObjArgs(f.get(), n_read.get(), nullptr));
  close_file(f.get());
  if (!data) throw PyErrorSet{};
  if (!PyBytes_Check(data.get())) throw err::expected("bytes", data.get());
  return data;
}

// Writes bytes to a new file; the file is closed also when writing fails.
void write_bytes(PyObject* module, PyObject* path, const std::string& bytes) {
  Ref open = global(module, names::open);
  Ref f = call(open.get(), path, names::wb.get());
  Ref data = Ref::steal(
      PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  Ref written;
  if (data)
    written = Ref::steal(PyObject_CallMethodObjArgs(f.get(), n_write.get(), data.get(), nullptr));
  close_file(f.get());
  if (!written) throw PyErrorSet{};
}

// pickle.dump(obj, open(path, "wb")), closing the file also when dumping fails.
void dump_with_python(PyObject* module, PyObject* path, PyObject* obj) {
  Ref open = global(module, names::open);
  Ref f = call(open.get(), path, names::wb.get());
  try {
    Ref pickle = global(module, names::pickle);
    Ref done = call_method(pickle.get(), names::dump, obj, f.get());
  } catch (const PyErrorSet&) {
    close_file(f.get());
    throw;
  }
  close_file(f.get());
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
    Py_ssize_t len = n - 1;
    int kind = 1;
    bool ascii = true;
    for (int k = 0; k < n; ++k) {
      const Text& t = texts[words[k]];
      len += t.len;
      if (t.kind > kind) kind = t.kind;
      ascii = ascii && t.ascii;
    }
    const Py_UCS4 maxchar = kind == 4 ? 0x10FFFF : kind == 2 ? 0xFFFF : ascii ? 0x7F : 0xFF;
    Ref s = ok(PyUnicode_New(len, maxchar));
    void* data = PyUnicode_DATA(s.get());
    Py_ssize_t at = 0;
    for (int k = 0; k < n; ++k) {
      if (k > 0) PyUnicode_WRITE(kind, data, at++, ' ');
      const Text& t = texts[words[k]];
      write_chars(kind, data, at, t.kind, chars.data() + t.at, t.len);
      at += t.len;
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

// The pickle protocol presence files are written with: the runtime's default. 0 when it cannot be
// read or is not one PresenceWriter writes; pickle.dump writes them then.
int presence_protocol(PyObject* module) {
  Ref pickle = global(module, names::pickle);
  Ref proto = Ref::steal(PyObject_GetAttr(pickle.get(), n_default_protocol.get()));
  if (!proto) {
    PyErr_Clear();
    return 0;
  }
  const long v = PyLong_Check(proto.get()) ? PyLong_AsLong(proto.get()) : -1;
  if (v == -1 && PyErr_Occurred()) PyErr_Clear();
  return v == 4 || v == 5 ? static_cast<int>(v) : 0;
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

// One n-gram list: counting, presence files, and the rows.
template <int N>
class NgramList {
 public:
  NgramList(PyObject* module, bool lowercase) : module_(module), lowercase_(lowercase) {}

  // The distinct word ids counted, and the dense number of one (-1: not counted).
  size_t word_count() const noexcept { return words_.size(); }
  int64_t word_number(int64_t id) const noexcept { return words_.find(id); }

  // Counts every token array of the folder in listing order and writes each one's presence file.
  void count(PyObject* npy_path, const TagPattern& pattern, PyObject* tmpdir) {
    Ref files = listdir(module_, npy_path);
    const int protocol = presence_protocol(module_);
    words_.use_array(!pattern.active);  // under a pattern, only the words of matches count
    Ref folder = concat(tmpdir, n_slash.get());
    std::vector<uint32_t> dense, firsts;
    std::string bytes;
    PresenceWriter writer;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
      Ref name = Ref::borrow(entry_name(files.get(), i));
      TokenArray arr;
      arr.load(module_, concat(npy_path, name.get()).get(), pattern.active ? 2 : 1);
      const auto rows = static_cast<size_t>(arr.rows());
      if (rows > UINT32_MAX) throw std::length_error("token array too long");
      auto id = [&arr](size_t r) { return arr.at(static_cast<Py_ssize_t>(r), 0); };
      firsts.clear();
      const size_t before = table_.size();
      if (pattern.active) {
        // Only the words of windows that pass are numbered.
        auto tag = [&arr](size_t r) { return arr.at(static_cast<Py_ssize_t>(r), 1); };
        auto word = [&](size_t r) { return words_.insert(id(r)); };
        if (!count_matching<N>(table_, tag, word, rows, pattern, static_cast<uint32_t>(i + 1),
                               firsts))
          throw err::list_index();
      } else {
        dense.resize(rows);
        for (size_t r = 0; r < rows; ++r) dense[r] = words_.insert(id(r));
        count_text<N>(table_, dense.data(), rows, static_cast<uint32_t>(i + 1), firsts);
      }
      remember_new_entries(name.get(), before, table_.size());

      // The presence file: the word ids of each n-gram the text counted, in order.
      Ref target = concat(folder.get(), name.get());
      auto key_at = [&](size_t j, int64_t* key) {
        for (int k = 0; k < N; ++k) key[k] = id(firsts[j] + k);
      };
      if (protocol != 0) {
        writer.write(bytes, protocol, firsts.size(), N, key_at);
        write_bytes(module_, target.get(), bytes);
      } else {
        Ref presence = ok(PyDict_New());
        int64_t key_ids[N];
        for (size_t j = 0; j < firsts.size(); ++j) {
          key_at(j, key_ids);
          Ref key = key_object(key_ids);
          check(PyDict_SetItem(presence.get(), key.get(), one()));
        }
        dump_with_python(module_, target.get(), presence.get());
      }
    }
  }

  // The rows: ids to strings, lower-casing, the filter, frequencies and ranges. The id-to-word
  // dictionary is either dict_words or, when that is nullptr, `native`, read natively, with
  // `values` the value of each counted word there (kind kNone: no entry).
  Ref rows(PyObject* dict_words, pickled::Dict* native, const std::vector<pickled::Obj>* values,
           int32_t total_files, PyObject* tmpdir) {
    dict_words_ = dict_words;
    native_ = native;
    native_values_ = values;
    resolve_words();
    assign_groups();
    read_ranges(tmpdir);
    sum_frequencies();
    return build_rows(total_files);
  }

 private:
  enum Status : uint8_t { kUnresolved, kGood, kBad };
  static constexpr uint32_t kNoGroup = 0xFFFFFFFFu;

  PyObject* one() {
    if (!one_) one_ = ok(PyLong_FromLong(1));
    return one_.get();
  }

  // The n-grams a text counted first are the entries numbered from `from` to `to`, in the order
  // its presence file lists them among the others: a hint that spares most look-ups when the
  // file is read back (each key is still compared word for word).
  void remember_new_entries(PyObject* name, size_t from, size_t to) {
    if (!new_entries_) new_entries_ = ok(PyDict_New());
    Ref span = ok(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(from),
                                static_cast<Py_ssize_t>(to)));
    check(PyDict_SetItem(new_entries_.get(), name, span.get()));
  }

  // The hint for a presence file: [from, to) or an empty span.
  void new_entries_of(PyObject* name, size_t* from, size_t* to) {
    *from = *to = 0;
    if (!new_entries_) return;
    PyObject* span = PyDict_GetItemWithError(new_entries_.get(), name);
    if (span == nullptr) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      return;
    }
    *from = PyLong_AsSize_t(PyTuple_GET_ITEM(span, 0));
    *to = PyLong_AsSize_t(PyTuple_GET_ITEM(span, 1));
  }

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

  // The string of each counted word once: looked up, lower-cased when asked, and numbered by
  // distinct string (so case variants and words of equal strings share a number). A word whose look-up or string would fail
  // is marked; the n-grams holding it raise Python's own error when they are first met.
  void resolve_words() {
    status_.assign(words_.size(), kUnresolved);
    canon_.assign(words_.size(), 0);
    shape_.assign(words_.size(), kWordy);
    as_written_.assign(words_.size(), 0);
    for (size_t e = 0; e < table_.size(); ++e)
      for (int k = 0; k < N; ++k) {
        const uint32_t d = table_.words(e)[k];
        if (status_[d] == kUnresolved) resolve(d);
      }
  }

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
    std::vector<size_t> others;
    std::vector<uint64_t> hashes;
    uint32_t form[N];
    for (size_t e = 0; e < table_.size(); ++e) {
      if (good(e) && !canonical(e, form)) {
        others.push_back(e);
        hashes.push_back(NgramTable<N>::hash(form));
      }
    }
    std::vector<int64_t> found(others.size());
    for (size_t q = 0; q < others.size(); ++q) {
      if (q + kAhead < others.size()) table_.prefetch(hashes[q + kAhead]);
      canonical(others[q], form);
      found[q] = table_.find(form, hashes[q]);
    }
    // Canonical forms that no counted n-gram equals go to a side table, numbered in order too.
    NgramTable<N> side(others.size());
    std::vector<int64_t> side_at(others.size(), -1);
    for (size_t q = 0; q < others.size(); ++q) {
      if (q + kAhead < others.size() && found[q + kAhead] < 0) side.prefetch(hashes[q + kAhead]);
      if (found[q] >= 0) continue;
      canonical(others[q], form);
      side_at[q] = side.upsert(form, hashes[q]).id - 1;
    }
    std::vector<uint32_t> side_group(side.size(), kNoGroup);
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

  // The group of a presence key, computed step by step as Python computes its string (so a
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

  // Marks the groups of keys read natively from one presence file (N ids each). A key equal to
  // the next entry the file's text counted first needs no look-up; the others are looked up,
  // with their slots prefetched.
  void key_groups(const std::vector<int64_t>& keys, uint32_t text, size_t next, size_t to) {
    const size_t count = keys.size() / N;
    entries_of_keys_.resize(count);
    dense_keys_.resize(keys.size());
    lookups_.clear();
    hashes_.clear();
    for (size_t j = 0; j < count; ++j) {
      bool known = true;
      uint32_t* w = &dense_keys_[j * N];
      for (int k = 0; k < N; ++k) {
        const int64_t d = words_.find(keys[j * N + k]);
        known = known && d >= 0;
        w[k] = static_cast<uint32_t>(d);
      }
      if (!known) {
        entries_of_keys_[j] = -1;
      } else if (next < to && std::equal(w, w + N, table_.words(next))) {
        entries_of_keys_[j] = static_cast<int64_t>(next++);
      } else {
        lookups_.push_back(j);
        hashes_.push_back(NgramTable<N>::hash(w));
      }
    }
    for (size_t q = 0; q < lookups_.size(); ++q) {
      if (q + kAhead < lookups_.size()) table_.prefetch(hashes_[q + kAhead]);
      const size_t j = lookups_[q];
      entries_of_keys_[j] = table_.find(&dense_keys_[j * N], hashes_[q]);
    }
    for (size_t j = 0; j < count; ++j) {
      const int64_t e = entries_of_keys_[j];
      int64_t g = -1;
      if (e >= 0 && identity_)
        g = e;
      else if (e >= 0 && group_of_[static_cast<size_t>(e)] != kNoGroup)
        g = group_of_[static_cast<size_t>(e)];
      else  // a word never counted or without a string: Python decides (or raises)
        g = python_key_group(key_object(&keys[j * N]).get());
      seen(g, text);
    }
  }

  void seen(int64_t g, uint32_t text) {
    if (g < 0) return;
    Range& r = ranges_[static_cast<size_t>(g)];
    if (r.seen_in != text) {
      r.seen_in = text;
      ++r.files;
    }
  }

  // Ranges: the presence files read back one at a time, in listing order.
  void read_ranges(PyObject* tmpdir) {
    Ref files = listdir(module_, tmpdir);
    Ref folder = concat(tmpdir, n_slash.get());
    std::vector<int64_t> keys;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
      Ref name = Ref::borrow(entry_name(files.get(), i));
      Ref path = concat(folder.get(), name.get());
      const auto text = static_cast<uint32_t>(i + 1);
      Ref data = read_bytes(module_, path.get());
      keys.clear();
      if (read_int_keys(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get())),
                        static_cast<size_t>(PyBytes_GET_SIZE(data.get())), N, keys)) {
        data.reset();
        size_t from = 0, to = 0;
        new_entries_of(name.get(), &from, &to);
        key_groups(keys, text, from, to);
        continue;
      }
      // Not a dict of plain int keys: Python's unpickler reads it, and Python builds its strings.
      data.reset();
      Ref presence = unpickle(module_, path.get());
      if (!PyDict_CheckExact(presence.get())) throw err::expected("dict", presence.get());
      Ref listed = ok(PyDict_Keys(presence.get()));
      for (Py_ssize_t j = 0; j < PyList_GET_SIZE(listed.get()); ++j)
        seen(python_key_group(PyList_GET_ITEM(listed.get(), j)), text);
    }
  }

  // Frequencies: the corpus counts summed per string in the counts' order.
  void sum_frequencies() {
    std::vector<uint32_t> counts;
    table_.counts(counts);
    for (size_t e = 0; e < table_.size(); ++e) {
      int64_t g = group_of_[e];
      if (group_of_[e] == kNoGroup) g = python_key_group(entry_key(e).get());
      if (g < 0) continue;
      freq_[static_cast<size_t>(g)] = add_int32(freq_[static_cast<size_t>(g)], counts[e]);
    }
  }

  Ref build_rows(int32_t total_files) {
    Ref result = ok(PyList_New(0));
    std::vector<Ref> percents;  // one float per range value
    long row = 0;
    for (size_t g = 0; g < groups_; ++g) {
      if (!has_string(g) || dropped(g)) continue;
      Ref s = group_string(g);
      const auto range = static_cast<size_t>(ranges_[g].files);
      if (range == 0) throw err::key_error(s.get());  // a string no presence file holds
      if (percents.size() <= range) percents.resize(range + 1);
      Ref& percent = percents[range];
      if (!percent) percent = single_float(percent_single(static_cast<double>(range), total_files));
      Ref number = ok(PyLong_FromLong(++row));
      Ref frequency = ok(PyLong_FromLong(freq_[g]));
      Ref files = ok(PyLong_FromSize_t(range));
      Ref tuple = ok(PyTuple_New(5));
      PyTuple_SET_ITEM(tuple.get(), 0, number.release());
      PyTuple_SET_ITEM(tuple.get(), 1, s.release());
      PyTuple_SET_ITEM(tuple.get(), 2, frequency.release());
      PyTuple_SET_ITEM(tuple.get(), 3, files.release());
      Py_INCREF(percent.get());
      PyTuple_SET_ITEM(tuple.get(), 4, percent.get());
      // A tuple of ints, a str and a float can hold no cycle: the collector would untrack it
      // at its first pass anyway.
      PyObject_GC_UnTrack(tuple.get());
      check(PyList_Append(result.get(), tuple.get()));
    }
    return result;
  }

  PyObject* module_;
  const bool lowercase_;
  WordNumbers words_;
  NgramTable<N> table_;
  Ref one_;

  PyObject* dict_words_ = nullptr;
  pickled::Dict* native_ = nullptr;
  const std::vector<pickled::Obj>* native_values_ = nullptr;
  Ref whole_dict_;
  std::vector<uint8_t> status_;     // per dense word
  std::vector<uint32_t> canon_;     // per dense word: the number of its (lower-cased) string
  std::vector<Shape> shape_;        // per dense word: the shape of its string
  std::vector<uint8_t> as_written_; // per dense word: its string is the word as written
  std::vector<Ref> canon_objs_;     // per string number: the string
  WordTexts texts_;                 // per string number: its characters and shape
  bool words_with_space_ = false;

  std::vector<uint32_t> group_of_;  // per counted n-gram
  bool identity_ = false;           // every counted n-gram is a group of its own
  size_t groups_ = 0;
  std::vector<uint32_t> rep_;       // per group: its first n-gram
  std::vector<Ref> strings_;        // per group, when strings decide the groups
  Ref strings_dict_;
  Ref pattern_;
  struct Range {
    uint32_t seen_in;  // the last presence file that held the group
    uint32_t files;    // the number of presence files that held it
  };
  BigVector<Range> ranges_;         // per group
  std::vector<int32_t> freq_;
  std::vector<uint32_t> dense_keys_;
  std::vector<uint64_t> hashes_;
  std::vector<int64_t> entries_of_keys_;
  std::vector<size_t> lookups_;
  Ref new_entries_;  // token array name -> (first, last + 1) of the entries it counted first
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
  PyObject* tmpdir;
};

template <int N>
Ref ngram_list(const Request& r) {
  NgramList<N> list(r.module, r.lowercase);
  list.count(r.npy_path, r.pattern, r.tmpdir);
  // Read natively, the dictionary gives only the words that were counted (a dict keeps the last
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
  return list.rows(dict_words.get(), is_native ? &native : nullptr, &values, r.total_files,
                   r.tmpdir);
}

// Steps 2 to 6 of make_ngrams, inside the life of the temporary folder.
Ref ngrams_in(PyObject* module, PyObject* workspace, PyObject* corpus_name, PyObject* pos,
              int32_t size, bool lowercase, PyObject* tmpdir) {
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
  const Request r{module, workspace, corpus_name, pattern, lowercase, total_files, npy_path.get(),
                  tmpdir};
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
  Ref left = listdir(module, tmpdir);
  return ok(PyList_New(0));
}

// Removes the temporary folder after a failure; the exception that ended the call stays as it
// is, and a failure to remove the folder is not allowed to replace it.
void remove_after_failure(PyObject* module, PyObject* tmpdir) noexcept {
  PendingError keep;
  try {
    Ref shutil = global(module, n_shutil);
    Ref done = call_method(shutil.get(), n_rmtree, tmpdir);
  } catch (...) {
  }
  PyErr_Clear();
}

Signature make_ngrams_sig{
    "make_ngrams", 5, {"workspace", "corpus_name", "pos", "size", "lowercase"}, 0b00011};

PyObject* make_ngrams(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    parse_args(make_ngrams_sig, args, nargs, kwnames, a);
    const int32_t size = to_int32(a[3]);
    const int lowercase = PyObject_IsTrue(a[4]);
    check(lowercase);

    Ref tempfile = global(self, n_tempfile);
    Ref tmpdir = call_method(tempfile.get(), n_mkdtemp);
    if (!PyUnicode_CheckExact(tmpdir.get())) throw err::expected("str", tmpdir.get());
    Ref rows;
    try {
      rows = ngrams_in(self, a[0], a[1], a[2], size, lowercase != 0, tmpdir.get());
    } catch (const PyErrorSet&) {
      remove_after_failure(self, tmpdir.get());
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      remove_after_failure(self, tmpdir.get());
      throw PyErrorSet{};
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_SystemError, e.what());
      remove_after_failure(self, tmpdir.get());
      throw PyErrorSet{};
    }
    Ref shutil = global(self, n_shutil);
    Ref done = call_method(shutil.get(), n_rmtree, tmpdir.get());
    return rows.release();
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
