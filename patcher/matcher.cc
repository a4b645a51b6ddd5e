#include "patcher/matcher.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t chunk_size = 64;

// The first place from `at` on, short of `stop`, where the pattern's first
// and last bytes both stand; `stop` or past it when there is none. In x86 code the
// first byte alone is common (memchr for it stops every 30 bytes or so),
// the two together rare. The test runs a chunk at a time with no branch
// per byte, so the compiler can vectorise it.
unsigned char* next_candidate(unsigned char* at, unsigned char* stop, const unsigned char* pattern,
                              std::size_t last) {
  const unsigned char first_byte = pattern[0];
  const unsigned char last_byte = pattern[last];
  while (stop - at >= static_cast<std::ptrdiff_t>(chunk_size)) {
    unsigned char candidates = 0;
    for (std::size_t k = 0; k < chunk_size; ++k) {
      candidates |= static_cast<unsigned char>((at[k] == first_byte) & (at[k + last] == last_byte));
    }
    if (candidates != 0) {
      break;
    }
    at += chunk_size;
  }
  while (at < stop && (at[0] != first_byte || at[last] != last_byte)) {
    ++at;
  }
  return at;
}

}  // namespace

unsigned char* next_block(window& w) {
  std::memmove(w.bytes, w.bytes + w.size - w.kept, w.kept);
  w.size = w.kept;
  return w.bytes + w.size;
}

std::size_t take_block(window& w, std::size_t got) {
  w.size += got;
  // Fewer than `length` bytes cannot hold an occurrence, so none found in
  // this window is found again in the next.
  w.kept = got == 0 ? 0 : std::min(w.size, w.length - 1);
  return w.size - w.kept;
}

std::int64_t search_window(window& w, const unsigned char* pattern,
                           const unsigned char* replacement) {
  if (w.size < w.length) {
    return 0;
  }
  const std::size_t last = w.length - 1;
  unsigned char* const stop = w.bytes + w.size - last;
  std::int64_t found = 0;
  for (unsigned char* at = w.bytes; (at = next_candidate(at, stop, pattern, last)) < stop;) {
    if (std::memcmp(at, pattern, w.length) != 0) {
      ++at;
      continue;
    }
    if (replacement != nullptr) {
      std::memcpy(at, replacement, w.length);
    }
    ++found;
    at += w.length;
  }
  return found;
}
