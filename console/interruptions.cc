// The interruption state shared by every platform. The handler reports from
// a signal handler (POSIX) or from a thread of the console's own (Windows),
// while the program changes the state from the main thread: one lock-free
// word holds both the mode and the interruption held, so that neither side
// can miss what the other did, and the handler may touch it at any moment.
#include <atomic>

#include "console/interruptions.hpp"
#include "patcher/give_up.hpp"

namespace {

// The low byte: the mode. Above it: the interruption held, plus one (a
// Windows Ctrl-C is event 0), or 0 for none.
std::atomic<unsigned> state{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

constexpr unsigned mode_mask = 0xFF;

on_interruption mode_of(unsigned word) { return static_cast<on_interruption>(word & mode_mask); }
unsigned held_of(unsigned word) { return word >> 8; }

}  // namespace

void hold_interruptions(on_interruption how) {
  install_interruption_handler();
  unsigned word = state.load();
  while (!state.compare_exchange_weak(word, (word & ~mode_mask) | static_cast<unsigned>(how))) {
  }
}

bool should_give_up() {
  const unsigned word = state.load();
  return mode_of(word) == on_interruption::give_up && held_of(word) != 0;
}

void release_interruptions() {
  const unsigned word = state.exchange(0);
  if (held_of(word) != 0) {
    end_as_interrupted(static_cast<int>(held_of(word) - 1));
  }
}

bool note_interruption(int how) {
  unsigned word = state.load();
  do {
    if (mode_of(word) == on_interruption::off) {
      return false;
    }
    if (held_of(word) != 0) {
      // The first one decides how the program ends.
      return true;
    }
  } while (!state.compare_exchange_weak(word, word | (static_cast<unsigned>(how) + 1) << 8));
  return true;
}
