// What both NPY harnesses check about a header npy.hpp accepted.
#pragma once

#include <cstdio>
#include <string>

#include "lumora/common/npy.hpp"
#include "reference.hpp"

namespace npy_check {

// The header text h was parsed from must be one np.load reads the same way.
inline void accepted_header(const char* text, size_t n, const lumora::npy::Header& h) {
  auto want = ref::parse_npy_header(text, n);
  if (!want) ref::fail("parse_header: accepted a header np.load refuses");
  int itemsize = want->descr == "<i8" ? 8 : want->descr == "<i4" ? 4 : 0;
  if (itemsize != h.itemsize) ref::fail("parse_header: descr");
  if (want->fortran != h.fortran) ref::fail("parse_header: fortran_order");
  if (static_cast<int>(want->shape.size()) != h.ndim) ref::fail("parse_header: dimensions");
  for (int i = 0; i < h.ndim; ++i)
    if (want->shape[i] != std::to_string(h.shape[i])) {
      // Leading zeros in an all-zero integer ("00") are the one other spelling.
      if (want->shape[i].find_first_not_of('0') != std::string::npos || h.shape[i] != 0)
        ref::fail("parse_header: shape");
    }
}

}  // namespace npy_check
