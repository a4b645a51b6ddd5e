// The steps the patch and its undo share. Nothing the player already has is
// touched until a new file is complete on disk: each is written under a
// temporary name, synced, and renamed into place.
#include "patcher/run.hpp"

#include <algorithm>
#include <cstdlib>

#include "console/advice.hpp"
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

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

char other_case(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : lower(c); }

// The game was made for a file system that ignores letter case, and copies
// taken off its CD often carry the name in lower case. Finds the entries
// beside `name` that differ from it only in ASCII case, by the names the
// program would use for them; none when the folder cannot be listed.
std::vector<std::string> names_in_other_case(const std::string& name) {
  std::vector<std::string> entries;
  std::vector<std::string> others;
  io_error ignored;
  const std::string own = name_part(name);
  if (list_folder_of(name, entries, ignored)) {
    for (const std::string& entry : entries) {
      if (entry != own && same_ignoring_case(entry, own)) {
        others.push_back(beside(name, entry));
      }
    }
  }
  std::sort(others.begin(), others.end());
  return others;
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

// What the folder holds now, from what the run changed in it.
std::string folder_now(const folder_work& work, const stop& why) {
  const changes& done = work.done;
  const char* sentence = why.if_nothing_changed;
  if (done.game_gone) {
    sentence = windows::target_missing;
  } else if (done.game_replaced) {
    sentence = work.which == procedure::patch ? common::patch_may_be_undone : common::put_back;
  } else if (done.game_put_back) {
    sentence = common::put_back;
  } else if (done.backup_replaced) {
    sentence = why.by_another_program ? common::backup_from_before : common::only_backup_replaced;
  }
  return sentence == nullptr ? std::string{} : about(sentence, work);
}

// A file written in the last two seconds may still be being written by
// another program (a copy off a CD or a slow USB stick, a game store
// checking its files), and must not be read half written. It is watched
// until it has been left alone that long: two seconds spans the pauses of
// a copy that writes in bursts, and FAT's clock, which counts in steps of
// two. One still changing after ten seconds is refused: long enough for a
// game's file to finish copying, short enough that a player is not left
// looking at a still screen.
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

// Reads `name`, once another program has left it alone, into `state`: what
// it holds by the patch's bytes. `as_read` is the file's identity then.
bool read_contents(folder_work& work, const std::string& name, links at_name, file_state& state,
                   file_identity& as_read, const char* still_written, stop& why) {
  io_error error;
  bool left_alone = false;
  if (!wait_until_left_alone(name, left_alone, error)) {
    why = stopped(work, common::not_searched, &error, common::nothing_changed);
    return false;
  }
  if (!left_alone) {
    why = stopped(work, still_written, nullptr, common::wait_and_retry);
    return false;
  }
  if (!open_for_reading(name, work.reading, error, at_name)) {
    why = stopped(work, name == work.target ? common::not_opened : common::backup_not_read, &error,
                  common::nothing_changed);
    return false;
  }
  patch_bytes_count count;
  if (!check_regular_file(work.reading, error) || !identify_file(work.reading, as_read, error) ||
      !count_patch_bytes(work.reading, count, error) || !close_file(work.reading, error)) {
    why = stopped(work, name == work.target ? common::not_searched : common::backup_not_read,
                  &error, common::nothing_changed);
    return false;
  }
  state.search_count = count.search;
  state.contents = count.search == 1                             ? holds::original
                   : count.search == 0 && count.replacement == 1 ? holds::patched
                                                                 : holds::neither;
  return true;
}

// The game and its backup read side by side, for the undo.
bool compare_side_by_side(folder_work& work, stop& why) {
  io_error error;
  open_file game;
  backup_comparison compared;
  const bool read = open_for_reading(work.backup, work.reading, error, links::refused) &&
                    open_for_reading(work.target, game, error) &&
                    compare_with_backup(work.reading, game, compared, error) &&
                    close_file(work.reading, error);
  release_file(game);
  if (!read) {
    why = stopped(work, common::backup_not_read, &error, common::nothing_changed);
    return false;
  }
  work.account.equal = compared.same;
  work.account.differ_by_patch = compared.patched && !compared.same;
  return true;
}

// A folder ignores letter case when one of its names, spelled in other
// case, leads to a file the listing does not hold under that spelling.
// Asked by name, not by the file's number: FUSE file systems (exFAT, FAT)
// number a file anew at each lookup.
bool folder_ignores_case(const folder_work& work, const std::vector<std::string>& entries) {
  const std::string& known = is_there(work.account.game.entry) ? work.target : work.backup;
  std::string flipped = name_part(known);
  std::transform(flipped.begin(), flipped.end(), flipped.begin(), other_case);
  file_identity in_other_case;
  io_error ignored;
  return std::find(entries.begin(), entries.end(), flipped) == entries.end() &&
         identify_name(beside(known, flipped), in_other_case, ignored);
}

}  // namespace

