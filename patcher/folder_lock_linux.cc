// The folder itself carries the lock (flock), so no file of ours appears in
// the player's folder for it, and every path to the folder (a link, a bind
// mount) meets the same lock. Any program may lock a folder, though; so
// while it holds the lock, this program also binds a name of its own, made
// from the folder's device and number, in the abstract socket space: the
// name tells a copy of this program from another holder of the lock.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "patcher/file_names.hpp"
#include "patcher/folder_lock.hpp"

namespace {

// Binds the folder's name tag; -1 when another process has it bound, or
// the system gives no such names.
int bind_tag(int folder, bool& taken) {
  taken = false;
  struct stat info;
  if (fstat(folder, &info) != 0) {
    return -1;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  // The leading zero byte puts the name in the abstract space: no file.
  const int length = std::snprintf(
      address.sun_path + 1, sizeof address.sun_path - 1, "camera-patch-%llx-%llx",
      static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino));
  const int tag = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (tag < 0) {
    return -1;
  }
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(tag, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    taken = errno == EADDRINUSE;
    close(tag);
    return -1;
  }
  return tag;
}

}  // namespace

folder_lock_state lock_folder_of(const std::string& name, folder_lock& lock) {
  const int fd = open(folder_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return folder_lock_state::unavailable;
  }
  bool taken = false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    lock.native = fd;
    lock.tag = bind_tag(fd, taken);
    return folder_lock_state::held;
  }
  const int code = errno;
  if (code != EWOULDBLOCK) {
    close(fd);
    return folder_lock_state::unavailable;
  }
  // Whoever holds the lock: a copy of this program has the tag bound. One
  // that has only just taken the lock may not have it yet, and is then
  // called another program, which is true of it too.
  const int tag = bind_tag(fd, taken);
  if (tag >= 0) {
    close(tag);
  }
  close(fd);
  return taken ? folder_lock_state::taken_by_another_copy
               : folder_lock_state::taken_by_another_program;
}

void release_folder(folder_lock& lock) {
  // Closing our only descriptor of the folder lets go of the lock, and
  // closing the socket of its tag; a failing close lets go all the same.
  if (lock.tag >= 0) {
    close(static_cast<int>(lock.tag));
    lock.tag = -1;
  }
  if (lock.native >= 0) {
    close(static_cast<int>(lock.native));
    lock.native = -1;
  }
}
