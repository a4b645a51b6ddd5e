// camera-patch: shows the menu, and on "c" patches VELORAC.EXE in the
// current folder. Runs once, top to bottom; there is no second menu.
#include <cstring>

#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/patch.hpp"

int main(int argc, char* argv[]) {
  // The questions every command answers get their answer alone: no colour,
  // no cleared screen, no menu. Any other argument is ignored, so a file
  // dropped on the program still gets the menu.
  if (argc > 1) {
    if (const char* answer = answer_to(argv[1])) {
      return print_answer(answer);
    }
  }
  start_console();
  clear_screen();
  draw_banner();
  draw_menu();

  char reply[reply_size];
  if (!read_reply(reply)) {
    return 0;
  }
  if (std::strcmp(reply, "q\n") == 0) {
    return 0;
  }
  if (std::strcmp(reply, "c\n") == 0) {
    // Failures inside end the process themselves; a missing file is not one.
    apply_patch(target_name);
    return 0;
  }
  // Anything else is not a choice; leave without a word, as for "q".
  return 0;
}
