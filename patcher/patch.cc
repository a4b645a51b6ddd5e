// The patch procedure. Nothing the player already has is touched until the
// new files are complete on disk: the backup and the patched target are each
// written under a temporary name, synced, and renamed into place, the backup
// first, so a patched target never stands without its backup.
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/patch.hpp"

namespace {

// What a patch in progress holds, so a failure at any step can let go of it.
struct patch_work {
  std::string target;
  std::string backup;
  open_file source;
  open_file copy;
  // Temporary files not yet renamed into place; empty once they are.
  std::string backup_temporary;
  std::string target_temporary;
};

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

void say(const std::string& line) { console_write("  [i] " + line + "\n"); }

std::string describe(const io_error& error) {
  return "Could not " + error.action + " " + quoted(error.file) + ": " + error.reason + ".";
}

// Ends a patch that cannot go on: lets go of every file, removes what was only
// ever temporary, tells the player, and ends with the failure status.
[[noreturn]] void stop(patch_work& work, std::initializer_list<std::string> lines) {
  abandon_file(work.source);
  abandon_file(work.copy);
  if (!work.backup_temporary.empty()) {
    remove_quietly(work.backup_temporary);
  }
  if (!work.target_temporary.empty()) {
    remove_quietly(work.target_temporary);
  }
  for (const std::string& line : lines) {
    say(line);
  }
  wait_for_enter();
  std::exit(1);
}

std::string nothing_changed(const patch_work& work) {
  return "No file was changed; " + quoted(work.target) + " is as it was.";
}

bool count_in_target(patch_work& work, std::int64_t& count, io_error& error) {
  if (!open_for_reading(work.target, work.source, error) ||
      !check_regular_file(work.source, error)) {
    return false;
  }
  count = count_matches(work.source, search_bytes, pattern_length, error);
  return count >= 0 && close_file(work.source, error);
}

// A byte-exact copy of the target, complete and synced under a temporary name.
bool write_backup_copy(patch_work& work, io_error& error) {
  if (!open_for_reading(work.target, work.source, error) ||
      !create_temporary_beside(work.backup, work.copy, error)) {
    return false;
  }
  work.backup_temporary = work.copy.name;
  return copy_contents(work.source, work.copy, error) &&
         copy_permissions(work.source, work.copy, error) && sync_file(work.copy, error) &&
         close_file(work.copy, error) && close_file(work.source, error);
}

// The patched target, rebuilt from the backup copy just written.
bool write_patched_copy(patch_work& work, std::int64_t& replaced, io_error& error) {
  if (!open_for_reading(work.backup_temporary, work.source, error) ||
      !create_temporary_beside(work.target, work.copy, error)) {
    return false;
  }
  work.target_temporary = work.copy.name;
  replaced = replace_matches(work.source, work.copy, search_bytes, replacement_bytes,
                             pattern_length, error);
  return replaced >= 0 && copy_permissions(work.source, work.copy, error) &&
         sync_file(work.copy, error) && close_file(work.copy, error) &&
         close_file(work.source, error);
}

}  // namespace

int apply_patch(const char* file_name) {
  clear_screen();
  draw_banner();

  patch_work work;
  work.target = file_name;
  work.backup = work.target + backup_suffix;
  io_error error;

  if (!open_for_reading(work.target, work.source, error)) {
    console_write("  \n");
    console_write("  [i] Umm... Sorry, but file " + quoted(work.target) + " doesn't exist.\n");
    if (!error.not_found) {
      // It is there but will not open: say why, or the player is left guessing.
      say(describe(error));
    }
    wait_for_enter();
    return 1;
  }
  // The probe only asks whether the file opens; reading starts afresh below.
  abandon_file(work.source);

  console_write("  \n");
  console_write("  [i] Highway patrol looking for speeding bytes in " + quoted(work.target) + "\n");

  std::int64_t count = 0;
  if (!count_in_target(work, count, error)) {
    stop(work, {"Dispatch, " + quoted(work.target) + " could not be searched.", describe(error),
                nothing_changed(work)});
  }
  if (count != 1) {
    console_write("  [i] Dispatch, the bytes could not be found!\n");
    console_write("  [i] 10-4. Please restore backup EXE and try again.\n");
    wait_for_enter();
    std::exit(1);
  }
  console_write("  [i] Highway patrol has found and arrested the bytes!\n");

  if (!write_backup_copy(work, error)) {
    stop(work, {"Dispatch, the backup " + quoted(work.backup) + " could not be made.",
                describe(error), nothing_changed(work)});
  }
  std::int64_t replaced = 0;
  if (!write_patched_copy(work, replaced, error)) {
    stop(work, {"Dispatch, the patched " + quoted(work.target) + " could not be written.",
                describe(error), nothing_changed(work)});
  }
  if (replaced != 1) {
    // The copy no longer holds what was counted: the file changed under us.
    stop(work, {"Dispatch, " + quoted(work.target) + " changed while it was being patched.",
                nothing_changed(work)});
  }

  if (!check_replaceable(work.target, error)) {
    stop(work, {"Dispatch, " + quoted(work.target) + " is locked and cannot be patched.",
                describe(error), nothing_changed(work)});
  }
  const std::string backup_not_in_place =
      "Dispatch, the backup " + quoted(work.backup) + " could not be put in place.";
  if (!replace_file(work.backup_temporary, work.backup, error)) {
    stop(work, {backup_not_in_place, describe(error), nothing_changed(work)});
  }
  work.backup_temporary.clear();
  const std::string only_backup_replaced =
      quoted(work.target) + " is as it was; " + quoted(work.backup) + " now holds a copy of it.";
  // The backup's rename must reach the disk before the target's: after a
  // power cut a patched target without its backup would be past undoing.
  if (!sync_folder_of(work.backup, error)) {
    stop(work, {backup_not_in_place, describe(error), only_backup_replaced});
  }
  if (!replace_file(work.target_temporary, work.target, error)) {
    stop(work, {"Dispatch, " + quoted(work.target) + " could not be replaced.", describe(error),
                only_backup_replaced});
  }
  work.target_temporary.clear();
  if (!sync_folder_of(work.target, error)) {
    stop(work, {"Dispatch, the patch may not survive a power cut.", describe(error),
                quoted(work.target) + " is patched and " + quoted(work.backup) +
                    " holds the original, but only in the disk's cache."});
  }

  console_write("  [i] Perpetrating bytes sent to county jail, patch installed!\n");
  console_write("  [i] Press <ENTER> to exit. Drive safely!\n");
  char reply[reply_size];
  // The closing line is only there to keep the window open; its text is not used.
  read_reply(reply);
  return 0;
}
