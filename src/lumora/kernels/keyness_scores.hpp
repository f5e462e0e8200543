// Keyness scores in double precision: how much more (or less) often a word occurs in a study
// corpus of c tokens (a times) than in a reference corpus of d tokens (b times). Log-likelihood
// (G2, signed), Pearson's chi-square, Log Ratio (Hardie), %DIFF, BIC (Wilson) and the p-value of
// G2. Plain C++ over raw integer buffers; no Python types.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace lumora {
namespace kernels {

// Per word (indexed like a and b): the columns scores are written to; a null column is skipped.
struct KeynessColumns {
  double* ll;
  double* chi2;
  double* log_ratio;
  double* pct_diff;
  double* bic;
  double* p;
};

struct KeynessScore {
  double ll, chi2, log_ratio, pct_diff, bic, p;
};

inline KeynessScore keyness_score(int64_t a_, int64_t b_, int64_t c_, int64_t d_) noexcept {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double a = static_cast<double>(a_), b = static_cast<double>(b_);
  const double c = static_cast<double>(c_), d = static_cast<double>(d_);
  const double N = c + d;
  KeynessScore s{};

  // G2 of the 2x2 table; a zero count adds nothing. Rounding can take the sum of an even word a
  // hair below 0, where G2 cannot be.
  const double E1 = N > 0 ? c * (a + b) / N : 0.0;
  const double E2 = N > 0 ? d * (a + b) / N : 0.0;
  double g = 0.0;
  if (a_ > 0 && E1 > 0) g += a * std::log(a / E1);
  if (b_ > 0 && E2 > 0) g += b * std::log(b / E2);
  g = std::fmax(2.0 * g, 0.0);
  const bool more_in_reference = c_ > 0 && d_ > 0 && b / d > a / c;
  s.ll = more_in_reference ? -g : g;

  // Pearson's chi-square of the table (a, b; c - a, d - b), no continuity correction. The cross
  // difference is taken in long double: a * d and b * c can exceed 2^53.
  const long double cross = static_cast<long double>(a) * static_cast<long double>(d - b) -
                            static_cast<long double>(b) * static_cast<long double>(c - a);
  const long double denom = static_cast<long double>(a + b) * static_cast<long double>(N - a - b) *
                            static_cast<long double>(c) * static_cast<long double>(d);
  s.chi2 = denom > 0 ? static_cast<double>(static_cast<long double>(N) * cross * cross / denom)
                     : nan;

  // Log Ratio with a zero frequency taken as 0.5; %DIFF is infinite for a word the reference
  // lacks.
  if (c_ > 0 && d_ > 0) {
    const double ra = (a_ > 0 ? a : 0.5) / c, rb = (b_ > 0 ? b : 0.5) / d;
    s.log_ratio = std::log2(ra / rb);
    s.pct_diff = b_ > 0 ? 100.0 * (a / c - b / d) / (b / d) : (a_ > 0 ? inf : nan);
  } else {
    s.log_ratio = s.pct_diff = nan;
  }

  // BIC with one degree of freedom, Wilson's ll - ln N taken with the signed ll: it is
  // monotone in ll, so a ranking by BIC agrees with one by ll, and a weak negative keyword
  // does not climb above the positive ones.
  s.bic = N > 0 ? s.ll - std::log(N) : nan;

  // The chi-square upper tail with one degree of freedom.
  s.p = std::erfc(std::sqrt(g / 2.0));
  return s;
}

// Scores of n words: a[i], b[i] their frequencies, c and d the corpus sizes.
inline void keyness_scores(const int64_t* a, const int64_t* b, size_t n, int64_t c, int64_t d,
                           const KeynessColumns& out) {
  for (size_t i = 0; i < n; ++i) {
    KeynessScore s = keyness_score(a[i], b[i], c, d);
    if (out.ll) out.ll[i] = s.ll;
    if (out.chi2) out.chi2[i] = s.chi2;
    if (out.log_ratio) out.log_ratio[i] = s.log_ratio;
    if (out.pct_diff) out.pct_diff[i] = s.pct_diff;
    if (out.bic) out.bic[i] = s.bic;
    if (out.p) out.p[i] = s.p;
  }
}

}  // namespace kernels
}  // namespace lumora
