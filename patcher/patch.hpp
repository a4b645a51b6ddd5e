// The patcher's public face: the fixed patch, the procedures that apply and
// undo it, and the streaming passes that find and rewrite the search bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "patcher/file_io.hpp"

inline constexpr char target_name[] = "VELORAC.EXE";
inline constexpr std::size_t pattern_length = 6;
inline constexpr unsigned char search_bytes[pattern_length] = {0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x14};
inline constexpr unsigned char replacement_bytes[pattern_length] = {0x89, 0xF2, 0x01,
                                                                    0xC2, 0xB9, 0x64};
inline constexpr char backup_suffix[] = ".bku";

// Patches `file_name` (a bare name in the current folder, or a path to the
// game's file), talking to the player as it goes. A name in other letter
// case stands in for it when only one such is there. Returns 1 when there
// is no such file and 0 after a successful patch. When the search bytes are
// not there exactly once, or the file or the file system refuses the patch,
// it ends the process with status 1 after the player's pause; an
// interruption ends it as the signal would.
int apply_patch(const char* file_name);

// Undoes the patch of `file_name`: puts its backup back, when the backup is
// this file's original. Returns the exit status: 0 once the game is the
// original again (or was already), and 1, with nothing changed, when there
// is no backup or it is another version's. Asks nothing but the closing
// Enter; an interruption ends it as the signal would.
int restore_backup(const char* file_name);

// What a path on the command line (a file dropped on the program) makes the
// game's file: the file itself when it is a VELORAC.EXE, in any letter
// case, or one in the folder it names. A path that leads nowhere (a slip in
// typing) is refused: the game of the folder started in is never patched
// in its stead.
enum class given { nothing, game, other_file, nowhere };
given game_from_argument(const std::string& argument, std::string& game);

// Refuses a path that is not the game's (`other_file`) or leads nowhere,
// after the banner, with nothing changed anywhere. Returns the exit status, 1.
int refuse_argument(const std::string& file, given what);

// Whether two names differ at most in ASCII letter case.
bool same_ignoring_case(const std::string& a, const std::string& b);

// Reads `in` to its end and counts the leftmost non-overlapping occurrences
// of `pattern` (`length` bytes, at most pattern_length, its first byte
// found nowhere else in it). Returns -1 on a read error, described in
// `error`.
std::int64_t count_matches(open_file& in, const unsigned char* pattern, std::size_t length,
                           io_error& error);

// How often the search bytes and the replacement bytes each stand in a file:
// an original holds the first once, a patched one the second once instead.
struct patch_bytes_count {
  std::int64_t search = 0;
  std::int64_t replacement = 0;
};

// Counts both in one pass over `in`. Returns false on a read error or an
// interruption, described in `error`.
bool count_patch_bytes(open_file& in, patch_bytes_count& count, io_error& error);

// Copies `in` to `out`, writing `replacement` (same length, the pattern's
// first byte nowhere in it but first) in place of each occurrence that
// count_matches would count. Returns the number of substitutions, or -1 on
// a read or write error, described in `error`.
std::int64_t replace_matches(open_file& in, open_file& out, const unsigned char* pattern,
                             const unsigned char* replacement, std::size_t length, io_error& error);

// Copies `in` to `out` unchanged. Returns false on a read or write error.
bool copy_contents(open_file& in, open_file& out, io_error& error);

// What reading a backup and the game's file side by side found.
struct backup_comparison {
  std::int64_t occurrences = 0;  // of the search bytes in the backup
  bool same = true;              // the game's file equals the backup
  bool patched = true;           // ... or the backup with the search bytes replaced
};

// Reads `backup` and `game` once, side by side, to their ends.
bool compare_with_backup(open_file& backup, open_file& game, backup_comparison& result,
                         io_error& error);
