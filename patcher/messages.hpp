// Every sentence the program writes to the player, in one place, so that
// each can be checked against what players read: tests/messages_test.py
// finds the texts of `common` and `posix` in the manual page, and those of
// `common` and `windows` in the players' note. A word in braces is filled
// in as the line is written: {target} the game's file, {backup} its backup,
// {file} and {folder} a file or folder named in full, {reason} the system's
// own words, {action} one of the words of `tried`, {names} a list of quoted
// names, {number} a number, {undo} and {command} the advice of
// console/advice.hpp. Lines go out after "  [i] ", each on its own.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "patcher/printable.hpp"

// What any build may print.
namespace messages::common {

inline constexpr char no_target[] = "Umm... Sorry, but file \"{target}\" doesn't exist.";
inline constexpr char looked_in[] = "Highway patrol looked for it in \"{folder}\".";
inline constexpr char looking[] = "Highway patrol looking for speeding bytes in \"{target}\"";
inline constexpr char not_found[] = "Dispatch, the bytes could not be found!";
inline constexpr char restore_backup[] = "10-4. Please restore backup EXE and try again.";
inline constexpr char found[] = "Highway patrol has found and arrested the bytes!";
inline constexpr char installed[] = "Perpetrating bytes sent to county jail, patch installed!";
// Without a line feed: the cursor waits after it.
inline constexpr char pause[] = "Press <ENTER> to exit.";
inline constexpr char closing[] = "Press <ENTER> to exit. Drive safely!";

// After the two lines of a failed count, why it failed.
inline constexpr char patched_already[] =
    "Stand down: \"{target}\" is patched already, so there is nothing left to do. When "
    "\"{backup}\" is its original, {undo}";
inline constexpr char other_version[] =
    "Stand down: this \"{target}\" is a version the patch does not fit: the bytes the patch "
    "changes are not in it.";
inline constexpr char found_many[] =
    "Stand down: this \"{target}\" holds the bytes the patch changes {number} times, so the "
    "patch cannot tell which to change.";

// The undo (--restore), when all goes well.
inline constexpr char restoring[] =
    "Highway patrol returning the original of \"{target}\" from \"{backup}\"";
inline constexpr char restored[] =
    "Bytes released, patch undone! \"{target}\" is the original again; \"{backup}\" is kept.";
inline constexpr char nothing_to_undo[] =
    "\"{target}\" equals \"{backup}\" already: there is nothing to undo.";
inline constexpr char not_patched[] =
    "\"{target}\" holds the original already, so there is nothing to undo; \"{backup}\" is "
    "kept as it is.";

// The line under a headline that names the failing call.
inline constexpr char could_not[] = "Could not {action} \"{file}\": {reason}.";
inline constexpr char is_folder[] = "it is a folder";
inline constexpr char not_regular[] = "it is not a regular file";

// Headlines, each followed by what the folder holds now.
inline constexpr char not_opened[] = "Dispatch, \"{target}\" is there but could not be opened.";
inline constexpr char not_looked_for[] = "Dispatch, \"{target}\" could not be looked for.";
inline constexpr char link_to_nothing[] =
    "Dispatch, \"{target}\" is a link to \"{file}\", which leads to no file; is its disk there?";
inline constexpr char names_nothing[] = "Dispatch, \"{file}\" names no file or folder.";
inline constexpr char several_names[] =
    "Dispatch, there is no \"{target}\", and {names} differ from it only in letter case.";
inline constexpr char rename_one[] =
    "No file was changed. Rename the one the game uses to \"{target}\" and try again.";
inline constexpr char only_the_game[] =
    "Dispatch, only \"{target}\" can be patched, and \"{file}\" is another file.";
inline constexpr char another_copy[] =
    "Dispatch, another copy of this program is patching \"{target}\" right now.";
inline constexpr char this_copy_nothing[] =
    "This copy changed nothing. Wait for the other one to finish; it says how the patch went.";
inline constexpr char missing_put_back[] =
    "Dispatch, \"{target}\" was missing; it was put back from \"{backup}\".";
inline constexpr char missing_not_put_back[] =
    "Dispatch, \"{target}\" is missing and could not be put back from \"{backup}\".";
inline constexpr char copy_backup_back[] =
    "No file was changed. Copy \"{backup}\" to \"{target}\" to get the game back.";
inline constexpr char put_back_unsafe[] =
    "Dispatch, \"{target}\" was put back from \"{backup}\", but it may not survive a power cut.";
inline constexpr char still_written[] =
    "Dispatch, \"{target}\" is still being written by another program.";
inline constexpr char backup_still_written[] =
    "Dispatch, \"{backup}\" is still being written by another program.";
inline constexpr char not_searched[] = "Dispatch, \"{target}\" could not be searched.";
inline constexpr char may_not_replace[] =
    "Dispatch, \"{target}\" may not be replaced, so it cannot be patched.";
inline constexpr char earlier_backup_fixed[] =
    "Dispatch, the earlier backup \"{backup}\" cannot be replaced.";
inline constexpr char backup_not_made[] = "Dispatch, the backup \"{backup}\" could not be made.";
inline constexpr char patched_not_written[] =
    "Dispatch, the patched \"{target}\" could not be written.";
inline constexpr char changed_meanwhile[] =
    "Dispatch, \"{target}\" changed while it was being patched.";
inline constexpr char changed_while_restored[] =
    "Dispatch, \"{target}\" changed while its original was being put back.";
inline constexpr char not_checked_again[] =
    "Dispatch, \"{target}\" could not be checked again before it was replaced.";
inline constexpr char backup_not_in_place[] =
    "Dispatch, the backup \"{backup}\" could not be put in place.";
inline constexpr char backup_unsafe[] =
    "Dispatch, the backup \"{backup}\" is in place, but it may not survive a power cut.";
inline constexpr char not_replaced[] = "Dispatch, \"{target}\" could not be replaced.";
inline constexpr char patch_unsafe[] = "Dispatch, the patch may not survive a power cut.";
inline constexpr char no_backup[] = "Dispatch, there is no \"{backup}\" to put back.";
inline constexpr char not_its_original[] =
    "Dispatch, \"{backup}\" is not the original of this \"{target}\": the two differ in more "
    "than the patch.";
inline constexpr char no_original_in_backup[] =
    "Dispatch, \"{backup}\" holds no original that the patch fits, so it is not put back.";
inline constexpr char backup_not_read[] = "Dispatch, \"{backup}\" could not be read.";
inline constexpr char not_restored[] =
    "Dispatch, \"{target}\" could not be replaced by its original.";
inline constexpr char restore_unsafe[] =
    "Dispatch, \"{target}\" is the original again, but it may not survive a power cut.";

// What the folder holds after a stop.
inline constexpr char nothing_changed[] = "No file was changed; \"{target}\" is as it was.";
inline constexpr char only_backup_replaced[] =
    "\"{target}\" is as it was; \"{backup}\" now holds a copy of it.";
inline constexpr char patch_may_be_undone[] =
    "\"{backup}\" holds the original and is safe on disk; \"{target}\" is patched, but a power "
    "cut now could undo that.";
inline constexpr char put_back[] =
    "\"{target}\" was put back from \"{backup}\"; both hold the original.";
inline constexpr char no_game_to_put_back[] =
    "No file was changed, and \"{backup}\" holds no game to put back.";
inline constexpr char wait_and_retry[] =
    "No file was changed. Wait until that program is done, and try again.";
inline constexpr char left_as_other_made_it[] =
    "This copy changed no file: \"{target}\" is as the other program left it. Wait until that "
    "program is done, and try again.";
inline constexpr char backup_from_before[] =
    "\"{backup}\" now holds a copy of \"{target}\" from before that change, and \"{target}\" "
    "is as the other program left it.";
inline constexpr char nothing_changed_anywhere[] = "No file was changed.";
inline constexpr char keep_other_backup[] =
    "No file was changed. To get this version's original back, reinstall the game or have its "
    "launcher check its files.";

// After a line that ends a run, for a file that could not be removed.
inline constexpr char temporary_left[] =
    "The unfinished \"{file}\" could not be removed; the next run removes it.";
// After a patch or an undo that replaced a link at the game's name.
inline constexpr char link_replaced[] =
    "\"{target}\" was a link to \"{file}\"; it is now a file of its own, and \"{file}\" is "
    "as it was.";

// Advice, worded as this run was started (console/advice.hpp): {undo} in
// patched_already, and the line after a game that was not found. {command}
// is the program as typed to start it, with what it is to be given.
inline constexpr char undo_by_typing[] = "type this to undo the patch: {command}";
inline constexpr char point_by_typing[] =
    "To point the program at the game, type this and a space, then drag the game's VELORAC.EXE "
    "into this window, which types its path, and press Enter: {command}";

// On the error output, alone, when --help or --version cannot be answered.
inline constexpr char answer_not_written[] = "camera-patch: could not write the answer: {reason}";

}  // namespace messages::common

