// lumora/common/text.hpp against the reference rules: the valid UTF-8 prefix, the code points
// decoded from it, Python's white-space set and str.strip on every valid input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lumora/common/text.hpp"
#include "reference.hpp"

namespace text = lumora::text;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The white-space set, once, on every code point.
  for (uint32_t c = 0; c <= 0x10FFFF; ++c)
    if (text::is_space(c) != ref::py_space(c)) ref::fail("is_space differs from str.isspace");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ref::Decoded d = ref::decode(data, size);
  if (text::valid_utf8_prefix(data, size) != d.valid) ref::fail("valid_utf8_prefix");

  for (size_t k = 0; k < d.cps.size(); ++k) {
    uint32_t cp = 0;
    if (text::decode_at(data + d.offsets[k], &cp) != d.lengths[k] || cp != d.cps[k])
      ref::fail("decode_at");
  }

  // strip() of the whole valid prefix and of every line of it (as the token reader uses it),
  // on an exactly sized copy so that a read past either end is caught.
  std::vector<size_t> cuts = {0};
  for (size_t k = 0; k < d.cps.size(); ++k)
    if (d.cps[k] == '\n' || d.cps[k] == '\r' || d.cps[k] == '\t') cuts.push_back(k + 1);
  cuts.push_back(d.cps.size());
  for (size_t c = 0; c + 1 < cuts.size(); ++c) {
    size_t b = cuts[c], e = cuts[c + 1];
    size_t from = b < d.cps.size() ? d.offsets[b] : d.valid;
    size_t to = e < d.cps.size() ? d.offsets[e] : d.valid;
    std::vector<unsigned char> piece(data + from, data + to);
    const unsigned char* pb = piece.data();
    const unsigned char* pe = piece.data() + piece.size();
    text::strip(&pb, &pe);
    auto want = ref::strip(d, b, e, d.valid);
    size_t got_b = pb == pe ? 0 : static_cast<size_t>(pb - piece.data()) + from;
    size_t got_e = pb == pe ? 0 : static_cast<size_t>(pe - piece.data()) + from;
    if (got_b != want.first || got_e != want.second) ref::fail("strip");
  }
  return 0;
}
