// A shell's way: the program by the path it was started with, made to work
// from the same folder, and every word quoted as the shell needs.
#include <string>

#include "console/advice.hpp"
#include "patcher/file_io.hpp"
#include "patcher/file_names.hpp"
#include "patcher/messages.hpp"

namespace {

namespace common = messages::common;

std::string started_as;
std::string game_given;

// `word` as the shell reads it back: as it is when it holds nothing the
// shell treats specially, else in single quotes, a quote inside written as
// '\'' .
std::string quoted(const std::string& word) {
  constexpr char plain[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./-_";
  if (!word.empty() && word.find_first_not_of(plain) == std::string::npos) {
    return word;
  }
  std::string result = "'";
  for (const char c : word) {
    result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return result + "'";
}

// The program as typing it finds it again: a bare name was found on the
// PATH, and is found there again; one started by a path is ./name in its
// own folder and its full path from anywhere else.
std::string program() {
  if (started_as.empty()) {
    return "camera-patch";
  }
  if (started_as.find('/') == std::string::npos) {
    return started_as;
  }
  const std::string name = name_part(started_as);
  const std::string folder = full_folder_of(started_as);
  if (folder == full_folder_of(name)) {
    return std::string("./").append(quoted(name));
  }
  // A folder that cannot be found in full is still right from here.
  return quoted(!folder.empty() && folder.front() == '/' ? in_folder(folder, name) : started_as);
}

std::string command(bool undoing, bool with_game) {
  std::string typed = program();
  if (undoing) {
    typed += " --restore";
  }
  if (with_game && !game_given.empty()) {
    typed.append(" ").append(quoted(game_given));
  }
  return typed;
}

}  // namespace

void remember_start(const char* program, const std::string& game) {
  started_as = program != nullptr ? program : "";
  game_given = game;
}

std::string undo_advice() {
  return fill(common::undo_by_typing, {{"command", command(true, true)}});
}

std::string point_at_game(bool undoing) {
  return fill(common::point_by_typing, {{"command", command(undoing, false)}});
}
