// Plain pickled dictionaries read without the pickle module: the opcode stream that pickle.dump
// writes with protocols 2 to 5 for one dict whose keys are ints or strs and whose values are ints,
// strs or lists of ints. Reading a dictionary this way builds no Python object per entry; callers
// make objects only for the entries they use. Any other stream, and any file that cannot be read,
// is declined: the caller then unpickles the file with Python, which gives the object or the error
// Python gives. No Python types here, so tests and fuzzing reach the parser directly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "lumora/common/text.hpp"

namespace lumora::pickled {

// One unpickled object: an int, a str (its UTF-8 bytes in the stream), a list of ints or the dict.
struct Obj {
  enum Kind : uint8_t { kInt, kStr, kList, kDict, kNone };
  int64_t i = 0;     // kInt: the value; kStr, kList: offset of its bytes or first item
  uint32_t len = 0;  // kStr: length of its bytes; kList: number of items
  Kind kind = kNone;
};

class Dict {
 public:
  // Reads and parses the file at a file-system path, calling visit(key, value) for each entry in
  // the order the stream sets them (a key set twice comes twice; a dict keeps the later value at
  // the place of the first). visit returns false to decline. False when Python should read the
  // file instead. Strs and lists stay readable through this object until the next read.
  template <class Visit>
  bool read(const char* path, Visit&& visit) {
    clear();
#if defined(_WIN32)
    (void)path;
    (void)visit;
    return false;
#else
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    // Offsets and lengths of strs are kept in 32 bits: a larger file is Python's.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > UINT32_MAX)
      return false;
    // Read, not mapped: a file cut short by another process while it is parsed must not
    // fault.
    buffer_.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < buffer_.size()) {
      ssize_t k = ::read(fd, &buffer_[got], buffer_.size() - got);
      if (k <= 0) return false;
      got += static_cast<size_t>(k);
    }
    data_ = std::string_view(buffer_.data(), buffer_.size());
    return parse(visit);
#endif
  }

  // The same over bytes already in memory (tests and fuzzing).
  template <class Visit>
  bool parse(const unsigned char* p, size_t n, Visit&& visit) {
    clear();
    if (n > UINT32_MAX) return false;
    data_ = std::string_view(reinterpret_cast<const char*>(p), n);
    return parse(visit);
  }

  // Visits the entries of the bytes read last once more; objects visited before stay valid.
  template <class Visit>
  bool visit_again(Visit&& visit) {
    if (data_.empty()) return false;
    list_items_.clear();
    return parse(visit);
  }

  std::string_view bytes(const Obj& s) const noexcept {
    return std::string_view(data_.data() + s.i, s.len);
  }
  const int64_t* list_begin(const Obj& l) const noexcept { return list_items_.data() + l.i; }
  size_t list_size(const Obj& l) const noexcept { return l.len; }

  Dict() = default;
  Dict(const Dict&) = delete;
  Dict& operator=(const Dict&) = delete;

 private:
  void clear() {
    data_ = std::string_view();
    list_items_.clear();
  }

  template <class Visit>
  bool parse(Visit& visit);

  std::string buffer_;     // the file's bytes, when read from a file
  std::string_view data_;  // the bytes parsed
  std::vector<int64_t> list_items_;
};

// Whether keys repeat, key after key. Ids (small non-negative ints) go into a bitmap.
class KeySet {
 public:
  // False when the key was there already.
  bool insert(const Dict& d, const Obj& key) {
    if (key.kind == Obj::kInt && key.i >= 0 && key.i < kBitmapLimit) {
      const auto i = static_cast<size_t>(key.i);
      if (bits_.size() <= i / 64) bits_.resize(std::max(i / 64 + 1, bits_.size() * 2), 0);
      const uint64_t bit = uint64_t{1} << (i % 64);
      if (bits_[i / 64] & bit) return false;
      bits_[i / 64] |= bit;
      return true;
    }
    if (key.kind == Obj::kInt) return ints_.insert(key.i).second;
    return strs_.insert(d.bytes(key)).second;
  }

 private:
  static constexpr int64_t kBitmapLimit = int64_t{1} << 26;
  std::vector<uint64_t> bits_;
  std::unordered_set<int64_t> ints_;
  std::unordered_set<std::string_view> strs_;
};

