// The folder itself carries the lock (flock), so no file of ours appears in
// the player's folder for it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "patcher/folder_lock.hpp"

folder_lock_state lock_current_folder(folder_lock& lock) {
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return folder_lock_state::unavailable;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    lock.native = fd;
    return folder_lock_state::held;
  }
  const int code = errno;
  close(fd);
  return code == EWOULDBLOCK ? folder_lock_state::taken_by_another : folder_lock_state::unavailable;
}

void unlock_folder(folder_lock& lock) {
  if (lock.native >= 0) {
    // Closing our only descriptor of the folder lets go of the lock; a
    // failing close lets go of it too.
    close(static_cast<int>(lock.native));
    lock.native = -1;
  }
}
