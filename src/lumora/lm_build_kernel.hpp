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

inline uint64_t load64(const unsigned char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline uint64_t load32(const unsigned char* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// A hash of a short byte string that reads it with whole-word loads (overlapping at the ends),
// never byte by byte, so no store-to-load stall sits on the look-up's critical path.
inline uint64_t hash_bytes(const unsigned char* p, size_t n) noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0xff51afd7ed558ccdULL);
  if (n <= 16) {
    uint64_t a = 0, b = 0;
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (uint64_t{p[0]} << 16) | (uint64_t{p[n >> 1]} << 8) | p[n - 1];
    }
    return mix64(h ^ a ^ mix64(b ^ 0xc2b2ae3d27d4eb4fULL));
  }
  size_t i = 0;
  for (; i + 8 < n; i += 8) h = mix64(h ^ load64(p + i));
  return mix64(h ^ load64(p + n - 8));
}

// A dictionary's keys as UTF-8 bytes with their ids. A slot holds the id and, for keys of up to
// 16 bytes, the key itself, so a look-up of a short word touches one cache line.
class StrTable {
 public:
  void reserve(size_t n) {
    size_t cap = 16;
    while (cap * 3 < n * 4) cap <<= 1;
    slots_.assign(cap, Slot{});
    entry_of_.assign(cap, 0);
    mask_ = cap - 1;
  }

  // Adds key number `entry` with its id; `needs_python` marks an id that only Python's int() can
  // convert (or reject) when it is used. The bytes of a key over 16 bytes must outlive the table.
  void add(const unsigned char* p, size_t n, int64_t id, bool needs_python, uint32_t entry) {
    uint64_t h = hash_bytes(p, n);
    size_t i = h & mask_;
    while (slots_[i].len != kEmpty && !same(slots_[i], h, p, n)) i = (i + 1) & mask_;
    Slot& s = slots_[i];  // a key that compares equal to an earlier one replaces it
    s.hash32 = static_cast<uint32_t>(h >> 32);
    s.len = static_cast<uint32_t>(n) | (needs_python ? kNeedsPython : 0u);
    s.id = id;
    if (n <= kInline) {
      std::memcpy(s.key.bytes, p, n);
    } else {
      s.key.ptr = p;
    }
    entry_of_[i] = entry;
  }

  // The slot of a key, or -1.
  int64_t find(const unsigned char* p, size_t n) const noexcept {
    return find(p, n, hash_bytes(p, n));
  }

  // The same with the key's hash_bytes() known; prefetch(h) beforehand hides the memory latency.
  int64_t find(const unsigned char* p, size_t n, uint64_t h) const noexcept {
    size_t i = h & mask_;
    while (slots_[i].len != kEmpty) {
      if (same(slots_[i], h, p, n)) return static_cast<int64_t>(i);
      i = (i + 1) & mask_;
    }
    return -1;
  }

  void prefetch(uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }

  int64_t id(int64_t slot) const noexcept { return slots_[static_cast<size_t>(slot)].id; }
  bool needs_python(int64_t slot) const noexcept {
    return (slots_[static_cast<size_t>(slot)].len & kNeedsPython) != 0;
  }
  uint32_t entry(int64_t slot) const noexcept { return entry_of_[static_cast<size_t>(slot)]; }

 private:
  static constexpr size_t kInline = 16;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr uint32_t kNeedsPython = 0x80000000u;
  struct Slot {
    uint32_t hash32 = 0;
    uint32_t len = kEmpty;  // key length, with kNeedsPython as a flag
    int64_t id = 0;
    union {
      unsigned char bytes[kInline];
      const unsigned char* ptr;
    } key = {};
  };
  static bool same(const Slot& s, uint64_t h, const unsigned char* p, size_t n) noexcept {
    if (s.hash32 != static_cast<uint32_t>(h >> 32) || (s.len & ~kNeedsPython) != n) return false;
    return std::memcmp(n <= kInline ? s.key.bytes : s.key.ptr, p, n) == 0;
  }
  std::vector<Slot> slots_;
  std::vector<uint32_t> entry_of_;  // the key's number in the dictionary, for needs_python ids
  size_t mask_ = 0;
};

