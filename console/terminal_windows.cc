// A Windows console: players double-click the program and get a console
// window of its own, cleared and coloured by the command interpreter, whose
// colour goes with the window. Redirected output (a pipe, a file) gets the
// code page 437 bytes as they are, which scripts rely on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "console/terminal.hpp"
#include "patcher/unicode_windows.hpp"

namespace {

constexpr UINT program_code_page = 437;

HANDLE output = INVALID_HANDLE_VALUE;
bool is_console = false;

void run_console_command(const char* command) {
  // A console that will not clear or colour still shows every word; the
  // patch goes on regardless, so the status is not worth reporting.
  fflush(stdout);
  (void)system(command);
}

// The console's own code page may be anything (often 850 or 65001), so the
// text goes in as UTF-16, which every console shows as it is.
void write_wide(const std::wstring& wide) {
  const wchar_t* rest = wide.data();
  DWORD left = static_cast<DWORD>(wide.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(output, rest, left, &written, nullptr) || written == 0) {
      // A console that takes no more has nowhere to report it either.
      return;
    }
    rest += written;
    left -= written;
  }
}

void write_bytes(std::string_view text) {
  // Text mode turns each "\n" into CR LF. A failing pipe or file has nowhere
  // to be reported, as with every console write.
  (void)fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

void start_console() {
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  is_console =
      output != INVALID_HANDLE_VALUE && output != nullptr && GetConsoleMode(output, &mode) != 0;
  if (is_console) {
    run_console_command("color 0c");
  }
}

bool is_platform_help_request(std::string_view argument) { return argument == "/?"; }

// The colour belongs to the console: a window started for the program goes
// with it, and a prompt it was started from is left red, as it always was.
void give_terminal_back() {}

void clear_screen() {
  if (is_console) {
    run_console_command("cls");
  }
}

void console_write(std::string_view text) {
  std::wstring wide;
  if (!is_console || text.empty()) {
    write_bytes(text);
  } else if (from_code_page(program_code_page, text, wide)) {
    write_wide(wide);
  } else {
    // Without the code page the bytes still carry every letter and digit.
    DWORD written = 0;
    (void)WriteConsoleA(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

void console_flush() { fflush(stdout); }

void console_write_unicode(std::string_view utf8) {
  std::wstring wide;
  if (utf8.empty() || !to_wide(utf8, wide)) {
    return;
  }
  if (is_console) {
    write_wide(wide);
    return;
  }
  // Redirected output stays code page 437; a letter it lacks becomes its
  // nearest look-alike there, or a question mark.
  std::string narrow;
  write_bytes(to_code_page(program_code_page, wide, narrow) ? narrow : std::string(utf8));
}
