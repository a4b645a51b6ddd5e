// What the patch and its undo share: the files a run holds in the game's
// folder, the account it takes of them, the steps both take, and the one
// way a run ends. Each step returns whether it went well and, when not,
// what the player is to be told; only the procedures (apply_patch,
// restore_backup) decide, and only end_run ends a run.
#pragma once

#include <string>
#include <vector>

#include "patcher/account.hpp"
#include "patcher/file_io.hpp"
#include "patcher/folder_lock.hpp"

// What the run has changed in the folder so far. The last line of every
// stopped run, what the folder now holds, is told from this alone.
struct changes {
  bool game_put_back = false;    // a missing game, copied back from its backup...
  bool put_back_unsafe = false;  // ...whose copy could be neither synced nor taken away
  bool backup_replaced = false;  // by a copy of the game
  bool game_replaced = false;    // by the patched copy, or by the undo's
  bool game_gone = false;        // a replace that failed half way took it (Windows)
};

// What a run in the game's folder holds, so that any end can let go of it.
struct folder_work {
  procedure which = procedure::patch;
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
  folder_account account;
  // The game's file as it was when it was read, to tell another program's
  // writing from our own.
  file_identity game_as_read;
  changes done;
  // Lines about files that could not be removed, told at the end.
  std::vector<std::string> notes;
};

// Why a run stopped: the headline, the failing call and its advice where
// there is one; and what to say of the folder should the run have changed
// nothing. `by_another_program` when another program's writing stopped it.
struct stop {
  std::vector<std::string> lines;
  const char* if_nothing_changed = nullptr;
  bool by_another_program = false;
};

// `headline` about the game's names, with the failing call after it when
// there is one.
stop stopped(const folder_work& work, const char* headline, const io_error* error,
             const char* if_nothing_changed);

// A sentence about the game's file and its backup, by the names they have.
std::string about(const char* sentence, const folder_work& work);

// One line to the player, after "  [i] ".
void say(const std::string& line);

// How a run ends: stopped (status 1, after the pause), with no game to work
// on (the pause, then 1 for the caller), or finished (the closing line and
// its Enter, then 0).
enum class ending { stopped, no_game, finished };

// Every end of a run comes through here. It lets go of the files and the
// folder, tells the player `lines` (for a stopped run, `why` and what the
// folder holds now) and any notes, and releases the interruptions. One the
// run gave up for ends the program before the lines: the folder is as it
// was, and the player asked to stop, not to be told why. One held while
// the run was finished ends it after them.
int end_run(folder_work& work, ending how, const stop& why, const std::vector<std::string>& lines);

// Between the steps a run may give up at: an interruption held meanwhile
// ends the program here, with the folder as it was.
void give_up_if_asked(folder_work& work);

// The opening both procedures share: looks at the game's name (or the one
// name that differs from it only in letter case) and its backup's, without
// following links or reading anything; then takes the folder's lock and
// clears what killed runs left. With nothing at either name it takes no
// lock, and `why` holds what the procedure then says.
enum class opened { ready, stopped, nothing_there };
opened open_the_folder(folder_work& work, stop& why);

// Reads what the decision needs into the account, each file once another
// program has left it alone: the game when it is a file, the backup when
// needs_backup_read says so, and for the undo the two side by side.
bool read_account(folder_work& work, stop& why);

// The lines that refuse the folder as decide() found it, the nothing
// changed included.
stop refused(const folder_work& work, refusal why);

// Puts a copy of the backup where the game's file is missing; the backup
// stays as it is. The copy is synced under its new name too: on FAT, a
// power cut before that would leave the game's name on a broken file. A
// copy that cannot be synced is taken away again; where even that fails it
// stands unsynced, and the record says the game was put back.
bool put_back_game(folder_work& work, io_error& error);

// Creates a new, empty file beside `final_name`, under a temporary name
// nobody else holds.
bool create_temporary_beside(const std::string& final_name, open_file& file, io_error& error);

// A byte-exact copy of `from`, with its times, complete and synced under a
// temporary name beside `final_name`, which `copy` is set to. The copy is
// left open in `work.writing`: the patch reads it again from there, as a
// copy given a mode that denies its owner reading could not be reopened.
bool write_exact_copy(folder_work& work, const std::string& from, const std::string& final_name,
                      std::string& copy, io_error& error);

// Whether the game's file is still the one read: another program may have
// written it, or put another in its place, meanwhile. When not, `why` says so.
bool still_the_game_read(folder_work& work, stop& why);

// Once the new game's copy is written: the game checked again, the files
// asked again whether they can be replaced, a last chance to give up, and
// from then on interruptions held until the run is finished.
bool ready_to_place(folder_work& work, bool backup_too, stop& why);

// Refuses a target or backup that cannot be replaced, with nothing changed:
// found out between the two renames, the earlier backup would be given up
// for a patch that then fails. The undo, and a patch that keeps the
// backup, replace the game's file alone.
bool check_replaceable_files(const folder_work& work, bool backup_too, stop& why);

// Puts the new game in place and syncs it there; a link it replaced is
// told of at the end.
bool finish_in_place(folder_work& work, stop& why);
