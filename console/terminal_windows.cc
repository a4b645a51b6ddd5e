// A Windows console: players double-click the program and get a console
// window of its own, cleared and coloured by the command interpreter, whose
// colour goes with the window. Redirected output (a pipe, a file) gets the
// code page 437 bytes as they are, which scripts rely on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "console/interruptions.hpp"
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

bool widen(UINT code_page, std::string_view text, std::wstring& wide) {
  const int length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  if (wide_length <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(wide_length), L'\0');
  return MultiByteToWideChar(code_page, 0, text.data(), length, wide.data(), wide_length) ==
         wide_length;
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

// Interruptions, as the console reports them: on a thread of their own,
// while the program goes on.
bool handler_installed = false;

BOOL WINAPI on_console_event(DWORD event) {
  if (!note_interruption(static_cast<int>(event))) {
    // Not in a patch: the system's own handling ends the program at once.
    return FALSE;
  }
  // The patch ends the process itself once its files are in order.
  // Returning would let the system end it first when the window is being
  // closed, so this thread waits for that end; the system still ends the
  // process five seconds after a close, which the patch's longest finish
  // is kept within.
  Sleep(INFINITE);
  return TRUE;
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

void clear_screen() {
  if (is_console) {
    run_console_command("cls");
  }
}

void console_write(std::string_view text) {
  std::wstring wide;
  if (!is_console || text.empty()) {
    write_bytes(text);
  } else if (widen(program_code_page, text, wide)) {
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
  if (utf8.empty() || !widen(CP_UTF8, utf8, wide)) {
    return;
  }
  if (is_console) {
    write_wide(wide);
    return;
  }
  // Redirected output stays code page 437; a letter it lacks becomes its
  // nearest look-alike there, or a question mark.
  const int length = static_cast<int>(wide.size());
  const int size =
      WideCharToMultiByte(program_code_page, 0, wide.data(), length, nullptr, 0, "?", nullptr);
  std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0 && WideCharToMultiByte(program_code_page, 0, wide.data(), length, narrow.data(),
                                      size, "?", nullptr) == size) {
    write_bytes(narrow);
  } else {
    write_bytes(utf8);
  }
}

void install_interruption_handler() {
  if (!handler_installed) {
    // Without the handler an interruption still ends the program at once, as
    // it always did; nothing to tell the player.
    handler_installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
  }
}

void end_as_interrupted(int) {
  fflush(stdout);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}