bool same_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

stop stopped(const folder_work& work, const char* headline, const io_error* error,
             const char* if_nothing_changed) {
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
  why.if_nothing_changed = if_nothing_changed;
  return why;
}

std::string about(const char* sentence, const folder_work& work) {
  return fill(sentence, {{"target", work.target},
                         {"backup", work.backup},
                         {"file", work.account.game.entry.points_to}});
}

void say(const std::string& line) {
  // One line, in one write. Our own words are ASCII; the names and reasons
  // the system gave us, made printable by fill, go out as Unicode.
  console_write_unicode("  [i] " + line + "\n");
}

int end_run(folder_work& work, ending how, const stop& why, const std::vector<std::string>& lines) {
  release_work(work);
  if (should_give_up()) {
    release_interruptions();
  }
  std::vector<std::string> told = how == ending::stopped ? why.lines : lines;
  if (how == ending::stopped && !folder_now(work, why).empty()) {
    told.push_back(folder_now(work, why));
  }
  for (const std::string& line : told) {
    say(line);
  }
  for (const std::string& note : work.notes) {
    say(note);
  }
  console_flush();
  release_interruptions();
  if (how == ending::finished) {
    say(common::closing);
    char reply[reply_size];
    // The closing line is only there to keep the window open; its text is not used.
    read_reply(reply);
    return 0;
  }
  // The pause answers an interruption again: the program then ends at once.
  wait_for_enter();
  if (how == ending::stopped) {
    std::exit(1);
  }
  return 1;
}

void give_up_if_asked(folder_work& work) {
  if (should_give_up()) {
    end_run(work, ending::no_game, {}, {});
  }
}

