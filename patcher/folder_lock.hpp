// One run at a time in a game folder: a player who starts the program twice,
// or a script, must not have two runs clear or replace each other's files.
// The lock is advisory (only our own runs ask for it), and the system lets
// go of it when the process ends, however it ends.
#pragma once

#include <cstdint>

enum class folder_lock_state {
  held,
  taken_by_another,
  // The folder cannot be opened for it, or its file system has no locks.
  unavailable,
};

struct folder_lock {
  std::intptr_t native = -1;
};

// Takes the lock for the current folder, without waiting for it.
folder_lock_state lock_current_folder(folder_lock& lock);

// Lets go of the lock, if it is held.
void unlock_folder(folder_lock& lock);
