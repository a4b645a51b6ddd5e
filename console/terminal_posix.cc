// A POSIX terminal: the player's own shell, so whatever we change in it we
// must change back. Escape sequences go out only to a terminal that can take
// them; a pipe or a file gets the bare text, which scripts rely on.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "console/interruptions.hpp"
#include "console/terminal.hpp"

namespace {

constexpr char set_colour[] = "\x1b[91;40m";
constexpr char reset_colour[] = "\x1b[0m";
constexpr char clear_and_home[] = "\x1b[2J\x1b[H";

bool smart_terminal = false;

// The code page 437 box-drawing bytes the screens use, as UTF-8.
const char* box_drawing_utf8(unsigned char byte) {
  switch (byte) {
    case 0xB3:
      return "\u2502";
    case 0xBF:
      return "\u2510";
    case 0xC0:
      return "\u2514";
    case 0xC4:
      return "\u2500";
    case 0xD9:
      return "\u2518";
    case 0xDA:
      return "\u250C";
    default:
      return nullptr;
  }
}

void write_raw(const char* bytes) {
  // Nowhere left to report a failing console; the patch must go on regardless.
  fputs(bytes, stdout);
}

void restore_colours_at_exit() {
  write_raw(reset_colour);
  fflush(stdout);
}

// The signals a player's terminal sends to stop a program: Ctrl-C, Ctrl-\,
// a closed window, a polite kill.
constexpr int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool colours_set = false;
bool handler_installed = false;

// Dies of `signal_number` as if it had never been caught, giving the shell
// its colours back first.
[[noreturn]] void die_of(int signal_number) {
  // Only async-signal-safe calls here; stdio's buffer may be mid-update.
  if (colours_set) {
    ssize_t ignored = write(STDOUT_FILENO, reset_colour, sizeof reset_colour - 1);
    (void)ignored;
  }
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

void catch_stopping_signals() {
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

}  // namespace

void start_console() {
  // A reader that went away must not kill us in the middle of a patch, nor
  // may a limit on file sizes (ulimit -f): the write then fails with EFBIG,
  // which the patch reports, removing its files.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  const char* term = getenv("TERM");
  smart_terminal = isatty(STDOUT_FILENO) && term != nullptr && strcmp(term, "dumb") != 0;
  const char* no_color = getenv("NO_COLOR");
  if (!smart_terminal || (no_color != nullptr && no_color[0] != '\0')) {
    return;
  }
  write_raw(set_colour);
  colours_set = true;
  atexit(restore_colours_at_exit);
  catch_stopping_signals();
}

bool is_platform_help_request(std::string_view) { return false; }

void clear_screen() {
  if (smart_terminal) {
    write_raw(clear_and_home);
  }
}

void console_write(std::string_view text) {
  std::string shown;
  shown.reserve(text.size() * 3);
  for (const char c : text) {
    const char* box = box_drawing_utf8(static_cast<unsigned char>(c));
    if (box != nullptr) {
      shown += box;
    } else {
      shown += c;
    }
  }
  // As with every console write: a failure has nowhere to be reported.
  fwrite(shown.data(), 1, shown.size(), stdout);
}

void console_flush() { fflush(stdout); }

void console_write_unicode(std::string_view utf8) { fwrite(utf8.data(), 1, utf8.size(), stdout); }

void install_interruption_handler() { catch_stopping_signals(); }

void end_as_interrupted(int how) {
  fflush(stdout);
  die_of(how);
}
