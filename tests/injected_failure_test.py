"""Fails the program's file-system calls one at a time, with strace's fault
injection, and checks that the player's files survive every one of them."""
import re
import subprocess
import tempfile

from harness import (BACKUP, INSTALLED, MISSING, PAUSE, TARGET, ScratchFolderTest, image, main,
                     patched, run, shown)

ERRORS = {"openat": "EACCES", "read": "EIO", "write": "ENOSPC", "fsync": "EIO",
          "close": "EIO", "rename": "EACCES", "fchmod": "EPERM", "newfstatat": "EIO"}
CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)$")


def file_system_calls(folder):
    """The calls a clean run makes on the player's folder, in order, as
    (name, n) for the n-th call of that name: the points to fail."""
    with tempfile.NamedTemporaryFile(mode="r") as log:
        status, _ = run(folder, b"c\n\n",
                        wrapper=["strace", "-qq", "-o", log.name,
                                 "-e", "trace=" + ",".join(ERRORS)])
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


class InjectedFailureTest(ScratchFolderTest):
    def check_files_survive(self, original, earlier_backup, status, out):
        files = self.contents()
        if status == 0:
            # A failure that does not matter to the patch, such as closing the
            # file that was only opened to see that it is there.
            if out.endswith(shown(MISSING)):
                self.assertEqual(files, {TARGET: original, **self.backup_entry(earlier_backup)})
            else:
                self.assertTrue(out.endswith(shown(INSTALLED)), out[-300:])
                self.assertEqual(files, {TARGET: patched(original), BACKUP: original})
            return
        self.assertEqual(status, 1)
        self.assertNotIn(shown(INSTALLED[:40]), out)
        self.assertTrue(out.endswith(shown(PAUSE)), out[-300:])
        if files.get(TARGET) == original:
            # Nothing happened, or only the backup was replaced, by a whole copy.
            self.assertIn(files.get(BACKUP), (earlier_backup, original))
        else:
            # The patch went in, but syncing the folder afterwards failed.
            self.assertEqual(files.get(TARGET), patched(original))
            self.assertEqual(files.get(BACKUP), original)
        # No temporary file is left behind.
        self.assertLessEqual(set(files), {TARGET, BACKUP})

    def backup_entry(self, earlier_backup):
        return {} if earlier_backup is None else {BACKUP: earlier_backup}

    def test_every_failing_call_leaves_the_files_whole(self):
        original = image()
        for earlier_backup in (None, b"earlier backup"):
            self.put(TARGET, original)
            points = file_system_calls(self.folder)
            self.assertGreaterEqual(len(points), 12)
            for name, nth in points:
                with self.subTest(call=name, nth=nth, earlier_backup=earlier_backup):
                    self.put(TARGET, original)
                    self.clear_backup(earlier_backup)
                    inject = f"inject={name}:error={ERRORS[name]}:when={nth}"
                    status, out = run(self.folder, b"c\n\n",
                                      wrapper=["strace", "-qq", "-o", "/dev/null", "-e", inject])
                    self.check_files_survive(original, earlier_backup, status, out)
            self.clear_backup(None)

    def clear_backup(self, earlier_backup):
        if earlier_backup is None:
            subprocess.run(["rm", "-f", self.path(BACKUP)], check=True)
        else:
            self.put(BACKUP, earlier_backup)


if __name__ == "__main__":
    main()
