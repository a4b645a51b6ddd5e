"""Odd and hostile game folders: links planted where the program writes,
targets that are not plain files, files and folders it may not touch, and
what a killed run left behind."""
import os
import shutil
import stat
import tempfile
from functools import partial

from harness import BACKUP, TARGET, ScratchFolderTest, main, patched, run, strace


class PlantedLinkTest(ScratchFolderTest):
    def test_links_at_the_names_it_writes_are_replaced_not_followed(self):
        outside = tempfile.mkdtemp(prefix="camera-patch-outside-")
        self.addCleanup(shutil.rmtree, outside)
        files = {"victim": b"not yours", "real-VELORAC.EXE": self.original}
        for name, data in files.items():
            self.put(os.path.join(outside, name), data)
        os.symlink(os.path.join(outside, "victim"), self.path(BACKUP))
        os.symlink(os.path.join(outside, "real-VELORAC.EXE"), self.path(TARGET))
        self.check_patched(run(self.folder)[0])
        for name in (TARGET, BACKUP):
            self.assertFalse(os.path.islink(self.path(name)))
        self.assertEqual(self.contents(outside), files)

        # A link to nowhere at the backup's name does not make a file appear there.
        os.remove(self.path(BACKUP))
        os.symlink(os.path.join(outside, "nowhere"), self.path(BACKUP))
        self.put(TARGET, self.original)
        self.check_patched(run(self.folder)[0])
        self.assertEqual(self.contents(outside), files)


class OddTargetTest(ScratchFolderTest):
    def test_a_target_that_is_not_a_plain_file_is_refused(self):
        # A pipe would make a reader wait for ever.
        for kind, make, reason in (("folder", os.mkdir, "is_folder"),
                                   ("/dev/zero", partial(os.symlink, "/dev/zero"), "not_regular"),
                                   ("/dev/null", partial(os.symlink, "/dev/null"), "not_regular"),
                                   ("pipe", os.mkfifo, "not_regular")):
            with self.subTest(target=kind):
                make(self.path(TARGET))
                self.check_refused("not_searched", "read", TARGET, reason)
                (os.rmdir if kind == "folder" else os.remove)(self.path(TARGET))

    def test_leftovers_of_killed_runs_are_cleared_and_nothing_else(self):
        leftovers = [TARGET + ".tmp-0123abcd", BACKUP + ".tmp-89abcdef"]
        others = [TARGET + ".tmp-backup", TARGET + ".tmp-a1b2c3", TARGET + ".tmp-0123ABCD",
                  TARGET + ".tmp-0123abcde", "OTHER.tmp-0123abcd", TARGET + ".bak"]
        for name in leftovers + others:
            self.put(name, b"half a patch")
        # Cleared even when the run then finds nothing to do.
        self.put(BACKUP, self.original)
        self.put(TARGET, patched(self.original))
        self.assertEqual(run(self.folder, b"c\n\n")[0], 1)
        self.assertEqual(sorted(self.contents()), sorted([TARGET, BACKUP] + others))


class PermissionTest(ScratchFolderTest):
    def setUp(self):
        super().setUp()
        os.chmod(self.folder, 0o755)

    def test_an_unreadable_target_is_a_failure_with_the_reason(self):
        self.put(TARGET, self.original, mode=0)
        self.check_refused("not_opened", "open", TARGET, "Permission denied", user=True)

    def test_a_read_only_folder_changes_nothing(self):
        # Named in the player's language; "ó" holds the byte that code page
        # 437 draws as a box line, so only the name as it is will match.
        game = os.path.join(self.folder, "Spiele für Velomira ó")
        os.mkdir(game)
        for name, data in {TARGET: self.original, BACKUP: b"earlier"}.items():
            self.put(os.path.join(game, name), data, mode=0o666)
        os.chmod(game, 0o555)
        self.addCleanup(os.chmod, game, 0o755)
        # The reason stays the creation's when finding the folder's full name
        # fails after it.
        for wrapper, named in (((), os.path.realpath(game)),
                               (strace("getcwd:error=ENOMEM", options=["-f"]), ".")):
            with self.subTest(folder_named=named):
                self.check_refused("backup_not_made", "create a file in", named,
                                   "Permission denied", "need_write_permission", folder=game,
                                   user=True, wrapper=wrapper)
                self.assertEqual(stat.S_IMODE(os.stat(game).st_mode), 0o555)

if __name__ == "__main__":
    main()
