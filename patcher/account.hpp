// One account of the game's folder, taken before anything is decided: what
// stands at the game's name and at its backup's, and what each holds. The
// patch and the undo both act through decide(), so that they never disagree
// on what a folder is: the patch puts a backup back only where the undo
// would, and neither takes a backup that is the game's own file for the
// work of another program. docs/behaviour.md writes the same table out.
#pragma once

#include <cstdint>

#include "patcher/file_io.hpp"

// What a file holds, by the patch's bytes.
enum class holds {
  unread,    // not read: nothing needed it
  original,  // the search bytes, once
  patched,   // the replacement bytes once, and no search bytes
  neither,   // another version, an empty file, or the bytes more than once
};

struct file_state {
  name_entry entry;
  holds contents = holds::unread;
  std::int64_t search_count = 0;  // for the player, when it is not once
};

struct folder_account {
  file_state game;
  file_state backup;
  // The backup is the game's own file: a hard link of it, or a link from
  // one name to the other.
  bool one_file = false;
  // Read side by side (the undo): the game equals the backup, or equals it
  // with the patch in place.
  bool equal = false;
  bool differ_by_patch = false;
};

enum class procedure { patch, undo };

// What a run does about the folder it found.
enum class action {
  patch,                 // back the game up, and put the patched copy in its place
  patch_keeping_backup,  // the same, but the backup is the game's own file: it stays
  put_back_then_patch,   // the game is missing and its backup an original
  restore,               // the backup is this game's original: it takes the game's place
  put_back,              // the game is missing and its backup an original: copied back
  nothing_to_undo,       // the game is an original already
  no_game,               // neither file is there
  refuse,                // as the decision's refusal says
};

// Why a run refuses the folder as it is, before it changes anything.
enum class refusal {
  none,
  not_once,               // the patch's gate: the search bytes are not there once
  game_not_a_file,        // a folder, a device, a pipe at the game's name
  dangling_link,          // the game's name is a link to nothing
  backup_not_a_file,      // the game is missing, and what is at the backup's name is no file
  no_original_in_backup,  // ... or the backup holds no original
  no_backup,              // the undo has nothing to put back
  not_its_original,       // the backup is another version's original
};

struct decision {
  action what = action::refuse;
  refusal why = refusal::none;
};

// Whether a name leads to a file at all, through a link or not.
bool is_there(const name_entry& entry);

// What the run does, from the account. `account` must have read what the
// decision needs: the game when it is a file, and the backup when the game
// is missing (both procedures) or present (the undo).
decision decide(const folder_account& account, procedure which);

// Whether `decide` needs the backup's contents as well as the game's.
bool needs_backup_read(const folder_account& account, procedure which);
