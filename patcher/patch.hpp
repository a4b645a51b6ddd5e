// The patcher's public face: the fixed patch, the procedure that applies it,
// and the two streaming passes that find and rewrite the search bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "patcher/file_io.hpp"

inline constexpr char target_name[] = "VELORAC.EXE";
inline constexpr std::size_t pattern_length = 6;
inline constexpr unsigned char search_bytes[pattern_length] = {0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x14};
inline constexpr unsigned char replacement_bytes[pattern_length] = {0x89, 0xF2, 0x01,
                                                                    0xC2, 0xB9, 0x64};
inline constexpr char backup_suffix[] = ".bku";

// Patches `file_name` in the current folder, talking to the player as it goes.
// A name in other letter case stands in for it when only one such is there.
// Returns 1 when there is no such file and 0 after a successful patch. When
// the file will not open, the search bytes are not there exactly once, or
// the file system fails the patch, it ends the process with status 1 after
// the player's pause; an interruption ends it as the signal would.
int apply_patch(const char* file_name);

// Reads `in` to its end and counts the leftmost non-overlapping occurrences
// of `pattern`. Returns -1 on a read error, described in `error`.
std::int64_t count_matches(open_file& in, const unsigned char* pattern, std::size_t length,
                           io_error& error);

// Copies `in` to `out`, writing `replacement` (same length) in place of each
// occurrence that count_matches would count. Returns the number of
// substitutions, or -1 on a read or write error, described in `error`.
std::int64_t replace_matches(open_file& in, open_file& out, const unsigned char* pattern,
                             const unsigned char* replacement, std::size_t length, io_error& error);

// Copies `in` to `out` unchanged. Returns false on a read or write error.
bool copy_contents(open_file& in, open_file& out, io_error& error);