// What only the Linux build prints.
namespace messages::posix {

inline constexpr char read_only_file_system[] =
    "The folder is on a read-only file system; it must be mounted for writing.";
inline constexpr char need_write_permission[] =
    "You need write permission on this folder, or run the program as the folder's owner.";
inline constexpr char make_folder_writable[] =
    "The folder is yours but read-only: type chmod u+w \"{folder}\" and try again.";
inline constexpr char run_with_sudo[] =
    "The folder belongs to another user: run the program with sudo, or have that user run it.";
inline constexpr char mount_point[] = "it is a mount point";
inline constexpr char another_program[] =
    "Dispatch, another program holds the folder of \"{target}\" locked right now.";
inline constexpr char that_program_nothing[] =
    "This copy changed nothing. Wait for that program to finish, and try again.";
inline constexpr char marked_immutable[] = "it is marked immutable";
inline constexpr char marked_append_only[] = "it is marked append-only";
inline constexpr char clear_immutable[] =
    "Clear the mark as root (chattr -i \"{file}\") and try again.";
inline constexpr char clear_append_only[] =
    "Clear the mark as root (chattr -a \"{file}\") and try again.";
inline constexpr char owner_only[] =
    "it belongs to another user, and the folder lets only a file's owner replace it";
inline constexpr char run_as_owner[] =
    "Run the program as the owner of \"{file}\" or of the folder.";

}  // namespace messages::posix

