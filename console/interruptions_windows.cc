// Interruptions as the Windows console reports them: on a thread of their
// own, while the program goes on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

#include "console/interruptions.hpp"

namespace {

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
