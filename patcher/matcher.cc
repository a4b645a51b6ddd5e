#include "patcher/matcher.hpp"

#include <cstring>

namespace {

// Input is tested this many bytes at a time while nothing is held, with no
// branch per byte, so the compiler can vectorise the test.
constexpr std::size_t chunk_size = 64;

// Bytes from the start of `data` that cannot begin an occurrence and so pass
// straight through. Only while no partial match is held can the scan jump
// ahead, to the next byte that could start one: it must be the first pattern
// byte and, where the block reaches that far, be followed by the last one
// (in x86 code the first byte alone is common). A start passed over this way
// could never complete, so it cannot change which occurrences are found.
std::size_t pass_through_run(const matcher& state, const unsigned char* data, std::size_t size) {
  if (state.length == 0) {
    return size;
  }
  if (state.partial != 0) {
    return 0;
  }
  const unsigned char first = state.pattern[0];
  const std::size_t last = state.length - 1;
  const unsigned char last_byte = state.pattern[last];
  std::size_t i = 0;
  while (i + chunk_size + last <= size) {
    unsigned char candidates = 0;
    for (std::size_t k = 0; k < chunk_size; ++k) {
      candidates |=
          static_cast<unsigned char>((data[i + k] == first) & (data[i + k + last] == last_byte));
    }
    if (candidates != 0) {
      break;
    }
    i += chunk_size;
  }
  for (; i + last < size; ++i) {
    if (data[i] == first && data[i + last] == last_byte) {
      return i;
    }
  }
  // Too near the end of the block to see the last byte: the next block decides.
  const void* next_start = std::memchr(data + i, first, size - i);
  if (next_start == nullptr) {
    return size;
  }
  return static_cast<std::size_t>(static_cast<const unsigned char*>(next_start) - data);
}

// Feeds one byte to the rule. Returns how many bytes it releases: the oldest
// of (held-back prefix, then `next_byte`) that can no longer be part of an
// occurrence. state.partial == state.length afterwards means one is complete.
std::size_t step(matcher& state, unsigned char next_byte) {
  const std::size_t held = state.partial;
  std::size_t matched = held;
  while (matched > 0 && next_byte != state.pattern[matched]) {
    matched = state.fallback[matched];
  }
  if (next_byte == state.pattern[matched]) {
    ++matched;
  }
  state.partial = matched;
  return held + 1 - matched;
}

}  // namespace

void start_matcher(matcher& state, const unsigned char* pattern, std::size_t length) {
  state.pattern = pattern;
  state.length = length;
  state.partial = 0;
  state.fallback[0] = 0;
  if (length == 0) {
    return;
  }
  state.fallback[1] = 0;
  std::size_t border = 0;
  for (std::size_t i = 1; i < length; ++i) {
    while (border > 0 && pattern[i] != pattern[border]) {
      border = state.fallback[border];
    }
    if (pattern[i] == pattern[border]) {
      ++border;
    }
    state.fallback[i + 1] = border;
  }
}

std::int64_t count_in_block(matcher& state, const unsigned char* data, std::size_t size) {
  std::int64_t found = 0;
  std::size_t i = 0;
  while (i < size) {
    i += pass_through_run(state, data + i, size - i);
    if (i == size) {
      break;
    }
    step(state, data[i++]);
    if (state.partial == state.length) {
      ++found;
      state.partial = 0;
    }
  }
  return found;
}

std::size_t rewrite_block(matcher& state, const unsigned char* replacement,
                          const unsigned char* data, std::size_t size, unsigned char* out,
                          std::int64_t& found) {
  unsigned char* next_out = out;
  std::size_t i = 0;
  while (i < size) {
    const std::size_t run = pass_through_run(state, data + i, size - i);
    std::memcpy(next_out, data + i, run);
    next_out += run;
    i += run;
    if (i == size) {
      break;
    }
    const std::size_t held = state.partial;
    const unsigned char next_byte = data[i++];
    const std::size_t released = step(state, next_byte);
    const std::size_t released_from_pattern = released < held ? released : held;
    std::memcpy(next_out, state.pattern, released_from_pattern);
    next_out += released_from_pattern;
    if (released > held) {
      *next_out++ = next_byte;
    }
    if (state.partial == state.length) {
      std::memcpy(next_out, replacement, state.length);
      next_out += state.length;
      ++found;
      state.partial = 0;
    }
  }
  return static_cast<std::size_t>(next_out - out);
}

std::size_t finish_rewrite(const matcher& state, unsigned char* out) {
  if (state.partial == 0) {
    return 0;
  }
  std::memcpy(out, state.pattern, state.partial);
  return state.partial;
}
