// Where the patch's bytes stand in input read one block at a time, so no
// pass needs to see the whole file. Only as general as the job: a pattern
// of one to a few bytes whose first byte recurs nowhere else in it, nor in
// its replacement after the first. Occurrences then never overlap, so each
// is a leftmost non-overlapping one, and a replacement written over one
// never starts another.
#pragma once

#include <cstddef>
#include <cstdint>

// The input as the passes see it: each block is read in behind the last
// bytes of the block before, one fewer than the pattern's length, so an
// occurrence that straddles two blocks lies whole in the window.
struct window {
  unsigned char* bytes;  // room for length - 1 bytes and a block
  std::size_t length;    // the pattern's, at least 1
  std::size_t size = 0;  // bytes in the window
  std::size_t kept = 0;  // of them, the last ones, kept for the next block
};

// Where the next block is to be read: behind the kept bytes, now moved to the front.
unsigned char* next_block(window& w);

// Takes in the `got` bytes read at next_block's address, 0 at the end of
// the input. Returns how many bytes at the window's front no later block
// can make part of an occurrence (all of them at the end), which the
// rewriting pass writes out once the window is searched.
std::size_t take_block(window& w, std::size_t got);

// Counts the occurrences of `pattern` (w.length bytes) in the window,
// writing `replacement` over each when one is given.
std::int64_t search_window(window& w, const unsigned char* pattern,
                           const unsigned char* replacement = nullptr);
