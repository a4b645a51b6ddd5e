#include <gtest/gtest.h>

#include <random>

#include "patcher/matcher_check.hpp"
#include "patcher/patch.hpp"

namespace {

const bytes search(search_bytes, search_bytes + pattern_length);
const bytes replacement(replacement_bytes, replacement_bytes + pattern_length);

// The parts, one after another.
bytes cat(std::initializer_list<bytes> parts) {
  bytes joined;
  for (const bytes& part : parts) {
    joined.insert(joined.end(), part.begin(), part.end());
  }
  return joined;
}

// The first `n` bytes of the search bytes: a partial match.
bytes start(std::size_t n) { return bytes(search.begin(), search.begin() + n); }

void expect_for_every_block_size(const bytes& input, std::int64_t count, const bytes& output) {
  for (std::size_t block = 1; block <= input.size() + 1; ++block) {
    const pass_result result = run_passes(input, block, search, replacement);
    EXPECT_EQ(result.counted, count) << "block size " << block;
    EXPECT_EQ(result.replaced, count) << "block size " << block;
    EXPECT_EQ(result.output, output) << "block size " << block;
  }
}

TEST(MatcherTest, FindsTheSearchBytesWhereverTheyStand) {
  expect_for_every_block_size({}, 0, {});
  expect_for_every_block_size(search, 1, replacement);

  expect_for_every_block_size(cat({search, search}), 2, cat({replacement, replacement}));

  expect_for_every_block_size(cat({{0x00}, search, {0x00}}), 1, cat({{0x00}, replacement, {0x00}}));
}

TEST(MatcherTest, CopiesAPatternCutShortAtTheEndUnchanged) {
  const bytes cut = cat({{0x41}, start(pattern_length - 1)});
  expect_for_every_block_size(cut, 0, cut);
  const bytes lone_start = start(1);
  expect_for_every_block_size(lone_start, 0, lone_start);
}

// A byte that breaks a partial match can itself start the occurrence.
TEST(MatcherTest, RetriesTheByteThatBreaksAPartialMatch) {
  for (const bytes& broken : {start(1), cat({start(1), start(1)}), start(pattern_length - 1)}) {
    SCOPED_TRACE(broken.size());
    expect_for_every_block_size(cat({broken, search}), 1, cat({broken, replacement}));
  }

  // Two occurrences, the second right after a partial match: never let
  // through as a single one.
  const bytes hidden_second = cat({search, start(3), search});
  EXPECT_EQ(run_passes(hidden_second, 4096, search, replacement).counted, 2);
}

// `size` random bytes from `lowest` to `lowest + spread - 1`.
bytes random_bytes(std::mt19937& random, std::size_t size, unsigned lowest, unsigned spread) {
  bytes result(size);
  for (auto& b : result) {
    b = static_cast<unsigned char>(lowest + random() % spread);
  }
  return result;
}

// `made` as the job's patterns and replacements are: no byte past its first
// is `first`, the pattern's first byte; another of the letters 0 to 2 stands
// in for it.
bytes first_once(bytes made, unsigned char first) {
  for (std::size_t i = 1; i < made.size(); ++i) {
    if (made[i] == first) {
      made[i] = static_cast<unsigned char>((first + 1) % 3);
    }
  }
  return made;
}

void expect_plain_search_result(const bytes& input, std::size_t block, const bytes& pattern,
                                const bytes& substitute) {
  const pass_result expected = plain_search(input, pattern, substitute);
  const pass_result result = run_passes(input, block, pattern, substitute);
  ASSERT_EQ(result.counted, expected.counted);
  ASSERT_EQ(result.replaced, expected.counted);
  ASSERT_EQ(result.output, expected.output);
}

// A small alphabet makes partial matches common, and replacements of the
// same letters put bytes like the pattern's where the search goes on.
TEST(MatcherTest, AgreesWithAPlainSearchOnRandomInput) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t pattern_size = 1 + random() % 6;
    bytes pattern = random_bytes(random, pattern_size, 0, 3);
    pattern = first_once(pattern, pattern[0]);
    const bytes substitute = first_once(random_bytes(random, pattern_size, 0, 5), pattern[0]);
    const bytes input = random_bytes(random, random() % 64, 0, 3);
    expect_plain_search_result(input, 1 + random() % 8, pattern, substitute);
  }
}

// Long stretches where no occurrence can start are skipped at once; starts
// and pattern pieces scattered through them, at any block size, must still
// give exactly what the plain search gives.
TEST(MatcherTest, AgreesWithAPlainSearchWhenStartsAreSparse) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 500; ++round) {
    const std::size_t pattern_size = 1 + random() % 6;
    bytes pattern = random_bytes(random, pattern_size, 1, 2);
    pattern = first_once(pattern, pattern[0]);
    const bytes substitute = first_once(random_bytes(random, pattern_size, 3, 2), pattern[0]);
    bytes input(random() % 1000);
    for (auto& b : input) {
      // Mostly filler, now and then a first or last pattern byte alone.
      const unsigned roll = random() % 100;
      b = roll < 3 ? pattern.front() : roll < 6 ? pattern.back() : 0;
    }
    // A few pieces of the pattern, some whole, at random places.
    for (int piece = 0; piece < 3 && !input.empty(); ++piece) {
      const std::size_t piece_size = 1 + random() % pattern_size;
      const std::size_t at = random() % input.size();
      for (std::size_t k = 0; k < piece_size && at + k < input.size(); ++k) {
        input[at + k] = pattern[k];
      }
    }
    expect_plain_search_result(input, 1 + random() % (input.size() + 1), pattern, substitute);
  }
}

}  // namespace
