// pickled::Dict (lumora/common/pickled.hpp) on any bytes. Declining is always allowed; when the
// parser accepts, its entries must be what pickle.load makes of the same bytes. "What pickle.load
// makes" is a plain interpreter below (model::unpickle) of the opcodes the parser knows, with the
// unpickler's stack, marks and memo: a MARK fences the stack off (nothing below it may be popped,
// memoized or set into until the mark is taken), MEMOIZE puts at the number of memo entries, and
// anything Python refuses is an error. Opcodes and objects the interpreter does not model are
// "outside", and the parser must never accept a stream that runs into one.
//
// Also checked on every accepted input: every str lies inside the input and is UTF-8 with encoded
// surrogates allowed; strs and lists read the same after the parse as during it; the file reader
// agrees with the in-memory parser; a visitor that declines makes the parse decline; and the
// entries, written again in a canonical protocol-4 form, parse back to the same dict.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lumora/common/pickled.hpp"
#include "reference.hpp"

namespace pickled = lumora::pickled;

namespace model {

struct Val;
using ListPtr = std::shared_ptr<std::vector<Val>>;
struct DictObj;
using DictPtr = std::shared_ptr<DictObj>;

// A Python object of the kinds the interpreter makes. Lists and dicts are shared, as objects
// fetched from the memo are.
struct Val {
  enum Kind { kInt, kStr, kList, kDict } kind = kInt;
  int64_t i = 0;
  std::string s;  // kStr: its UTF-8 bytes (encoded surrogates included)
  ListPtr list;
  DictPtr dict;
};

struct DictObj {
  std::vector<std::pair<Val, Val>> items;  // insertion order; a key set again keeps its place
};

inline bool same_key(const Val& a, const Val& b) {
  if (a.kind != b.kind) return false;
  return a.kind == Val::kInt ? a.i == b.i : a.s == b.s;
}

inline bool equal(const Val& a, const Val& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Val::kInt:
      return a.i == b.i;
    case Val::kStr:
      return a.s == b.s;
    case Val::kList:
      if (a.list->size() != b.list->size()) return false;
      for (size_t k = 0; k < a.list->size(); ++k)
        if (!equal((*a.list)[k], (*b.list)[k])) return false;
      return true;
    case Val::kDict:
      if (a.dict->items.size() != b.dict->items.size()) return false;
      for (size_t k = 0; k < a.dict->items.size(); ++k)
        if (!same_key(a.dict->items[k].first, b.dict->items[k].first) ||
            !equal(a.dict->items[k].second, b.dict->items[k].second))
          return false;
      return true;
  }
  return false;
}

// d[key] = value.
inline void set_item(DictObj& d, const Val& key, const Val& value) {
  for (auto& kv : d.items)
    if (same_key(kv.first, key)) {
      kv.second = value;
      return;
    }
  d.items.emplace_back(key, value);
}

// Unicode's table of well-formed UTF-8, except that encoded surrogates (ED A0..BF xx) pass, as
// the "surrogatepass" error handler lets them.
inline bool utf8_surrogatepass(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t b = p[i];
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b <= 0x7F) {
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b == 0xE0) {
      len = 3, lo = 0xA0;
    } else if (b >= 0xE1 && b <= 0xEF) {
      len = 3;  // ED: all of 80..BF, surrogates included
    } else if (b == 0xF0) {
      len = 4, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
      len = 4;
    } else if (b == 0xF4) {
      len = 4, hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const uint8_t c = p[i + k];
      if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return false;
    }
    i += len;
  }
  return true;
}

enum class Outcome { kOk, kError, kOutside };

struct Result {
  Outcome outcome = Outcome::kError;
  Val value;  // kOk: the object STOP returns
};

inline uint64_t le(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t k = n; k-- > 0;) v = (v << 8) | p[k];
  return v;
}

