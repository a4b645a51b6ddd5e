// The undo: the backup goes back in the game file's place, the same way the
// patch put the patched file there, but only when the backup is this game
// file's original. A backup left from another version of the game (after an
// update or a reinstall) must not be put over the new one.
#include "console/interruptions.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"
#include "patcher/run.hpp"

namespace {

namespace common = messages::common;

// From a backup found to be this game's original to the original in place.
ending restore_found(folder_work& work, stop& why) {
  io_error error;
  if (!check_replaceable_files(work, false, why)) {
    return ending::stopped;
  }
  // Given up until the copy takes the game file's place, finished after.
  hold_interruptions(on_interruption::give_up);
  if (!write_exact_copy(work, work.backup, work.target, work.new_target, error) ||
      !close_file(work.writing, error)) {
    why = stopped(work, common::not_restored, &error, common::nothing_changed);
    return ending::stopped;
  }
  return ready_to_place(work, false, why) && finish_in_place(work, why) ? ending::finished
                                                                        : ending::stopped;
}

ending undo_steps(folder_work& work, stop& why, const char*& done) {
  if (open_the_folder(work, why) != opened::ready) {
    return ending::stopped;
  }
  const folder_account& account = work.account;
  console_write("  \n");
  say(about(common::restoring, work));
  if (!read_account(work, why)) {
    return ending::stopped;
  }
  const decision next = decide(account, procedure::undo);
  io_error error;
  done = common::restored;
  switch (next.what) {
    case action::nothing_to_undo:
      done = account.equal ? common::nothing_to_undo : common::not_patched;
      return ending::finished;
    case action::put_back:
      // As in a patch: once begun, the game is put back whatever comes.
      hold_interruptions(on_interruption::finish);
      if (put_back_game(work, error)) {
        return ending::finished;
      }
      why = stopped(
          work, work.done.put_back_unsafe ? common::restore_unsafe : common::missing_not_put_back,
          &error, common::copy_backup_back);
      return ending::stopped;
    case action::restore:
      return restore_found(work, why);
    default:
      why = refused(work, next.why);
      return ending::stopped;
  }
}

}  // namespace

int restore_backup(const char* file_name) {
  clear_screen();
  draw_banner();
  folder_work work;
  work.which = procedure::undo;
  work.target = file_name;
  stop why;
  const char* done = nullptr;
  const ending how = undo_steps(work, why, done);
  return end_run(work, how, why, {how == ending::finished ? about(done, work) : std::string{}});
}
