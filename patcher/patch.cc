// The patch procedure. Nothing the player already has is touched until the
// new files are complete on disk: the backup and the patched target are each
// written under a temporary name, synced, and renamed into place, the backup
// first, so a patched target never stands without its backup.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/interruptions.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/file_names.hpp"
#include "patcher/folder_lock.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"

namespace {

namespace text = messages::common;

// What a patch in progress holds, so a failure at any step can let go of it.
struct patch_work {
  std::string target;
  std::string backup;
  open_file source;
  open_file copy;
  // Temporary files not yet renamed into place; empty once they are.
  std::string backup_temporary;
  std::string target_temporary;
  // Held from before the leftovers are cleared until the folder is settled.
  folder_lock lock;
};

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// One line, in one write. Our own words are ASCII; the names and reasons
// the system gave us go out as Unicode, whatever script they are in.
void say(const std::string& line) { console_write_unicode("  [i] " + line + "\n"); }

// A sentence about the game's file and its backup, by the names they have.
std::string about(const char* sentence, const patch_work& work) {
  return fill(sentence, {{"target", work.target}, {"backup", work.backup}});
}

// Closes every file and removes what was only ever temporary; then, with the
// folder settled, another run may have it.
void let_go(patch_work& work) {
  abandon_file(work.source);
  abandon_file(work.copy);
  if (!work.backup_temporary.empty()) {
    remove_quietly(work.backup_temporary);
    work.backup_temporary.clear();
  }
  if (!work.target_temporary.empty()) {
    remove_quietly(work.target_temporary);
    work.target_temporary.clear();
  }
  unlock_folder(work.lock);
}

// Every end of a patch comes through here, whatever the outcome: it lets go
// of the files and the folder, tells the player `lines`, and releases the
// interruptions. One the patch gave up for ends the program before the
// lines: the folder is as it was, and the player asked to stop, not to be
// told why. One held while the patch was finished ends it after them.
void end_patch(patch_work& work, const std::vector<std::string>& lines) {
  let_go(work);
  if (should_give_up()) {
    release_interruptions();
  }
  for (const std::string& line : lines) {
    say(line);
  }
  console_flush();
  release_interruptions();
}

// Between the steps a patch may give up at: an interruption held meanwhile
// ends the program here, with the folder as it was.
void give_up_if_asked(patch_work& work) {
  if (should_give_up()) {
    end_patch(work, {});
  }
}

// Ends a patch that cannot go on: tells the player what happened, why, and
// what the folder holds now, and ends with the failure status after the
// pause, which answers an interruption again.
[[noreturn]] void stop(patch_work& work, const std::string& what, const io_error* error,
                       const std::string& outcome) {
  std::vector<std::string> lines = {what};
  if (error != nullptr) {
    lines.push_back(
        fill(text::could_not,
             {{"action", error->action}, {"file", error->file}, {"reason", error->reason}}));
    if (!error->advice.empty()) {
      lines.push_back(error->advice);
    }
  }
  if (!outcome.empty()) {
    lines.push_back(outcome);
  }
  end_patch(work, lines);
  wait_for_enter();
  std::exit(1);
}

bool same_ignoring_ascii_case(const std::string& a, const std::string& b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// A killed run (a power cut, SIGKILL) leaves its temporary files behind;
// each later run clears them, so they never pile up in the game's folder.
// Only under the folder's lock: without it they may be a live run's files.
void remove_leftovers(const patch_work& work) {
  std::vector<std::string> names;
  io_error ignored;
  // Clearing up is a courtesy: a folder that cannot be listed is patched anyway.
  if (!list_folder_of(work.target, names, ignored)) {
    return;
  }
  for (const std::string& name : names) {
    if (is_temporary_name_of(work.target, name) || is_temporary_name_of(work.backup, name)) {
      remove_quietly(name);
    }
  }
}

// The game was made for a file system that ignores letter case, and copies
// taken off its CD often carry the name in lower case. Finds the one entry
// that differs from `name` only in ASCII case; all of them when there are
// several, and none when the folder cannot be listed.
std::vector<std::string> names_in_other_case(const std::string& name) {
  std::vector<std::string> names;
  std::vector<std::string> found;
  io_error ignored;
  if (list_folder_of(name, names, ignored)) {
    for (const std::string& entry : names) {
      if (entry != name && same_ignoring_ascii_case(entry, name)) {
        found.push_back(entry);
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool count_in_target(patch_work& work, std::int64_t& count, io_error& error) {
  if (!open_for_reading(work.target, work.source, error) ||
      !check_regular_file(work.source, error)) {
    return false;
  }
  count = count_matches(work.source, search_bytes, pattern_length, error);
  return count >= 0 && close_file(work.source, error);
}

// Creates a new, empty file in the same folder as `final_name`, under a
// temporary name nobody else holds.
bool create_temporary_beside(const std::string& final_name, open_file& file, io_error& error) {
  const std::uint64_t seed = temporary_seed();
  for (unsigned attempt = 0; attempt < temporary_name_attempts; ++attempt) {
    if (create_new_file(temporary_name(final_name, seed, attempt), file, error) !=
        creation::name_taken) {
      return is_open(file);
    }
  }
  return false;
}

// A byte-exact copy of `from`, with its times, complete and synced under a
// temporary name beside `final_name`, which `temporary` is set to.
bool write_exact_copy(patch_work& work, const std::string& from, const std::string& final_name,
                      std::string& temporary, io_error& error) {
  if (!open_for_reading(from, work.source, error) ||
      !create_temporary_beside(final_name, work.copy, error)) {
    return false;
  }
  temporary = work.copy.name;
  // The times go last: any later write would move them on.
  return copy_contents(work.source, work.copy, error) &&
         copy_metadata(work.source, work.copy, true, error) && sync_file(work.copy, error) &&
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
  return replaced >= 0 && copy_metadata(work.source, work.copy, false, error) &&
         sync_file(work.copy, error) && close_file(work.copy, error) &&
         close_file(work.source, error);
}

// Puts a copy of the backup where the target is missing: the game as it was
// before the patch. The backup stays as it is. The copy is synced under its
// new name too: on FAT, a power cut before that would leave the game's name
// on a broken file, which no run puts right. A copy that cannot be synced is
// taken away again, so the game is missing, as the player is then told.
bool restore_from_backup(patch_work& work, io_error& error) {
  if (!write_exact_copy(work, work.backup, work.target, work.target_temporary, error) ||
      replace_file(work.target_temporary, work.target, false, error) != replace_result::replaced) {
    return false;
  }
  work.target_temporary.clear();
  if (!sync_renamed(work.target, error)) {
    remove_quietly(work.target);
    return false;
  }
  return true;
}

// A run ended half way through replacing the game's file (on Windows, where
// that can take the file away before the patched one takes its place) can
// leave the backup and no game. Finds that backup, in any letter case, and
// takes the target's name from it.
bool find_backup_of_missing_target(patch_work& work) {
  std::string backup = work.target + backup_suffix;
  io_error error;
  if (!open_for_reading(backup, work.source, error)) {
    const std::vector<std::string> others = names_in_other_case(backup);
    if (!error.not_found || others.size() != 1) {
      return false;
    }
    backup = others.front();
    if (!open_for_reading(backup, work.source, error)) {
      return false;
    }
  }
  abandon_file(work.source);
  work.backup = backup;
  work.target = backup.substr(0, backup.size() - (sizeof backup_suffix - 1));
  return true;
}

// Renames the patched file over the target, which hands on what the system
// keeps of the game's file. On Windows that can fail half way and take the
// game's file away: the patched file is whole and synced, so a plain rename
// finishes the patch; failing that, the game comes back from the backup,
// which is on disk already; failing that too, the player is told how.
void put_patched_target_in_place(patch_work& work) {
  io_error error;
  const std::string not_replaced = about(text::not_replaced, work);
  switch (replace_file(work.target_temporary, work.target, true, error)) {
    case replace_result::replaced:
      work.target_temporary.clear();
      return;
    case replace_result::unchanged:
      stop(work, not_replaced, &error, about(text::only_backup_replaced, work));
    case replace_result::target_gone:
      break;
  }
  io_error later;
  if (replace_file(work.target_temporary, work.target, false, later) == replace_result::replaced) {
    work.target_temporary.clear();
    return;
  }
  remove_quietly(work.target_temporary);
  work.target_temporary.clear();
  if (restore_from_backup(work, later)) {
    stop(work, not_replaced, &error, about(messages::windows::put_back, work));
  }
  stop(work, not_replaced, &error, about(messages::windows::target_missing, work));
}

// Finds the target by its name, or by the one name that differs from it only
// in letter case. Returns false, with the reason in `error`, when there is
// no such file; a file that is there but will not open, or a name that
// leads to several, ends the run here.
bool find_target(patch_work& work, io_error& error) {
  if (open_for_reading(work.target, work.source, error)) {
    return true;
  }
  if (error.not_found) {
    const std::vector<std::string> others = names_in_other_case(work.target);
    if (others.empty()) {
      return false;
    }
    if (others.size() > 1) {
      std::string listed;
      for (const std::string& name : others) {
        listed += (listed.empty() ? "" : ", ") + quoted(name);
      }
      console_write("  \n");
      stop(work, fill(text::several_names, {{"target", work.target}, {"names", listed}}), nullptr,
           about(text::rename_one, work));
    }
    work.target = others.front();
    if (open_for_reading(work.target, work.source, error)) {
      return true;
    }
    if (error.not_found) {
      return false;
    }
  }
  console_write("  \n");
  stop(work, about(text::not_opened, work), &error, "");
}

// Two runs at once in one folder would clear or replace each other's files.
// The second says so at once: waiting, it would only find the patch done and
// the bytes gone, which reads like a failure.
void take_the_folder(patch_work& work) {
  switch (lock_current_folder(work.lock)) {
    case folder_lock_state::held:
      remove_leftovers(work);
      return;
    case folder_lock_state::taken_by_another:
      console_write("  \n");
      stop(work, about(text::another_copy, work), nullptr, text::this_copy_nothing);
    case folder_lock_state::unavailable:
      // A folder we may not list, or a file system without locks: the patch
      // goes on, only nothing that looks left over is cleared.
      return;
  }
}

// Refuses a target or backup that cannot be replaced, with nothing changed:
// found out between the two renames, the earlier backup would be given up
// for a patch that then fails. Asked before anything is made, and again
// just before the renames.
void refuse_unless_replaceable(patch_work& work) {
  io_error error;
  if (!check_replaceable(work.target, error)) {
    // "Locked" only when a running program holds it: rights or marks that
    // forbid replacing it need other advice.
    stop(work, about(error.in_use ? messages::windows::locked : text::may_not_replace, work),
         &error, about(text::nothing_changed, work));
  }
  if (!check_replaceable(work.backup, error)) {
    stop(work, about(text::earlier_backup_fixed, work), &error, about(text::nothing_changed, work));
  }
}

}  // namespace

int apply_patch(const char* file_name) {
  clear_screen();
  draw_banner();

  patch_work work;
  work.target = file_name;
  io_error error;

  const bool missing = !find_target(work, error);
  if (missing && !find_backup_of_missing_target(work)) {
    console_write("  \n");
    // A player who started the program from a shortcut or another folder
    // learns where it looked.
    end_patch(work, {fill(text::no_target, {{"target", file_name}}),
                     fill(text::looked_in, {{"folder", full_folder_of(work.target)}})});
    wait_for_enter();
    return 1;
  }
  // The probe only asks whether the file opens; reading starts afresh below.
  abandon_file(work.source);
  if (!missing) {
    // A backup found for a missing target keeps the name it was found by.
    work.backup = work.target + backup_suffix;
  }
  take_the_folder(work);
  if (missing) {
    // Once begun, the game is put back even if the player interrupts: given
    // up half way, it would be missing still.
    hold_interruptions(on_interruption::finish);
    if (!restore_from_backup(work, error)) {
      stop(work, about(text::missing_not_put_back, work), &error,
           about(text::copy_backup_back, work));
    }
    say(about(text::missing_put_back, work));
    // The folder is whole again: from here on the patch may be given up.
    hold_interruptions(on_interruption::abandon);
    give_up_if_asked(work);
  }

  console_write("  \n");
  say(about(text::looking, work));

  std::int64_t count = 0;
  if (!count_in_target(work, count, error)) {
    stop(work, about(text::not_searched, work), &error, about(text::nothing_changed, work));
  }
  if (count != 1) {
    end_patch(work, {text::not_found, text::restore_backup});
    wait_for_enter();
    std::exit(1);
  }
  say(text::found);
  refuse_unless_replaceable(work);

  // From the first temporary file on, an interruption is held until the
  // patch can stop with the folder as it was, or has finished.
  hold_interruptions(on_interruption::abandon);
  if (!write_exact_copy(work, work.target, work.backup, work.backup_temporary, error)) {
    stop(work, about(text::backup_not_made, work), &error, about(text::nothing_changed, work));
  }
  give_up_if_asked(work);
  std::int64_t replaced = 0;
  if (!write_patched_copy(work, replaced, error)) {
    stop(work, about(text::patched_not_written, work), &error, about(text::nothing_changed, work));
  }
  if (replaced != 1) {
    // The copy no longer holds what was counted: the file changed under us.
    stop(work, about(text::changed_meanwhile, work), nullptr, about(text::nothing_changed, work));
  }

  refuse_unless_replaceable(work);
  give_up_if_asked(work);
  // The renames are quick: once they begin, the patch is finished even if
  // the player interrupts it, putting the game back if need be.
  hold_interruptions(on_interruption::finish);
  if (replace_file(work.backup_temporary, work.backup, false, error) != replace_result::replaced) {
    stop(work, about(text::backup_not_in_place, work), &error, about(text::nothing_changed, work));
  }
  work.backup_temporary.clear();
  // The backup's rename must reach the disk before the target's: after a
  // power cut a patched target without its backup would be past undoing.
  if (!sync_renamed(work.backup, error)) {
    stop(work, about(text::backup_unsafe, work), &error, about(text::only_backup_replaced, work));
  }
  put_patched_target_in_place(work);
  if (!sync_renamed(work.target, error)) {
    // The backup's rename was synced above; only the target's may be lost.
    stop(work, text::patch_unsafe, &error, about(text::patch_may_be_undone, work));
  }
  // An interruption held through the renames ends the program once the
  // player knows the patch is in.
  end_patch(work, {text::installed});
  say(text::closing);
  char reply[reply_size];
  // The closing line is only there to keep the window open; its text is not used.
  read_reply(reply);
  return 0;
}
