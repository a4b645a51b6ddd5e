// A Windows console: most players double-click the program and get a console
// window of their own, but some run it from a cmd prompt that they keep, so
// the colours we set are given back. Redirected output (a pipe, a file) gets
// the code page 437 bytes as they are, which scripts rely on.
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
WORD players_attributes = 0;

void run_console_command(const char* command) {
  // A console that will not clear or colour still shows every word; the
  // patch goes on regardless, so the status is not worth reporting.
  fflush(stdout);
  (void)system(command);
}

// "color" repaints the whole window; painting it back is the way to undo it.
void restore_colours() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(output, &info)) {
    return;
  }
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
  DWORD painted = 0;
  // Nothing left to tell the player if the console refuses; we are leaving.
  (void)FillConsoleOutputAttribute(output, players_attributes, cells, COORD{0, 0}, &painted);
  (void)SetConsoleTextAttribute(output, players_attributes);
}

BOOL WINAPI restore_colours_on_interrupt(DWORD event) {
  (void)event;
  restore_colours();
  // Not handled: the default handler still ends the program.
  return FALSE;
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
  if (!is_console) {
    return;
  }
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(output, &info)) {
    players_attributes = info.wAttributes;
    atexit(restore_colours);
    (void)SetConsoleCtrlHandler(restore_colours_on_interrupt, TRUE);
  }
  run_console_command("color 0c");
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
