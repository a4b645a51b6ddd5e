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

bool from_program_code_page(std::string_view text, std::wstring& wide) {
  const int length = static_cast<int>(text.size());
  const int wide_length =
      MultiByteToWideChar(program_code_page, 0, text.data(), length, nullptr, 0);
  if (wide_length <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(wide_length), L'\0');
  return MultiByteToWideChar(program_code_page, 0, text.data(), length, wide.data(), wide_length) ==
         wide_length;
}

// The console's own code page may be anything (often 850 or 65001), so the
// text goes in as UTF-16, which every console shows as it is.
void write_to_console(std::string_view text) {
  if (text.empty()) {
    return;
  }
  std::wstring wide;
  if (!from_program_code_page(text, wide)) {
    // Without the code page the bytes still carry every letter and digit.
    DWORD written = 0;
    (void)WriteConsoleA(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
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

void clear_screen() {
  if (is_console) {
    run_console_command("cls");
  }
}

void console_write(std::string_view text) {
  if (is_console) {
    write_to_console(text);
    return;
  }
  // Text mode turns each "\n" into CR LF. A failing pipe or file has nowhere
  // to be reported, as with every console write.
  (void)fwrite(text.data(), 1, text.size(), stdout);
}

void console_flush() { fflush(stdout); }

void console_write_unicode(std::string_view utf8) { console_write(utf8); }

void hold_interruptions() {}

bool interruption_pending() { return false; }

void end_interrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

void release_interruptions() {}
