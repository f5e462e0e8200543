// Concordance lines and collocate windows of query hits, over one text's dense word numbers.
// A hit's context is the `width` (or span) tokens before its first token and after its last one,
// cut at the edges of its segment (the text, or its sentence). Plain C++, no Python types.
#pragma once

#include "lumora/kernels/query.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {
namespace concord {

// Strings as UTF-8 offsets (n + 1, from 0) and bytes: the word forms by dense number.
struct Forms {
  const int64_t* offsets = nullptr;
  const uint8_t* data = nullptr;
};

// A string column under construction: row i is data[offsets[i]:offsets[i + 1]].
struct Column {
  std::vector<int64_t> offsets{0};
  std::vector<uint8_t> data;

  void clear() {
    offsets.assign(1, 0);
    data.clear();
  }
  // Appends the forms of words[from, to) joined with single spaces as one row.
  void push_tokens(const Forms& forms, const int32_t* words, int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i) {
      if (i > from) data.push_back(' ');
      const auto w = static_cast<size_t>(words[i]);
      data.insert(data.end(), forms.data + forms.offsets[w], forms.data + forms.offsets[w + 1]);
    }
    offsets.push_back(static_cast<int64_t>(data.size()));
  }
};

// Where a sort level looks: the k-th token left of the hit (k >= 1), the k-th token of the
// node (k >= 1), or the k-th token right of it.
enum class Side : int { left = 0, node = 1, right = 2 };
struct Level {
  Side side;
  int64_t k;
};

// The lines of one text's hits, with a dense word number per sort level and line (-1 where the
// level falls outside the segment or the node).
struct Lines {
  std::vector<int64_t> position;
  Column left, node, right;
  std::vector<int32_t> keys;  // line-major: keys[line * levels + j]

  void clear() {
    position.clear();
    left.clear();
    node.clear();
    right.clear();
    keys.clear();
  }
};

inline void add_line(const int32_t* words, int64_t seg_begin, int64_t seg_end,
                     const query::Hit& h, int64_t width, const Forms& forms,
                     const std::vector<Level>& levels, Lines& out) {
  const int64_t end = h.start + h.length;
  out.position.push_back(h.start);
  out.left.push_tokens(forms, words, std::max(seg_begin, h.start - width), h.start);
  out.node.push_tokens(forms, words, h.start, end);
  out.right.push_tokens(forms, words, end, std::min(seg_end, end + width));
  for (const Level& lv : levels) {
    int64_t at = -1;
    if (lv.side == Side::left) {
      if (h.start - lv.k >= seg_begin) at = h.start - lv.k;
    } else if (lv.side == Side::node) {
      if (lv.k <= h.length) at = h.start + lv.k - 1;
    } else if (end - 1 + lv.k < seg_end) {
      at = end - 1 + lv.k;
    }
    out.keys.push_back(at < 0 ? -1 : words[at]);
  }
}

// Collocate counts by dense word number: tokens in windows left and right of hits, and every
// token of the texts (the corpus frequency). window is the number of window positions.
struct Windows {
  std::vector<int64_t> left, right, freq;
  int64_t window = 0;
  int64_t hits = 0;
  int64_t tokens = 0;

  explicit Windows(size_t words = 0) : left(words), right(words), freq(words) {}

  void count_text(const int32_t* words, int64_t n) {
    for (int64_t i = 0; i < n; ++i) ++freq[static_cast<size_t>(words[i])];
    tokens += n;
  }

  void count_hit(const int32_t* words, int64_t seg_begin, int64_t seg_end, const query::Hit& h,
                 int64_t span_left, int64_t span_right) {
    const int64_t end = h.start + h.length;
    const int64_t a = std::max(seg_begin, h.start - span_left);
    const int64_t b = std::min(seg_end, end + span_right);
    for (int64_t i = a; i < h.start; ++i) ++left[static_cast<size_t>(words[i])];
    for (int64_t i = end; i < b; ++i) ++right[static_cast<size_t>(words[i])];
    window += (h.start - a) + (b - end);
    ++hits;
  }

  void merge(const Windows& o) {
    for (size_t i = 0; i < left.size(); ++i) {
      left[i] += o.left[i];
      right[i] += o.right[i];
      freq[i] += o.freq[i];
    }
    window += o.window;
    hits += o.hits;
    tokens += o.tokens;
  }
};

}  // namespace concord
}  // namespace lumora
