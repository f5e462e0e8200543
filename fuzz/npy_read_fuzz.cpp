// npy::read (lumora/common/npy.hpp) on any file: returns true only for a file that np.load reads
// as a little-endian integer array of one or two dimensions, and then with exactly its values.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lumora/common/npy.hpp"
#include "npy_check.hpp"

static std::string path;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/lumora-npy-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  path = std::string(dir) + "/a.npy";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  lumora::npy::Header h;
  lumora::npy::Ints values;
  if (!lumora::npy::read(path.c_str(), &h, values)) return 0;

  // The file as NumPy reads it.
  if (size < 10 || std::memcmp(data, "\x93NUMPY", 6) != 0 || data[7] != 0)
    ref::fail("read: accepted a file without the NPY magic");
  const int major = data[6];
  if (major < 1 || major > 3) ref::fail("read: accepted an unknown format version");
  size_t hstart = major == 1 ? 10 : 12;
  if (size < hstart) ref::fail("read: accepted a truncated preamble");
  size_t hlen = data[8] | (size_t{data[9]} << 8);
  if (major > 1) hlen |= (size_t{data[10]} << 16) | (size_t{data[11]} << 24);
  if (size - hstart < hlen) ref::fail("read: accepted a truncated header");
  // np.load refuses headers over 10000 bytes (NumPy 1.24 and later).
  if (hlen > 10000) ref::fail("read: accepted a header longer than np.load allows");
  npy_check::accepted_header(reinterpret_cast<const char*>(data) + hstart, hlen, h);

  // The element count, without wrapping round.
  unsigned __int128 count = 1;
  for (int i = 0; i < h.ndim; ++i) count *= static_cast<unsigned __int128>(h.shape[i]);
  if (count != values.size()) ref::fail("read: element count differs from the product of the shape");
  size_t at = hstart + hlen;
  if ((size - at) / h.itemsize < values.size()) ref::fail("read: more values than data");
  for (size_t i = 0; i < values.size(); ++i) {
    int64_t v;
    if (h.itemsize == 8) {
      std::memcpy(&v, data + at + 8 * i, 8);
    } else {
      int32_t w;
      std::memcpy(&w, data + at + 4 * i, 4);
      v = w;
    }
    if (v != values[i]) ref::fail("read: a value differs from the file's");
  }
  return 0;
}
