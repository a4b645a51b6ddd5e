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
  matcher counter;
  matcher rewriter;
  start_matcher(counter, pattern.data(), pattern.size());
  start_matcher(rewriter, pattern.data(), pattern.size());
  bytes out(block + max_pattern_length);
  for (std::size_t at = 0; at < input.size(); at += block) {
    const std::size_t size = std::min(block, input.size() - at);
    result.counted += count_in_block(counter, input.data() + at, size);
    const std::size_t written = rewrite_block(rewriter, substitute.data(), input.data() + at, size,
                                              out.data(), result.replaced);
    result.output.insert(result.output.end(), out.begin(), out.begin() + written);
  }
  const std::size_t held = finish_rewrite(rewriter, out.data());
  result.output.insert(result.output.end(), out.begin(), out.begin() + held);
  return result;
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
