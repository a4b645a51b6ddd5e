"""Odd and hostile game folders: links planted where the program writes,
targets that are not plain files, files and folders it may not touch, and
what a killed run left behind."""
import os
import shutil
import stat
import subprocess
import tempfile

from harness import (BACKUP, BANNER, MENU, PAUSE, TARGET, ScratchFolderTest, image,
                     as_unprivileged_user, main, patched, run, shown)

SEARCH_FAILED = b'  [i] Dispatch, "VELORAC.EXE" could not be searched.\n'
NOTHING_CHANGED = b'  [i] No file was changed; "VELORAC.EXE" is as it was.\n'


class PlantedLinkTest(ScratchFolderTest):
    def test_links_at_the_names_it_writes_are_replaced_not_followed(self):
        outside = tempfile.mkdtemp(prefix="camera-patch-outside-")
        self.addCleanup(shutil.rmtree, outside)
        victim = os.path.join(outside, "victim")
        with open(victim, "wb") as f:
            f.write(b"not yours")
        game = os.path.join(outside, "real-VELORAC.EXE")
        original = image()
        with open(game, "wb") as f:
            f.write(original)

        os.symlink(victim, self.path(BACKUP))
        os.symlink(game, self.path(TARGET))
        status, _ = run(self.folder, b"c\n\n")
        self.assertEqual(status, 0)
        self.assertEqual(self.contents(), {TARGET: patched(original), BACKUP: original})
        for name in (TARGET, BACKUP):
            self.assertFalse(os.path.islink(self.path(name)))
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"not yours")
        with open(game, "rb") as f:
            self.assertEqual(f.read(), original)

        # A link to nowhere at the backup's name does not make a file appear there.
        nowhere = os.path.join(outside, "nowhere")
        os.remove(self.path(BACKUP))
        os.symlink(nowhere, self.path(BACKUP))
        self.put(TARGET, original)
        self.assertEqual(run(self.folder, b"c\n\n")[0], 0)
        self.assertFalse(os.path.exists(nowhere))
        self.assertEqual(self.contents(), {TARGET: patched(original), BACKUP: original})


class OddTargetTest(ScratchFolderTest):
    def check_refused(self, reason):
        status, out = run(self.folder, b"c\n\n", timeout=20)
        self.assertEqual(status, 1)
        self.assertIn(shown(SEARCH_FAILED + f'  [i] Could not read "{TARGET}": {reason}.\n'
                            .encode() + NOTHING_CHANGED + PAUSE), out)

    def test_a_target_that_is_not_a_plain_file_is_refused(self):
        os.mkdir(self.path(TARGET))
        self.check_refused("it is a folder")
        self.assertEqual(os.listdir(self.folder), [TARGET])
        os.rmdir(self.path(TARGET))

        for device in ("/dev/zero", "/dev/null"):
            with self.subTest(device=device):
                os.symlink(device, self.path(TARGET))
                self.check_refused("it is not a regular file")
                self.assertEqual(os.listdir(self.folder), [TARGET])
                os.remove(self.path(TARGET))

        # A pipe would make a reader wait for ever.
        os.mkfifo(self.path(TARGET))
        self.check_refused("it is not a regular file")
        self.assertEqual(os.listdir(self.folder), [TARGET])

    def test_leftovers_of_killed_runs_are_cleared_and_nothing_else(self):
        original = image()
        self.put(TARGET, original)
        leftovers = [TARGET + ".tmp-0123abcd", BACKUP + ".tmp-89abcdef"]
        others = [TARGET + ".tmp-backup", TARGET + ".tmp-a1b2c3", TARGET + ".tmp-0123ABCD",
                  TARGET + ".tmp-0123abcde", "OTHER.tmp-0123abcd", TARGET + ".bak"]
        for name in leftovers + others:
            self.put(name, b"half a patch")
        # Cleared even when the run then finds nothing to do.
        self.put(BACKUP, original)
        self.put(TARGET, patched(original))
        self.assertEqual(run(self.folder, b"c\n\n")[0], 1)
        self.assertEqual(sorted(self.contents()), sorted([TARGET, BACKUP] + others))


class PermissionTest(ScratchFolderTest):
    def setUp(self):
        super().setUp()
        self.user = as_unprivileged_user()
        os.chmod(self.folder, 0o755)
        self.program = self.program_anyone_may_run()

    def run_as_user(self, folder=None):
        return run(folder or self.folder, b"c\n\n", wrapper=self.user, command=self.program)

    def test_an_unreadable_target_is_a_failure_with_the_reason(self):
        self.put(TARGET, image(), mode=0)
        status, out = self.run_as_user()
        self.assertEqual(status, 1)
        self.assertEqual(out, shown(BANNER + MENU + BANNER + b'  \n'
                                    b'  [i] Dispatch, "VELORAC.EXE" is there but could not be opened.\n'
                                    b'  [i] Could not open "VELORAC.EXE": Permission denied.\n' + PAUSE))
        self.assertEqual(sorted(os.listdir(self.folder)), [TARGET])

    def test_a_read_only_folder_changes_nothing(self):
        # Named in the player's language; "ó" holds the byte that code page
        # 437 draws as a box line, so only the name as it is will match.
        game = os.path.join(self.folder, "Spiele für Velomira ó")
        os.mkdir(game)
        original = image()
        for name, data in {TARGET: original, BACKUP: b"earlier"}.items():
            with open(os.path.join(game, name), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(game, name), 0o666)
        os.chmod(game, 0o555)
        self.addCleanup(os.chmod, game, 0o755)
        status, out = self.run_as_user(game)
        self.assertEqual(status, 1)
        self.assertIn(shown(b'  [i] Dispatch, the backup "VELORAC.EXE.bku" could not be made.\n'
                            b'  [i] Could not create a file in "') +
                      os.path.realpath(game).encode() +
                      shown(b'": Permission denied.\n'
                            b"  [i] You need write permission on this folder, or run the "
                            b"program as the folder's owner.\n" + NOTHING_CHANGED + PAUSE), out)
        self.assertEqual(sorted(os.listdir(game)), [TARGET, BACKUP])
        for name, data in {TARGET: original, BACKUP: b"earlier"}.items():
            with open(os.path.join(game, name), "rb") as f:
                self.assertTrue(f.read() == data, name + " changed")
        self.assertEqual(stat.S_IMODE(os.stat(game).st_mode), 0o555)

        # The reason stays the creation's when finding the folder's full name
        # fails after it.
        status, out = run(game, b"c\n\n", command=self.program, wrapper=[
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=getcwd:error=ENOMEM", *self.user])
        self.assertIn(b'Could not create a file in ".": Permission denied.', out)

if __name__ == "__main__":
    main()
