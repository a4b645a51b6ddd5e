// Stand-in for the body of a game executable, as the matcher meets it: about
// 3% of bytes are 0x89 (a common opcode), and after one the next search
// bytes follow often enough that partial matches of every length are common.
// The full search bytes never appear; a caller plants them where it wants.
#pragma once

#include <cstddef>
#include <cstdint>

#include "patcher/patch.hpp"

struct x86_like_source {
  std::uint64_t random_state = 0x9E3779B97F4A7C15u;
  // How many leading search bytes the most recent output bytes are.
  std::size_t partial = 0;
};

// splitmix64: fast, and the same stream on every platform.
inline std::uint64_t next_random(x86_like_source& source) {
  std::uint64_t z = (source.random_state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

inline unsigned char next_x86_like_byte(x86_like_source& source) {
  const std::uint64_t random = next_random(source);
  const std::size_t last = pattern_length - 1;
  // Half the time, the partial match goes on, up to one byte short of whole.
  if (source.partial > 0 && source.partial < last && (random & 1) != 0) {
    return search_bytes[source.partial++];
  }
  // 3% of bytes are the first search byte.
  if ((random >> 1) % 1000 < 30) {
    source.partial = 1;
    return search_bytes[0];
  }
  unsigned char filler = static_cast<unsigned char>(random >> 16);
  if (filler == search_bytes[0] || (source.partial == last && filler == search_bytes[last])) {
    filler = 0x90;
  }
  // A filler byte may happen to continue the partial match; keep count, so
  // the byte that would complete it is still refused.
  const bool continues =
      source.partial > 0 && source.partial < last && filler == search_bytes[source.partial];
  source.partial = continues ? source.partial + 1 : 0;
  return filler;
}

inline void fill_x86_like(x86_like_source& source, unsigned char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = next_x86_like_byte(source);
  }
}
