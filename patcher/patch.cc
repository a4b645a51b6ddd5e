// The patch procedure. The backup and the patched game file are each written
// under a temporary name, synced, and renamed into place, the backup first,
// so a patched game never stands without its backup.
#include <cstdlib>

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

// A game file another program is still writing (a copy off a CD or a slow
// USB stick, a game store checking its files) must not be patched half
// written, with a complete earlier backup given up for it. One written in
// the last two seconds is watched until it has been left alone that long:
// two seconds spans the pauses of a copy that writes in bursts, and FAT's
// clock, which counts in steps of two. A file still changing after ten
// seconds of that is refused: long enough for a game's file to finish
// copying, short enough that a player is not left looking at a still
// screen.
constexpr std::int64_t left_alone_ms = 2000;
constexpr std::uint64_t watched_at_most_ms = 10000;
constexpr unsigned look_again_ms = 100;

bool wait_until_left_alone(const std::string& name, bool& left_alone, io_error& error) {
  file_identity seen;
  if (!identify_name(name, seen, error)) {
    return false;
  }
  left_alone = milliseconds_since_written(seen) >= left_alone_ms;
  const std::uint64_t started = monotonic_milliseconds();
  std::uint64_t same_since = started;
  while (!left_alone && monotonic_milliseconds() - started < watched_at_most_ms) {
    pause_milliseconds(look_again_ms);
    file_identity now;
    if (!identify_name(name, now, error)) {
      return false;
    }
    if (now != seen) {
      seen = now;
      same_since = monotonic_milliseconds();
    }
    // Seen unchanged that long, or written that long ago by the clock.
    left_alone = monotonic_milliseconds() - same_since >= left_alone_ms ||
                 milliseconds_since_written(now) >= left_alone_ms;
  }
  return true;
}

// Counts the search bytes in the game's file, and in the same pass the
// replacement bytes, which tell a patched file from another version.
bool count_in_game(folder_work& work, std::int64_t& count, std::int64_t& patched, io_error& error) {
  if (!open_for_reading(work.target, work.reading, error) ||
      !check_regular_file(work.reading, error) || !identify_file(work.reading, work.game, error)) {
    return false;
  }
  patched = 0;
  count =
      count_matches(work.reading, search_bytes, pattern_length, error, replacement_bytes, &patched);
  return count >= 0 && close_file(work.reading, error);
}

// The line after the two that refuse a count other than one: why.
std::string why_not_once(const folder_work& work, std::int64_t count, std::int64_t patched) {
  if (count > 1) {
    return fill(common::found_many, {{"target", work.target}, {"number", std::to_string(count)}});
  }
  if (patched == 1) {
    return fill(common::patched_already,
                {{"target", work.target}, {"backup", work.backup}, {"undo", undo_advice()}});
  }
  return about(common::other_version, work);
}

// The patched game file, rebuilt from the backup copy just written.
bool write_patched_copy(folder_work& work, std::int64_t& replaced, io_error& error) {
  if (!open_for_reading(work.new_backup, work.reading, error) ||
      !create_temporary_beside(work.target, work.writing, error)) {
    return false;
  }
  work.new_target = work.writing.name;
  replaced = replace_matches(work.reading, work.writing, search_bytes, replacement_bytes,
                             pattern_length, error);
  return replaced >= 0 && copy_metadata(work.reading, work.writing, false, error) &&
         sync_file(work.writing, error) && close_file(work.writing, error) &&
         close_file(work.reading, error);
}

}  // namespace

