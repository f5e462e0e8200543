// npy::parse_header (lumora/common/npy.hpp) on any text: never reads outside it, and accepts
// only headers that np.load reads, with the same meaning.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumora/common/npy.hpp"
#include "npy_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);  // exactly sized
  lumora::npy::Header h;
  if (lumora::npy::parse_header(text.data(), text.data() + text.size(), &h))
    npy_check::accepted_header(text.data(), text.size(), h);
  return 0;
}
