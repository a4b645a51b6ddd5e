"""Fails, and then kills the program at, each file-system call it makes in a
clean patch, one at a time (strace's fault injection), and checks the promise
to the player every time: VELORAC.EXE is exactly as it was or exactly
patched, a patched target has a complete backup beside it, an earlier backup
gives way only to a complete new one, and no failure is reported as success."""
import os
import re
import signal
import sys
import tempfile

from harness import (BACKUP, INSTALLED, PAUSE, TARGET, ScratchFolderTest, image, main,
                     patched, run, shown)

# The error each kind of call fails with: what a full disk, a failing disk or
# a permission taken away would give it.
ERRORS = {"openat": "EACCES", "newfstatat": "EIO", "read": "EIO", "write": "ENOSPC",
          "sync_file_range": "EIO", "fchmod": "EIO", "utimensat": "EIO", "fsync": "EIO",
          "close": "EIO", "rename": "EACCES", "getdents64": "EIO"}
CALL = re.compile(r"^(\w+)\((.*)$")
EARLIER_BACKUP = b"an earlier backup, from another version of the game"
NOT_THERE = b"doesn't exist.\n"


def patch_calls(folder):
    """The calls a clean patch makes, in order, as (name, n) for the n-th
    call of that name since the program started: the points to fail."""
    with tempfile.NamedTemporaryFile(mode="r") as log:
        status, _ = run(folder, b"c\n\n", wrapper=["strace", "-qq", "-o", log.name, "-e",
                                                   "trace=" + ",".join(ERRORS)])
        assert status == 0, "the clean run failed"
        seen = {}
        points = []
        replied = False
        for line in log:
            match = CALL.match(line)
            if not match:
                continue
            name, arguments = match.groups()
            seen[name] = seen.get(name, 0) + 1
            # Start-up before the menu's reply, and the console, are not the patch.
            if name in ("read", "write") and re.match(r"[012],", arguments):
                replied = replied or arguments.startswith("0,")
                continue
            if replied:
                points.append((name, seen[name]))
        return points


class FaultMatrixTest(ScratchFolderTest):
    original = image()

    def setUp(self):
        super().setUp()
        self.runs = 0
        self.kept = 0

    def prepare(self, earlier_backup):
        for name in os.listdir(self.folder):
            os.remove(self.path(name))
        self.put(TARGET, self.original)
        if earlier_backup is not None:
            self.put(BACKUP, earlier_backup)

    def check_promise(self, earlier_backup, status, out, killed):
        self.runs += 1
        files = self.contents()
        target = files.get(TARGET)
        backup = files.get(BACKUP)
        self.assertIn(target, (self.original, patched(self.original)), "target damaged")
        if target != self.original:
            self.assertEqual(backup, self.original, "patched target without its backup")
        self.assertIn(backup, (earlier_backup, self.original), "backup damaged")
        if shown(INSTALLED[:40]) in out:
            self.assertEqual(target, patched(self.original), "success reported, not patched")
        if killed:
            self.assertEqual(status, -9)
            self.kept += 1
            return
        # A failure is told, temporary files are gone, and status 0 comes
        # only with a patch: a target that is there is never "not there".
        self.assertLessEqual(set(files), {TARGET, BACKUP}, "temporary file left behind")
        self.assertTrue(out.endswith(shown(PAUSE)) or out.endswith(shown(INSTALLED)))
        self.assertNotIn(shown(NOT_THERE), out)
        if status == 0:
            self.assertEqual(target, patched(self.original))
        else:
            self.assertEqual(status, 1)
            self.assertNotIn(shown(INSTALLED[:40]), out)
        self.kept += 1

    def check_next_run(self):
        """Whatever a killed run left behind, the next run works and clears it."""
        before = self.contents()[TARGET]
        status, _ = run(self.folder, b"c\n\n")
        after = self.contents()
        self.assertEqual(set(after), {TARGET, BACKUP}, "leftovers not cleared")
        if before == self.original:
            self.assertEqual(status, 0)
            self.assertEqual((after[TARGET], after[BACKUP]),
                             (patched(self.original), self.original))
        else:
            self.assertEqual(status, 1)
            self.assertEqual((after[TARGET], after[BACKUP]), (before, self.original))

    def run_matrix(self, action, killed):
        for earlier_backup in (None, EARLIER_BACKUP):
            self.prepare(earlier_backup)
            points = patch_calls(self.folder)
            self.assertGreaterEqual(len(points), 25)
            for name, nth in points:
                with self.subTest(call=name, nth=nth, earlier_backup=bool(earlier_backup)):
                    self.prepare(earlier_backup)
                    inject = f"inject={name}:{action(name)}:when={nth}"
                    status, out = run(self.folder, b"c\n\n",
                                      wrapper=["strace", "-qq", "-o", "/dev/null", "-e", inject])
                    self.check_promise(earlier_backup, status, out, killed)
                    if killed:
                        self.check_next_run()
        print(f"\n{'kills' if killed else 'failed calls'}: {self.runs} runs, "
              f"{self.kept} kept the promise", file=sys.stderr)

    def test_every_failing_call_keeps_the_promise(self):
        self.run_matrix(lambda name: f"error={ERRORS[name]}", killed=False)

    def test_a_kill_at_every_call_keeps_the_promise(self):
        self.run_matrix(lambda name: "signal=SIGKILL", killed=True)

    def test_an_interruption_at_every_call_leaves_the_folder_whole(self):
        """Ctrl-C, a closed terminal or a polite kill, delivered at each call:
        the program dies of it, leaving the folder as it was or fully patched,
        and never a temporary file."""
        signals = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
        for earlier_backup in (None, EARLIER_BACKUP):
            self.prepare(earlier_backup)
            for i, (name, nth) in enumerate(patch_calls(self.folder)):
                sent = signals[i % len(signals)]
                with self.subTest(call=name, nth=nth, signal=sent.name):
                    self.prepare(earlier_backup)
                    inject = f"inject={name}:signal={sent.name}:when={nth}"
                    status, _ = run(self.folder, b"c\n\n",
                                    wrapper=["strace", "-qq", "-o", "/dev/null", "-e", inject])
                    self.assertEqual(status, -sent)
                    files = self.contents()
                    self.assertLessEqual(set(files), {TARGET, BACKUP}, "temporary file left")
                    self.assertTrue((files.get(TARGET), files.get(BACKUP)) in
                                    ((self.original, earlier_backup),
                                     (patched(self.original), self.original)),
                                    "the folder is neither as it was nor fully patched")


if __name__ == "__main__":
    main()
