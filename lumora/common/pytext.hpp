// Python's own rules for text and numbers where results must agree with Python exactly:
// regular expressions and str.lower go through Python on each distinct string; round(x, n) and
// single-precision percentages are native.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "lumora/common/module.hpp"

namespace lumora {

namespace names {
inline Name compile{"compile"}, findall{"findall"}, match{"match"}, lower{"lower"};
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

// Python's round(x, ndigits) for a finite double: the exact binary value rounded to the nearest
// multiple of 10**-ndigits, halves to even. C's "%.*f" formats the exact value with the same rule.
inline double py_round(double x, int ndigits) {
  if (!(x == x) || x - x != 0.0) return x;  // nan and infinities stay as they are
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", ndigits, x);
  return std::strtod(buf, nullptr);
}

// part / whole * 100 in double precision, rounded to single precision.
inline float percent_single(double part, double whole) {
  if (whole == 0.0) throw err::float_division();
  return static_cast<float>(part / whole * 100.0);
}

// A Python float holding a single-precision value.
inline Ref single_float(float v) { return ok(PyFloat_FromDouble(static_cast<double>(v))); }

}  // namespace lumora