// What only the Windows build prints.
namespace messages::windows {

// Only Windows reports a file held by a running program, and only its
// replace can fail half way, taking the game's file away or leaving the
// old one aside.
inline constexpr char locked[] = "Dispatch, \"{target}\" is locked and cannot be patched.";
inline constexpr char target_missing[] =
    "\"{target}\" is missing. \"{backup}\" holds the original: copy it to \"{target}\" to get "
    "the game back.";
inline constexpr char old_file_left[] =
    "The old \"{target}\" was left as \"{file}\"; the next run removes it.";
inline constexpr char run_as_administrator[] =
    "Under Program Files, run this program as administrator (right-click it).";
inline constexpr char marked_read_only[] = "it is marked read-only";
inline constexpr char untick_read_only[] =
    "Right-click \"{file}\", choose Properties and untick Read-only.";
inline constexpr char not_utf8[] = "the name is not valid UTF-8";
inline constexpr char disk_took_nothing[] = "the disk took none of the data";
// Advice for players who start the program from Explorer: {undo} in
// patched_already, and the line after a game that was not found.
inline constexpr char undo_by_double_click[] = "double-click \"{file}\" to undo the patch.";
inline constexpr char undo_by_dragging[] = "drag \"{target}\" onto \"{file}\" to undo the patch.";
inline constexpr char point_by_dragging[] =
    "To point the program at the game, drag the game's VELORAC.EXE onto \"{file}\".";
// When Windows has no words for its error.
inline constexpr char system_error[] = "system error {number}";

}  // namespace messages::windows

// Not messages of their own: the words that fill {action} in could_not.
namespace messages::tried {

inline constexpr char open[] = "open";
inline constexpr char examine[] = "examine";
inline constexpr char read[] = "read";
inline constexpr char write[] = "write";
inline constexpr char sync[] = "sync";
inline constexpr char close[] = "close";
inline constexpr char replace[] = "replace";
inline constexpr char create_in[] = "create a file in";
inline constexpr char replace_in[] = "replace files in";
inline constexpr char set_permissions[] = "set the permissions of";
inline constexpr char set_times[] = "set the times of";
inline constexpr char set_attributes[] = "set the attributes of";
inline constexpr char open_folder[] = "open the folder";
inline constexpr char sync_folder[] = "sync the folder";
inline constexpr char close_folder[] = "close the folder";
inline constexpr char list_folder[] = "list the folder";

}  // namespace messages::tried

// Never shown: a pass the player interrupted fails with this, and the
// program then ends as the interruption asks, telling no failure.
namespace messages::unshown {

inline constexpr char finish[] = "finish";
inline constexpr char interrupted[] = "interrupted";

}  // namespace messages::unshown

// The answer to --help, which is itself the explanation.
namespace messages::answers {

// Plain ASCII, so it reads the same in any console and code page.
inline constexpr char usage[] =
    "Usage: camera-patch [GAME]\n"
    "       camera-patch --restore [GAME]\n"
    "       camera-patch --help | --version\n"
    "\n"
    "Patches VELORAC.EXE, the program of Velomira Rally Circuit Gold Series,\n"
    "in the current folder, so that one camera value goes from 20 to 100, and\n"
    "keeps the original as VELORAC.EXE.bku. Run it in the game's folder and\n"
    "type c and Enter at its menu to patch, or q and Enter to quit. GAME, the\n"
    "path of a VELORAC.EXE or of the folder that holds it, is patched instead.\n"
    "\n"
    "With --restore it undoes the patch: it puts VELORAC.EXE.bku back as\n"
    "VELORAC.EXE, when that backup is the game's original.\n";

}  // namespace messages::answers

struct filling {
  std::string_view placeholder;  // without its braces
  std::string_view value;
};

// `text` with each placeholder replaced by its value, made printable: the
// values are names and reasons from outside, which must not drive the
// player's terminal. One pass: a name that happens to hold something in
// braces is written as it is.
inline std::string fill(std::string_view text, std::initializer_list<filling> values) {
  std::string result;
  std::string_view::size_type at = 0;
  while (at < text.size()) {
    const auto open = text.find('{', at);
    const auto close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) {
      break;
    }
    result += text.substr(at, open - at);
    const std::string_view name = text.substr(open + 1, close - open - 1);
    const filling* match = nullptr;
    for (const filling& value : values) {
      if (value.placeholder == name) {
        match = &value;
      }
    }
    result += match != nullptr ? printable(match->value) : text.substr(open, close - open + 1);
    at = close + 1;
  }
  result += text.substr(at);
  return result;
}
