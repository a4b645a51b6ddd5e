// The undo: the backup goes back in the game file's place, the same way the
// patch put the patched file there, but only when the backup is this game
// file's original. A backup left from another version of the game (after an
// update or a reinstall) must not be put over the new one.
#include "console/advice.hpp"
#include "console/interruptions.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"
#include "patcher/run.hpp"

namespace {

namespace common = messages::common;
namespace windows = messages::windows;

// The end of an undo that leaves the game as the original.
int end_restored(folder_work& work, const char* sentence) {
  end_run(work, {about(sentence, work)});
  say(common::closing);
  char reply[reply_size];
  // As after a patch: the line only keeps the window open.
  read_reply(reply);
  return 0;
}

// Reads the backup, and the game's file beside it when there is one.
bool compare_files(folder_work& work, bool game_there, backup_comparison& result, io_error& error) {
  open_file game;
  if (!open_for_reading(work.backup, work.reading, error, links::refused) ||
      !check_regular_file(work.reading, error)) {
    return false;
  }
  if (!game_there) {
    result.same = result.patched = false;
    result.occurrences = count_matches(work.reading, search_bytes, pattern_length, error);
    return result.occurrences >= 0 && close_file(work.reading, error);
  }
  if (!open_for_reading(work.target, game, error) || !check_regular_file(game, error) ||
      !identify_file(game, work.game, error)) {
    release_file(game);
    return false;
  }
  const bool compared = compare_with_backup(work.reading, game, result, error);
  release_file(game);
  return compared && close_file(work.reading, error);
}

}  // namespace

int restore_backup(const char* file_name) {
  clear_screen();
  draw_banner();

  folder_work work;
  work.target = file_name;
  found what = found::nothing;
  stop why;
  io_error error;
  if (!find_game(work, what, why)) {
    end_stopped(work, why);
  }
  if (what == found::nothing) {
    console_write("  \n");
    work.backup = work.target + backup_suffix;
    // As for a patch: a player who started it elsewhere learns where it looked.
    end_stopped(work, {{about(common::no_backup, work),
                        fill(common::looked_in, {{"folder", full_folder_of(work.target)}}),
                        point_at_game(true), common::nothing_changed_anywhere}});
  }
  if (!take_the_folder(work, why)) {
    end_stopped(work, why);
  }
  console_write("  \n");
  say(about(common::restoring, work));

  const bool game_there = what == found::game;
  backup_comparison compared;
  if (!compare_files(work, game_there, compared, error)) {
    if (error.not_found) {
      end_stopped(work, stopped(work, common::no_backup, nullptr, common::nothing_changed));
    }
    end_stopped(work, stopped(work, common::backup_not_read, &error,
                              game_there ? common::nothing_changed : common::no_game_to_put_back));
  }
  if (compared.same) {
    return end_restored(work, common::nothing_to_undo);
  }
  if (compared.occurrences != 1 || (game_there && !compared.patched)) {
    end_stopped(work, game_there ? stopped(work, common::not_its_original, nullptr,
                                           common::keep_other_backup)
                                 : stopped(work, common::no_original_in_backup, nullptr,
                                           common::nothing_changed_anywhere));
  }
  if (!game_there) {
    // As in a patch: once begun, the game is put back whatever comes.
    hold_interruptions(on_interruption::finish);
    switch (put_back_from_backup(work, error)) {
      case put_back::done:
        return end_restored(work, common::restored);
      case put_back::not_done:
        end_stopped(work,
                    stopped(work, common::missing_not_put_back, &error, common::copy_backup_back));
      case put_back::unsafe:
        end_stopped(work, stopped(work, common::restore_unsafe, &error, common::put_back));
    }
  }
  if (!check_game_replaceable(work, why)) {
    end_stopped(work, why);
  }

  // Given up until the copy takes the game file's place, finished after.
  hold_interruptions(on_interruption::abandon);
  if (!write_exact_copy(work, work.backup, work.target, work.new_target, error)) {
    end_stopped(work, stopped(work, common::not_restored, &error, common::nothing_changed));
  }
  bool unchanged = false;
  if (!game_unchanged(work, unchanged, error)) {
    end_stopped(work, stopped(work, common::not_checked_again, &error, common::nothing_changed));
  }
  if (!unchanged) {
    end_stopped(work, stopped(work, common::changed_while_restored, nullptr,
                              common::left_as_other_made_it));
  }
  if (!check_game_replaceable(work, why)) {
    end_stopped(work, why);
  }
  give_up_if_asked(work);

  hold_interruptions(on_interruption::finish);
  switch (put_in_place(work, work.new_target, error)) {
    case placed::in_place:
    case placed::put_back:
      break;
    case placed::unchanged:
      end_stopped(work, stopped(work, common::not_restored, &error, common::nothing_changed));
    case placed::put_back_unsafe:
      end_stopped(work, stopped(work, common::restore_unsafe, &error, common::put_back));
    case placed::missing:
      end_stopped(work, stopped(work, common::not_restored, &error, windows::target_missing));
  }
  if (!sync_renamed(work.target, error)) {
    end_stopped(work, stopped(work, common::restore_unsafe, &error, common::put_back));
  }
  return end_restored(work, common::restored);
}
