"""What one run of the program owes the player, judged from the folder's
files before and after it, its status and its output alone: nothing here
knows how the run was disturbed, so any platform's failure tests can ask.
Every sentence the program prints about the folder must be true of it."""
from harness import (CLOSING, FOUND, INSTALLED, NO_TARGET, NOT_FOUND, PAUSE, TARGET, BACKUP,
                     patched, said, shown)

SUCCESS = INSTALLED[:-len(CLOSING)].rstrip(b"\n")
# How the program calls a target missing, whatever its name.
CALLED_MISSING = NO_TARGET[NO_TARGET.rindex(b'"') + 1:].rstrip(b"\n")
# The sentences that tell the player what the folder holds after a failure.
OUTCOMES = ("nothing_changed", "only_backup_replaced", "patch_may_be_undone", "put_back",
            "target_missing", "left_as_other_made_it", "backup_from_before")
# The lines that name a file left behind, which the next run clears.
LEFT_BEHIND = ("temporary_left", "old_file_left")


def printed(name, target, backup):
    """The program's sentence `name` as one line of its output, without its
    end; a file it names as a zero byte."""
    return shown(said(name, target=target, backup=backup, file="\0")).rstrip(b"\r\n")


def same(name):
    return lambda before, after: after.get(name) == before.get(name)


def both(*tests):
    return lambda before, after: all(test(before, after) for test in tests)


def left_behind(lines, target, backup):
    """The files the lines say were left behind, by name."""
    named = set()
    for name in LEFT_BEHIND:
        start, _, end = printed(name, target, backup).partition(b"\0")
        named |= {line[len(start):-len(end)].decode() for line in lines
                  if line.startswith(start) and line.endswith(end)}
    return {name.rsplit("\\", 1)[-1].rsplit("/", 1)[-1] for name in named}


def judged_lines(told, before, after, out):
    """The output's lines, and those of them the told claims find untrue."""
    lines = out.replace(b"\r\n", b"\n").split(b"\n")
    return lines, [f"untrue: {line.decode(errors='replace')}" for line in lines
                   if line in told and not told[line](before, after)]


def claims(target, backup):
    """The lines that say what the folder holds, each with what must then
    be true of (before, after): the files by name."""
    def backup_holds_original(before, after):
        return after.get(backup) == before.get(target)

    def is_patched(before, after):
        return after.get(target) == patched(before[target])

    def gone(before, after):
        return target not in after

    sentences = {
        "nothing_changed": both(same(target), same(backup)),
        "only_backup_replaced": both(same(target), backup_holds_original),
        "patch_may_be_undone": both(is_patched, backup_holds_original),
        "not_searched": both(same(target), same(backup)),
        "backup_not_made": same(backup),
        "backup_not_in_place": same(backup),
        "backup_unsafe": backup_holds_original,
        "patched_not_written": same(target),
        "not_replaced": lambda before, after: after.get(target) != patched(before[target]),
        "patch_unsafe": is_patched,
        "put_back": both(same(target), backup_holds_original),
        "put_back_unsafe": both(same(target), backup_holds_original),
        "target_missing": both(gone, backup_holds_original),
        "copy_backup_back": both(gone, same(backup)),
        "no_game_to_put_back": both(gone, same(backup)),
        "left_as_other_made_it": same(backup),
        "backup_from_before": backup_holds_original,
    }
    return {shown(SUCCESS): both(is_patched, backup_holds_original),
            **{printed(name, target, backup): test for name, test in sentences.items()}}


