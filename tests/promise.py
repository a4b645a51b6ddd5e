"""What one run of the program owes the player, judged from the folder's
files before and after it, its status and its output alone: nothing here
knows how the run was disturbed, so any platform's failure tests can ask.
Every sentence the program prints about the folder must be true of it."""
from harness import FOUND, INSTALLED, NOT_FOUND, PAUSE, TARGET, BACKUP, patched, shown

SUCCESS = INSTALLED.split(b"\n")[0]


def claims(target, backup):
    """The sentences that say what the folder holds, each with what must then
    be true of (before, after): the files by name."""
    t, b = f'"{target}"', f'"{backup}"'

    def same(name):
        return lambda before, after: after.get(name) == before.get(name)

    def backup_holds_original(before, after):
        return after.get(backup) == before.get(target)

    def is_patched(before, after):
        return after.get(target) == patched(before[target])

    def both(*tests):
        return lambda before, after: all(test(before, after) for test in tests)

    sentences = {
        f"No file was changed; {t} is as it was.": both(same(target), same(backup)),
        f"{t} is as it was; {b} now holds a copy of it.": both(same(target),
                                                                backup_holds_original),
        f"{b} holds the original and is safe on disk; {t} is patched, but a power cut now "
        "could undo that.": both(is_patched, backup_holds_original),
        f"Dispatch, {t} could not be searched.": both(same(target), same(backup)),
        f"Dispatch, the backup {b} could not be made.": same(backup),
        f"Dispatch, the backup {b} could not be put in place.": same(backup),
        f"Dispatch, the backup {b} is in place, but it may not survive a power cut.":
            backup_holds_original,
        f"Dispatch, the patched {t} could not be written.": same(target),
        f"Dispatch, {t} could not be replaced.": lambda before, after: after.get(target) !=
        patched(before[target]),
        "Dispatch, the patch may not survive a power cut.": is_patched,
        f"{t} was put back from {b}; both hold the original.": both(same(target),
                                                                    backup_holds_original),
        f"{t} is missing. {b} holds the original: copy it to {t} to get the game back.":
            both(lambda before, after: target not in after, backup_holds_original),
        SUCCESS[len(b"  [i] "):].decode(): both(is_patched, backup_holds_original),
    }
    return {shown(b"  [i] " + text.encode()).rstrip(b"\r\n"): test
            for text, test in sentences.items()}


# The sentences that tell the player what the folder holds after a failure.
OUTCOMES = ("No file was changed", "is as it was;", "holds the original", "was put back from",
            "is missing.")


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
    if ended != "killed" and set(after) - set(before) - {target, backup}:
        faults.append(f"files left behind: {sorted(set(after) - set(before))}")

    lines = out.replace(b"\r\n", b"\n").split(b"\n")
    told = claims(target, backup)
    said = [line for line in lines if line in told]
    # Where the game was put back first, the sentences speak of it as put back.
    put_back = {**before, target: original}
    faults += [f"untrue: {line.decode(errors='replace')}" for line in said
               if not told[line](put_back, after)]
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
        if not (out.endswith(shown(PAUSE)) or out.endswith(shown(INSTALLED))):
            faults.append("the run did not end at one of its prompts")
        if b"doesn't exist." in out:
            faults.append("a target that is there was called missing")
        if status == 0 and not (succeeded and now_target == patched(original)):
            faults.append("status 0 without a reported patch")
        if status != 0 and (status != 1 or succeeded):
            faults.append(f"status {status} after {'success' if succeeded else 'a failure'}")
        stopped_after_gate = status == 1 and shown(FOUND) in out and shown(NOT_FOUND) not in out
        if stopped_after_gate and not any(o.encode() in out for o in OUTCOMES):
            faults.append("a failed patch that does not say what the folder holds")
    return faults