namespace {

bool look_at_names(folder_work& work, stop& why) {
  io_error error;
  file_state& game = work.account.game;
  file_state& backup = work.account.backup;
  if (!look_at(work.target, game.entry, error)) {
    console_write("  \n");
    why = stopped(work, common::not_looked_for, &error, common::nothing_changed_anywhere);
    return false;
  }
  // The game, or else a backup left by a run ended half way (on Windows a
  // replace can take the game's file away before the new one takes its
  // place), may carry the name in other letter case.
  work.backup = work.target + backup_suffix;
  io_error ignored;
  look_at(work.backup, backup.entry, ignored);
  for (const std::string suffix : {"", backup_suffix}) {
    if (game.entry.link || is_there(game.entry) || (!suffix.empty() && is_there(backup.entry))) {
      break;
    }
    const std::vector<std::string> others = names_in_other_case(work.target + suffix);
    if (others.size() > 1) {
      std::string listed;
      for (const std::string& name : others) {
        listed += (listed.empty() ? "\"" : ", \"") + name_part(name) + "\"";
      }
      console_write("  \n");
      why.lines = {fill(common::several_names, {{"target", work.target}, {"names", listed}}),
                   about(common::rename_one, work)};
      return false;
    }
    if (others.size() == 1) {
      work.target = others.front().substr(0, others.front().size() - suffix.size());
      work.backup = suffix.empty() ? work.target + backup_suffix : others.front();
      look_at(work.target, game.entry, ignored);
      look_at(work.backup, backup.entry, ignored);
    }
  }
  work.account.one_file = is_there(game.entry) && is_there(backup.entry) && !backup.entry.link &&
                          game.entry.identity.volume == backup.entry.identity.volume &&
                          game.entry.identity.number == backup.entry.identity.number;
  return true;
}

bool lock_the_folder(folder_work& work, stop& why) {
  // Two runs at once in one folder would clear or replace each other's
  // files. The second says so at once: waiting, it would only find the
  // patch done and the bytes gone, which reads like a failure.
  switch (lock_folder_of(work.target, work.lock)) {
    case folder_lock_state::held:
    case folder_lock_state::unavailable:
      // Unavailable: a folder we may not list, or a file system without
      // locks. The run goes on; clear_leftovers then finds nothing to clear.
      return true;
    case folder_lock_state::taken_by_another_copy:
      console_write("  \n");
      why.lines = {about(common::another_copy, work), common::this_copy_nothing};
      return false;
    case folder_lock_state::taken_by_another_program:
      console_write("  \n");
      why.lines = {about(posix::another_program, work), posix::that_program_nothing};
      return false;
  }
  return true;
}

void clear_leftovers(const folder_work& work) {
  std::vector<std::string> entries;
  io_error ignored;
  // Clearing up is a courtesy: a folder that cannot be listed is patched anyway.
  if (work.lock.native == -1 || !list_folder_of(work.target, entries, ignored)) {
    return;
  }
  const bool any_case = folder_ignores_case(work, entries);
  for (const std::string& entry : entries) {
    if (is_temporary_name_of(name_part(work.target), entry, any_case) ||
        is_temporary_name_of(name_part(work.backup), entry, any_case)) {
      remove_file(beside(work.target, entry));
    }
  }
}

}  // namespace

opened open_the_folder(folder_work& work, stop& why) {
  if (!look_at_names(work, why)) {
    return opened::stopped;
  }
  const folder_account& account = work.account;
  if (!account.game.entry.link && !is_there(account.game.entry) && !account.backup.entry.link &&
      !is_there(account.backup.entry)) {
    console_write("  \n");
    // A player who started the program from a shortcut or another folder
    // learns where it looked.
    const std::string looked = fill(common::looked_in, {{"folder", full_folder_of(work.target)}});
    const bool undo = work.which == procedure::undo;
    why.lines = {about(undo ? common::no_backup : common::no_target, work), looked,
                 point_at_game(undo)};
    if (undo) {
      why.lines.push_back(common::nothing_changed_anywhere);
    }
    return opened::nothing_there;
  }
  if (!lock_the_folder(work, why)) {
    return opened::stopped;
  }
  clear_leftovers(work);
  return opened::ready;
}

bool read_account(folder_work& work, stop& why) {
  folder_account& account = work.account;
  if (account.game.entry.leads_to == entry_kind::file &&
      !read_contents(work, work.target, links::followed, account.game, work.game_as_read,
                     common::still_written, why)) {
    return false;
  }
  file_identity backup_as_read;
  if (needs_backup_read(account, work.which) &&
      !read_contents(work, work.backup, links::refused, account.backup, backup_as_read,
                     common::backup_still_written, why)) {
    return false;
  }
  const bool both_read =
      account.game.contents != holds::unread && account.backup.contents != holds::unread;
  return !both_read || work.which == procedure::patch || compare_side_by_side(work, why);
}

