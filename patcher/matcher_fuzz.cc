// Fuzzes both passes against the plainest possible search: any disagreement
// in the count, the rewritten bytes or the length is a bug in the matcher.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "patcher/matcher.hpp"

namespace {

using bytes = std::vector<unsigned char>;

struct reference_result {
  std::int64_t count = 0;
  bytes output;
};

reference_result plain_search(const bytes& input, const bytes& pattern, const bytes& replacement) {
  reference_result result{0, input};
  std::size_t i = 0;
  while (i + pattern.size() <= input.size()) {
    if (std::memcmp(input.data() + i, pattern.data(), pattern.size()) == 0) {
      std::memcpy(result.output.data() + i, replacement.data(), replacement.size());
      ++result.count;
      i += pattern.size();
    } else {
      ++i;
    }
  }
  return result;
}

}  // namespace

// Input: pattern length, block size, alphabet switch, pattern, replacement,
// then the stream. A small alphabet makes near-misses and overlaps common.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::size_t length = 1 + data[0] % 8;
  const std::size_t block = 1 + data[1] % 64;
  const bool small_alphabet = data[2] & 1;
  data += 3;
  size -= 3;
  if (size < 2 * length) {
    return 0;
  }
  auto letter = [small_alphabet](std::uint8_t b) {
    return static_cast<unsigned char>(small_alphabet ? b % 3 : b);
  };
  bytes pattern, replacement, input;
  for (std::size_t i = 0; i < length; ++i) {
    pattern.push_back(letter(data[i]));
    replacement.push_back(data[length + i]);
  }
  for (std::size_t i = 2 * length; i < size; ++i) {
    input.push_back(letter(data[i]));
  }

  matcher counter;
  matcher rewriter;
  start_matcher(counter, pattern.data(), length);
  start_matcher(rewriter, pattern.data(), length);
  std::int64_t counted = 0;
  std::int64_t replaced = 0;
  bytes output;
  bytes out(block + max_pattern_length);
  for (std::size_t at = 0; at < input.size(); at += block) {
    const std::size_t n = input.size() - at < block ? input.size() - at : block;
    counted += count_in_block(counter, input.data() + at, n);
    const std::size_t written =
        rewrite_block(rewriter, replacement.data(), input.data() + at, n, out.data(), replaced);
    output.insert(output.end(), out.begin(), out.begin() + written);
  }
  const std::size_t held = finish_rewrite(rewriter, out.data());
  output.insert(output.end(), out.begin(), out.begin() + held);

  const reference_result expected = plain_search(input, pattern, replacement);
  if (counted != expected.count || replaced != expected.count || output.size() != input.size() ||
      output != expected.output) {
    std::abort();
  }
  return 0;
}
