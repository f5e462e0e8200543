// A reader for the one NPY layout token arrays have in practice: a little-endian integer array
// of one or two dimensions, C or Fortran order, 32 or 64 bits. Plain C++ with no Python types.
// Anything else is refused, and the caller then lets NumPy read the file (and report what is
// wrong with it), so errors stay NumPy's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lumora::npy {

struct Header {
  int itemsize = 0;  // 4 or 8
  bool fortran = false;
  int ndim = -1;
  int64_t shape[2] = {0, 0};
};

// An allocator whose resize leaves new integers as they are: a buffer about to be overwritten by
// a read need not be zeroed first (for a whole corpus that is as many bytes again as it holds).
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() noexcept = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// Integers read from a file.
using Ints = std::vector<int64_t, UninitAllocator<int64_t>>;

namespace detail {

inline void skip_space(const char*& p, const char* e) {
  while (p < e && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
}

inline bool quoted(const char*& p, const char* e, std::string& out) {
  if (p >= e || (*p != '\'' && *p != '"')) return false;
  char q = *p++;
  const char* s = p;
  while (p < e && *p != q) {
    if (*p == '\\') return false;
    ++p;
  }
  if (p >= e) return false;
  out.assign(s, p);
  ++p;
  return true;
}

// A decimal literal as Python writes it: no sign, no leading zero (but for 0 itself).
inline bool integer(const char*& p, const char* e, int64_t* v) {
  const char* s = p;
  if (p + 1 < e && *p == '0' && p[1] >= '0' && p[1] <= '9') return false;
  int64_t x = 0;
  while (p < e && *p >= '0' && *p <= '9') {
    if (x > (INT64_MAX - 9) / 10) return false;
    x = x * 10 + (*p - '0');
    ++p;
  }
  if (p == s) return false;
  *v = x;
  return true;
}

}  // namespace detail

// Parses the header dictionary text; false for anything but the plain layout above.
inline bool parse_header(const char* p, const char* e, Header* h) {
  using namespace detail;
  bool seen_descr = false, seen_order = false, seen_shape = false;
  if (p >= e || *p++ != '{') return false;  // NumPy refuses a header that starts otherwise
  for (;;) {
    skip_space(p, e);
    if (p < e && *p == '}') break;
    std::string key;
    if (!quoted(p, e, key)) return false;
    skip_space(p, e);
    if (p >= e || *p++ != ':') return false;
    skip_space(p, e);
    if (key == "descr") {
      std::string d;
      if (seen_descr || !quoted(p, e, d)) return false;
      if (d == "<i8") h->itemsize = 8;
      else if (d == "<i4") h->itemsize = 4;
      else return false;
      seen_descr = true;
    } else if (key == "fortran_order") {
      if (seen_order) return false;
      if (e - p >= 4 && std::memcmp(p, "True", 4) == 0) { h->fortran = true; p += 4; }
      else if (e - p >= 5 && std::memcmp(p, "False", 5) == 0) { h->fortran = false; p += 5; }
      else return false;
      seen_order = true;
    } else if (key == "shape") {
      if (seen_shape || p >= e || *p++ != '(') return false;
      int nd = 0;
      for (;;) {
        skip_space(p, e);
        if (p < e && *p == ')') { ++p; break; }
        if (nd == 2) return false;
        if (!integer(p, e, &h->shape[nd])) return false;
        ++nd;
        skip_space(p, e);
        if (p < e && *p == ',') { ++p; continue; }
        if (p < e && *p == ')' && nd > 1) { ++p; break; }
        return false;  // "(4)" is a number, not a shape
      }
      h->ndim = nd;
      seen_shape = true;
    } else {
      return false;
    }
    skip_space(p, e);
    if (p < e && *p == ',') { ++p; continue; }
    skip_space(p, e);
    if (p < e && *p == '}') break;
    return false;
  }
  ++p;  // the closing brace; only white space may follow it
  skip_space(p, e);
  return p == e && seen_descr && seen_order && seen_shape;
}

inline bool little_endian_host() {
  const uint16_t probe = 1;
  uint8_t b;
  std::memcpy(&b, &probe, 1);
  return b == 1;
}

// Reads the file at a file-system path into `data` (as 64-bit integers, in the file's order).
// False, with nothing to report, whenever NumPy should read the file instead.
inline bool read(const char* path, Header* h, Ints& data) {
#if defined(_WIN32)
  (void)path; (void)h; (void)data;
  return false;
#else
  if (!little_endian_host()) return false;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer { int fd; ~Closer() { ::close(fd); } } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  auto read_all = [&](void* buf, size_t n, off_t at) {
    char* out = static_cast<char*>(buf);
    while (n > 0) {
      ssize_t k = ::pread(fd, out, n, at);
      if (k <= 0) return false;
      out += k;
      n -= static_cast<size_t>(k);
      at += k;
    }
    return true;
  };
  unsigned char pre[12];
  if (st.st_size < 12 || !read_all(pre, 12, 0)) return false;
  if (std::memcmp(pre, "\x93NUMPY", 6) != 0 || pre[7] != 0) return false;
  size_t hlen, hstart;
  if (pre[6] == 1) {
    hlen = pre[8] | (size_t{pre[9]} << 8);
    hstart = 10;
  } else if (pre[6] == 2 || pre[6] == 3) {
    hlen = pre[8] | (size_t{pre[9]} << 8) | (size_t{pre[10]} << 16) | (size_t{pre[11]} << 24);
    hstart = 12;
  } else {
    return false;
  }
  // NumPy refuses headers over 10000 bytes unless told otherwise.
  if (hlen > 10000 || static_cast<uint64_t>(st.st_size) < hstart + hlen) return false;
  std::string text(hlen, '\0');
  if (!read_all(&text[0], hlen, static_cast<off_t>(hstart))) return false;
  if (!parse_header(text.data(), text.data() + text.size(), h)) return false;
  // The element count, refusing anything that could overflow (a file that large is NumPy's).
  const uint64_t limit = uint64_t{1} << 40;
  uint64_t count = 1;
  for (int i = 0; i < h->ndim; ++i) {
    uint64_t dim = static_cast<uint64_t>(h->shape[i]);
    if (dim > limit || (dim != 0 && count > limit / dim)) return false;
    count *= dim;
  }
  uint64_t bytes = count * static_cast<uint64_t>(h->itemsize);
  if (static_cast<uint64_t>(st.st_size) < hstart + hlen + bytes) return false;
  data.resize(static_cast<size_t>(count));
  off_t at = static_cast<off_t>(hstart + hlen);
  if (h->itemsize == 8) {
    return count == 0 || read_all(data.data(), static_cast<size_t>(bytes), at);
  }
  std::vector<int32_t, UninitAllocator<int32_t>> narrow(static_cast<size_t>(count));
  if (count > 0 && !read_all(narrow.data(), static_cast<size_t>(bytes), at)) return false;
  for (size_t i = 0; i < narrow.size(); ++i) data[i] = narrow[i];
  return true;
#endif
}

}  // namespace lumora::npy
