// camera-patch: shows the menu, and on "c" patches VELORAC.EXE in the
// current folder, or the one dropped on the program. Runs once, top to
// bottom; there is no second menu. With --restore it undoes the patch.
#include <cstring>
#include <string>
#include <vector>

#include "console/advice.hpp"
#include "console/arguments.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/patch.hpp"

int main(int argc, char* argv[]) {
  const std::vector<std::string> arguments = program_arguments(argc, argv);
  // The questions every command answers get their answer alone: no colour,
  // no cleared screen, no menu.
  if (!arguments.empty()) {
    if (const char* answer = answer_to(arguments.front())) {
      return print_answer(answer);
    }
  }
  const bool restore = !arguments.empty() && arguments.front() == "--restore";
  // Dropping a file on a program starts it with the file's path: that file,
  // or the game in the folder dropped, is the one to patch.
  const std::size_t path_at = restore ? 1 : 0;
  std::string game = target_name;
  const given choice =
      game_from_argument(arguments.size() > path_at ? arguments[path_at] : "", game);
  remember_start(argc > 0 ? argv[0] : nullptr, choice == given::game ? game : "");
  start_console();
  if (choice == given::other_file || choice == given::nowhere) {
    return refuse_argument(game, choice);
  }
  if (restore) {
    return restore_backup(game.c_str());
  }
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
    apply_patch(game.c_str());
    return 0;
  }
  // Anything else is not a choice; leave without a word, as for "q".
  return 0;
}
