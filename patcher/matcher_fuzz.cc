// Fuzzes both passes against the plainest possible search: any disagreement
// in the count, the rewritten bytes or the length is a bug in the matcher.
#include <cstdint>
#include <cstdlib>

#include "patcher/matcher_check.hpp"

// Input: pattern length, block size, alphabet switch, pattern, replacement,
// then the stream. A small alphabet makes near-misses common. The pattern
// and the replacement are made as the job's are: past the start, neither
// holds the pattern's first byte.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const std::size_t length = 1 + data[0] % 6;
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
    const unsigned char other = letter(static_cast<std::uint8_t>(pattern[0] + 1));
    if (i > 0 && pattern[i] == pattern[0]) {
      pattern[i] = other;
    }
    if (i > 0 && replacement[i] == pattern[0]) {
      replacement[i] = other;
    }
  }
  for (std::size_t i = 2 * length; i < size; ++i) {
    input.push_back(letter(data[i]));
  }

  const pass_result result = run_passes(input, block, pattern, replacement);
  const pass_result expected = plain_search(input, pattern, replacement);
  if (result.counted != expected.counted || result.replaced != expected.counted ||
      result.output.size() != input.size() || result.output != expected.output) {
    std::abort();
  }
  return 0;
}
