// Dispersion: how evenly each word (or any counted item) is spread over the texts of a corpus.
// The texts with tokens are the parts; an item's frequency in each part and the parts' sizes give
// its range, Gries' DP, DP normalised by its largest possible value (Lijffijt and Gries) and
// Juilland's D. Plain C++ over raw integer buffers; no Python types.
//
// Items are counted as (item, part, count) records of the parts an item occurs in, so the cost
// follows the number of records, not items times parts: the parts without the item enter every
// sum in closed form.
#pragma once

#include "lumora/common/hashmap.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lumora {
namespace kernels {

// An item's count in one part. Records of one part are given in order of the item's first
// position in it, and parts in listing order, so the first record of an item marks its first
// appearance.
struct PartCount {
  uint32_t item;
  uint32_t count;
};

// Per item (indexed by item number, sized by the caller): columns the measures are written to.
struct DispersionColumns {
  int64_t* freq;        // f: the sum of its counts
  int64_t* range;       // parts with a count above 0
  double* dp;           // 0.5 * sum |f_i / f - t_i / T|
  double* dp_norm;      // dp / (1 - min t_i / T)
  double* juilland_d;   // 1 - (sd(p) / mean(p)) / sqrt(n - 1), p_i = f_i / t_i
};

// Measures of `items` items from the records of `parts` parts, part by part: records[k] for k
// in [part_end[j-1], part_end[j]) belong to part j, whose size part_tokens[j] is above 0.
// Items without a record get frequency and range 0 and NaN measures. `first_seen` receives the
// items in order of first appearance (its size is the number of items that occur). With one
// part, dp_norm and juilland_d are not defined (NaN).
inline void dispersion_measures(const PartCount* records, const size_t* part_end,
                                const int64_t* part_tokens, size_t parts, size_t items,
                                const DispersionColumns& out, std::vector<uint32_t>* first_seen) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  int64_t total = 0;
  int64_t smallest = parts > 0 ? part_tokens[0] : 0;
  for (size_t j = 0; j < parts; ++j) {
    total += part_tokens[j];
    if (part_tokens[j] < smallest) smallest = part_tokens[j];
  }
  const double T = static_cast<double>(total);
  const double n = static_cast<double>(parts);

  // Pass 1: frequencies, ranges, the tokens of the parts an item occurs in, the sum of p_i.
  std::vector<int64_t> tokens_in(items, 0);
  std::vector<double> sum_p(items, 0.0);
  for (size_t i = 0; i < items; ++i) out.freq[i] = out.range[i] = 0;
  if (first_seen != nullptr) first_seen->clear();
  size_t from = 0;
  for (size_t j = 0; j < parts; ++j) {
    const int64_t t = part_tokens[j];
    for (size_t k = from; k < part_end[j]; ++k) {
      const PartCount& r = records[k];
      if (first_seen != nullptr && out.range[r.item] == 0) first_seen->push_back(r.item);
      out.freq[r.item] += r.count;
      out.range[r.item] += 1;
      tokens_in[r.item] += t;
      sum_p[r.item] += static_cast<double>(r.count) / static_cast<double>(t);
    }
    from = part_end[j];
  }

  // Pass 2: the sums that need an item's frequency and mean share first.
  std::vector<double> sum_abs(items, 0.0), sum_sq(items, 0.0);
  from = 0;
  for (size_t j = 0; j < parts; ++j) {
    const double t = static_cast<double>(part_tokens[j]);
    for (size_t k = from; k < part_end[j]; ++k) {
      const PartCount& r = records[k];
      const double c = static_cast<double>(r.count);
      sum_abs[r.item] += std::fabs(c / static_cast<double>(out.freq[r.item]) - t / T);
      const double dev = c / t - sum_p[r.item] / n;
      sum_sq[r.item] += dev * dev;
    }
    from = part_end[j];
  }

  const double dp_top = parts > 1 ? 1.0 - static_cast<double>(smallest) / T : 0.0;
  for (size_t i = 0; i < items; ++i) {
    if (out.freq[i] == 0) {
      out.dp[i] = out.dp_norm[i] = out.juilland_d[i] = nan;
      continue;
    }
    // A part without the item adds |0 - t_i / T|; together those are (T - tokens_in) / T.
    const double dp = 0.5 * (sum_abs[i] + static_cast<double>(total - tokens_in[i]) / T);
    out.dp[i] = dp;
    out.dp_norm[i] = parts > 1 ? dp / dp_top : nan;
    if (parts > 1) {
      const double mean = sum_p[i] / n;
      const double missing = n - static_cast<double>(out.range[i]);  // parts where p_i = 0
      const double sd = std::sqrt((sum_sq[i] + missing * mean * mean) / n);
      out.juilland_d[i] = 1.0 - (sd / mean) / std::sqrt(n - 1.0);
    } else {
      out.juilland_d[i] = nan;
    }
  }
}

// Word ids to item numbers (a word's dense index mapped through a grouping such as its
// lower-cased form), shared read-only by the threads that count texts. Ids of a compact range
// (a corpus numbers its words 1, 2, 3, ...) find their item in a plain array, the others
// through a hash index.
class ItemOfId {
 public:
  ItemOfId(const int64_t* ids, const int32_t* group, size_t n) : index_(n) {
    int64_t top = -1;
    bool small = true;
    for (size_t d = 0; d < n; ++d) {
      if (ids[d] < 0) small = false;
      if (ids[d] > top) top = ids[d];
    }
    if (small && top < static_cast<int64_t>(4 * n + 4096) && top < (int64_t{1} << 26)) {
      direct_.assign(static_cast<size_t>(top + 1), -1);
      for (size_t d = n; d-- > 0;)  // from the end, so a repeated id keeps its first group
        direct_[static_cast<size_t>(ids[d])] = group[d];
      return;
    }
    group_.reserve(n);
    for (size_t d = 0; d < n; ++d) {
      bool fresh = false;
      index_.insert(static_cast<uint64_t>(ids[d]), &fresh);
      if (fresh) group_.push_back(group[d]);  // a repeated id keeps its first group
    }
  }
  // The item of a word id, or -1 for an id the dictionary lacks.
  int64_t operator()(int64_t id) const noexcept {
    if (!direct_.empty())
      return id >= 0 && static_cast<uint64_t>(id) < direct_.size()
                 ? direct_[static_cast<size_t>(id)]
                 : -1;
    int64_t k = index_.find(static_cast<uint64_t>(id));
    return k < 0 ? -1 : group_[static_cast<size_t>(k)];
  }

 private:
  std::vector<int32_t> direct_;  // by id, when the ids are compact (else empty)
  KeyIndex index_;
  std::vector<int32_t> group_;  // by key number
};

// One text's records: the items of its word ids base[i*rs], i in [0, rows), with their counts,
// in order of first position. `counts` is scratch space of one 0 per item, left all 0 again.
// False (with `out` incomplete) when an id has no item.
inline bool count_text(const int64_t* base, size_t rows, std::ptrdiff_t rs, const ItemOfId& item_of,
                       std::vector<uint32_t>& counts, std::vector<PartCount>& out) {
  out.clear();
  bool known = true;
  for (size_t i = 0; i < rows; ++i) {
    int64_t item = item_of(base[static_cast<std::ptrdiff_t>(i) * rs]);
    if (item < 0) {
      known = false;
      break;
    }
    auto g = static_cast<uint32_t>(item);
    if (counts[g]++ == 0) out.push_back(PartCount{g, 0});
  }
  for (PartCount& r : out) {
    r.count = counts[r.item];
    counts[r.item] = 0;
  }
  return known;
}

}  // namespace kernels
}  // namespace lumora
