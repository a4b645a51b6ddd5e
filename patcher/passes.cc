// The file passes: each reads its input once, front to back, in large blocks,
// and keeps nothing but the blocks and the matcher, whatever the file's size.
#include "console/interruptions.hpp"
#include "patcher/matcher.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"

namespace {

constexpr std::size_t block_size = 1 << 20;

// One pass runs at a time, so the passes share these instead of putting two
// megabytes on the stack (Windows gives a thread only one).
unsigned char input_block[block_size];
unsigned char output_block[block_size + max_pattern_length];

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

}  // namespace

std::int64_t count_matches(open_file& in, const unsigned char* pattern, std::size_t length,
                           io_error& error) {
  matcher state;
  start_matcher(state, pattern, length);
  std::int64_t found = 0;
  for (;;) {
    std::size_t got = 0;
    if (interrupted(error) || !read_some(in, input_block, block_size, got, error)) {
      return -1;
    }
    if (got == 0) {
      return found;
    }
    found += count_in_block(state, input_block, got);
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
    if (interrupted(error) || !read_some(in, input_block, block_size, got, error)) {
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
    if (interrupted(error) || !read_some(in, input_block, block_size, got, error)) {
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
