// The matching rule shared by the counting and the rewriting pass, fed one
// block at a time so neither pass needs to see the whole file.
//
// Occurrences are the leftmost non-overlapping ones. A mismatch falls back
// through the pattern's borders (Knuth-Morris-Pratt), so a byte that breaks a
// partial match is still tried as the start of the next one. Bytes held back
// during a partial match are always a prefix of the pattern, which is why the
// rewriting pass can write them out of the pattern instead of keeping them.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t max_pattern_length = 64;

struct matcher {
  const unsigned char* pattern;
  std::size_t length;
  // fallback[k]: length of the longest proper prefix of pattern[0, k) that
  // is also its suffix; where a partial match of k bytes resumes on mismatch.
  std::size_t fallback[max_pattern_length + 1];
  // How many leading pattern bytes the most recent input bytes match.
  std::size_t partial;
};

// `length` must be at most max_pattern_length; an empty pattern matches nothing.
void start_matcher(matcher& state, const unsigned char* pattern, std::size_t length);

// Counting pass over the next block of input. Returns the occurrences completed in it.
std::int64_t count_in_block(matcher& state, const unsigned char* data, std::size_t size);

// Rewriting pass over the next block of input. Writes to `out`, which must
// have room for size + max_pattern_length bytes, everything that can be
// decided so far, and returns how many bytes it wrote. `found` grows by the
// occurrences replaced.
std::size_t rewrite_block(matcher& state, const unsigned char* replacement,
                          const unsigned char* data, std::size_t size, unsigned char* out,
                          std::int64_t& found);

// At the end of input, writes the bytes still held back. Returns their number.
std::size_t finish_rewrite(const matcher& state, unsigned char* out);
