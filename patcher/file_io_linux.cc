// Linux file-system calls for the patch: plain descriptors, no stdio, so
// every call's result reaches us and nothing is buffered behind our back.

// A 64-bit file size even where off_t defaults to 32 bits (32-bit Linux):
// there open and fstat refuse any file of 2 GiB or more.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "patcher/file_io.hpp"
#include "patcher/file_names.hpp"
#include "patcher/messages.hpp"

namespace {

namespace common = messages::common;
namespace posix = messages::posix;
namespace tried = messages::tried;

// Reads errno first, before anything else can overwrite it.
bool fail(io_error& error, const std::string& action, const std::string& file) {
  const int code = errno;
  fail_with(error, action, file, strerror(code));
  error.not_found = code == ENOENT || code == ENOTDIR;
  return false;
}

int descriptor(const open_file& file) { return static_cast<int>(file.native); }

// As fail, naming the folder of `name` in full. The reason is read first:
// finding the folder's name makes calls of its own, which may change errno.
bool fail_in_folder(io_error& error, const char* action, const std::string& name) {
  const int code = errno;
  const std::string folder = full_folder_of(name);
  errno = code;
  return fail(error, action, folder);
}

// The marks that forbid renaming over a file, or removing or renaming
// anything in a folder, to root as well: chattr's +i and +a.
struct forbidding_mark {
  const char* reason;
  const char* advice;
};

bool marked(const std::string& name, int extra_flags, forbidding_mark& mark) {
  // O_NONBLOCK and O_NOFOLLOW: looking must not hang on a pipe or follow a link.
  const int fd =
      open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | extra_flags);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  // File systems without such marks answer ENOTTY or EOPNOTSUPP: nothing forbids.
  const bool known = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  close(fd);
  if (known && (flags & FS_IMMUTABLE_FL) != 0) {
    mark = {posix::marked_immutable, posix::clear_immutable};
    return true;
  }
  if (known && (flags & FS_APPEND_FL) != 0) {
    mark = {posix::marked_append_only, posix::clear_append_only};
    return true;
  }
  return false;
}

bool refuse(io_error& error, const char* action, const std::string& file, const std::string& reason,
            const std::string& advice) {
  fail_with(error, action, file, reason);
  error.advice = advice;
  return false;
}

bool refuse_marked(io_error& error, const char* action, const std::string& file,
                   const forbidding_mark& mark) {
  return refuse(error, action, file, mark.reason, fill(mark.advice, {{"file", file}}));
}

// File systems that keep no POSIX permissions or times (FAT, exFAT, some
// network and FUSE mounts) refuse to set them; the copy is whole without.
bool unsupported_here(int code) {
  return code == ENOSYS || code == ENOTSUP || code == EOPNOTSUPP || code == EPERM;
}

}  // namespace

const char path_separators[] = "/";

std::string in_folder(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool is_folder(const std::string& name) {
  struct stat info;
  return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string full_folder_of(const std::string& name) {
  const std::string folder = folder_of(name);
  char* full = realpath(folder.c_str(), nullptr);
  if (full == nullptr) {
    return folder;
  }
  std::string result = full;
  free(full);
  return result;
}

bool is_open(const open_file& file) { return file.native >= 0; }

bool open_for_reading(const std::string& name, open_file& file, io_error& error, links at_name) {
  // O_NONBLOCK: a pipe planted at the name must not hang the open; anything
  // but a plain file is refused before it is read.
  const int no_link = at_name == links::refused ? O_NOFOLLOW : 0;
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | no_link);
  if (fd < 0 && errno == ELOOP && no_link != 0) {
    fail_with(error, tried::read, name, common::not_regular);
    error.not_a_file = true;
    return false;
  }
  if (fd < 0) {
    return fail(error, tried::open, name);
  }
  file.native = fd;
  file.name = name;
  return true;
}

bool check_regular_file(const open_file& file, io_error& error) {
  struct stat info;
  if (fstat(descriptor(file), &info) != 0) {
    return fail(error, tried::examine, file.name);
  }
  if (!S_ISREG(info.st_mode)) {
    fail_with(error, tried::read, file.name,
              S_ISDIR(info.st_mode) ? common::is_folder : common::not_regular);
    error.not_a_file = true;
    return false;
  }
  return true;
}

// What a player who may not write the folder can do: make it writable,
// when it is theirs, or else have it done by its owner or root.
static const char* write_permission_advice(const std::string& name) {
  struct stat folder;
  if (stat(folder_of(name).c_str(), &folder) != 0) {
    return posix::need_write_permission;
  }
  if (folder.st_uid == geteuid()) {
    return (folder.st_mode & S_IWUSR) == 0 ? posix::make_folder_writable
                                           : posix::need_write_permission;
  }
  return geteuid() == 0 ? posix::need_write_permission : posix::run_with_sudo;
}

namespace {

// A time as nanoseconds, held at the ends of the range: a file stamped
// past 2262 or before 1678 (a copy from a broken clock) still compares.
std::int64_t nanoseconds(const timespec& time) {
  std::int64_t result = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(time.tv_sec), 1000000000, &result) ||
      __builtin_add_overflow(result, static_cast<std::int64_t>(time.tv_nsec), &result)) {
    return time.tv_sec < 0 ? INT64_MIN : INT64_MAX;
  }
  return result;
}