// A cell of the token array that only Python's int() can fill (or fail on).
struct Pending {
  size_t cell;  // row * 4 + column
  int64_t entry;  // columns 0 and 1: the key's number in its dictionary; 2 and 3: unused
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
// One non-blank line, stripped and split into its first four fields.
struct Line {
  const unsigned char* field[4];
  size_t flen[4];
  int nf;
  uint64_t word_hash;
};

// Finds, strips and splits the next non-blank line at or after *pos; false at the end.
inline bool next_line(const unsigned char** pos, const unsigned char* end, bool has_cr,
                      Line* out) noexcept {
  const unsigned char* line = *pos;
  while (line < end) {
    // Universal line ends: \n, \r\n and \r.
    const unsigned char* eol;
    if (!has_cr) {
      eol = static_cast<const unsigned char*>(std::memchr(line, '\n', end - line));
      if (eol == nullptr) eol = end;
    } else {
      eol = line;
      while (eol < end && *eol != '\n' && *eol != '\r') ++eol;
    }
    const unsigned char* next = eol;
    if (next < end) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;
    const unsigned char* b = line;
    const unsigned char* e = eol;
    line = next;
    text::strip(&b, &e);
    if (b == e) continue;
    int nf = 0;
    const unsigned char* s = b;
    for (const unsigned char* q = b;; ++q) {
      if (q == e || *q == '\t') {
        out->field[nf] = s;
        out->flen[nf] = static_cast<size_t>(q - s);
        if (++nf == 4 || q == e) break;
        s = q + 1;
      }
    }
    out->nf = nf;
    *pos = line;
    return true;
  }
  *pos = end;
  return false;
}

// Reads one token file (valid UTF-8, whole) into rows of four integers. Lines are split in
// batches whose word look-ups are prefetched before any is made.
inline Stop read_tokens(const unsigned char* data, size_t size, const StrTable* words,
                        const StrTable* tags, std::vector<int64_t>& cells,
                        std::vector<Pending>& pending) {
  constexpr int kBatch = 16;
  Line batch[kBatch];
  const unsigned char* end = data + size;
  const unsigned char* pos = data;
  const bool has_cr = size > 0 && std::memchr(data, '\r', size) != nullptr;
  cells.reserve(cells.size() + size / 2);  // a token line has at least 8 bytes
  for (;;) {
    int n = 0;
    while (n < kBatch && next_line(&pos, end, has_cr, &batch[n])) {
      if (words != nullptr) {
        batch[n].word_hash = hash_bytes(batch[n].field[0], batch[n].flen[0]);
        words->prefetch(batch[n].word_hash);
      }
      ++n;
    }
    if (n == 0) return Stop{};
    for (int j = 0; j < n; ++j) {
      const Line& ln = batch[j];
      size_t row = cells.size() / 4;
      if (words == nullptr) return Stop{Stop::kWordDictNone};
      int64_t w = words->find(ln.field[0], ln.flen[0], ln.word_hash);
      if (w < 0) return Stop{Stop::kWordMissing, ln.field[0], ln.flen[0]};
      if (ln.nf < 2) return Stop{Stop::kIndex};
      if (tags == nullptr) return Stop{Stop::kTagDictNone};
      int64_t t = tags->find(ln.field[1], ln.flen[1]);
      if (t < 0) return Stop{Stop::kTagMissing, ln.field[1], ln.flen[1]};
      if (ln.nf < 4) return Stop{Stop::kIndex};

      cells.push_back(words->id(w));
      cells.push_back(tags->id(t));
      if (words->needs_python(w)) pending.push_back(Pending{row * 4, words->entry(w), nullptr, 0});
      if (tags->needs_python(t)) pending.push_back(Pending{row * 4 + 1, tags->entry(t), nullptr, 0});
      for (int k = 2; k < 4; ++k) {
        int64_t v = 0;
        if (!parse_plain_int(ln.field[k], ln.flen[k], &v))
          pending.push_back(Pending{row * 4 + k, -1, ln.field[k], ln.flen[k]});
        cells.push_back(v);
      }
    }
  }
}

}  // namespace lumora::build
