// The token-file reader of the index builder: plain C++ with no Python types, so that tests and
// fuzzers can reach it. Reads one whole file (valid UTF-8) into rows of four integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lumora/common/hashmap.hpp"
#include "lumora/common/text.hpp"

namespace lumora::build {

inline uint64_t hash_bytes(const unsigned char* p, size_t n) noexcept {
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

// A dictionary's keys as UTF-8 bytes, mapped to the entry holding their id.
class StrTable {
 public:
  struct Entry {
    int64_t id;        // the id when it is a plain integer
    bool needs_python;  // the id must be converted by int() when used (or fails then)
  };

  void reserve(size_t n) {
    size_t cap = 16;
    while (cap < n * 2) cap <<= 1;
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    entries_.reserve(n);
  }

  // Adds a key; the bytes must outlive the table.
  void add(const unsigned char* p, size_t n, Entry e) {
    uint64_t h = hash_bytes(p, n);
    size_t i = h & mask_;
    while (slots_[i].p != nullptr) {
      if (slots_[i].hash == h && slots_[i].len == n && std::memcmp(slots_[i].p, p, n) == 0) {
        entries_[slots_[i].entry] = e;  // a key that compares equal: the later value wins
        return;
      }
      i = (i + 1) & mask_;
    }
    slots_[i] = Slot{h, p, n, static_cast<uint32_t>(entries_.size())};
    entries_.push_back(e);
  }

  // The entry number of a key, or -1.
  int64_t find(const unsigned char* p, size_t n) const noexcept {
    uint64_t h = hash_bytes(p, n);
    size_t i = h & mask_;
    while (slots_[i].p != nullptr) {
      if (slots_[i].hash == h && slots_[i].len == n && std::memcmp(slots_[i].p, p, n) == 0)
        return slots_[i].entry;
      i = (i + 1) & mask_;
    }
    return -1;
  }

  const Entry& entry(int64_t k) const noexcept { return entries_[static_cast<size_t>(k)]; }

 private:
  struct Slot {
    uint64_t hash = 0;
    const unsigned char* p = nullptr;
    size_t len = 0;
    uint32_t entry = 0;
  };
  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  size_t mask_ = 0;
};

// A cell of the token array that only Python's int() can fill (or fail on).
struct Pending {
  size_t cell;  // row * 4 + column
  int64_t entry;  // columns 0 and 1: the table entry; columns 2 and 3: unused
  const unsigned char* p;  // columns 2 and 3: the field's text
  size_t n;
};

// The first failure that stops reading a file at once.
struct Stop {
  enum Kind { kNone, kWordDictNone, kTagDictNone, kWordMissing, kTagMissing, kIndex } kind = kNone;
  const unsigned char* p = nullptr;  // the missing key
  size_t n = 0;
};

// Fast path for decimal text: optional sign and 1 to 18 ASCII digits.
inline bool parse_plain_int(const unsigned char* p, size_t n, int64_t* out) noexcept {
  bool neg = false;
  if (n > 0 && (*p == '-' || *p == '+')) {
    neg = *p == '-';
    ++p;
    --n;
  }
  if (n == 0 || n > 18) return false;
  int64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned d = p[i] - '0';
    if (d > 9) return false;
    v = v * 10 + d;
  }
  *out = neg ? -v : v;
  return true;
}

// Reads one token file (valid UTF-8, whole) into rows of four integers.
inline Stop read_tokens(const unsigned char* data, size_t size, const StrTable* words,
                 const StrTable* tags, std::vector<int64_t>& cells, std::vector<Pending>& pending) {
  const unsigned char* end = data + size;
  const unsigned char* line = data;
  while (line < end) {
    // Universal line ends: \n, \r\n and \r.
    const unsigned char* eol = line;
    while (eol < end && *eol != '\n' && *eol != '\r') ++eol;
    const unsigned char* next = eol;
    if (next < end) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;
    // A line keeps its end when it is read; strip removes it with the other white space.
    const unsigned char* b = line;
    const unsigned char* e = eol;
    line = next;
    text::strip(&b, &e);
    if (b == e) continue;

    const unsigned char* field[4] = {};
    size_t flen[4] = {};
    int nf = 0;
    const unsigned char* s = b;
    while (nf < 4) {
      const unsigned char* t = static_cast<const unsigned char*>(std::memchr(s, '\t', e - s));
      const unsigned char* fe = t ? t : e;
      field[nf] = s;
      flen[nf] = static_cast<size_t>(fe - s);
      ++nf;
      if (t == nullptr) break;
      s = t + 1;
    }
    size_t row = cells.size() / 4;
    if (words == nullptr) return Stop{Stop::kWordDictNone};
    int64_t w = words->find(field[0], flen[0]);
    if (w < 0) return Stop{Stop::kWordMissing, field[0], flen[0]};
    if (nf < 2) return Stop{Stop::kIndex};
    if (tags == nullptr) return Stop{Stop::kTagDictNone};
    int64_t t = tags->find(field[1], flen[1]);
    if (t < 0) return Stop{Stop::kTagMissing, field[1], flen[1]};
    if (nf < 4) return Stop{Stop::kIndex};

    const StrTable::Entry& we = words->entry(w);
    const StrTable::Entry& te = tags->entry(t);
    cells.push_back(we.id);
    cells.push_back(te.id);
    if (we.needs_python) pending.push_back(Pending{row * 4, w, nullptr, 0});
    if (te.needs_python) pending.push_back(Pending{row * 4 + 1, t, nullptr, 0});
    for (int k = 2; k < 4; ++k) {
      int64_t v = 0;
      if (!parse_plain_int(field[k], flen[k], &v))
        pending.push_back(Pending{row * 4 + k, -1, field[k], flen[k]});
      cells.push_back(v);
    }
  }
  return Stop{};
}

}  // namespace lumora::build
