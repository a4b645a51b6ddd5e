// The file passes: each reads its input once, front to back, in large blocks,
// and keeps nothing but the blocks and the matcher, whatever the file's size.
#include <cstring>

#include "patcher/give_up.hpp"
#include "patcher/matcher.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"

namespace {

constexpr std::size_t block_size = 1 << 20;

// One pass runs at a time, so the passes share these instead of putting
// megabytes on the stack (Windows gives a thread only one).
unsigned char input_block[block_size];
unsigned char output_block[block_size + max_pattern_length];
unsigned char second_block[block_size + max_pattern_length];

// An interruption the patch may give up for stops a pass between blocks, so
// a large copy ends within a block of Ctrl-C; the procedure then removes its
// temporary files, which leaves the folder as it was. A pass the patch must
// finish (a game put back from its backup) runs to its end.
bool interrupted(io_error& error) {
  if (!should_give_up()) {
    return false;
  }
  error.action = messages::unshown::finish;
  error.reason = messages::unshown::interrupted;
  return true;
}

// Reads the next block of `in`; `got` is 0 at its end.
bool read_block(open_file& in, std::size_t& got, io_error& error) {
  return !interrupted(error) && read_some(in, input_block, block_size, got, error);
}

// Reads until `wanted` bytes are there or the file ends.
bool read_fully(open_file& in, unsigned char* into, std::size_t wanted, std::size_t& got,
                io_error& error) {
  got = 0;
  while (got < wanted) {
    std::size_t more = 0;
    if (!read_some(in, into + got, wanted - got, more, error)) {
      return false;
    }
    if (more == 0) {
      break;
    }
    got += more;
  }
  return true;
}

}  // namespace

std::int64_t count_matches(open_file& in, const unsigned char* pattern, std::size_t length,
                           io_error& error, const unsigned char* second,
                           std::int64_t* second_found) {
  matcher state;
  matcher second_state;
  start_matcher(state, pattern, length);
  start_matcher(second_state, second, second == nullptr ? 0 : length);
  std::int64_t found = 0;
  for (;;) {
    std::size_t got = 0;
    if (!read_block(in, got, error)) {
      return -1;
    }
    if (got == 0) {
      return found;
    }
    found += count_in_block(state, input_block, got);
    if (second != nullptr) {
      *second_found += count_in_block(second_state, input_block, got);
    }
  }
}

std::int64_t replace_matches(open_file& in, open_file& out, const unsigned char* pattern,
                             const unsigned char* replacement, std::size_t length,
                             io_error& error) {
  matcher state;
  start_matcher(state, pattern, length);
  std::int64_t found = 0;
  for (;;) {
    std::size_t got = 0;
    if (!read_block(in, got, error)) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    const std::size_t decided =
        rewrite_block(state, replacement, input_block, got, output_block, found);
    if (!write_all(out, output_block, decided, error)) {
      return -1;
    }
  }
  const std::size_t held = finish_rewrite(state, output_block);
  if (!write_all(out, output_block, held, error)) {
    return -1;
  }
  return found;
}

bool copy_contents(open_file& in, open_file& out, io_error& error) {
  for (;;) {
    std::size_t got = 0;
    if (!read_block(in, got, error)) {
      return false;
    }
    if (got == 0) {
      return true;
    }
    if (!write_all(out, input_block, got, error)) {
      return false;
    }
  }
}

bool compare_with_backup(open_file& backup, open_file& game, backup_comparison& result,
                         io_error& error) {
  // The backup goes through the rewriting rule as the patch would write it,
  // and the game's bytes are held to both. The rewritten bytes lag behind
  // the backup's by a partial match at most, so the game's bytes not yet
  // held to them wait at the front of second_block.
  matcher state;
  start_matcher(state, search_bytes, pattern_length);
  result = backup_comparison{};
  std::size_t waiting = 0;
  for (;;) {
    std::size_t got = 0;
    std::size_t got_game = 0;
    if (!read_block(backup, got, error) ||
        !read_fully(game, second_block + waiting, got == 0 ? 1 : got, got_game, error)) {
      return false;
    }
    if (got == 0) {
      // The game's file must end where the backup does.
      const std::size_t held = finish_rewrite(state, output_block);
      result.same = result.same && got_game == 0;
      result.patched = result.patched && got_game == 0 && waiting == held &&
                       std::memcmp(output_block, second_block, held) == 0;
      return true;
    }
    const std::size_t decided =
        rewrite_block(state, replacement_bytes, input_block, got, output_block, result.occurrences);
    result.same = result.same && got_game == got &&
                  std::memcmp(input_block, second_block + waiting, got) == 0;
    // A game file cut short leaves the rest of second_block as it was: the
    // patched copy is held to the bytes read alone.
    const std::size_t comparable = std::min(decided, waiting + got_game);
    result.patched = result.patched && got_game == got &&
                     std::memcmp(output_block, second_block, comparable) == 0;
    waiting = waiting + got_game - comparable;
    std::memmove(second_block, second_block + comparable, waiting);
  }
}

bool count_patch_bytes(open_file& in, patch_bytes_count& count, io_error& error) {
  count.search =
      count_matches(in, search_bytes, pattern_length, error, replacement_bytes, &count.replacement);
  return count.search >= 0;
}
