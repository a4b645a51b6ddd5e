"""Folders few players have, on Linux: one the file system cannot sync, files
and folders marked so that nothing may replace them, someone else's file in
a shared folder, a limit on file sizes, and a patch run as root for a
player. Every run must keep what it says of the folder."""
import os
import pwd
import shutil
import subprocess

from harness import (BACKUP, PAUSE, TARGET, ScratchFolderTest, as_unprivileged_user, image,
                     main, patched, run)
from promise import broken_promises

NOTHING_CHANGED = b'  [i] No file was changed; "VELORAC.EXE" is as it was.\n' + PAUSE
MAY_NOT = b'  [i] Dispatch, "VELORAC.EXE" may not be replaced, so it cannot be patched.\n'
EARLIER = b'  [i] Dispatch, the earlier backup "VELORAC.EXE.bku" cannot be replaced.\n'
MARKS = {"i": "immutable", "a": "append-only"}


def need_root(test):
    if os.geteuid() != 0:
        test.skipTest("needs root")


class RareFolderTest(ScratchFolderTest):
    original = image()

    def patch(self, before, wrapper=(), command=None):
        """Runs a patch in the folder, which holds `before` (the files by
        name); returns the status and output, once the run is judged by its
        own words."""
        status, out = run(self.folder, b"c\n\n", wrapper=wrapper, command=command)
        self.assertEqual(broken_promises(before, self.contents(), status, out), [], out[-500:])
        return status, out

    def check_patched(self, status):
        self.assertEqual(status, 0)
        self.assertTrue(self.contents() == {TARGET: patched(self.original), BACKUP: self.original})

    def test_a_folder_the_system_cannot_sync_is_patched(self):
        # Some file systems have no sync for a folder (EINVAL): the third and
        # fourth fsync are the folder's, after each rename.
        for when in (3, 4):
            with self.subTest(when=when):
                self.put(TARGET, self.original)
                self.check_patched(self.patch({TARGET: self.original}, wrapper=[
                    "strace", "-qq", "-o", "/dev/null", "-e",
                    f"inject=fsync:error=EINVAL:when={when}"])[0])
                os.remove(self.path(BACKUP))
        # One the player may write in and enter, but not list, cannot be
        # opened to sync it.
        self.put(TARGET, self.original, mode=0o666)
        os.chmod(self.folder, 0o333)
        self.addCleanup(os.chmod, self.folder, 0o700)
        status, _ = self.patch({TARGET: self.original}, wrapper=as_unprivileged_user(),
                               command=self.program_anyone_may_run())
        self.check_patched(status)

    def refused(self, before, lines, user=()):
        status, out = self.patch(before, wrapper=user,
                                 command=self.program_anyone_may_run() if user else None)
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(lines + NOTHING_CHANGED), out[-500:])
        self.assertEqual(self.contents(), before)

    def test_marked_files_and_folders_are_refused_before_anything_changes(self):
        need_root(self)
        folder = os.path.realpath(self.folder)
        for mark, name in (("i", TARGET), ("a", TARGET), ("a", BACKUP), ("a", folder),
                           ("i", folder)):
            with self.subTest(mark=mark, name=name):
                before = {TARGET: self.original, BACKUP: b"earlier backup"}
                for file, data in before.items():
                    self.put(file, data)
                if subprocess.run(["chattr", "+" + mark, self.path(name)]).returncode:
                    self.skipTest("chattr cannot mark files here")
                try:
                    reason = (f'  [i] Could not replace {"files in " if name == folder else ""}'
                              f'"{name}": it is marked {MARKS[mark]}.\n'
                              f'  [i] Clear the mark as root (chattr -{mark} "{name}") and try '
                              f'again.\n').encode()
                    self.refused(before, (EARLIER if name == BACKUP else MAY_NOT) + reason)
                finally:
                    subprocess.run(["chattr", "-" + mark, self.path(name)], check=True)

    def test_someone_elses_file_in_a_shared_folder_is_refused(self):
        need_root(self)
        # Like /tmp: anyone may add files, only a file's owner replace them.
        os.chmod(self.folder, 0o1777)
        nobody = pwd.getpwnam("nobody")
        for name, refusal in ((TARGET, MAY_NOT), (BACKUP, EARLIER)):
            with self.subTest(owned_by_root=name):
                before = {TARGET: self.original, BACKUP: b"earlier backup"}
                for file, data in before.items():
                    self.put(file, data, mode=0o644)
                    os.chown(self.path(file), 0 if file == name else nobody.pw_uid, -1)
                self.refused(before, refusal + (
                    f'  [i] Could not replace "{name}": it belongs to another user, and the '
                    f"folder lets only a file's owner replace it.\n"
                    f'  [i] Run the program as the owner of "{name}" or of the folder.\n').encode(),
                    user=as_unprivileged_user())

    def test_a_file_size_limit_fails_the_copy_cleanly(self):
        if shutil.which("prlimit") is None:
            self.skipTest("prlimit is not installed")
        before = {TARGET: self.original, BACKUP: b"earlier backup"}
        for name, data in before.items():
            self.put(name, data)
        status, out = self.patch(before,
                                 wrapper=["prlimit", f"--fsize={len(self.original) // 2}"])
        self.assertEqual(status, 1)
        self.assertIn(b": File too large.\n", out)

    def test_root_patching_a_players_file_gives_the_new_files_to_the_player(self):
        need_root(self)
        nobody = pwd.getpwnam("nobody")
        self.put(TARGET, self.original, mode=0o4700)
        os.chown(self.path(TARGET), nobody.pw_uid, nobody.pw_gid)
        os.chmod(self.path(TARGET), 0o4700)  # chown took the set-user-id bit
        status, _ = run(self.folder, b"c\n\n")
        self.check_patched(status)
        for name in (TARGET, BACKUP):
            info = os.stat(self.path(name))
            self.assertEqual((info.st_uid, info.st_gid, info.st_mode & 0o7777),
                             (nobody.pw_uid, nobody.pw_gid, 0o4700), name)


if __name__ == "__main__":
    main()
