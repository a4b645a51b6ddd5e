// Names: the folder a name is in, and the names our temporary files take
// beside the file they will replace: the final name, ".tmp-" and eight
// lower-case hex digits. One form on every platform, so that a later run
// knows what a killed one left behind, and narrow enough that nothing of the
// player's (a "VELORAC.EXE.tmp-backup") is ever taken for one of ours.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "patcher/file_io.hpp"

// The folder part of `name`: "." for a bare name.
inline std::string folder_of(const std::string& name) {
  const std::string::size_type slash = name.find_last_of(path_separators);
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? name.substr(0, 1) : name.substr(0, slash);
}

// `name` without its folder part.
inline std::string name_part(const std::string& name) {
  const std::string::size_type slash = name.find_last_of(path_separators);
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

inline constexpr char temporary_infix[] = ".tmp-";
inline constexpr std::size_t temporary_digits = 8;
// Names already taken are tried past; this many in a row means something
// else is wrong, and the last refusal says what.
inline constexpr unsigned temporary_name_attempts = 100;

// `seed` differs between runs (a clock, the process id); `attempt` is added
// to the digits themselves, so that tries within one tick of the clock get
// names of their own. Creating the file exclusively, not this number, is
// what keeps two files apart.
inline std::string temporary_name(const std::string& final_name, std::uint64_t seed,
                                  unsigned attempt) {
  const auto digits = static_cast<std::uint32_t>((seed * 0x9E3779B97F4A7C15ull) >> 32) + attempt;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08lx", static_cast<unsigned long>(digits));
  return final_name + temporary_infix + suffix;
}

// The name of `entry` in the same folder as `name`, in the same form: a bare
// name beside a bare name.
inline std::string beside(const std::string& name, const std::string& entry) {
  return name.substr(0, name.size() - name_part(name).size()) + entry;
}

// Offers `take` one temporary name beside `final_name` after another, until
// it answers other than name_taken; returns whether it took one.
template <typename Take>
bool take_temporary_name(const std::string& final_name, Take take) {
  const std::uint64_t seed = temporary_seed();
  for (unsigned attempt = 0; attempt < temporary_name_attempts; ++attempt) {
    const creation taken = take(temporary_name(final_name, seed, attempt));
    if (taken != creation::name_taken) {
      return taken == creation::created;
    }
  }
  return false;
}

// Whether `entry` is one of our temporary names for `final_name`; in any
// letter case where the folder ignores it (FAT, exFAT, and always on
// Windows), since a run given the game's name in other case made its own.
inline bool is_temporary_name_of(const std::string& final_name, const std::string& entry,
                                 bool any_case) {
  const auto folded = [any_case](char c) {
    return any_case && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  };
  const std::string stem = final_name + temporary_infix;
  if (entry.size() != stem.size() + temporary_digits ||
      !std::equal(stem.begin(), stem.end(), entry.begin(),
                  [&](char a, char b) { return folded(a) == folded(b); })) {
    return false;
  }
  return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(stem.size()), entry.end(),
                     [&](char c) {
                       c = folded(c);
                       return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                     });
}
