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

// Set once, before the handler that reads it from a signal is installed.
volatile sig_atomic_t colours_set = 0;

void restore_colours_at_exit() {
  write_raw(reset_colour);
  fflush(stdout);
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
  colours_set = 1;
  atexit(restore_colours_at_exit);
  // A stopping signal must give the colours back too.
  install_interruption_handler();
}

void give_terminal_back() {
  // Called from a signal handler too: a bare write, no stdio, whose buffer
  // may be mid-update.
  if (colours_set != 0) {
    ssize_t ignored = write(STDOUT_FILENO, reset_colour, sizeof reset_colour - 1);
    (void)ignored;
  }
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