// What pickle.load makes of the bytes (kOk and the object), or whether it raises (kError), for
// streams of the modelled opcodes; kOutside where the stream leaves them.
inline Result unpickle(const uint8_t* p, size_t n) {
  const Result error{Outcome::kError, {}};
  const Result outside{Outcome::kOutside, {}};
  std::vector<Val> stack;
  std::vector<size_t> marks;
  std::map<uint64_t, Val> memo;
  size_t at = 0;
  auto fence = [&]() -> size_t { return marks.empty() ? 0 : marks.back(); };
  auto take = [&](size_t k, const uint8_t** q) {
    if (n - at < k) return false;
    *q = p + at;
    at += k;
    return true;
  };
  // pickle's do_append / do_setitems on the items above stack position x: Outcome::kOk when done.
  auto do_append = [&](long long x) {
    const long long len = static_cast<long long>(stack.size());
    if (x > len || x <= static_cast<long long>(fence())) return Outcome::kError;
    if (x == len) return Outcome::kOk;
    Val& target = stack[static_cast<size_t>(x - 1)];
    if (target.kind != Val::kList) return Outcome::kError;  // no extend or append
    for (long long k = x; k < len; ++k)
      if (stack[static_cast<size_t>(k)].kind != Val::kInt) return Outcome::kOutside;
    for (long long k = x; k < len; ++k) target.list->push_back(stack[static_cast<size_t>(k)]);
    stack.resize(static_cast<size_t>(x));
    return Outcome::kOk;
  };
  auto do_setitems = [&](long long x) {
    const long long len = static_cast<long long>(stack.size());
    if (x > len || x <= static_cast<long long>(fence())) return Outcome::kError;
    if (x == len) return Outcome::kOk;
    if ((len - x) % 2 != 0) return Outcome::kError;  // odd number of items
    Val& target = stack[static_cast<size_t>(x - 1)];
    if (target.kind == Val::kList) return Outcome::kOutside;  // list item assignment
    if (target.kind != Val::kDict) return Outcome::kError;
    for (long long k = x; k < len; k += 2) {
      const Val& key = stack[static_cast<size_t>(k)];
      const Val& value = stack[static_cast<size_t>(k + 1)];
      if (key.kind == Val::kList || key.kind == Val::kDict) return Outcome::kError;  // unhashable
      if (value.kind == Val::kDict) return Outcome::kOutside;  // possibly a cycle
      set_item(*target.dict, key, value);
    }
    stack.resize(static_cast<size_t>(x));
    return Outcome::kOk;
  };
  auto push_str = [&](uint64_t len) {
    const uint8_t* q;
    if (len > n - at || !take(static_cast<size_t>(len), &q)) return false;
    if (!utf8_surrogatepass(q, static_cast<size_t>(len))) return false;  // UnicodeDecodeError
    Val v;
    v.kind = Val::kStr;
    v.s.assign(reinterpret_cast<const char*>(q), static_cast<size_t>(len));
    stack.push_back(std::move(v));
    return true;
  };
  auto push_int = [&](int64_t i) {
    Val v;
    v.kind = Val::kInt;
    v.i = i;
    stack.push_back(std::move(v));
  };
  auto put = [&](uint64_t index) {
    if (stack.size() <= fence()) return Outcome::kError;  // stack underflow
    if (index > (uint64_t{1} << 20)) return Outcome::kOutside;  // a memo that size may not fit
    memo[index] = stack.back();
    return Outcome::kOk;
  };

  for (;;) {
    const uint8_t* q;
    if (!take(1, &q)) return error;  // ran out of input before STOP
    Outcome o = Outcome::kOk;
    switch (*q) {
      case 0x80:  // PROTO
        if (!take(1, &q)) return error;
        if (*q > 5) return error;
        break;
      case 0x95: {  // FRAME: its bytes must all be there
        if (!take(8, &q)) return error;
        if (le(q, 8) > n - at) return error;
        break;
      }
      case 0x7d: {  // EMPTY_DICT
        Val v;
        v.kind = Val::kDict;
        v.dict = std::make_shared<DictObj>();
        stack.push_back(std::move(v));
        break;
      }
      case 0x5d: {  // EMPTY_LIST
        Val v;
        v.kind = Val::kList;
        v.list = std::make_shared<std::vector<Val>>();
        stack.push_back(std::move(v));
        break;
      }
      case 0x94:  // MEMOIZE: at the number of entries the memo holds
        o = put(memo.size());
        break;
      case 0x71:  // BINPUT
        if (!take(1, &q)) return error;
        o = put(*q);
        break;
      case 0x72:  // LONG_BINPUT
        if (!take(4, &q)) return error;
        o = put(le(q, 4));
        break;
      case 0x68:    // BINGET
      case 0x6a: {  // LONG_BINGET
        const size_t w = *q == 0x68 ? 1 : 4;
        if (!take(w, &q)) return error;
        auto it = memo.find(le(q, w));
        if (it == memo.end()) return error;
        stack.push_back(it->second);
        break;
      }
      case 0x28:  // MARK
        marks.push_back(stack.size());
        break;
      case 0x4b:  // BININT1
        if (!take(1, &q)) return error;
        push_int(*q);
        break;
      case 0x4d:  // BININT2
        if (!take(2, &q)) return error;
        push_int(static_cast<int64_t>(le(q, 2)));
        break;
      case 0x4a:  // BININT
        if (!take(4, &q)) return error;
        push_int(static_cast<int32_t>(static_cast<uint32_t>(le(q, 4))));
        break;
      case 0x8a: {  // LONG1
        if (!take(1, &q)) return error;
        const size_t len = *q;
        if (!take(len, &q)) return error;
        if (len > 8) return outside;
        uint64_t v = le(q, len);
        if (len > 0 && len < 8 && (q[len - 1] & 0x80)) v -= uint64_t{1} << (8 * len);
        push_int(static_cast<int64_t>(v));
        break;
      }
      case 0x8c:  // SHORT_BINUNICODE
        if (!take(1, &q) || !push_str(*q)) return error;
        break;
      case 0x58:  // BINUNICODE
        if (!take(4, &q) || !push_str(le(q, 4))) return error;
        break;
      case 0x8d:  // BINUNICODE8
        if (!take(8, &q) || !push_str(le(q, 8))) return error;
        break;
      case 0x61:  // APPEND
        o = do_append(static_cast<long long>(stack.size()) - 1);
        break;
      case 0x65:  // APPENDS
        if (marks.empty()) return error;
        {
          const size_t x = marks.back();
          marks.pop_back();
          o = do_append(static_cast<long long>(x));
        }
        break;
      case 0x73:  // SETITEM
        o = do_setitems(static_cast<long long>(stack.size()) - 2);
        break;
      case 0x75:  // SETITEMS
        if (marks.empty()) return error;
        {
          const size_t x = marks.back();
          marks.pop_back();
          o = do_setitems(static_cast<long long>(x));
        }
        break;
      case 0x2e:  // STOP: the object on top
        if (stack.size() <= fence()) return error;
        return Result{Outcome::kOk, stack.back()};
      default:
        return outside;
    }
    if (o == Outcome::kError) return error;
    if (o == Outcome::kOutside) return outside;
  }
}

