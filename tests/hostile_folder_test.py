"""Odd and hostile game folders: links planted where the program writes,
targets that are not plain files, files and folders it may not touch, and
what a killed run left behind."""
import os
import shutil
import stat
import subprocess
import tempfile

from harness import (BACKUP, BANNER, MENU_SCREEN, PAUSE, TARGET, ScratchFolderTest, could_not,
                     image, main, patched, run, said, shown, strace)


class PlantedLinkTest(ScratchFolderTest):
    def test_links_at_the_names_it_writes_are_replaced_not_followed(self):
        outside = tempfile.mkdtemp(prefix="camera-patch-outside-")
        self.addCleanup(shutil.rmtree, outside)
        victim = os.path.join(outside, "victim")
        with open(victim, "wb") as f:
            f.write(b"not yours")
        game = os.path.join(outside, "real-VELORAC.EXE")
        original = self.original
        with open(game, "wb") as f:
            f.write(original)

        os.symlink(victim, self.path(BACKUP))
        os.symlink(game, self.path(TARGET))
        self.check_patched(run(self.folder)[0])
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
        self.check_patched(run(self.folder)[0])
        self.assertFalse(os.path.exists(nowhere))


class OddTargetTest(ScratchFolderTest):
    def check_refused(self, reason):
        status, out = run(self.folder, b"c\n\n", timeout=20)
        self.assertEqual(status, 1)
        self.assertIn(shown(said("not_searched") + could_not("read", TARGET, reason) +
                            said("nothing_changed") + PAUSE), out)

    def test_a_target_that_is_not_a_plain_file_is_refused(self):
        os.mkdir(self.path(TARGET))
        self.check_refused("is_folder")
        self.assertEqual(os.listdir(self.folder), [TARGET])
        os.rmdir(self.path(TARGET))

        for device in ("/dev/zero", "/dev/null"):
            with self.subTest(device=device):
                os.symlink(device, self.path(TARGET))
                self.check_refused("not_regular")
                self.assertEqual(os.listdir(self.folder), [TARGET])
                os.remove(self.path(TARGET))

        # A pipe would make a reader wait for ever.
        os.mkfifo(self.path(TARGET))
        self.check_refused("not_regular")
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
        os.chmod(self.folder, 0o755)

    def test_an_unreadable_target_is_a_failure_with_the_reason(self):
        self.put(TARGET, image(), mode=0)
        status, out = self.run_as_user()
        self.assertEqual(status, 1)
        self.assertEqual(out, shown(MENU_SCREEN + BANNER + b"  \n" + said("not_opened") +
                                    could_not("open", TARGET, "Permission denied") + PAUSE))
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
        # Not shown(): the folder's name goes out as it is.
        self.assertIn(shown(said("backup_not_made")) +
                      could_not("create a file in", os.path.realpath(game), "Permission denied") +
                      shown(said("need_write_permission") + said("nothing_changed") + PAUSE), out)
        self.assertEqual(sorted(os.listdir(game)), [TARGET, BACKUP])
        for name, data in {TARGET: original, BACKUP: b"earlier"}.items():
            with open(os.path.join(game, name), "rb") as f:
                self.assertTrue(f.read() == data, name + " changed")
        self.assertEqual(stat.S_IMODE(os.stat(game).st_mode), 0o555)

        # The reason stays the creation's when finding the folder's full name
        # fails after it.
        status, out = self.run_as_user(game, strace("getcwd:error=ENOMEM", options=["-f"]))
        self.assertIn(could_not("create a file in", ".", "Permission denied"), out)

if __name__ == "__main__":
    main()