stop refused(const folder_work& work, refusal why) {
  io_error error;
  switch (why) {
    case refusal::game_not_a_file:
    case refusal::backup_not_a_file: {
      const bool game = why == refusal::game_not_a_file;
      const name_entry& entry = game ? work.account.game.entry : work.account.backup.entry;
      const std::string& name = game ? work.target : work.backup;
      fail_with(error, messages::tried::read, name,
                entry.leads_to == entry_kind::other && is_folder(name) ? common::is_folder
                                                                       : common::not_regular);
      return game
                 ? stopped(work, common::not_searched, &error, common::nothing_changed)
                 : stopped(work, common::missing_not_put_back, &error, common::no_game_to_put_back);
    }
    case refusal::dangling_link:
      return stopped(work, common::link_to_nothing, nullptr, common::nothing_changed_anywhere);
    case refusal::no_original_in_backup:
      // A patched game whose backup cannot undo it is best reinstalled.
      return stopped(work, common::no_original_in_backup, nullptr,
                     work.account.game.contents == holds::patched
                         ? common::keep_other_backup
                         : common::nothing_changed_anywhere);
    case refusal::no_backup:
      return stopped(work, common::no_backup, nullptr,
                     is_there(work.account.game.entry) ? common::nothing_changed
                                                       : common::nothing_changed_anywhere);
    case refusal::not_its_original:
      return stopped(work, common::not_its_original, nullptr, common::keep_other_backup);
    case refusal::not_once:
    case refusal::none:
      break;
  }
  // The patch's gate: the designed two lines, and why.
  const file_state& game = work.account.game;
  stop gate;
  gate.lines = {
      common::not_found, common::restore_backup,
      game.search_count > 1
          ? fill(common::found_many,
                 {{"target", work.target}, {"number", std::to_string(game.search_count)}})
      : game.contents == holds::patched
          ? fill(common::patched_already,
                 {{"target", work.target}, {"backup", work.backup}, {"undo", undo_advice()}})
          : about(common::other_version, work)};
  return gate;
}

bool put_back_game(folder_work& work, io_error& error) {
  if (!write_exact_copy(work, work.backup, work.target, work.new_target, error) ||
      !close_file(work.writing, error) || !rename_over(work.new_target, work.target, error)) {
    return false;
  }
  work.new_target.clear();
  work.done.game_put_back = true;
  if (sync_renamed(work.target, error)) {
    return true;
  }
  // Unsynced, it could stand broken after a power cut; taken away, the
  // folder is as it was. Where it cannot be, the record keeps it.
  work.done.game_put_back = work.done.put_back_unsafe = !remove_file(work.target);
  return false;
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
         close_file(work.reading, error);
}

namespace {

// The line that tells a link at the game's name became a file of its own.
void note_link_replaced(folder_work& work) {
  if (work.account.game.entry.link) {
    work.notes.insert(work.notes.begin(), about(common::link_replaced, work));
  }
}

// What the placing's stops say, by procedure.
struct placing_words {
  const char* changed;
  const char* not_replaced;
  const char* put_back_unsafe;
  const char* unsafe;
};
constexpr placing_words patch_words = {common::changed_meanwhile, common::not_replaced,
                                       common::put_back_unsafe, common::patch_unsafe};
constexpr placing_words undo_words = {common::changed_while_restored, common::not_restored,
                                      common::restore_unsafe, common::restore_unsafe};

const placing_words& words_of(const folder_work& work) {
  return work.which == procedure::patch ? patch_words : undo_words;
}

// Renames the copy in `work.new_target` over the game's file, which hands
// on what the system keeps of it, and records what that left. On Windows
// the replace can fail half way and take the game's file away: the copy is
// whole and synced, so a plain rename finishes the job; failing that, the
// game comes back from the backup, which is on disk already.
bool put_in_place(folder_work& work, io_error& error) {
  std::string left_behind;
  const replace_result result =
      replace_keeping_identity(work.new_target, work.target, left_behind, error);
  if (!left_behind.empty()) {
    work.notes.push_back(
        fill(windows::old_file_left, {{"target", work.target}, {"file", left_behind}}));
  }
  if (result == replace_result::replaced) {
    work.new_target.clear();
    work.done.game_replaced = true;
    return true;
  }
  if (result == replace_result::unchanged) {
    return false;
  }
  io_error later;
  if (rename_over(work.new_target, work.target, later)) {
    work.new_target.clear();
    work.done.game_replaced = true;
    return true;
  }
  remove_temporary(work, work.new_target);
  work.done.game_gone = !put_back_game(work, later) && !work.done.game_put_back;
  return false;
}

}  // namespace

