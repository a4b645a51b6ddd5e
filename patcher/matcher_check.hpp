// What the matcher's test and fuzzer both need: the two passes run over an
// input fed in blocks, and the plainest possible search to hold them against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "patcher/matcher.hpp"

using bytes = std::vector<unsigned char>;

struct pass_result {
  std::int64_t counted;
  std::int64_t replaced;
  bytes output;
};

// Runs both passes over `input` fed in blocks of `block` bytes, so that
// occurrences straddle block boundaries wherever the caller puts them.
inline pass_result run_passes(const bytes& input, std::size_t block, const bytes& pattern,
                              const bytes& substitute) {
  pass_result result{0, 0, {}};
  bytes counting(pattern.size() - 1 + block);
  bytes rewriting(counting.size());
  window counter{counting.data(), pattern.size()};
  window rewriter{rewriting.data(), pattern.size()};
  for (std::size_t at = 0, size = 0;; at += size) {
    size = std::min(block, input.size() - at);
    std::copy_n(input.data() + at, size, next_block(counter));
    std::copy_n(input.data() + at, size, next_block(rewriter));
    take_block(counter, size);
    result.counted += search_window(counter, pattern.data());
    const std::size_t settled = take_block(rewriter, size);
    result.replaced += search_window(rewriter, pattern.data(), substitute.data());
    result.output.insert(result.output.end(), rewriting.begin(),
                         rewriting.begin() + static_cast<std::ptrdiff_t>(settled));
    if (size == 0) {
      return result;
    }
  }
}

// The obvious quadratic search for leftmost non-overlapping occurrences.
inline pass_result plain_search(const bytes& input, const bytes& pattern, const bytes& substitute) {
  pass_result result{0, 0, input};
  std::size_t i = 0;
  while (!pattern.empty() && i + pattern.size() <= input.size()) {
    if (std::equal(pattern.begin(), pattern.end(), input.begin() + i)) {
      std::copy(substitute.begin(), substitute.end(), result.output.begin() + i);
      ++result.counted;
      ++result.replaced;
      i += pattern.size();
    } else {
      ++i;
    }
  }
  return result;
}