int apply_patch(const char* file_name) {
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
    // A player who started the program from a shortcut or another folder
    // learns where it looked.
    end_run(work, {fill(common::no_target, {{"target", work.target}}),
                   fill(common::looked_in, {{"folder", full_folder_of(work.target)}}),
                   point_at_game(false)});
    wait_for_enter();
    return 1;
  }
  if (!take_the_folder(work, why)) {
    end_stopped(work, why);
  }
  if (what == found::only_backup) {
    // Once begun, the game is put back even if the player interrupts: given
    // up half way, it would be missing still.
    hold_interruptions(on_interruption::finish);
    switch (put_back_from_backup(work, error)) {
      case put_back::done:
        break;
      case put_back::not_done:
        end_stopped(work, stopped(work, common::missing_not_put_back, &error,
                                  error.not_a_file ? common::no_game_to_put_back
                                                   : common::copy_backup_back));
      case put_back::unsafe:
        end_stopped(work, stopped(work, common::put_back_unsafe, &error, common::put_back));
    }
    say(about(common::missing_put_back, work));
    // The folder is whole again: from here on the patch may be given up.
    hold_interruptions(on_interruption::abandon);
    give_up_if_asked(work);
  }

  console_write("  \n");
  say(about(common::looking, work));
  // A game put back just now was written by this run, not another program.
  bool left_alone = what == found::only_backup;
  if (!left_alone && !wait_until_left_alone(work.target, left_alone, error)) {
    end_stopped(work, stopped(work, common::not_searched, &error, common::nothing_changed));
  }
  if (!left_alone) {
    end_stopped(work, stopped(work, common::still_written, nullptr, common::wait_and_retry));
  }
  std::int64_t count = 0;
  std::int64_t patched = 0;
  if (!count_in_game(work, count, patched, error)) {
    end_stopped(work, stopped(work, common::not_searched, &error, common::nothing_changed));
  }
  if (count != 1) {
    end_stopped(work,
                {{common::not_found, common::restore_backup, why_not_once(work, count, patched)}});
  }
  say(common::found);
  if (!check_both_replaceable(work, why)) {
    end_stopped(work, why);
  }

  // From the first temporary file on, an interruption is held until the
  // patch can stop with the folder as it was, or has finished.
  hold_interruptions(on_interruption::abandon);
  if (!write_exact_copy(work, work.target, work.backup, work.new_backup, error)) {
    end_stopped(work, stopped(work, common::backup_not_made, &error, common::nothing_changed));
  }
  give_up_if_asked(work);
  std::int64_t replaced = 0;
  if (!write_patched_copy(work, replaced, error)) {
    end_stopped(work, stopped(work, common::patched_not_written, &error, common::nothing_changed));
  }
  bool unchanged = false;
  if (!game_unchanged(work, unchanged, error)) {
    end_stopped(work, stopped(work, common::not_checked_again, &error, common::nothing_changed));
  }
  // The copy no longer holds what was counted, or the file is not the one
  // read: another program wrote it meanwhile.
  if (!unchanged || replaced != 1) {
    end_stopped(work,
                stopped(work, common::changed_meanwhile, nullptr, common::left_as_other_made_it));
  }
  // Asked again just before the renames: a running game may have started.
  if (!check_both_replaceable(work, why)) {
    end_stopped(work, why);
  }
  give_up_if_asked(work);

  // The renames are quick: once they begin, the patch is finished even if
  // the player interrupts it, putting the game back if need be.
  hold_interruptions(on_interruption::finish);
  if (!rename_over(work.new_backup, work.backup, error)) {
    end_stopped(work, stopped(work, common::backup_not_in_place, &error, common::nothing_changed));
  }
  work.new_backup.clear();
  // The backup's rename must reach the disk before the target's: after a
  // power cut a patched target without its backup would be past undoing.
  if (!sync_renamed(work.backup, error)) {
    end_stopped(work, stopped(work, common::backup_unsafe, &error, common::only_backup_replaced));
  }
  if (!game_unchanged(work, unchanged, error)) {
    end_stopped(work,
                stopped(work, common::not_checked_again, &error, common::only_backup_replaced));
  }
  if (!unchanged) {
    end_stopped(work,
                stopped(work, common::changed_meanwhile, nullptr, common::backup_from_before));
  }
  switch (put_in_place(work, work.new_target, error)) {
    case placed::in_place:
      break;
    case placed::unchanged:
      end_stopped(work, stopped(work, common::not_replaced, &error, common::only_backup_replaced));
    case placed::put_back:
      end_stopped(work, stopped(work, common::not_replaced, &error, common::put_back));
    case placed::put_back_unsafe:
      end_stopped(work, stopped(work, common::put_back_unsafe, &error, common::put_back));
    case placed::missing:
      end_stopped(work, stopped(work, common::not_replaced, &error, windows::target_missing));
  }
  if (!sync_renamed(work.target, error)) {
    // The backup's rename was synced above; only the target's may be lost.
    end_stopped(work, stopped(work, common::patch_unsafe, &error, common::patch_may_be_undone));
  }
  // An interruption held through the renames ends the program once the
  // player knows the patch is in.
  end_run(work, {common::installed});
  say(common::closing);
  char reply[reply_size];
  // The closing line is only there to keep the window open; its text is not used.
  read_reply(reply);
  return 0;
}