file_identity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::uint64_t>(info.st_size), nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim)};
}

}  // namespace

bool identify_file(const open_file& file, file_identity& identity, io_error& error) {
  struct stat info;
  if (fstat(descriptor(file), &info) != 0) {
    return fail(error, tried::examine, file.name);
  }
  identity = identity_of(info);
  return true;
}

bool look_at(const std::string& name, name_entry& entry, io_error& error) {
  entry = name_entry{};
  struct stat info;
  if (lstat(name.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR || fail(error, tried::examine, name);
  }
  if (S_ISLNK(info.st_mode)) {
    entry.link = true;
    std::vector<char> text(PATH_MAX);
    const ssize_t length = readlink(name.c_str(), text.data(), text.size());
    if (length > 0) {
      entry.points_to.assign(text.data(), static_cast<std::size_t>(length));
    }
    if (stat(name.c_str(), &info) != 0) {
      return errno == ENOENT || errno == ENOTDIR || fail(error, tried::examine, name);
    }
  }
  entry.leads_to = S_ISREG(info.st_mode) ? entry_kind::file : entry_kind::other;
  entry.identity = identity_of(info);
  return true;
}

bool identify_name(const std::string& name, file_identity& identity, io_error& error) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0) {
    return fail(error, tried::examine, name);
  }
  identity = identity_of(info);
  return true;
}

std::int64_t milliseconds_since_written(const file_identity& identity) {
  timespec now{};
  // Without the time, the file looks written just now: it is watched, not trusted.
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    return 0;
  }
  std::int64_t since = 0;
  if (__builtin_sub_overflow(nanoseconds(now), identity.written, &since)) {
    return identity.written < 0 ? INT64_MAX : INT64_MIN;
  }
  return since / 1000000;
}

std::uint64_t monotonic_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void pause_milliseconds(unsigned milliseconds) {
  timespec left = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
  // A signal the program holds cuts the sleep short; the rest is slept.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

creation create_new_file(const std::string& name, open_file& file, io_error& error) {
  // O_EXCL never opens what is there, and refuses a link planted at the name.
  const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd >= 0) {
    file.native = fd;
    file.name = name;
    return creation::created;
  }
  const int code = errno;
  fail_in_folder(error, tried::create_in, name);
  if (code == EROFS) {
    error.advice = posix::read_only_file_system;
  } else if (code == EACCES || code == EPERM) {
    error.advice = fill(write_permission_advice(name), {{"folder", error.file}});
  }
  return code == EEXIST ? creation::name_taken : creation::failed;
}

std::uint64_t temporary_seed() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    // Only the spread of the names suffers; O_EXCL still keeps files apart.
    now = timespec{};
  }
  return (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
         (static_cast<std::uint64_t>(getpid()) << 20);
}

bool read_some(open_file& file, unsigned char* buffer, std::size_t capacity, std::size_t& got,
               io_error& error) {
  for (;;) {
    const ssize_t n = read(descriptor(file), buffer, capacity);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      return fail(error, tried::read, file.name);
    }
  }
}

