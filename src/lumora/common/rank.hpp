// Ranking by a count, largest first, as a stable sort does it: items with equal counts keep the
// order they had. A least-significant-digit radix sort over two 16-bit digits, so the time
// follows the number of items, not its logarithm. No Python types.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

namespace detail {
// The 16-bit digit at `shift` of the key that orders counts largest first.
inline uint32_t count_digit(uint32_t count, int shift) noexcept {
  return (~count >> shift) & 0xFFFFu;
}
}  // namespace detail

// Reorders items (stably) by count(item), largest first.
template <class T, class A, class Count>
void rank_by_count(std::vector<T, A>& items, Count count) {
  std::vector<T, A> tmp(items.size());
  std::vector<uint32_t> start(65537);
  for (int shift : {0, 16}) {
    std::fill(start.begin(), start.end(), 0u);
    for (const T& it : items) ++start[detail::count_digit(count(it), shift) + 1];
    bool one_bucket = false;
    for (uint32_t c : start) one_bucket = one_bucket || c == items.size();
    if (one_bucket) continue;  // the digit is the same everywhere: the pass would change nothing
    for (size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
    for (const T& it : items) tmp[start[detail::count_digit(count(it), shift)]++] = it;
    items.swap(tmp);
  }
}

}  // namespace lumora
