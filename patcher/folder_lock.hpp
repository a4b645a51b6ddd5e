// One run at a time in a game folder: a player who starts the program twice,
// or a script, must not have two runs clear or replace each other's files.
// The lock is advisory, and the system lets go of it when the process ends,
// however it ends.
#pragma once

#include <cstdint>
#include <string>

enum class folder_lock_state {
  held,
  taken_by_another_copy,
  // Held, but perhaps by another program (Linux: anyone may lock a folder).
  taken_by_another_program,
  // The folder cannot be opened for it, or its file system has no locks.
  unavailable,
};

struct folder_lock {
  std::intptr_t native = -1;
  std::intptr_t tag = -1;
};

// Takes the lock for the folder that holds `name`, without waiting for it.
folder_lock_state lock_folder_of(const std::string& name, folder_lock& lock);

// Lets go of the lock, if it is held.
void release_folder(folder_lock& lock);
