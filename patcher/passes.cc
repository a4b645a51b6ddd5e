// The file passes: each reads its input once, front to back, in large blocks,
// and keeps nothing but the blocks, whatever the file's size.
#include <cstring>

#include "patcher/give_up.hpp"
#include "patcher/matcher.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"

namespace {

constexpr std::size_t block_size = 1 << 20;

// One pass runs at a time, so the passes share these instead of putting
// megabytes on the stack (Windows gives a thread only one). Each has room
// for a block behind the bytes a window keeps.
unsigned char input_block[pattern_length - 1 + block_size];
unsigned char game_block[pattern_length - 1 + block_size];

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

// Reads the next block of `in` into `into`; `got` is 0 at its end.
bool read_block(open_file& in, unsigned char* into, std::size_t& got, io_error& error) {
  return !interrupted(error) && read_some(in, into, block_size, got, error);
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

// Reads `in` to its end through a window for a pattern of `length` bytes,
// handing each window to `use` with the bytes just read (none at the end)
// and those settled. Returns false on a read error, an interruption, or
// when `use` does.
template <typename Use>
bool read_through_window(open_file& in, std::size_t length, io_error& error, Use use) {
  window input{input_block, length};
  for (;;) {
    std::size_t got = 0;
    if (!read_block(in, next_block(input), got, error)) {
      return false;
    }
    const std::size_t settled = take_block(input, got);
    if (!use(input, got, settled)) {
      return false;
    }
    if (got == 0) {
      return true;
    }
  }
}

}  // namespace

std::int64_t count_matches(open_file& in, const unsigned char* pattern, std::size_t length,
                           io_error& error) {
  std::int64_t found = 0;
  const bool read = read_through_window(in, length, error, [&](window& input, auto...) {
    found += search_window(input, pattern);
    return true;
  });
  return read ? found : -1;
}

bool count_patch_bytes(open_file& in, patch_bytes_count& count, io_error& error) {
  count = patch_bytes_count{};
  return read_through_window(in, pattern_length, error, [&](window& input, auto...) {
    count.search += search_window(input, search_bytes);
    count.replacement += search_window(input, replacement_bytes);
    return true;
  });
}

std::int64_t replace_matches(open_file& in, open_file& out, const unsigned char* pattern,
                             const unsigned char* replacement, std::size_t length,
                             io_error& error) {
  std::int64_t found = 0;
  const bool copied =
      read_through_window(in, length, error, [&](window& input, std::size_t, std::size_t settled) {
        found += search_window(input, pattern, replacement);
        return write_all(out, input.bytes, settled, error);
      });
  return copied ? found : -1;
}

bool copy_contents(open_file& in, open_file& out, io_error& error) {
  for (;;) {
    std::size_t got = 0;
    if (!read_block(in, input_block, got, error)) {
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
  // The backup is rewritten as the patch would write it, in its window, and
  // the game's file is read into a window of its own that keeps as many
  // bytes, so the two line up: each block of the game is held to the
  // backup's as read, and each settled stretch to the backup's as rewritten.
  window theirs{game_block, pattern_length};
  result = backup_comparison{};
  return read_through_window(
      backup, pattern_length, error, [&](window& ours, std::size_t got, std::size_t settled) {
        unsigned char* const game_read = next_block(theirs);
        std::size_t got_game = 0;
        // At the backup's end, the game's file must end too.
        if (!read_fully(game, game_read, got == 0 ? 1 : got, got_game, error)) {
          return false;
        }
        take_block(theirs, got);
        const bool as_long = got_game == got;
        const unsigned char* const backup_read = ours.bytes + ours.size - got;
        result.same = result.same && as_long && std::memcmp(backup_read, game_read, got) == 0;
        result.occurrences += search_window(ours, search_bytes, replacement_bytes);
        result.patched =
            result.patched && as_long && std::memcmp(ours.bytes, theirs.bytes, settled) == 0;
        return true;
      });
}
