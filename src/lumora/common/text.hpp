// Text rules of Python's str reproduced natively over UTF-8 bytes: strict UTF-8 validation and the
// white-space set of str.strip. Tests compare both with Python on every code point.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora::text {

// Py_UNICODE_ISSPACE: the characters str.strip() removes.
constexpr bool is_space(uint32_t c) noexcept {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the valid UTF-8 prefix of [p, p+n), with Python's strict rules (no overlong forms, no
// surrogates, nothing above U+10FFFF). Equal to n when all of it is valid. With kSurrogates,
// encoded surrogates are valid too, as the "surrogatepass" error handler takes them.
template <bool kSurrogates = false>
inline size_t valid_utf8_prefix(const unsigned char* p, size_t n) noexcept {
  size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      __builtin_memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(1)) return i;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (i + 1 >= n) return i;
      unsigned char d = p[i + 1];
      if (c == 0xE0 && (d < 0xA0 || d > 0xBF)) return i;
      if (c == 0xED && !kSurrogates && (d < 0x80 || d > 0x9F)) return i;
      if ((d & 0xC0) != 0x80 || !cont(2)) return i;
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (i + 1 >= n) return i;
      unsigned char d = p[i + 1];
      if (c == 0xF0 && (d < 0x90 || d > 0xBF)) return i;
      if (c == 0xF4 && (d < 0x80 || d > 0x8F)) return i;
      if ((d & 0xC0) != 0x80 || !cont(2) || !cont(3)) return i;
      i += 4;
    } else {
      return i;
    }
  }
  return n;
}

// Decodes the code point that starts at p (valid UTF-8 assumed); returns its length.
inline size_t decode_at(const unsigned char* p, uint32_t* cp) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) { *cp = c; return 1; }
  if (c < 0xE0) { *cp = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu); return 2; }
  if (c < 0xF0) {
    *cp = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 3;
  }
  *cp = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  return 4;
}

// Strips Python white space from both ends of valid UTF-8 [*b, *e).
inline void strip(const unsigned char** b, const unsigned char** e) noexcept {
  const unsigned char* s = *b;
  const unsigned char* t = *e;
  while (s < t) {
    if (*s < 0x80) {
      if (!is_space(*s)) break;
      ++s;
      continue;
    }
    uint32_t cp;
    size_t len = decode_at(s, &cp);
    if (!is_space(cp)) break;
    s += len;
  }
  while (t > s) {
    if (t[-1] < 0x80) {
      if (!is_space(t[-1])) break;
      --t;
      continue;
    }
    const unsigned char* q = t - 1;
    while ((*q & 0xC0) == 0x80) --q;  // back to the lead byte
    uint32_t cp;
    decode_at(q, &cp);
    if (!is_space(cp)) break;
    t = q;
  }
  *b = s;
  *e = t;
}

}  // namespace lumora::text
