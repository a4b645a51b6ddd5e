// The patch procedure. The backup and the patched game file are each written
// under a temporary name, synced, and renamed into place, the backup first,
// so a patched game never stands without its backup.
#include "patcher/patch.hpp"
#include "console/interruptions.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/messages.hpp"
#include "patcher/run.hpp"

namespace {

namespace common = messages::common;

// The patched game file, rebuilt from the backup copy just written, through
// the handle that wrote it: a game whose mode denies its owner reading
// gives its copy that mode too, and the copy could not be opened again.
// A backup that is the game's own file is read as the game.
bool write_patched_copy(folder_work& work, bool backup_kept, std::int64_t& replaced,
                        io_error& error) {
  if (backup_kept && !open_for_reading(work.target, work.reading, error)) {
    return false;
  }
  if (!backup_kept) {
    work.reading = work.writing;
    work.writing = open_file{};
  }
  if (!rewind_file(work.reading, error) ||
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

// From the bytes found once to the patched game in place.
ending patch_found(folder_work& work, bool backup_kept, stop& why) {
  io_error error;
  if (!check_replaceable_files(work, !backup_kept, why)) {
    return ending::stopped;
  }
  // From the first temporary file on, an interruption is held until the
  // patch can stop with the folder as it was, or has finished.
  hold_interruptions(on_interruption::give_up);
  if (!backup_kept && !write_exact_copy(work, work.target, work.backup, work.new_backup, error)) {
    why = stopped(work, common::backup_not_made, &error, common::nothing_changed);
    return ending::stopped;
  }
  give_up_if_asked(work);
  std::int64_t replaced = 0;
  if (!write_patched_copy(work, backup_kept, replaced, error)) {
    why = stopped(work, common::patched_not_written, &error, common::nothing_changed);
    return ending::stopped;
  }
  // The copy no longer holds what was counted: another program wrote the
  // game meanwhile (the identity check tells the rest).
  if (replaced != 1) {
    why = stopped(work, common::changed_meanwhile, nullptr, common::left_as_other_made_it);
    why.by_another_program = true;
    return ending::stopped;
  }
  if (!ready_to_place(work, !backup_kept, why)) {
    return ending::stopped;
  }
  if (!backup_kept) {
    if (!rename_over(work.new_backup, work.backup, error)) {
      why = stopped(work, common::backup_not_in_place, &error, common::nothing_changed);
      return ending::stopped;
    }
    work.new_backup.clear();
    work.done.backup_replaced = true;
    // The backup's rename must reach the disk before the target's: after a
    // power cut a patched target without its backup would be past undoing.
    if (!sync_renamed(work.backup, error)) {
      why = stopped(work, common::backup_unsafe, &error, nullptr);
      return ending::stopped;
    }
    if (!still_the_game_read(work, why)) {
      return ending::stopped;
    }
  }
  return finish_in_place(work, why) ? ending::finished : ending::stopped;
}

// Puts the missing game back from its backup, an original the patch fits.
bool put_back_missing_game(folder_work& work, stop& why) {
  io_error error;
  // Once begun, the game is put back even if the player interrupts: given
  // up half way, it would be missing still.
  hold_interruptions(on_interruption::finish);
  if (!put_back_game(work, error)) {
    why = stopped(
        work, work.done.put_back_unsafe ? common::put_back_unsafe : common::missing_not_put_back,
        &error, common::copy_backup_back);
    return false;
  }
  say(about(common::missing_put_back, work));
  work.account.game = work.account.backup;
  work.account.game.entry.link = false;
  // The folder is whole again: from here on the patch may be given up.
  hold_interruptions(on_interruption::give_up);
  give_up_if_asked(work);
  console_write("  \n");
  say(about(common::looking, work));
  // A game put back just now was written by this run, not another program.
  if (!identify_name(work.target, work.game_as_read, error)) {
    why = stopped(work, common::not_searched, &error, nullptr);
    return false;
  }
  return true;
}

ending patch_steps(folder_work& work, stop& why) {
  switch (open_the_folder(work, why)) {
    case opened::stopped:
      return ending::stopped;
    case opened::nothing_there:
      return ending::no_game;
    case opened::ready:
      break;
  }
  if (is_there(work.account.game.entry)) {
    console_write("  \n");
    say(about(common::looking, work));
  }
  if (!read_account(work, why)) {
    return ending::stopped;
  }
  const decision next = decide(work.account, procedure::patch);
  switch (next.what) {
    case action::put_back_then_patch:
      if (!put_back_missing_game(work, why)) {
        return ending::stopped;
      }
      break;
    case action::patch:
    case action::patch_keeping_backup:
      break;
    default:
      if (work.account.game.entry.link && !is_there(work.account.game.entry)) {
        console_write("  \n");
      }
      why = refused(work, next.why);
      return ending::stopped;
  }
  say(common::found);
  return patch_found(work, next.what == action::patch_keeping_backup, why);
}

}  // namespace

int apply_patch(const char* file_name) {
  clear_screen();
  draw_banner();
  folder_work work;
  work.target = file_name;
  stop why;
  const ending how = patch_steps(work, why);
  return end_run(work, how, why,
                 how == ending::no_game ? why.lines : std::vector<std::string>{common::installed});
}