def broken_promises(before, after, status, out, ended="ran", target=TARGET, backup=BACKUP,
                    target_may_be_gone=False):
    """What the run broke of its promise, as sentences; none when it kept it.
    `before` and `after` map each file in the folder to its bytes; `ended`
    says how the run ended: "ran" to its own end, "killed" without a chance
    to clean up, or "interrupted" by the player (Ctrl-C, a closed window).
    `target_may_be_gone` when the system itself took the target away (a
    replace failing half way): then the backup must hold the original. A
    folder with only the backup gets the game put back from it."""
    repairing = target not in before
    original = before[backup] if repairing else before[target]
    earlier = before.get(backup)
    now_target, now_backup = after.get(target), after.get(backup)
    faults = []
    if now_target is None and (target_may_be_gone or repairing):
        if now_backup != original:
            faults.append("the target is gone, and the backup does not hold it")
    elif now_target not in (original, patched(original)):
        faults.append("the target is damaged or gone")
    elif now_target != original and now_backup != original:
        faults.append("a patched target without its backup")
    if now_backup not in (earlier, original):
        faults.append("the backup is damaged, or an earlier one gave way to no complete copy")
    lines, untrue = judged_lines(claims(target, backup), {**before, target: original}, after, out)
    # Where the game was put back first, the sentences speak of it as put back.
    faults += untrue + left_files(before, after, ended, lines, target, backup)
    faults += said_unchanged_untrue(before, after, lines, target, backup)
    succeeded = shown(SUCCESS) in lines

    if ended == "interrupted":
        # As it was, fully patched, or, after a failure of the system's own,
        # stopped as that failure leaves it: the game whole, the backup a copy.
        whole = [(original, earlier), (patched(original), original)]
        whole += [(original, original)] if target_may_be_gone else []
        whole += [(None, earlier)] if repairing else []
        if (now_target, now_backup) not in whole:
            faults.append("interrupted, the folder is neither as it was nor fully patched")
        if now_target == patched(original) != original and not succeeded:
            faults.append("patched, but the player was not told")
    elif ended == "ran":
        if not (out.endswith(shown(PAUSE)) or out.endswith(shown(CLOSING))):
            faults.append("the run did not end at one of its prompts")
        if CALLED_MISSING in out:
            faults.append("a target that is there was called missing")
        if status == 0 and not (succeeded and now_target == patched(original)):
            faults.append("status 0 without a reported patch")
        if status != 0 and (status != 1 or succeeded):
            faults.append(f"status {status} after {'success' if succeeded else 'a failure'}")
        stopped_after_gate = status == 1 and shown(FOUND) in out and shown(NOT_FOUND) not in out
        if stopped_after_gate and not any(printed(o, target, backup) in lines for o in OUTCOMES):
            faults.append("a failed patch that does not say what the folder holds")
    return faults


def said_unchanged_untrue(before, after, lines, target, backup):
    """A run that says no file was changed must have changed none, whatever
    it found: a game it put back from its backup is a change."""
    unchanged = [printed(name, target, backup) for name in ("nothing_changed",
                                                             "nothing_changed_anywhere")]
    named = left_behind(lines, target, backup)
    differs = {k: v for k, v in after.items() if k not in named} != before
    return ["untrue: no file was changed"] if differs and any(
        line in unchanged for line in lines) else []


def left_files(before, after, ended, lines, target, backup):
    """Files a run that ended by itself left, but did not name."""
    left = set(after) - set(before) - {target, backup} - left_behind(lines, target, backup)
    return [f"files left behind: {sorted(left)}"] if ended != "killed" and left else []


def broken_undo(before, after, status, out, ended="ran", target=TARGET, backup=BACKUP,
                target_may_be_gone=False):
    """As broken_promises, for an undo (--restore): the backup stays as it
    was, and the game is as it was or the backup's copy."""
    original, was = before[backup], before.get(target)
    now_target = after.get(target)
    faults = [] if after.get(backup) == original else ["the backup changed"]
    if now_target not in (was, original) and not (now_target is None and target_may_be_gone):
        faults.append("the game is damaged or gone")
    undone = both(lambda b, a: a.get(target) == original, same(backup))
    told = {printed(name, target, backup): test for name, test in {
        "restored": undone, "restore_unsafe": undone, "put_back": undone,
        "nothing_to_undo": both(same(target), undone), "nothing_changed": both(same(target),
                                                                               same(backup)),
        "not_patched": both(same(target), same(backup)),
        "target_missing": lambda b, a: target not in a}.items()}
    lines, untrue = judged_lines(told, before, after, out)
    faults += untrue + left_files(before, after, ended, lines, target, backup)
    faults += said_unchanged_untrue(before, after, lines, target, backup)
    said_undone = any(printed(name, target, backup) in lines for name in ("restored",
                                                                          "nothing_to_undo"))
    if ended == "interrupted" and now_target == original != was and not said_undone:
        faults.append("undone, but the player was not told")
    elif ended == "ran":
        if not (out.endswith(shown(PAUSE)) or out.endswith(shown(CLOSING))):
            faults.append("the run did not end at one of its prompts")
        # An original game needs no undo: said so, that is a success too.
        kept = printed("not_patched", target, backup) in lines and now_target == was
        if (status == 0) != (kept or (said_undone and now_target == original)):
            faults.append(f"status {status}, undone {now_target == original}")
    return faults