bool ready_to_place(folder_work& work, bool backup_too, stop& why) {
  // Asked again just before the renames: a running game may have started.
  if (!still_the_game_read(work, why) || !check_replaceable_files(work, backup_too, why)) {
    return false;
  }
  give_up_if_asked(work);
  // The renames are quick: once they begin, the run is finished even if
  // the player interrupts it, putting the game back if need be.
  hold_interruptions(on_interruption::finish);
  return true;
}

bool finish_in_place(folder_work& work, stop& why) {
  io_error error;
  const placing_words& words = words_of(work);
  // A replace that failed half way and put the game back from the backup
  // has done the undo's work all the same.
  const bool undone_anyway = work.which == procedure::undo && work.done.game_put_back;
  if (!put_in_place(work, error) && !(undone_anyway && !work.done.put_back_unsafe)) {
    why = stopped(work, work.done.put_back_unsafe ? words.put_back_unsafe : words.not_replaced,
                  &error, common::nothing_changed);
    return false;
  }
  // Any backup's rename was synced before; only the game's may be lost.
  if (!sync_renamed(work.target, error)) {
    why = stopped(work, words.unsafe, &error, nullptr);
    return false;
  }
  note_link_replaced(work);
  return true;
}

bool still_the_game_read(folder_work& work, stop& why) {
  const char* changed = words_of(work).changed;
  io_error error;
  file_identity now;
  if (!identify_name(work.target, now, error)) {
    why = stopped(work, common::not_checked_again, &error, common::nothing_changed);
    return false;
  }
  if (now != work.game_as_read) {
    why = stopped(work, changed, nullptr, common::left_as_other_made_it);
    why.by_another_program = true;
    return false;
  }
  return true;
}

bool check_replaceable_files(const folder_work& work, bool backup_too, stop& why) {
  io_error error;
  if (!check_replaceable(work.target, error)) {
    // "Locked" only when a running program holds it: rights or marks that
    // forbid replacing it need other advice.
    why = stopped(work, error.in_use ? windows::locked : common::may_not_replace, &error,
                  common::nothing_changed);
    return false;
  }
  if (backup_too && !check_replaceable(work.backup, error)) {
    why = stopped(work, common::earlier_backup_fixed, &error, common::nothing_changed);
    return false;
  }
  return true;
}

given game_from_argument(const std::string& argument, std::string& game) {
  // An option this program does not know is no path: it gets the menu.
  if (argument.empty() || argument.front() == '-') {
    return given::nothing;
  }
  game = argument;
  if (is_folder(argument)) {
    game = in_folder(argument, target_name);
    return given::game;
  }
  name_entry entry;
  io_error error;
  const bool named_game = same_ignoring_case(name_part(argument), target_name);
  // A game's name in a folder that is there may stand for a missing game,
  // which its backup may bring back; what cannot be looked at is told by
  // the procedure. Anything else that leads nowhere is a slip in typing.
  if (look_at(argument, entry, error) && !entry.link && !is_there(entry) &&
      !(named_game && is_folder(folder_of(argument)))) {
    return given::nowhere;
  }
  return named_game ? given::game : given::other_file;
}

int refuse_argument(const std::string& file, given what) {
  clear_screen();
  draw_banner();
  console_write("  \n");
  say(what == given::nowhere
          ? fill(common::names_nothing, {{"file", file}})
          : fill(common::only_the_game, {{"target", target_name}, {"file", file}}));
  say(common::nothing_changed_anywhere);
  wait_for_enter();
  return 1;
}
