// The few file-system calls a patch needs, each reporting failure with the
// file it concerns and the system's own reason, so the player can be told.
// One implementation per platform, for what the platforms do differently;
// the procedures above them have no #ifdefs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct io_error {
  std::string action;       // what we tried: "open", "read", "write", ...
  std::string file;         // the name as the program knows it
  std::string reason;       // the system's words for what went wrong
  bool not_found = false;   // the name leads to no file at all
  bool in_use = false;      // a running program holds the file
  bool not_a_file = false;  // a folder, a device, a pipe or a link where a file should be
  std::string advice;       // what the player can do about it, where we know
};

// Fills in `error` afresh, with our own words for the reason; returns false,
// so a failing step can end with it.
inline bool fail_with(io_error& error, std::string action, std::string file, std::string reason) {
  error = io_error{};
  error.action = std::move(action);
  error.file = std::move(file);
  error.reason = std::move(reason);
  return false;
}

// A file descriptor on POSIX, a HANDLE on Windows.
struct open_file {
  std::intptr_t native = -1;
  std::string name;
};

bool is_open(const open_file& file);

// What tells one state of a file from another: which file it is (its
// volume and its number there) and its size and times. Another program
// that writes the file, or puts another in its place, changes it; reading
// the file does not.
struct file_identity {
  std::uint64_t volume = 0;
  std::uint64_t number = 0;
  std::uint64_t size = 0;
  std::int64_t written = 0;  // the platform's own units
  std::int64_t changed = 0;  // the status change (POSIX), the creation (Windows)
  bool operator==(const file_identity&) const = default;
};

// What stands at a name, looked at without following a link there.
enum class entry_kind { nothing, file, other };  // other: a folder, a device, a pipe
struct name_entry {
  bool link = false;      // the name is a link (on Windows, a reparse point)...
  std::string points_to;  // ...to this, as the link says; empty when it cannot be read
  entry_kind leads_to = entry_kind::nothing;  // what the name leads to, through a link
  file_identity identity;                     // of what it leads to, when it leads anywhere
};

// False, with the reason, when the name cannot be looked at (a folder the
// player may not search, a name too long for the system). A name that
// leads nowhere, or a link that does, is no failure.
bool look_at(const std::string& name, name_entry& entry, io_error& error);

// Links: the game's file may be one (the patch replaces the link by a plain
// file and leaves what it pointed to alone); a backup never is, as the
// program never makes one, so one planted there is not followed.
enum class links { followed, refused };

// Opens an existing file to read it from the start. A link refused is told
// as not a regular file.
bool open_for_reading(const std::string& name, open_file& file, io_error& error,
                      links at_name = links::followed);

// Refuses anything but a plain file (a folder, a device, a pipe), whose
// contents could not be patched or could never end, with `not_a_file`.
bool check_regular_file(const open_file& file, io_error& error);

// The identity of an open file, and of whatever `name` leads to now
// (following a link, as open_for_reading does).
bool identify_file(const open_file& file, file_identity& identity, io_error& error);
bool identify_name(const std::string& name, file_identity& identity, io_error& error);

// How long ago, by the system's clock, the file was last written; negative
// when its time lies ahead (a network share whose clock runs fast).
std::int64_t milliseconds_since_written(const file_identity& identity);

// A clock for waiting, which no change of the system's time moves, and a pause.
std::uint64_t monotonic_milliseconds();
void pause_milliseconds(unsigned milliseconds);

// Creates `name`, which must not exist yet, to read and write. It never
// opens an existing file or follows a link, so a name planted in the folder
// cannot redirect our writes. A failure names the folder, which the player
// knows, rather than a name of ours.
enum class creation { created, name_taken, failed };
creation create_new_file(const std::string& name, open_file& file, io_error& error);

// Differs from one run to the next (a clock, the process id), to spread the
// names of temporary files.
std::uint64_t temporary_seed();

// Reads up to `capacity` bytes; `got` is 0 only at the end of the file.
bool read_some(open_file& file, unsigned char* buffer, std::size_t capacity, std::size_t& got,
               io_error& error);

// Reads `file` again from its start.
bool rewind_file(open_file& file, io_error& error);

// Writes all of `data`. Where the system allows, it also starts putting the
// data on disk without waiting for it, so that sync_file has less left to do.
bool write_all(open_file& file, const unsigned char* data, std::size_t size, io_error& error);

// Gives the new file `to` what a copy of `from` should keep besides its
// bytes: on POSIX its owner, group and permission bits (the owner and group
// only where the process may give them: root may, a player only a group of
// their own; a refusal leaves the file ours, and is no failure), on Windows
// its hidden and system attributes; with `times` also its modification time
// (and on Windows its creation time), so that a restored backup is the file
// as it was.
bool copy_metadata(const open_file& from, open_file& to, bool times, io_error& error);

// Forces the file's contents to stable storage.
bool sync_file(open_file& file, io_error& error);

// Closes the file; the handle is released even when the close fails.
bool close_file(open_file& file, io_error& error);

// Closes a file on a path that is already failing, where a second error
// would add nothing the player can act on.
void release_file(open_file& file);

// Tells whether `name` can be replaced at all, before anything is renamed:
// finding that out between the two renames would leave the backup changed
// and the target not. On Windows a read-only file, or one that a running
// program holds open (`in_use`), cannot be; on Linux a file or folder marked
// immutable or append-only, a mount point, or someone else's file in a
// folder where only a file's owner may replace it. A name that leads to no
// file can be, where the folder allows it; what cannot be found out is no
// reason to refuse.
bool check_replaceable(const std::string& name, io_error& error);

// What replacing a file left in the folder.
enum class replace_result {
  replaced,   // `from` is now `to`
  unchanged,  // both files are where they were
  gone,       // `to` is gone, and `from` is still under its own name
};

// Puts `from` in the place of `to` in one step, replacing whatever was
// there, as a plain rename does.
bool rename_over(const std::string& from, const std::string& to, io_error& error);

// Puts `from` in the place of an existing `to`, which hands on what the
// system keeps of it besides its bytes (on Windows its attributes, access
// rules and creation time). Only this can fail half way, with `gone`. On
// Windows the old file stands aside under a temporary name meanwhile; when
// that cannot be removed afterwards, `left_behind` names it.
replace_result replace_keeping_identity(const std::string& from, const std::string& to,
                                        std::string& left_behind, io_error& error);

// Makes `name`, just renamed into place, durable under that name, so the
// rename survives a power cut: the file itself, then its folder's entry. On
// FAT a file's size and first cluster live in the entry the rename made, and
// only a sync of the file writes them there; syncing the folder alone leaves
// an empty or broken file. A file or folder the system cannot sync, or that
// we may not open to sync it, is left to the system's own writing out, with
// no error.
bool sync_renamed(const std::string& name, io_error& error);

// The full name of the folder that holds `name`, for the player: "." says
// nothing. `name`'s own folder part when the full one cannot be had.
std::string full_folder_of(const std::string& name);

// What separates a folder from a name in a path: "/", or on Windows either slash.
extern const char path_separators[];

// `name` inside `folder`, with the platform's own separator.
std::string in_folder(const std::string& folder, const std::string& name);

// True when `name` leads to a folder.
bool is_folder(const std::string& name);

// Lists the names in the folder of `name` (without "." and ".."), as UTF-8.
bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error);

// Removes a file that was only ever temporary. False only when it is still
// there: a file already gone is removed.
bool remove_file(const std::string& name);
