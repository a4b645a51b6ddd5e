// The one table both procedures decide by. docs/behaviour.md gives it to
// players in words; a change here is a change there.
#include "patcher/account.hpp"

namespace {

enum class game_is { missing, dangling, not_a_file, original, patched, neither, any };
enum class backup_is { missing, not_a_file, one_file, original, patched, neither, any };
// What the undo's side-by-side reading must have found, for the rows that ask.
enum class compared { any, by_patch };

struct rule {
  game_is game;
  backup_is backup;
  compared reading;
  decision patch;
  decision undo;
};

constexpr decision refuse(refusal why) { return {action::refuse, why}; }
constexpr decision act(action what) { return {what, refusal::none}; }

// The first row that fits decides. A backup is only ever put back, by
// either procedure, when it holds an original the patch fits.
constexpr rule table[] = {
    {game_is::missing, backup_is::missing, compared::any, act(action::no_game),
     refuse(refusal::no_backup)},
    {game_is::missing, backup_is::not_a_file, compared::any, refuse(refusal::backup_not_a_file),
     refuse(refusal::backup_not_a_file)},
    {game_is::missing, backup_is::original, compared::any, act(action::put_back_then_patch),
     act(action::put_back)},
    {game_is::missing, backup_is::any, compared::any, refuse(refusal::no_original_in_backup),
     refuse(refusal::no_original_in_backup)},
    {game_is::dangling, backup_is::any, compared::any, refuse(refusal::dangling_link),
     refuse(refusal::dangling_link)},
    {game_is::not_a_file, backup_is::missing, compared::any, refuse(refusal::game_not_a_file),
     refuse(refusal::no_backup)},
    {game_is::not_a_file, backup_is::any, compared::any, refuse(refusal::game_not_a_file),
     refuse(refusal::game_not_a_file)},
    {game_is::original, backup_is::missing, compared::any, act(action::patch),
     refuse(refusal::no_backup)},
    {game_is::original, backup_is::one_file, compared::any, act(action::patch_keeping_backup),
     act(action::nothing_to_undo)},
    {game_is::original, backup_is::any, compared::any, act(action::patch),
     act(action::nothing_to_undo)},
    {game_is::any, backup_is::missing, compared::any, refuse(refusal::not_once),
     refuse(refusal::no_backup)},
    {game_is::any, backup_is::not_a_file, compared::any, refuse(refusal::not_once),
     refuse(refusal::backup_not_a_file)},
    {game_is::patched, backup_is::original, compared::by_patch, refuse(refusal::not_once),
     act(action::restore)},
    {game_is::any, backup_is::original, compared::any, refuse(refusal::not_once),
     refuse(refusal::not_its_original)},
    {game_is::any, backup_is::any, compared::any, refuse(refusal::not_once),
     refuse(refusal::no_original_in_backup)},
};

template <typename State>
State by_contents(holds contents, State original, State patched, State neither) {
  return contents == holds::original ? original : contents == holds::patched ? patched : neither;
}

game_is game_state(const file_state& game) {
  if (game.entry.leads_to == entry_kind::nothing) {
    return game.entry.link ? game_is::dangling : game_is::missing;
  }
  if (game.entry.leads_to == entry_kind::other) {
    return game_is::not_a_file;
  }
  return by_contents(game.contents, game_is::original, game_is::patched, game_is::neither);
}

backup_is backup_state(const folder_account& account) {
  const file_state& backup = account.backup;
  // No run of ours makes a link: one at the backup's name is not followed.
  if (backup.entry.link || backup.entry.leads_to == entry_kind::other) {
    return backup_is::not_a_file;
  }
  if (backup.entry.leads_to == entry_kind::nothing) {
    return backup_is::missing;
  }
  if (account.one_file) {
    return backup_is::one_file;
  }
  return by_contents(backup.contents, backup_is::original, backup_is::patched, backup_is::neither);
}

}  // namespace

bool is_there(const name_entry& entry) { return entry.leads_to != entry_kind::nothing; }

decision decide(const folder_account& account, procedure which) {
  const game_is game = game_state(account.game);
  const backup_is backup = backup_state(account);
  for (const rule& row : table) {
    if ((row.game == game_is::any || row.game == game) &&
        (row.backup == backup_is::any || row.backup == backup) &&
        (row.reading == compared::any || account.differ_by_patch)) {
      return which == procedure::patch ? row.patch : row.undo;
    }
  }
  return refuse(refusal::no_original_in_backup);
}

bool needs_backup_read(const folder_account& account, procedure which) {
  const bool plain_backup =
      !account.backup.entry.link && account.backup.entry.leads_to == entry_kind::file;
  return plain_backup && (which == procedure::undo || !is_there(account.game.entry));
}
