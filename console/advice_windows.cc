// Windows' way: players start the program by a double-click or by dropping
// the game on it, so the advice names a file to double-click or drag onto,
// by its full path; a command only where there is no such file, for a
// command prompt, quoted as cmd.exe needs.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "console/advice.hpp"
#include "patcher/file_io.hpp"
#include "patcher/file_names.hpp"
#include "patcher/messages.hpp"
#include "patcher/unicode_windows.hpp"

namespace {

namespace common = messages::common;
namespace windows = messages::windows;

// Beside camera-patch.exe in the zip: it runs the program with --restore.
constexpr char undo_script[] = "undo-camera-patch.cmd";

std::string game_given;

// `word` as cmd.exe reads it back: in double quotes when it holds a space
// or a character cmd.exe treats specially. No name holds a double quote.
std::string quoted(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t&()[]{}^=;!'+,`~%<>|") == std::string::npos) {
    return word;
  }
  return "\"" + word + "\"";
}

// The program's own full path, whatever it was started by; its bare name
// when Windows will not say. Room for the longest path there is: one that
// does not fit comes back cut short, and unended on XP.
std::string program() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  std::string utf8;
  if (length == 0 || length >= path.size() || !to_utf8(path.substr(0, length), utf8)) {
    return "camera-patch.exe";
  }
  return utf8;
}

// The undo's script beside the program, by its full path; empty when it is
// not there.
std::string script_beside(const std::string& program) {
  const std::string script = beside(program, undo_script);
  std::wstring wide;
  if (!to_wide(script, wide)) {
    return "";
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
             ? script
             : "";
}

}  // namespace

// A player drags by what Explorer shows: the game's full path.
void remember_start(const char*, const std::string& game) {
  game_given = game.empty() ? game : in_folder(full_folder_of(game), name_part(game));
}

std::string undo_advice() {
  const std::string exe = program();
  const std::string script = script_beside(exe);
  if (script.empty()) {
    std::string typed = quoted(exe) + " --restore";
    if (!game_given.empty()) {
      typed.append(" ").append(quoted(game_given));
    }
    return fill(common::undo_by_typing, {{"command", typed}});
  }
  if (game_given.empty()) {
    return fill(windows::undo_by_double_click, {{"file", script}});
  }
  return fill(windows::undo_by_dragging, {{"target", game_given}, {"file", script}});
}

std::string point_at_game(bool undoing) {
  const std::string exe = program();
  if (!undoing) {
    return fill(windows::point_by_dragging, {{"file", exe}});
  }
  const std::string script = script_beside(exe);
  if (script.empty()) {
    return fill(common::point_by_typing, {{"command", quoted(exe) + " --restore"}});
  }
  return fill(windows::point_by_dragging, {{"file", script}});
}
