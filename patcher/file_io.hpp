// The few file-system calls a patch needs, each reporting failure with the
// file it concerns and the system's own reason, so the player can be told.
// One implementation per platform, for what the platforms do differently;
// the procedure above them has no #ifdefs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct io_error {
  std::string action;      // what we tried: "open", "read", "write", ...
  std::string file;        // the name as the program knows it
  std::string reason;      // the system's words for what went wrong
  bool not_found = false;  // the name leads to no file at all
  bool in_use = false;     // a running program holds the file
  std::string advice;      // what the player can do about it, where we know
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

// Opens an existing file to read it from the start.
bool open_for_reading(const std::string& name, open_file& file, io_error& error);

// Refuses anything but a plain file (a folder, a device, a pipe), whose
// contents could not be patched or could never end.
bool check_regular_file(const open_file& file, io_error& error);

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
void abandon_file(open_file& file);

// Tells whether `name` can be replaced at all, before anything is renamed:
// finding that out between the two renames would leave the backup changed
// and the target not. On Windows a read-only file, or one that a running
// program holds open (`in_use`), cannot be; on Linux a file or folder marked
// immutable or append-only, or someone else's file in a folder where only
// a file's owner may replace it. A name that leads to no file can be, where
// the folder allows it; what cannot be found out is no reason to refuse.
bool check_replaceable(const std::string& name, io_error& error);

// What a replace left in the folder.
enum class replace_result {
  replaced,     // `from` is now `to`
  unchanged,    // both files are where they were
  target_gone,  // `to` is gone, and `from` is still under its own name
};

// Puts `from` in the place of `to` in one step, replacing whatever was
// there. With `keep_identity`, an existing `to` hands on what the system
// keeps of it besides its bytes (on Windows its attributes, access rules and
// creation time); only that can fail half way, with `target_gone`.
replace_result replace_file(const std::string& from, const std::string& to, bool keep_identity,
                            io_error& error);

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

// Lists the names in the folder of `name` (without "." and ".."), as UTF-8.
bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error);

// Removes a temporary file on a failure path; nothing to report if it fails.
void remove_quietly(const std::string& name);
