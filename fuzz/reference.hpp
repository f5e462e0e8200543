// Straightforward renderings of the rules the native parsers reproduce, written for clarity and
// not speed, for the fuzz harnesses to compare against: strict UTF-8 (the Unicode standard's
// table of well-formed byte sequences, which Python's codec follows), Python's white space for
// str.strip (the table generated from the Python that built the harness), universal line ends,
// and the part of Python's literal syntax and of numpy.lib.format that an NPY header uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "py_space.h"  // kPySpace[]: every code point c with chr(c).isspace(), generated

namespace ref {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "\n*** disagreement: %s\n", what);
  std::abort();
}

inline bool py_space(uint32_t c) {
  for (uint32_t s : kPySpace)
    if (s == c) return true;
  return false;
}

struct Decoded {
  size_t valid = 0;              // length of the valid prefix in bytes
  std::vector<uint32_t> cps;     // its code points
  std::vector<size_t> offsets;   // the byte offset of each
  std::vector<size_t> lengths;   // the byte length of each
};

// Unicode's Table 3-7, byte by byte.
inline Decoded decode(const uint8_t* p, size_t n) {
  Decoded d;
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    uint32_t cp;
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b <= 0x7F) {
      cp = b, len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F, len = 2;
    } else if (b == 0xE0) {
      cp = b & 0x0F, len = 3, lo = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
      cp = b & 0x0F, len = 3;
    } else if (b == 0xED) {
      cp = b & 0x0F, len = 3, hi = 0x9F;
    } else if (b == 0xF0) {
      cp = b & 0x07, len = 4, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
      cp = b & 0x07, len = 4;
    } else if (b == 0xF4) {
      cp = b & 0x07, len = 4, hi = 0x8F;
    } else {
      break;
    }
    if (n - i < len) break;
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      uint8_t c = p[i + k];
      if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if (!ok) break;
    d.cps.push_back(cp);
    d.offsets.push_back(i);
    d.lengths.push_back(len);
    i += len;
  }
  d.valid = i;
  return d;
}

// str.strip() of the code points [b, e) of d: the byte range it keeps.
inline std::pair<size_t, size_t> strip(const Decoded& d, size_t b, size_t e, size_t end_byte) {
  while (b < e && py_space(d.cps[b])) ++b;
  while (e > b && py_space(d.cps[e - 1])) --e;
  if (b == e) return {0, 0};
  return {d.offsets[b], e < d.cps.size() ? d.offsets[e] : end_byte};
}

// ---- NPY headers, as numpy.lib.format reads them (ast.literal_eval, then its checks).

struct NpyHeader {
  std::string descr;
  bool fortran = false;
  std::vector<std::string> shape;  // the integers' digits (any length)
};

namespace detail {

struct Lexer {
  const char* p;
  const char* e;
  // White space between tokens of a bracketed expression: newlines join lines there.
  void blanks() {
    while (p < e && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f')) ++p;
  }
  bool eat(char c) {
    blanks();
    if (p < e && *p == c) {
      ++p;
      return true;
    }
    return false;
  }
  bool peek(char c) {
    blanks();
    return p < e && *p == c;
  }
  // A string literal without prefixes, escapes or line ends (a stricter set than Python's, so
  // a header outside it is one the parser under test must not accept either: no such header
  // names a key or a descr it knows).
  std::optional<std::string> string() {
    blanks();
    if (p >= e || (*p != '\'' && *p != '"')) return std::nullopt;
    char q = *p++;
    std::string out;
    while (p < e && *p != q) {
      if (*p == '\\' || *p == '\n' || *p == '\r') return std::nullopt;
      out.push_back(*p++);
    }
    if (p >= e) return std::nullopt;
    ++p;
    return out;
  }
  // A decimal integer literal: no leading zero unless all its digits are zeros.
  std::optional<std::string> integer() {
    blanks();
    const char* s = p;
    while (p < e && *p >= '0' && *p <= '9') ++p;
    if (p == s) return std::nullopt;
    std::string digits(s, p);
    if (p < e && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '_' || *p == '.'))
      return std::nullopt;  // 1_0, 1.5, 1e3, 0x1: not the plain integers this reference knows
    if (digits.size() > 1 && digits[0] == '0' && digits.find_first_not_of('0') != std::string::npos)
      return std::nullopt;
    return digits;
  }
  std::optional<std::string> name() {
    blanks();
    const char* s = p;
    while (p < e && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '_' ||
                     (p > s && *p >= '0' && *p <= '9')))
      ++p;
    if (p == s) return std::nullopt;
    return std::string(s, p);
  }
};

}  // namespace detail

// The header dictionary text as NumPy reads it; nullopt where np.load refuses it. Leading
// spaces or tabs are refused: Python 3.8's literal_eval does (3.10 and later strip them).
inline std::optional<NpyHeader> parse_npy_header(const char* text, size_t n) {
  detail::Lexer lx{text, text + n};
  while (lx.p < lx.e && (*lx.p == '\n' || *lx.p == '\r')) ++lx.p;  // blank lines
  if (lx.p >= lx.e || *lx.p != '{') return std::nullopt;
  ++lx.p;
  std::optional<std::string> descr;
  std::optional<bool> fortran;
  std::optional<std::vector<std::string>> shape;
  bool other_key = false;
  while (!lx.peek('}')) {
    auto key = lx.string();
    if (!key || !lx.eat(':')) return std::nullopt;
    // A value: a string, True or False, or a tuple of integers.
    std::optional<std::string> s;
    std::optional<bool> b;
    std::optional<std::vector<std::string>> t;
    if (lx.peek('\'') || lx.peek('"')) {
      s = lx.string();
      if (!s) return std::nullopt;
    } else if (lx.eat('(')) {
      std::vector<std::string> items;
      bool comma = false;
      while (!lx.peek(')')) {
        auto i = lx.integer();
        if (!i) return std::nullopt;
        items.push_back(*i);
        comma = lx.eat(',');
        if (!comma && !lx.peek(')')) return std::nullopt;
      }
      lx.eat(')');
      if (items.size() == 1 && !comma) {
        // (n) is the integer n, not a tuple: NumPy refuses it as a shape.
        if (*key == "shape") return std::nullopt;
      }
      t = items;
    } else {
      auto nm = lx.name();
      if (!nm || (*nm != "True" && *nm != "False")) return std::nullopt;
      b = *nm == "True";
    }
    // Python keeps the last of equal keys.
    if (*key == "descr") {
      if (!s) return std::nullopt;
      descr = s;
    } else if (*key == "fortran_order") {
      if (!b) return std::nullopt;
      fortran = b;
    } else if (*key == "shape") {
      if (!t) return std::nullopt;
      shape = t;
    } else {
      other_key = true;
    }
    if (!lx.eat(',')) break;
  }
  if (!lx.eat('}')) return std::nullopt;
  // After the dictionary: white space and comments only.
  for (;;) {
    lx.blanks();
    if (lx.p < lx.e && *lx.p == '#') {
      while (lx.p < lx.e && *lx.p != '\n' && *lx.p != '\r') ++lx.p;
      continue;
    }
    break;
  }
  if (lx.p != lx.e) return std::nullopt;
  if (other_key || !descr || !fortran || !shape) return std::nullopt;
  return NpyHeader{*descr, *fortran, *shape};
}

}  // namespace ref
