// Writes a stand-in target of any size for the benchmarks: x86-like bytes
// holding the search bytes exactly once, at a chosen offset.
//
//   make_target FILE SIZE OFFSET
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/x86_like.hpp"

namespace {

constexpr std::size_t block_size = 1 << 20;

bool parse_size(const char* text, std::uint64_t& value) {
  const char* end = text + std::strlen(text);
  const auto result = std::from_chars(text, end, value);
  return result.ec == std::errc() && result.ptr == end;
}

// Overwrites whatever part of the search bytes falls in the block that
// starts at `block_start`.
void plant_search_bytes(unsigned char* block, std::uint64_t block_start, std::size_t size,
                        std::uint64_t offset) {
  for (std::size_t i = 0; i < pattern_length; ++i) {
    const std::uint64_t at = offset + i;
    if (at >= block_start && at < block_start + size) {
      block[at - block_start] = search_bytes[i];
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
  if (argc != 4 || !parse_size(argv[2], size) || !parse_size(argv[3], offset) || offset > size ||
      size - offset < pattern_length) {
    std::fprintf(stderr, "usage: make_target FILE SIZE OFFSET (OFFSET + 6 <= SIZE)\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  x86_like_source source;
  std::vector<unsigned char> block(block_size);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t chunk =
        static_cast<std::size_t>(size - done < block_size ? size - done : block_size);
    fill_x86_like(source, block.data(), chunk);
    plant_search_bytes(block.data(), done, chunk, offset);
    if (std::fwrite(block.data(), 1, chunk, out) != chunk) {
      std::perror(argv[1]);
      std::fclose(out);
      return 1;
    }
    done += chunk;
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