namespace detail {

inline uint64_t read_le(const unsigned char* p, int n) noexcept {
  uint64_t v = 0;
  for (int k = n - 1; k >= 0; --k) v = (v << 8) | p[k];
  return v;
}

// A growable array of objects whose push stays inline in the opcode loop.
class Objs {
 public:
  explicit Objs(size_t reserve = 64) : v_(std::max<size_t>(reserve, 64)) {}
  // Empty again, with room for `reserve` objects at least; what it held stays allocated.
  void reset(size_t reserve) {
    size_ = 0;
    if (v_.size() < reserve) v_.resize(reserve);
  }
  void push(const Obj& o) {
    if (size_ == v_.size()) v_.resize(v_.size() * 2);
    v_[size_++] = o;
  }
  void resize(size_t n) {
    if (n > v_.size()) v_.resize(std::max(n, v_.size() * 2));
    for (size_t k = size_; k < n; ++k) v_[k] = Obj();
    size_ = n;
  }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  Obj& operator[](size_t k) noexcept { return v_[k]; }
  Obj& back() noexcept { return v_[size_ - 1]; }

 private:
  std::vector<Obj> v_;
  size_t size_ = 0;
};

// Whether [p, p+n) is UTF-8 as the "surrogatepass" handler takes it, with short ASCII inline.
inline bool valid_str_bytes(const unsigned char* p, size_t n) noexcept {
  if (n <= 16) {
    unsigned char any = 0;
    for (size_t k = 0; k < n; ++k) any |= p[k];
    if (any < 0x80) return true;
  }
  return text::valid_utf8_prefix<true>(p, n) == n;
}

}  // namespace detail

