// The stopping signals a player's terminal sends: caught only while the
// program has something to hold them for or to give back (its colours),
// and otherwise left to end it as they always do.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "console/interruptions.hpp"
#include "console/terminal.hpp"

namespace {

// Ctrl-C, Ctrl-\, a closed window, a polite kill.
constexpr int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool handler_installed = false;

// Dies of `signal_number` as if it had never been caught, giving the
// terminal back first. Only async-signal-safe calls here.
[[noreturn]] void die_of(int signal_number) {
  give_terminal_back();
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

// Interrupted at a prompt (Ctrl-C, a closed window): die of the same signal,
// so the caller sees what happened. During a patch the signal is only noted.
void on_stopping_signal(int signal_number) {
  if (!note_interruption(signal_number)) {
    die_of(signal_number);
  }
}

}  // namespace

void install_interruption_handler() {
  if (handler_installed) {
    return;
  }
  handler_installed = true;
  for (int signal_number : stopping_signals) {
    struct sigaction old;
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action = {};
    action.sa_handler = on_stopping_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
  }
}

void end_as_interrupted(int how) {
  // Outside the handler stdio is safe, and what the player was told is on
  // the screen before the end.
  fflush(stdout);
  die_of(how);
}