// A one-line rendering of an object (for comparing with Python in development and in messages).
inline std::string repr(const Val& v) {
  static const char* hex = "0123456789abcdef";
  switch (v.kind) {
    case Val::kInt:
      return "i" + std::to_string(v.i);
    case Val::kStr: {
      std::string out = "s";
      for (unsigned char c : v.s) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
      }
      return out;
    }
    case Val::kList: {
      std::string out = "[";
      for (size_t k = 0; k < v.list->size(); ++k) out += (k ? "," : "") + repr((*v.list)[k]);
      return out + "]";
    }
    case Val::kDict: {
      std::string out = "{";
      for (size_t k = 0; k < v.dict->items.size(); ++k)
        out += (k ? "," : "") + repr(v.dict->items[k].first) + ":" +
               repr(v.dict->items[k].second);
      return out + "}";
    }
  }
  return "?";
}

}  // namespace model

namespace {

// The object the parser describes, copied out of it.
model::Val copy_obj(const pickled::Dict& d, const pickled::Obj& o, const uint8_t* data,
                    size_t size) {
  model::Val v;
  switch (o.kind) {
    case pickled::Obj::kInt:
      v.kind = model::Val::kInt;
      v.i = o.i;
      break;
    case pickled::Obj::kStr: {
      std::string_view b = d.bytes(o);
      const auto* begin = reinterpret_cast<const uint8_t*>(b.data());
      if (o.i < 0 || begin < data || begin > data + size || b.size() > size ||
          static_cast<size_t>(begin - data) > size - b.size())
        ref::fail("a str outside the input");
      if (begin != data + o.i || b.size() != o.len) ref::fail("a str's bytes are not its offset");
      if (!model::utf8_surrogatepass(begin, b.size())) ref::fail("a str that is not UTF-8");
      v.kind = model::Val::kStr;
      v.s.assign(b.data(), b.size());
      break;
    }
    case pickled::Obj::kList: {
      v.kind = model::Val::kList;
      v.list = std::make_shared<std::vector<model::Val>>();
      const int64_t* items = d.list_begin(o);
      const size_t n = d.list_size(o);
      if (n != o.len) ref::fail("list_size differs from the list's length");
      for (size_t k = 0; k < n; ++k) {
        model::Val item;
        item.i = items[k];
        v.list->push_back(item);
      }
      break;
    }
    default:
      ref::fail("visited an object that is neither int, str nor list");
  }
  return v;
}

struct Visited {
  std::vector<pickled::Obj> keys, values;
  std::vector<model::Val> key_copies, value_copies;
};

// Parses with a visitor that records everything; true when the parser accepted.
bool parse_recording(pickled::Dict& d, const uint8_t* data, size_t size, Visited& out) {
  return d.parse(data, size, [&](const pickled::Obj& key, const pickled::Obj& value) {
    if (key.kind != pickled::Obj::kInt && key.kind != pickled::Obj::kStr)
      ref::fail("a key that is neither int nor str");
    out.keys.push_back(key);
    out.values.push_back(value);
    out.key_copies.push_back(copy_obj(d, key, data, size));
    out.value_copies.push_back(copy_obj(d, value, data, size));
    return true;
  });
}

// The dict the visited entries make: later values replace earlier ones in place.
model::Val fold(const std::vector<model::Val>& keys, const std::vector<model::Val>& values) {
  model::Val d;
  d.kind = model::Val::kDict;
  d.dict = std::make_shared<model::DictObj>();
  for (size_t k = 0; k < keys.size(); ++k) model::set_item(*d.dict, keys[k], values[k]);
  return d;
}

// ---- The canonical protocol-4 form of a dict, as pickle.dump writes one in a single frame.

void put_le(std::string& out, uint64_t v, int n) {
  for (int k = 0; k < n; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
}

struct Writer {
  std::string body;
  uint32_t memo = 1;  // the dict is entry 0
  std::map<std::string, uint32_t> strs;

  void memoize() {
    body.push_back('\x94');
    ++memo;
  }
  void integer(int64_t v) {
    if (v >= 0 && v < 256) {
      body.push_back('K');
      put_le(body, static_cast<uint64_t>(v), 1);
    } else if (v >= 0 && v < 65536) {
      body.push_back('M');
      put_le(body, static_cast<uint64_t>(v), 2);
    } else if (v >= INT32_MIN && v <= INT32_MAX) {
      body.push_back('J');
      put_le(body, static_cast<uint64_t>(v), 4);
    } else {
      int len = 1;  // the fewest bytes whose two's complement holds v
      while (len < 8 && !(v >= -(int64_t{1} << (8 * len - 1)) && v < (int64_t{1} << (8 * len - 1))))
        ++len;
      body.push_back('\x8a');
      body.push_back(static_cast<char>(len));
      put_le(body, static_cast<uint64_t>(v), len);
    }
  }
  void str(const std::string& s) {
    auto it = strs.find(s);
    if (it != strs.end()) {  // the same object again
      if (it->second < 256) {
        body.push_back('h');
        put_le(body, it->second, 1);
      } else {
        body.push_back('j');
        put_le(body, it->second, 4);
      }
      return;
    }
    if (s.size() < 256) {
      body.push_back('\x8c');
      put_le(body, s.size(), 1);
    } else {
      body.push_back('X');
      put_le(body, s.size(), 4);
    }
    body += s;
    strs.emplace(s, memo);
    memoize();
  }
  void value(const model::Val& v) {
    if (v.kind == model::Val::kInt) return integer(v.i);
    if (v.kind == model::Val::kStr) return str(v.s);
    body.push_back(']');
    memoize();
    const auto& items = *v.list;
    if (items.size() == 1) {
      integer(items[0].i);
      body.push_back('a');
      return;
    }
    for (size_t k = 0; k < items.size(); k += 1000) {
      body.push_back('(');
      for (size_t j = k; j < std::min(items.size(), k + 1000); ++j) integer(items[j].i);
      body.push_back('e');
    }
  }
  std::string pickle(const model::DictObj& d) {
    body = "}";
    body.push_back('\x94');
    const auto& items = d.items;
    if (items.size() == 1) {
      value(items[0].first);
      value(items[0].second);
      body.push_back('s');
    } else {
      for (size_t k = 0; k < items.size(); k += 1000) {
        body.push_back('(');
        for (size_t j = k; j < std::min(items.size(), k + 1000); ++j) {
          value(items[j].first);
          value(items[j].second);
        }
        body.push_back('u');
      }
    }
    body.push_back('.');
    std::string out = "\x80\x04\x95";
    put_le(out, body.size(), 8);
    return out + body;
  }
};

std::string scratch_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/lumora-pickled-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  scratch_path = std::string(dir) + "/words.pickle";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that a read past the end is caught.
  std::vector<uint8_t> input(data, data + size);
  const uint8_t* p = input.data();
  pickled::Dict d;
  Visited seen;
  const bool accepted = parse_recording(d, p, size, seen);

  // The file reader gives the same answer and the same entries.
  {
    FILE* f = std::fopen(scratch_path.c_str(), "wb");
    if (f == nullptr || std::fwrite(p, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    pickled::Dict from_file;
    std::vector<std::string> file_entries;
    const bool file_accepted = from_file.read(
        scratch_path.c_str(), [&](const pickled::Obj& key, const pickled::Obj& value) {
          (void)key;
          (void)value;
          file_entries.emplace_back();
          return true;
        });
    if (file_accepted != accepted) ref::fail("read and parse disagree on accepting");
    if (accepted && file_entries.size() != seen.keys.size())
      ref::fail("read and parse visit different numbers of entries");
  }
  if (!accepted) return 0;

  // Strs and lists read the same after the parse.
  for (size_t k = 0; k < seen.keys.size(); ++k) {
    if (!model::equal(copy_obj(d, seen.keys[k], p, size), seen.key_copies[k]) ||
        !model::equal(copy_obj(d, seen.values[k], p, size), seen.value_copies[k]))
      ref::fail("an entry reads differently after the parse");
  }

  // pickle.load gives the same dict.
  const model::Result want = model::unpickle(p, size);
  if (want.outcome == model::Outcome::kError) ref::fail("accepted a stream pickle.load refuses");
  if (want.outcome == model::Outcome::kOutside)
    ref::fail("accepted a stream with opcodes or objects outside plain dicts");
  if (want.value.kind != model::Val::kDict) ref::fail("accepted a stream that makes no dict");
  const model::Val got = fold(seen.key_copies, seen.value_copies);
  if (!model::equal(got, want.value)) {
    std::fprintf(stderr, "parser: %s\npickle: %s\n", model::repr(got).c_str(),
                 model::repr(want.value).c_str());
    ref::fail("entries differ from pickle.load's dict");
  }

  // A visitor that declines at one entry makes the whole parse decline, after that entry.
  if (!seen.keys.empty()) {
    const size_t stop_at = size % seen.keys.size();
    size_t calls = 0;
    pickled::Dict again;
    const bool ok = again.parse(p, size, [&](const pickled::Obj&, const pickled::Obj&) {
      return calls++ != stop_at;
    });
    if (ok || calls != stop_at + 1) ref::fail("a declining visitor did not stop the parse");
  }

  // The canonical form parses back to the same dict.
  const std::string canonical = Writer().pickle(*got.dict);
  const auto* c = reinterpret_cast<const uint8_t*>(canonical.data());
  const model::Result canonical_want = model::unpickle(c, canonical.size());
  if (canonical_want.outcome != model::Outcome::kOk || !model::equal(canonical_want.value, got))
    ref::fail("the canonical writer (harness) is wrong");
  pickled::Dict back;
  Visited seen_back;
  if (!parse_recording(back, c, canonical.size(), seen_back))
    ref::fail("declined the canonical form of an accepted dict");
  if (!model::equal(fold(seen_back.key_copies, seen_back.value_copies), got))
    ref::fail("the canonical form parses to a different dict");
  return 0;
}
