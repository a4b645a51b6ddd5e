// What the patch and its undo share: the files a run holds in the game's
// folder, the steps both take, and the one way a run ends. Each step returns
// whether it went well and, when not, what the player is to be told; only
// the procedures (apply_patch, restore_backup) decide to end the run.
#pragma once

#include <string>
#include <vector>

#include "patcher/file_io.hpp"
#include "patcher/folder_lock.hpp"

// What a run in the game's folder holds, so that any end can let go of it.
struct folder_work {
  std::string target;  // the game's file, by the name the program uses for it
  std::string backup;  // its backup beside it
  open_file reading;
  open_file writing;
  // The new files under their temporary names, until each is renamed into
  // place; empty once it is.
  std::string new_backup;
  std::string new_target;
  // Held from before the leftovers are cleared until the folder is settled.
  folder_lock lock;
  // The game's file as it was when it was first read.
  file_identity game;
  // Lines about files that could not be removed, told at the end.
  std::vector<std::string> notes;
};

// The lines that end a run that stopped: what happened, the failing call
// and the advice where there is one, and what the folder holds now.
struct stop {
  std::vector<std::string> lines;
};

// `headline` and `outcome` about the game's names, with the failing call
// between them when there is one.
stop stopped(const folder_work& work, const char* headline, const io_error* error,
             const char* outcome);

// A sentence about the game's file and its backup, by the names they have.
std::string about(const char* sentence, const folder_work& work);

// One line to the player, after "  [i] ".
void say(const std::string& line);

// Every end of a run comes through here: it lets go of the files and the
// folder, tells the player `lines` and any notes, and releases the
// interruptions. One the run gave up for ends the program before the
// lines: the folder is as it was, and the player asked to stop, not to be
// told why. One held while the run was finished ends it after them.
void end_run(folder_work& work, const std::vector<std::string>& lines);

// Ends a run that stopped, after the player's pause, with status 1.
[[noreturn]] void end_stopped(folder_work& work, const stop& why);

// Between the steps a patch may give up at: an interruption held meanwhile
// ends the program here, with the folder as it was.
void give_up_if_asked(folder_work& work);

// Finds the game's file by its name, or by the one name that differs from it
// only in letter case; else the backup of a missing one, whose name then
// names the game's. False, with the stop, when the file is there but will
// not open, or several names could be it.
enum class found { game, only_backup, nothing };
bool find_game(folder_work& work, found& what, stop& why);

// Takes the folder's lock and clears what killed runs left; a folder that
// cannot be locked is patched without. False when another run has it.
bool take_the_folder(folder_work& work, stop& why);

// What putting the game back from its backup left.
enum class put_back { done, not_done, unsafe };

// Puts a copy of the backup where the game's file is missing. The backup
// stays as it is. The copy is synced under its new name too: on FAT, a
// power cut before that would leave the game's name on a broken file, which
// no run puts right. A copy that cannot be synced is taken away again, so
// the game is missing, as the player is then told; `unsafe` when even that
// fails, and the copy stands unsynced.
put_back put_back_from_backup(folder_work& work, io_error& error);

// Creates a new, empty file beside `final_name`, under a temporary name
// nobody else holds.
bool create_temporary_beside(const std::string& final_name, open_file& file, io_error& error);

// A byte-exact copy of `from`, with its times, complete and synced under a
// temporary name beside `final_name`, which `copy` is set to.
bool write_exact_copy(folder_work& work, const std::string& from, const std::string& final_name,
                      std::string& copy, io_error& error);

// Whether the game's file is still the one first read: another program may
// have written it, or put another in its place, meanwhile.
bool game_unchanged(const folder_work& work, bool& unchanged, io_error& error);

// Refuses a target or backup that cannot be replaced, with nothing changed:
// found out between the two renames, the earlier backup would be given up
// for a patch that then fails. The undo replaces the game's file alone.
bool check_game_replaceable(const folder_work& work, stop& why);
bool check_both_replaceable(const folder_work& work, stop& why);

// What putting a new copy of the game's file in its place left.
enum class placed { in_place, unchanged, put_back, missing, put_back_unsafe };

// Renames `copy` over the game's file, which hands on what the system keeps
// of it. On Windows that can fail half way and take the game's file away:
// the copy is whole and synced, so a plain rename finishes the job; failing
// that, the game comes back from the backup, which is on disk already.
placed put_in_place(folder_work& work, std::string& copy, io_error& error);
