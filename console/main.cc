// camera-patch: shows the menu, and on "c" patches VELORAC.EXE in the
// current folder. Runs once, top to bottom; there is no second menu.
#include <cstring>

#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/patch.hpp"

int main() {
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
