// The matcher's throughput in memory, fed in the passes' 1 MiB blocks, over
// x86-like content: the cost the passes add on top of reading and writing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench/x86_like.hpp"
#include "patcher/matcher.hpp"

namespace {

constexpr std::size_t input_size = std::size_t{64} << 20;
constexpr std::size_t block_size = std::size_t{1} << 20;

const std::vector<unsigned char>& x86_like_input() {
  static const std::vector<unsigned char> input = [] {
    std::vector<unsigned char> bytes(input_size);
    x86_like_source source;
    fill_x86_like(source, bytes.data(), bytes.size());
    const std::size_t middle = bytes.size() / 2;
    std::copy(search_bytes, search_bytes + pattern_length, bytes.begin() + middle);
    return bytes;
  }();
  return input;
}

// The input is in memory already, so each block's window is laid over it
// in place, the bytes before the block as the ones kept.
void count_in_blocks(benchmark::State& state) {
  const std::vector<unsigned char>& input = x86_like_input();
  for (auto _ : state) {
    window w{nullptr, pattern_length};
    std::int64_t found = 0;
    for (std::size_t at = 0; at < input.size(); at += block_size) {
      w.bytes = const_cast<unsigned char*>(input.data()) + at - w.kept;
      w.size = w.kept;
      take_block(w, block_size);
      found += search_window(w, search_bytes);
    }
    if (found != 1) {
      state.SkipWithError("the search bytes were not found exactly once");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

// Each block is copied into the window, as a read would put it there, and
// rewritten in it.
void rewrite_blocks(benchmark::State& state) {
  const std::vector<unsigned char>& input = x86_like_input();
  std::vector<unsigned char> room(pattern_length - 1 + block_size);
  for (auto _ : state) {
    window w{room.data(), pattern_length};
    std::int64_t found = 0;
    for (std::size_t at = 0; at < input.size(); at += block_size) {
      std::copy_n(input.data() + at, block_size, next_block(w));
      take_block(w, block_size);
      found += search_window(w, search_bytes, replacement_bytes);
      benchmark::DoNotOptimize(w.bytes);
      benchmark::ClobberMemory();
    }
    if (found != 1) {
      state.SkipWithError("the search bytes were not found exactly once");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

// The density the matcher meets, so a change to the stand-in shows here.
void report_first_byte_share(benchmark::State& state) {
  const std::vector<unsigned char>& input = x86_like_input();
  std::size_t first_bytes = 0;
  for (auto _ : state) {
    first_bytes = static_cast<std::size_t>(std::count(input.begin(), input.end(), search_bytes[0]));
    benchmark::DoNotOptimize(first_bytes);
  }
  state.counters["first_byte_percent"] =
      100.0 * static_cast<double>(first_bytes) / static_cast<double>(input.size());
}

}  // namespace

BENCHMARK(count_in_blocks)->Unit(benchmark::kMillisecond);
BENCHMARK(rewrite_blocks)->Unit(benchmark::kMillisecond);
BENCHMARK(report_first_byte_share)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