bool rewind_file(open_file& file, io_error& error) {
  if (lseek(descriptor(file), 0, SEEK_SET) != 0) {
    return fail(error, tried::read, file.name);
  }
  return true;
}

bool write_all(open_file& file, const unsigned char* data, std::size_t size, io_error& error) {
  while (size > 0) {
    const ssize_t n = write(descriptor(file), data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fail(error, tried::write, file.name);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  // Starts the disk on what has been written, without waiting, so the copy
  // and the disk work at once and the final fsync finds little left to do
  // (bench/run.sh shows the cost of the syncs). Only a hint, which some file
  // systems and sandboxes refuse (EINVAL, ENOSYS, ESPIPE): a refusal costs
  // speed, not safety. A failed write-out still shows in fsync's result,
  // which alone decides.
  (void)sync_file_range(descriptor(file), 0, 0, SYNC_FILE_RANGE_WRITE);
  return true;
}

bool copy_metadata(const open_file& from, open_file& to, bool times, io_error& error) {
  struct stat wanted;
  struct stat has;
  if (fstat(descriptor(from), &wanted) != 0) {
    return fail(error, tried::examine, from.name);
  }
  if (fstat(descriptor(to), &has) != 0) {
    return fail(error, tried::examine, to.name);
  }
  // Run as root for a player (after the advice on a folder they may not
  // write), the new files must stay the player's, or a 0600 game would be
  // theirs no more. A player may give a file only to a group of their own,
  // so the group alone is tried next. The owner goes before the bits: a
  // change of owner clears the set-user-id and set-group-id bits.
  bool owner_changed = false;
  if (has.st_uid != wanted.st_uid || has.st_gid != wanted.st_gid) {
    owner_changed = fchown(descriptor(to), wanted.st_uid, wanted.st_gid) == 0 ||
                    (has.st_gid != wanted.st_gid &&
                     fchown(descriptor(to), static_cast<uid_t>(-1), wanted.st_gid) == 0);
  }
  // The bits are a courtesy, not part of the patch: where the file system
  // cannot keep them, or the file has them already, nothing is asked. EPERM
  // here is a file system's no, as we own the file we just created.
  if ((owner_changed || (has.st_mode & 07777) != (wanted.st_mode & 07777)) &&
      fchmod(descriptor(to), wanted.st_mode & 07777) != 0 && !unsupported_here(errno)) {
    return fail(error, tried::set_permissions, to.name);
  }
  if (!times) {
    return true;
  }
  // The modification time makes a restored backup the file as it was, so a
  // real failure (EIO) stops the patch; a file system that keeps no times
  // of its own, or refuses them to us, gets a backup without them, as it
  // would from any copy.
  const struct timespec kept[2] = {wanted.st_atim, wanted.st_mtim};
  if (futimens(descriptor(to), kept) != 0 && !unsupported_here(errno)) {
    return fail(error, tried::set_times, to.name);
  }
  return true;
}

bool sync_file(open_file& file, io_error& error) {
  if (fsync(descriptor(file)) != 0) {
    return fail(error, tried::sync, file.name);
  }
  return true;
}

bool close_file(open_file& file, io_error& error) {
  const int fd = descriptor(file);
  file.native = -1;
  // No retry on EINTR: on Linux the descriptor is gone whatever close says.
  if (close(fd) != 0) {
    return fail(error, tried::close, file.name);
  }
  return true;
}

void release_file(open_file& file) {
  if (is_open(file)) {
    close(descriptor(file));
    file.native = -1;
  }
}

namespace {

// The kernel marks the root of a mount (statx, Linux 5.8); older ones show
// only a mount of another file system, by its device.
bool is_mount_point(const std::string& name, dev_t device) {
  struct statx info;
  if (statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) == 0 &&
      (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  struct stat folder;
  return stat(folder_of(name).c_str(), &folder) == 0 && folder.st_dev != device;
}

}  // namespace

bool check_replaceable(const std::string& name, io_error& error) {
  forbidding_mark mark;
  const std::string folder = folder_of(name);
  if (marked(folder, O_DIRECTORY, mark)) {
    return refuse_marked(error, tried::replace_in, full_folder_of(name), mark);
  }
  struct stat file;
  // Nothing there yet, or nothing to learn: the rename itself will tell.
  if (lstat(name.c_str(), &file) != 0) {
    return true;
  }
  if (S_ISREG(file.st_mode) && marked(name, 0, mark)) {
    return refuse_marked(error, tried::replace, name, mark);
  }
  // A file mounted over the name (a bind mount) cannot be renamed over; the
  // rename would fail with EBUSY only after the backup had been replaced.
  if (is_mount_point(name, file.st_dev)) {
    return fail_with(error, tried::replace, name, posix::mount_point);
  }
  // A sticky folder (like /tmp, or a game folder shared by several players)
  // lets a file be replaced only by its owner, the folder's owner or root.
  struct stat in_folder;
  const uid_t us = geteuid();
  if (stat(folder.c_str(), &in_folder) == 0 && (in_folder.st_mode & S_ISVTX) != 0 && us != 0 &&
      file.st_uid != us && in_folder.st_uid != us) {
    return refuse(error, tried::replace, name, posix::owner_only,
                  fill(posix::run_as_owner, {{"file", name}}));
  }
  return true;
}

bool rename_over(const std::string& from, const std::string& to, io_error& error) {
  struct stat before;
  const bool stamped = lstat(from.c_str(), &before) == 0;
  if (rename(from.c_str(), to.c_str()) != 0) {
    return fail(error, tried::replace, to);
  }
  // Some FUSE file systems (fusefat) stamp a renamed file with the time of
  // the rename, which would take the backup's time from it. Putting it back
  // is a courtesy, as in copy_metadata: the rename stands.
  struct stat after;
  if (stamped && lstat(to.c_str(), &after) == 0 &&
      (after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
       after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

replace_result replace_keeping_identity(const std::string& from, const std::string& to,
                                        std::string& left_behind, io_error& error) {
  // What the system keeps of a file here besides its bytes, its owner and
  // permission bits, the new file was given already; a rename is never half
  // done, and sets nothing aside.
  left_behind.clear();
  return rename_over(from, to, error) ? replace_result::replaced : replace_result::unchanged;
}

namespace {

// The steps of a sync, as the player is told of the one that failed.
struct sync_steps {
  const char* open;
  const char* sync;
  const char* close;
};
constexpr sync_steps file_steps = {tried::open, tried::sync, tried::close};
constexpr sync_steps folder_steps = {tried::open_folder, tried::sync_folder, tried::close_folder};

// Syncs what `path` names; returns the step that failed, with errno set, or
// nullptr. As careful databases do, what we may not open (EACCES) and a file
// system that has no sync for it (EINVAL, EBADF: some shared folders of
// virtual machines) are left to the system's own writing out; a real failure
// (EIO) still stops the patch.
const char* sync_path(const std::string& path, int flags, const sync_steps& steps) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) {
    return errno == EACCES ? nullptr : steps.open;
  }
  if (fsync(fd) != 0 && errno != EINVAL && errno != EBADF) {
    const int code = errno;
    close(fd);
    errno = code;
    return steps.sync;
  }
  return close(fd) == 0 ? nullptr : steps.close;
}

}  // namespace

bool sync_renamed(const std::string& name, io_error& error) {
  // The file first: on FAT only its own sync writes its size and first
  // cluster into the folder entry its rename made.
  if (const char* failed = sync_path(name, O_RDONLY | O_NOFOLLOW, file_steps)) {
    return fail(error, failed, name);
  }
  if (const char* failed = sync_path(folder_of(name), O_RDONLY | O_DIRECTORY, folder_steps)) {
    return fail_in_folder(error, failed, name);
  }
  return true;
}

bool remove_file(const std::string& name) { return unlink(name.c_str()) == 0 || errno == ENOENT; }

bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error) {
  names.clear();
  const std::string folder = folder_of(name);
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return fail(error, tried::list_folder, folder);
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (entry == nullptr) {
      break;
    }
    const std::string entry_name = entry->d_name;
    if (entry_name != "." && entry_name != "..") {
      names.push_back(entry_name);
    }
  }
  const int code = errno;
  closedir(listing);
  if (code != 0) {
    errno = code;
    return fail(error, tried::list_folder, folder);
  }
  return true;
}
