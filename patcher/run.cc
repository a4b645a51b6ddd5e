// The steps the patch and its undo share. Nothing the player already has is
// touched until a new file is complete on disk: each is written under a
// temporary name, synced, and renamed into place.
#include "patcher/run.hpp"

#include <algorithm>
#include <cstdlib>

#include "console/interruptions.hpp"
#include "console/screens.hpp"
#include "console/terminal.hpp"
#include "patcher/file_names.hpp"
#include "patcher/give_up.hpp"
#include "patcher/messages.hpp"
#include "patcher/patch.hpp"

namespace {

namespace common = messages::common;
namespace posix = messages::posix;
namespace windows = messages::windows;

bool same_ignoring_ascii_case(const std::string& a, const std::string& b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The game was made for a file system that ignores letter case, and copies
// taken off its CD often carry the name in lower case. Finds the entries
// beside `name` that differ from it only in ASCII case, by the names the
// program would use for them; none when the folder cannot be listed.
std::vector<std::string> names_in_other_case(const std::string& name) {
  std::vector<std::string> entries;
  std::vector<std::string> found;
  io_error ignored;
  const std::string own = name_part(name);
  if (list_folder_of(name, entries, ignored)) {
    for (const std::string& entry : entries) {
      if (entry != own && same_ignoring_ascii_case(entry, own)) {
        found.push_back(beside(name, entry));
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A temporary file that could not be removed stays until the next run,
// which clears it; the player is told so, not left to wonder.
void remove_temporary(folder_work& work, std::string& name) {
  if (!name.empty() && !remove_file(name)) {
    work.notes.push_back(fill(common::temporary_left, {{"file", name}}));
  }
  name.clear();
}

// Lets go of every file and of the folder, removing what was only ever
// temporary; then another run may have the folder.
void release_work(folder_work& work) {
  release_file(work.reading);
  release_file(work.writing);
  remove_temporary(work, work.new_backup);
  remove_temporary(work, work.new_target);
  release_folder(work.lock);
}

// A killed run (a power cut, SIGKILL) leaves its temporary files behind;
// each later run clears them, so they never pile up in the game's folder.
// Only under the folder's lock: without it they may be a live run's files.
void remove_leftovers(const folder_work& work) {
  std::vector<std::string> entries;
  io_error ignored;
  // Clearing up is a courtesy: a folder that cannot be listed is patched anyway.
  if (!list_folder_of(work.target, entries, ignored)) {
    return;
  }
  for (const std::string& entry : entries) {
    if (is_temporary_name_of(name_part(work.target), entry) ||
        is_temporary_name_of(name_part(work.backup), entry)) {
      remove_file(beside(work.target, entry));
    }
  }
}

// Opens `name` to see that it is there, by its name or the one name that
// differs from it only in letter case, which `name` is then set to.
bool open_in_any_case(folder_work& work, std::string& name, links at_name, io_error& error,
                      std::vector<std::string>& others) {
  others.clear();
  if (open_for_reading(name, work.reading, error, at_name)) {
    return true;
  }
  if (!error.not_found) {
    return false;
  }
  others = names_in_other_case(name);
  if (others.size() != 1) {
    return false;
  }
  name = others.front();
  return open_for_reading(name, work.reading, error, at_name);
}

}  // namespace

stop stopped(const folder_work& work, const char* headline, const io_error* error,
             const char* outcome) {
  stop why;
  why.lines.push_back(about(headline, work));
  if (error != nullptr) {
    why.lines.push_back(
        fill(common::could_not,
             {{"action", error->action}, {"file", error->file}, {"reason", error->reason}}));
    if (!error->advice.empty()) {
      why.lines.push_back(error->advice);
    }
  }
  if (outcome != nullptr) {
    why.lines.push_back(about(outcome, work));
  }
  return why;
}

std::string about(const char* sentence, const folder_work& work) {
  return fill(sentence, {{"target", work.target}, {"backup", work.backup}});
}

void say(const std::string& line) {
  // One line, in one write. Our own words are ASCII; the names and reasons
  // the system gave us, made printable by fill, go out as Unicode.
  console_write_unicode("  [i] " + line + "\n");
}

void end_run(folder_work& work, const std::vector<std::string>& lines) {
  release_work(work);
  if (should_give_up()) {
    release_interruptions();
  }
  for (const std::string& line : lines) {
    say(line);
  }
  for (const std::string& note : work.notes) {
    say(note);
  }
  console_flush();
  release_interruptions();
}

void end_stopped(folder_work& work, const stop& why) {
  end_run(work, why.lines);
  // The pause answers an interruption again: the program then ends at once.
  wait_for_enter();
  std::exit(1);
}

void give_up_if_asked(folder_work& work) {
  if (should_give_up()) {
    end_run(work, {});
  }
}

bool find_game(folder_work& work, found& what, stop& why) {
  io_error error;
  std::vector<std::string> others;
  if (open_in_any_case(work, work.target, links::followed, error, others)) {
    // The probe only asks whether the file opens; reading starts afresh.
    release_file(work.reading);
    work.backup = work.target + backup_suffix;
    what = found::game;
    return true;
  }
  if (others.size() > 1) {
    std::string listed;
    for (const std::string& name : others) {
      if (!listed.empty()) {
        listed += ", ";
      }
      listed += '"';
      listed += name_part(name);
      listed += '"';
    }
    console_write("  \n");
    why.lines = {fill(common::several_names, {{"target", work.target}, {"names", listed}}),
                 about(common::rename_one, work)};
    return false;
  }
  if (!error.not_found) {
    console_write("  \n");
    why = stopped(work, common::not_opened, &error, nullptr);
    return false;
  }
  // A run ended half way through replacing the game's file (on Windows,
  // where that can take the file away before the new one takes its place)
  // can leave the backup and no game. The backup gives the game's name. It
  // is never a link, which no run of ours makes: one there, or anything
  // else but a file, is found so that it can be refused as such.
  std::string backup = work.target + backup_suffix;
  what = found::nothing;
  if (open_in_any_case(work, backup, links::refused, error, others) || error.not_a_file) {
    work.backup = backup;
    work.target = backup.substr(0, backup.size() - (sizeof backup_suffix - 1));
    what = found::only_backup;
  }
  release_file(work.reading);
  return true;
}

bool take_the_folder(folder_work& work, stop& why) {
  // Two runs at once in one folder would clear or replace each other's
  // files. The second says so at once: waiting, it would only find the
  // patch done and the bytes gone, which reads like a failure.
  switch (lock_folder_of(work.target, work.lock)) {
    case folder_lock_state::held:
      remove_leftovers(work);
      return true;
    case folder_lock_state::taken_by_another_copy:
      console_write("  \n");
      why.lines = {about(common::another_copy, work), common::this_copy_nothing};
      return false;
    case folder_lock_state::taken_by_another_program:
      console_write("  \n");
      why.lines = {about(posix::another_program, work), posix::that_program_nothing};
      return false;
    case folder_lock_state::unavailable:
      // A folder we may not list, or a file system without locks: the run
      // goes on, only nothing that looks left over is cleared.
      return true;
  }
  return true;
}

put_back put_back_from_backup(folder_work& work, io_error& error) {
  if (!write_exact_copy(work, work.backup, work.target, work.new_target, error) ||
      !rename_over(work.new_target, work.target, error)) {
    return put_back::not_done;
  }
  work.new_target.clear();
  if (sync_renamed(work.target, error)) {
    return put_back::done;
  }
  return remove_file(work.target) ? put_back::not_done : put_back::unsafe;
}

bool create_temporary_beside(const std::string& final_name, open_file& file, io_error& error) {
  return take_temporary_name(
      final_name, [&](const std::string& name) { return create_new_file(name, file, error); });
}

bool write_exact_copy(folder_work& work, const std::string& from, const std::string& final_name,
                      std::string& copy, io_error& error) {
  const links at_name = from == work.backup ? links::refused : links::followed;
  if (!open_for_reading(from, work.reading, error, at_name) ||
      !check_regular_file(work.reading, error) ||
      !create_temporary_beside(final_name, work.writing, error)) {
    return false;
  }
  copy = work.writing.name;
  // The times go last: any later write would move them on.
  return copy_contents(work.reading, work.writing, error) &&
         copy_metadata(work.reading, work.writing, true, error) && sync_file(work.writing, error) &&
         close_file(work.writing, error) && close_file(work.reading, error);
}

bool game_unchanged(const folder_work& work, bool& unchanged, io_error& error) {
  file_identity now;
  if (!identify_name(work.target, now, error)) {
    return false;
  }
  unchanged = now == work.game;
  return true;
}

bool check_game_replaceable(const folder_work& work, stop& why) {
  io_error error;
  if (!check_replaceable(work.target, error)) {
    // "Locked" only when a running program holds it: rights or marks that
    // forbid replacing it need other advice.
    why = stopped(work, error.in_use ? windows::locked : common::may_not_replace, &error,
                  common::nothing_changed);
    return false;
  }
  return true;
}

bool check_both_replaceable(const folder_work& work, stop& why) {
  io_error error;
  if (!check_game_replaceable(work, why)) {
    return false;
  }
  if (!check_replaceable(work.backup, error)) {
    why = stopped(work, common::earlier_backup_fixed, &error, common::nothing_changed);
    return false;
  }
  return true;
}

placed put_in_place(folder_work& work, std::string& copy, io_error& error) {
  std::string left_behind;
  const replace_result result = replace_keeping_identity(copy, work.target, left_behind, error);
  if (!left_behind.empty()) {
    work.notes.push_back(
        fill(windows::old_file_left, {{"target", work.target}, {"file", left_behind}}));
  }
  if (result == replace_result::replaced) {
    copy.clear();
    return placed::in_place;
  }
  if (result == replace_result::unchanged) {
    return placed::unchanged;
  }
  io_error later;
  if (rename_over(copy, work.target, later)) {
    copy.clear();
    return placed::in_place;
  }
  remove_temporary(work, copy);
  switch (put_back_from_backup(work, later)) {
    case put_back::done:
      return placed::put_back;
    case put_back::unsafe:
      return placed::put_back_unsafe;
    case put_back::not_done:
      break;
  }
  return placed::missing;
}

given game_from_argument(const std::string& argument, std::string& game) {
  if (argument.empty()) {
    return given::nothing;
  }
  if (is_folder(argument)) {
    game = in_folder(argument, target_name);
    return given::game;
  }
  file_identity there;
  io_error ignored;
  if (!identify_name(argument, there, ignored)) {
    return given::nothing;
  }
  game = argument;
  return same_ignoring_ascii_case(name_part(argument), target_name) ? given::game
                                                                    : given::other_file;
}

int refuse_other_file(const std::string& file) {
  clear_screen();
  draw_banner();
  console_write("  \n");
  say(fill(common::only_the_game, {{"target", target_name}, {"file", file}}));
  say(common::nothing_changed_anywhere);
  wait_for_enter();
  return 1;
}