template <class Visit>
inline bool Dict::parse(Visit& visit) {
  using detail::read_le;
  const auto* p = reinterpret_cast<const unsigned char*>(data_.data());
  const size_t n = data_.size();
  size_t at = 0;
  // Protocol 2 or higher, and no higher than the runtime's highest (5).
  if (n < 2 || p[0] != 0x80 || p[1] < 2 || p[1] > 5) return false;
  at = 2;
  // The stack and the memo are kept from parse to parse on this thread (unless a visitor
  // parses again meanwhile): a dictionary's memo runs to megabytes, and fresh memory costs a
  // page fault every 4 KiB. Every memo entry takes an opcode: a byte at least, usually a
  // dozen or more.
  thread_local detail::Objs kept_stack, kept_memo;
  thread_local bool kept_in_use = false;
  detail::Objs own_stack, own_memo;
  const bool keep = !kept_in_use;
  struct InUse {
    bool& flag;
    bool set;
    ~InUse() {
      if (set) flag = false;
    }
  } in_use{kept_in_use, keep};
  kept_in_use = true;
  detail::Objs& stack = keep ? kept_stack : own_stack;
  detail::Objs& memo = keep ? kept_memo : own_memo;  // kNone where nothing was put
  stack.reset(256);
  memo.reset(n / 12);
  std::vector<size_t> marks;
  size_t filled = 0;
  auto fence = [&]() -> size_t { return marks.empty() ? 0 : marks.back(); };
  bool have_dict = false;
  size_t frame_end = 0;  // 0: outside a frame
  auto need = [&](size_t k) { return k <= n - at; };
  auto put_memo = [&](size_t index) {
    // Picklers number memo entries in order: a far jump ahead is left to Python.
    if (stack.size() <= fence() || index > memo.size() + 1024) return false;
    if (index == memo.size()) {
      memo.push(stack.back());
      ++filled;
      return true;
    }
    if (index > memo.size()) memo.resize(index + 1);
    if (memo[index].kind == Obj::kNone) ++filled;
    memo[index] = stack.back();
    return true;
  };
  auto push_str = [&](size_t len) {
    if (!need(len)) return false;
    if (!detail::valid_str_bytes(p + at, len)) return false;
    Obj s;
    s.kind = Obj::kStr;
    s.i = static_cast<int64_t>(at);
    s.len = static_cast<uint32_t>(len);
    stack.push(s);
    at += len;
    return true;
  };
  auto push_int = [&](int64_t v) {
    Obj o;
    o.kind = Obj::kInt;
    o.i = v;
    stack.push(o);
  };
  // Appends ints to the list just below them; only the newest list may grow, so each list's
  // items stay together.
  auto append = [&](size_t list_at) {
    if (list_at <= fence()) return false;
    Obj& l = stack[list_at - 1];
    if (l.kind != Obj::kList || static_cast<size_t>(l.i) + l.len != list_items_.size())
      return false;
    for (size_t k = list_at; k < stack.size(); ++k) {
      if (stack[k].kind != Obj::kInt) return false;
      list_items_.push_back(stack[k].i);
    }
    if (list_items_.size() - static_cast<size_t>(l.i) > UINT32_MAX) return false;
    l.len = static_cast<uint32_t>(list_items_.size() - static_cast<size_t>(l.i));
    stack.resize(list_at);
    return true;
  };
  auto set_items = [&](size_t from) {
    if (from <= fence() || stack[from - 1].kind != Obj::kDict || (stack.size() - from) % 2 != 0)
      return false;
    for (size_t k = from; k < stack.size(); k += 2) {
      const Obj& key = stack[k];
      const Obj& value = stack[k + 1];
      if (key.kind != Obj::kInt && key.kind != Obj::kStr) return false;  // unhashable or odd
      if (value.kind == Obj::kDict || !visit(key, value)) return false;
    }
    stack.resize(from);
    return true;
  };

  while (at < n) {
    if (frame_end != 0 && at == frame_end) frame_end = 0;
    const unsigned char op = p[at++];
    switch (op) {
      case 0x95: {  // FRAME: its length must be there; frames do not nest
        if (frame_end != 0 || !need(8)) return false;
        const uint64_t len = read_le(p + at, 8);
        at += 8;
        if (len > n - at) return false;
        frame_end = len == 0 ? 0 : at + static_cast<size_t>(len);
        continue;
      }
      case 0x7d: {  // EMPTY_DICT: only as the object the stream builds
        if (have_dict || !stack.empty() || !marks.empty()) return false;
        have_dict = true;
        Obj d;
        d.kind = Obj::kDict;
        stack.push(d);
        break;
      }
      case 0x5d: {  // EMPTY_LIST
        Obj l;
        l.kind = Obj::kList;
        l.i = static_cast<int64_t>(list_items_.size());
        stack.push(l);
        break;
      }
      case 0x94:  // MEMOIZE
        if (filled != memo.size() || !put_memo(memo.size())) return false;
        break;
      case 0x71:  // BINPUT
        if (!need(1) || !put_memo(p[at])) return false;
        at += 1;
        break;
      case 0x72:  // LONG_BINPUT
        if (!need(4) || !put_memo(read_le(p + at, 4))) return false;
        at += 4;
        break;
      case 0x68:    // BINGET
      case 0x6a: {  // LONG_BINGET: shared ints and strs only
        const int w = op == 0x68 ? 1 : 4;
        if (!need(static_cast<size_t>(w))) return false;
        const uint64_t index = read_le(p + at, w);
        at += static_cast<size_t>(w);
        if (index >= memo.size()) return false;
        const Obj& o = memo[index];
        if (o.kind != Obj::kInt && o.kind != Obj::kStr) return false;
        stack.push(o);
        break;
      }
      case 0x28:  // MARK
        marks.push_back(stack.size());
        break;
      case 0x4b:  // BININT1
        if (!need(1)) return false;
        push_int(p[at]);
        at += 1;
        break;
      case 0x4d:  // BININT2
        if (!need(2)) return false;
        push_int(static_cast<int64_t>(read_le(p + at, 2)));
        at += 2;
        break;
      case 0x4a:  // BININT
        if (!need(4)) return false;
        push_int(static_cast<int32_t>(static_cast<uint32_t>(read_le(p + at, 4))));
        at += 4;
        break;
      case 0x8a: {  // LONG1: little-endian two's complement, up to 8 bytes here
        if (!need(1)) return false;
        const int len = p[at];
        at += 1;
        if (len > 8 || !need(static_cast<size_t>(len))) return false;
        uint64_t v = len == 0 ? 0 : read_le(p + at, len);
        if (len > 0 && len < 8 && (p[at + len - 1] & 0x80)) v |= ~uint64_t{0} << (8 * len);
        push_int(static_cast<int64_t>(v));
        at += static_cast<size_t>(len);
        break;
      }
      case 0x8c:  // SHORT_BINUNICODE
        if (!need(1)) return false;
        at += 1;
        if (!push_str(p[at - 1])) return false;
        break;
      case 0x58: {  // BINUNICODE
        if (!need(4)) return false;
        const uint64_t len = read_le(p + at, 4);
        at += 4;
        if (!push_str(static_cast<size_t>(len))) return false;
        break;
      }
      case 0x8d: {  // BINUNICODE8
        if (!need(8)) return false;
        const uint64_t len = read_le(p + at, 8);
        at += 8;
        if (len > n || !push_str(static_cast<size_t>(len))) return false;
        break;
      }
      case 0x61:  // APPEND
        if (stack.size() < 2 || !append(stack.size() - 1)) return false;
        break;
      case 0x65: {  // APPENDS
        if (marks.empty()) return false;
        const size_t from = marks.back();
        marks.pop_back();
        if (!append(from)) return false;
        break;
      }
      case 0x73:  // SETITEM
        if (stack.size() < 3 || !set_items(stack.size() - 2)) return false;
        break;
      case 0x75: {  // SETITEMS
        if (marks.empty()) return false;
        const size_t from = marks.back();
        marks.pop_back();
        if (!set_items(from)) return false;
        break;
      }
      case 0x2e:  // STOP: the dict alone; what follows is never read
        return have_dict && stack.size() == 1 && marks.empty();
      default:
        return false;
    }
    if (frame_end != 0 && at > frame_end) return false;  // an opcode across a frame's end
  }
  return false;  // no STOP
}

}  // namespace lumora::pickled
