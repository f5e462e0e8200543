// Python's own rules for text and numbers where results must agree with Python exactly:
// regular expressions and str.lower go through Python on each distinct string; round(x, n) and
// single-precision percentages are native.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumora/common/module.hpp"

namespace lumora {

namespace names {
inline Name compile{"compile"}, findall{"findall"}, match{"match"}, lower{"lower"},
    dunder_round{"__round__"};
}

// re.compile(pattern) with default flags (Unicode \W for str patterns).
inline Ref compile_re(const char* pattern) {
  Ref re = ok(PyImport_ImportModule("re"));
  Ref text = ok(PyUnicode_FromString(pattern));
  return call_method(re.get(), names::compile, text.get());
}

// True when pattern.findall(s) is a non-empty list.
inline bool findall_any(PyObject* pattern, PyObject* s) {
  Ref found = call_method(pattern, names::findall, s);
  int truth = PyObject_IsTrue(found.get());
  check(truth);
  return truth != 0;
}

// True when pattern.match(s) is not None.
inline bool matches(PyObject* pattern, PyObject* s) {
  Ref m = call_method(pattern, names::match, s);
  return m.get() != Py_None;
}

// s.lower()
inline Ref str_lower(PyObject* s) { return call_method(s, names::lower); }

// Writes len characters held `from_kind` bytes each (a str's representation) into the data of a
// new str of `kind` from position at on; the new str is as wide as the widest it holds.
inline void write_chars(int kind, void* data, Py_ssize_t at, int from_kind, const char* from,
                        Py_ssize_t len) {
  if (from_kind == kind) {
    std::memcpy(static_cast<char*>(data) + at * kind, from, static_cast<size_t>(len) * kind);
    return;
  }
  for (Py_ssize_t i = 0; i < len; ++i)
    PyUnicode_WRITE(kind, data, at + i, PyUnicode_READ(from_kind, from, i));
}

// Python's round(x, ndigits) for a double: the exact binary value rounded to the nearest multiple
// of 10**-ndigits, halves to even, then the nearest double to that decimal. Natively while
// |x| * 10**ndigits < 2**52: an fma yields the product's rounding error, so halves are judged on the
// exact value, and k / 10**ndigits is the correctly rounded quotient of two exact doubles, the
// double Python's strtod gives for the digits. Elsewhere (negative or large ndigits, huge x)
// Python's float.__round__ does it, with its OverflowError.
inline double py_round(double x, int ndigits) {
  if (!(x == x) || x - x != 0.0) return x;  // nan and infinities stay as they are
  static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (ndigits >= 0 && ndigits <= 22) {
    const double scale = kPow10[ndigits];
    const double ax = std::fabs(x);
    const double p = ax * scale;
    if (p < 4503599627370496.0) {  // 2**52: floor and p - floor(p) are exact below it
      const double e = std::fma(ax, scale, -p);  // ax * scale == p + e exactly
      const double fl = std::floor(p);
      const double frac = p - fl;
      const bool up = frac > 0.5 ||
                      (frac == 0.5 && (e > 0.0 || (e == 0.0 && std::fmod(fl, 2.0) != 0.0)));
      return std::copysign((up ? fl + 1.0 : fl) / scale, x);
    }
  }
  Ref value = ok(PyFloat_FromDouble(x));
  Ref digits = ok(PyLong_FromLong(ndigits));
  Ref rounded = call_method(value.get(), names::dunder_round, digits.get());
  double r = PyFloat_AsDouble(rounded.get());
  if (r == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
  return r;
}

// part / whole * 100 in double precision, rounded to single precision.
inline float percent_single(double part, double whole) {
  if (whole == 0.0) throw err::float_division();
  return static_cast<float>(part / whole * 100.0);
}

// A Python float holding a single-precision value.
inline Ref single_float(float v) { return ok(PyFloat_FromDouble(static_cast<double>(v))); }

}  // namespace lumora
